#include "language/parser.hpp"

#include "language/architecture_parser.hpp"

#include <string_view>

namespace Core::Vostel {
namespace {

using K = TokenKind;

// ---- Runtime-2 constructs ----

struct Runtime2Keyword {
    std::string_view keyword;
    std::string_view capability;  // empty: no capability use is noted
};

constexpr Runtime2Keyword kRuntime2Keywords[] = {
    {"transformer", ""},          {"synapse", "realtime_delay"},
    {"oscillator", "oscillator"}, {"phase_modulation", "oscillator"},
    {"learning_gate", "stdp"},    {"homeostasis", "stdp"},
    {"prediction", "prediction"}, {"modality", "multimodal"},
    {"recorder", "recorder"},     {"actuator", "realtime"},
};

// runtime2-construct -> KEYWORD NAME '{' { runtime2-field } '}' [ ';' ]
Runtime2Construct parseRuntime2Construct(TokenCursor& c) {
    Runtime2Construct construct;
    construct.line = c.current().line;
    construct.keyword = c.advance().text;
    construct.name = c.expectIdentifier("nazev konstruktu runtime 2");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) construct.fields.push_back(parseRuntime2Field(c));
    c.expect(K::RBrace);
    c.match(K::Semicolon);
    return construct;
}

// ---- Stimuli ----

// stimulus -> 'stimulus' NAME '{' { NAME 'from' duration 'to' duration ';' } '}'
StimulusDecl parseStimulus(TokenCursor& c) {
    StimulusDecl stimulus;
    stimulus.line = c.current().line;
    c.expectKeyword("stimulus");
    stimulus.name = c.expectIdentifier("nazev stimulu");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        SegmentDecl segment;
        segment.name = c.expectIdentifier("nazev segmentu");
        c.expectKeyword("from");
        segment.from = c.expectDuration("zacatek segmentu");
        c.expectKeyword("to");
        segment.to = c.expectDuration("konec segmentu");
        c.expect(K::Semicolon);
        stimulus.segments.push_back(std::move(segment));
    }
    c.expect(K::RBrace);
    return stimulus;
}

// ---- Experiments ----

// intervention -> NAME '(' [ argument { ',' argument } [ ',' ] ] ')' ';'
// argument -> number | NAME
InterventionDecl parseIntervention(TokenCursor& c) {
    InterventionDecl intervention;
    intervention.name = c.expectIdentifier("nazev zasahu");
    c.expect(K::LParen);
    while (!c.check(K::RParen) && !c.check(K::EndOfFile)) {
        if (c.check(K::Number) || c.check(K::Minus)) {
            intervention.value = c.expectNumber("hodnota zasahu");
        } else {
            intervention.arguments.push_back(c.expectIdentifier("argument zasahu"));
        }
        if (!c.match(K::Comma)) break;
    }
    c.expect(K::RParen);
    c.expect(K::Semicolon);
    return intervention;
}

// branch -> NAME '{' { intervention } '}'
BranchDecl parseBranch(TokenCursor& c) {
    BranchDecl branch;
    branch.name = c.expectIdentifier("nazev vetve");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) branch.interventions.push_back(parseIntervention(c));
    c.expect(K::RBrace);
    return branch;
}

// match -> 'match' NAME 'tolerance' number 'percent' ';'
MatchDecl parseMatch(TokenCursor& c) {
    MatchDecl match;
    c.expectKeyword("match");
    match.statistic = c.expectIdentifier("kontrolovana statistika");
    c.expectKeyword("tolerance");
    match.tolerance = c.expectNumber("tolerance") / 100.0;
    c.expectKeyword("percent");
    c.expect(K::Semicolon);
    return match;
}

// axis-value -> ['-'] NUMBER [ 'ns' | 'us' | 'ms' | 's' ]
double parseAxisValue(TokenCursor& c, const std::string& parameter) {
    bool negative = c.match(K::Minus);
    if (!c.check(K::Number)) c.fail("ocekavana hodnota osy (" + parameter + ")");
    double value = c.advance().number;
    if (negative) value = -value;
    if (c.check(K::Identifier)) {
        if (auto multiplier = timeUnitMultiplier(c.current().text)) {
            c.advance();
            value *= *multiplier;
        }
    }
    return value;
}

// axis-values -> 'linspace' '(' number ',' number ',' INT ')'
//              | '[' [ axis-value { ',' axis-value } [ ',' ] ] ']'
std::vector<double> parseAxisValues(TokenCursor& c, const std::string& parameter) {
    std::vector<double> values;
    if (c.matchKeyword("linspace")) {
        c.expect(K::LParen);
        double from = c.expectNumber("linspace od");
        c.expect(K::Comma);
        double to = c.expectNumber("linspace do");
        c.expect(K::Comma);
        std::int64_t count = c.expectInteger("linspace pocet");
        c.expect(K::RParen);
        if (count < 2) c.fail("linspace potrebuje aspon 2 body");
        // Every value is kept; more than this is a typo, not a sweep.
        if (count > 1000000) c.fail("linspace smi mit nejvyse 1000000 bodu");
        // Written in this order so that every value is reproducible to the bit.
        for (std::int64_t i = 0; i < count; ++i) {
            values.push_back(static_cast<double>(i) * (to - from) / static_cast<double>(count - 1) + from);
        }
        return values;
    }
    c.expect(K::LBracket);
    while (!c.check(K::RBracket)) {
        values.push_back(parseAxisValue(c, parameter));
        if (!c.match(K::Comma)) break;
    }
    c.expect(K::RBracket);
    return values;
}

// sweep -> '{' { NAME { '.' NAME } ':' ( INT | axis-values ) ';' } '}'   (the INT for 'seeds', which is required)
SweepDecl parseSweep(TokenCursor& c) {
    SweepDecl sweep;
    bool seedsSeen = false;
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        std::string parameter = c.expectIdentifier("parametr sweepu");
        // A declared quantity is named by its dotted path: theta.frequency.
        while (c.match(K::Dot)) parameter += "." + c.expectIdentifier("parametr sweepu");
        c.expect(K::Colon);
        if (parameter == "seeds") {
            sweep.seeds = c.expectInteger("pocet seedu");
            seedsSeen = true;
        } else {
            AxisDecl axis;
            axis.values = parseAxisValues(c, parameter);
            axis.parameter = std::move(parameter);
            sweep.axes.push_back(std::move(axis));
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    if (!seedsSeen) c.fail("sweep musi deklarovat 'seeds'");
    return sweep;
}

// A property written as KEYWORD ':' value ';'.
std::string colonIdentifier(TokenCursor& c, std::string_view what) {
    c.expect(K::Colon);
    std::string text = c.expectIdentifier(what);
    c.expect(K::Semicolon);
    return text;
}

std::string colonString(TokenCursor& c, std::string_view what) {
    c.expect(K::Colon);
    std::string text = c.expectString(what);
    c.expect(K::Semicolon);
    return text;
}

std::int64_t colonInteger(TokenCursor& c, std::string_view what) {
    c.expect(K::Colon);
    std::int64_t value = c.expectInteger(what);
    c.expect(K::Semicolon);
    return value;
}

// experiment -> 'experiment' NAME '{' { property } '}'
ExperimentDecl parseExperiment(TokenCursor& c) {
    ExperimentDecl x;
    x.line = c.current().line;
    c.expectKeyword("experiment");
    x.name = c.expectIdentifier("nazev experimentu");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (c.matchKeyword("hypothesis")) {
            x.hypothesis = colonIdentifier(c, "hypoteza");
        } else if (c.matchKeyword("theory")) {
            x.theory = colonString(c, "verze teorie");
        } else if (c.matchKeyword("seed")) {
            x.seed = colonInteger(c, "seed");
        } else if (c.matchKeyword("stimulus")) {
            x.stimulus = colonIdentifier(c, "nazev stimulu");
        } else if (c.matchKeyword("fork")) {
            c.expectKeyword("at");
            x.forkAt = c.expectDuration("cas forku");
            c.expect(K::Semicolon);
        } else if (c.matchKeyword("trials")) {
            x.trials = colonInteger(c, "pocet trialu");
        } else if (c.matchKeyword("sweep")) {
            x.sweep = parseSweep(c);
        } else if (c.matchKeyword("branches")) {
            c.expect(K::LBrace);
            while (!c.atBlockEnd()) x.branches.push_back(parseBranch(c));
            c.expect(K::RBrace);
        } else if (c.matchKeyword("controls")) {
            c.expect(K::LBrace);
            while (!c.atBlockEnd()) x.controls.push_back(parseMatch(c));
            c.expect(K::RBrace);
        } else if (c.matchKeyword("metrics")) {
            c.expect(K::LBrace);
            while (!c.atBlockEnd()) {
                x.metricLines.push_back(c.current().line);
                x.metrics.push_back(c.expectIdentifier("nazev metriky"));
                c.expect(K::Semicolon);
            }
            c.expect(K::RBrace);
        } else if (c.matchKeyword("prediction")) {
            x.prediction = colonString(c, "ocekavany vysledek");
        } else if (c.matchKeyword("null")) {
            x.nullResult = colonString(c, "nulovy vysledek");
        } else if (c.matchKeyword("falsification")) {
            x.falsification = colonString(c, "falsifikacni kriterium");
        } else {
            c.fail(
                "neznama vlastnost experiment (hypothesis|theory|seed|stimulus|fork at|trials|sweep|branches|"
                "controls|metrics|prediction|null|falsification)");
        }
    }
    c.expect(K::RBrace);
    return x;
}

// The capability a runtime-2 field of a neuron or plasticity asks for, at
// the line of the first such field.
void noteFieldCapability(Model& model, const std::vector<Runtime2Field>& fields, const char* construct,
                         const char* capability) {
    if (!fields.empty()) model.capabilityUses.push_back({construct, capability, fields.front().line});
}

}  // namespace

Parser::Parser(std::vector<Token> tokens) : cursor_(std::move(tokens)) {}

// file -> [ 'vostel' STRING ';' ] [ 'runtime' STRING ';' ] { declaration } EOF
Model Parser::parseModel() {
    TokenCursor& c = cursor_;
    Model model;
    if (c.matchKeyword("vostel")) {
        if (!c.check(K::String)) c.fail("ocekavan retezec verze za 'vostel'");
        model.version = c.advance().text;
        c.expect(K::Semicolon);
    }
    if (c.checkKeyword("runtime")) {
        model.runtimeLine = c.advance().line;
        if (!c.check(K::String)) c.fail("ocekavan retezec runtime za 'runtime'");
        model.runtime = c.advance().text;
        c.expect(K::Semicolon);
    }
    while (!c.check(K::EndOfFile)) {
        if (c.checkKeyword("neuron")) {
            model.neurons.push_back(parseNeuron(c));
            noteFieldCapability(model, model.neurons.back().runtime2Fields, "neuron dynamics",
                                "event_driven");
        } else if (c.checkKeyword("population")) {
            model.populations.push_back(parsePopulation(c));
        } else if (c.checkKeyword("circuit")) {
            model.circuits.push_back(parseCircuit(c));
        } else if (c.checkKeyword("construct")) {
            model.constructs.push_back(parseConstruct(c));
        } else if (c.checkKeyword("controller")) {
            model.controllers.push_back(parseController(c));
        } else if (c.checkKeyword("module")) {
            model.modules.push_back(parseModule(c));
        } else if (c.checkKeyword("network")) {
            model.networks.push_back(parseNetwork(c));
        } else if (c.checkKeyword("brain")) {
            model.brains.push_back(parseBrain(c));
        } else if (c.checkKeyword("plasticity")) {
            model.plasticities.push_back(parsePlasticity(c));
            noteFieldCapability(model, model.plasticities.back().runtime2Fields, "plasticity rule", "stdp");
        } else if (c.checkKeyword("competition")) {
            model.competitions.push_back(parseCompetition(c));
        } else if (c.checkKeyword("source")) {
            model.sources.push_back(parseSource(c));
        } else if (c.matchKeyword("seed")) {
            // seed -> 'seed' INT ';'  (no colon at the top level)
            model.seed = c.expectInteger("seed");
            c.expect(K::Semicolon);
        } else if (c.checkKeyword("chemistry")) {
            model.chemistries.push_back(parseChemistry(c));
        } else if (c.checkKeyword("event")) {
            model.events.push_back(parseEvent(c));
        } else if (c.checkKeyword("stimulus")) {
            model.stimuli.push_back(parseStimulus(c));
        } else if (c.checkKeyword("experiment")) {
            model.experiments.push_back(parseExperiment(c));
        } else {
            const Runtime2Keyword* runtime2 = nullptr;
            for (const Runtime2Keyword& entry : kRuntime2Keywords) {
                if (c.checkKeyword(entry.keyword)) runtime2 = &entry;
            }
            if (runtime2 == nullptr) c.fail("neocekavana deklarace na nejvyssi urovni");
            if (!runtime2->capability.empty()) {
                model.capabilityUses.push_back(
                    {std::string(runtime2->keyword), std::string(runtime2->capability), c.current().line});
            }
            model.runtime2Constructs.push_back(parseRuntime2Construct(c));
        }
    }
    return model;
}

}  // namespace Core::Vostel
