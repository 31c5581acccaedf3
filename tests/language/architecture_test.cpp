#include "front_end.hpp"
#include "support/golden.hpp"

using namespace Core::Vostel;
using Testing::parse;

namespace {

const std::string kUnknownConnectProperty =
    "neznama vlastnost connect (pattern|weight|delay|plasticity|synapse|gate|adapter)";
const std::string kUseLevel =
    "ocekavana uroven use (neuron|population|circuit|construct|controller|module|network)";
const std::string kGroupSize = "ocekavano cele cislo (pocet neuronu (nebo vocab_file \"...\" / <parametr>))";
const std::string kConstructBody =
    "neznamy prvek tela constructu (parameter|interface|expose|neurons|connect|use|learning)";
const std::string kOutputKey = "neznamy klic v output bloku (ocekavano 'vocab', 'vocab_file' nebo 'loss')";
const std::string kPlasticityBody =
    "neznamy prvek plasticity (when|limit|rule|tau_pre|tau_post|a_plus|a_minus|polarity)";

using Strings = std::vector<std::string>;

// The expression of `event e when <text>;`.
Expression expression(const std::string& text) {
    return parse("event e when " + text + ";").events.at(0).condition;
}

// Expressions written back fully parenthesised, to compare shapes.
std::string shape(const Expression& e) {
    switch (e.kind) {
        case ExpressionKind::Number: {
            std::string text = std::to_string(e.number);
            return text.substr(0, text.find_last_not_of('0') + 1);
        }
        case ExpressionKind::String:
            return "\"" + e.text + "\"";
        case ExpressionKind::Boolean:
            return e.boolean ? "true" : "false";
        case ExpressionKind::Path:
        case ExpressionKind::Call: {
            std::string text;
            for (const std::string& segment : e.path) text += (text.empty() ? "" : ".") + segment;
            if (e.kind == ExpressionKind::Path) return text;
            text += "(";
            for (std::size_t i = 0; i < e.operands.size(); ++i)
                text += (i ? ", " : "") + shape(e.operands[i]);
            return text + ")";
        }
        case ExpressionKind::Unary:
            return "(" + e.text + " " + shape(e.operands.at(0)) + ")";
        case ExpressionKind::Binary:
            return "(" + shape(e.operands.at(0)) + " " + e.text + " " + shape(e.operands.at(1)) + ")";
    }
    return "?";
}

const Model& example() {
    static const Model model = parse(Testing::readFile(Testing::dataPath("vostel/architecture.vostel")));
    return model;
}

}  // namespace

TEST(Expressions, PrecedenceAndAssociativity) {
    EXPECT_EQ(shape(expression("a and b or c")), "((a and b) or c)");
    EXPECT_EQ(shape(expression("a or b and c")), "((a or b) and c)");  // one level, left to right
    EXPECT_EQ(shape(expression("1 + 2 * 3 - 4 / 2")), "((1. + (2. * 3.)) - (4. / 2.))");
    EXPECT_EQ(shape(expression("a - b - c")), "((a - b) - c)");
    EXPECT_EQ(shape(expression("-x * 2 < y + 1 and not done")), "((((- x) * 2.) < (y + 1.)) and (not done))");
    EXPECT_EQ(shape(expression("- -x")), "(- (- x))");
    EXPECT_EQ(shape(expression("(a + b) * c")), "((a + b) * c)");
    EXPECT_EQ(shape(expression("f() + g.h(1, \"s\", true) + pre.fired")),
              "((f() + g.h(1., \"s\", true)) + pre.fired)");
    EXPECT_EQ(shape(expression("x != false")), "(x != false)");
    Expression e = expression("a <= 2");
    EXPECT_EQ(e.kind, ExpressionKind::Binary);
    EXPECT_EQ(e.column, 14u);  // a binary expression sits where its left operand starts
}

TEST(Expressions, Failures) {
    Testing::expectAllFail({
        // clang-format off
        {"event e when a < b < c;", "ocekavano ';' (u '<')", 1, 20},  // comparisons do not chain
        {"event e when a == ;", "ocekavan vyraz (u ';')", 1, 19},  // an operand is missing
        {"event e when (a + b;", "ocekavano ')' (u ';')", 1, 20},  // the parenthesis is not closed
        {"event e when f(a b);", "ocekavano ')' (u 'b')", 1, 18},  // arguments need commas
        {"event e when a.;",
         "ocekavan identifikator (segment endpointu) (u ';')", 1, 16},  // an empty path segment
        {"event e when * a;", "ocekavan vyraz (u '*')", 1, 14},  // there is no unary '*'
        {"event e when;", "ocekavan vyraz (u ';')", 1, 13},  // the condition is missing
        {"event e a > 1;", "ocekavano klicove slovo 'when' (u 'a')", 1, 9},  // 'when' is missing
        // clang-format on
    });
}

// The example file uses every architecture declaration. Fields the semantic
// analysis reads (names, types, endpoints, ports, exposes, adapters, training,
// channels, participants) are covered through its messages; here the rest.
// Statements the declarations share are checked in full once; elsewhere one
// field shows that the declaration routes the statement to its list.
TEST(Architecture, NeuronsAndPlasticity) {
    const Model& m = example();
    ASSERT_EQ(m.neurons.size(), 2u);
    const NeuronDecl& p = m.neurons[0];
    EXPECT_EQ(std::tie(p.name, p.line), std::tuple("Pyramidal", 14u));
    ASSERT_EQ(p.states.size(), 2u);
    EXPECT_EQ(std::tie(p.states[0].name, p.states[0].type, p.states[0].defaultValue->number),
              std::tuple("v", "float", -65.0));
    EXPECT_EQ(p.states[1].defaultValue->text, "exc");
    EXPECT_EQ(p.inputModes, Strings{"sum(weighted)"});
    EXPECT_EQ(shape(p.fireConditions.at(0)), "((v >= (- 50.)) and (not refractory))");
    EXPECT_EQ(p.emits.size(), 1u);
    EXPECT_EQ(p.outputActions.at(0).op, "=");
    EXPECT_EQ(p.decays.at(0).target, Path{"v"});
    ASSERT_EQ(p.onFireActions.size(), 2u);
    EXPECT_EQ(std::tuple(p.onFireActions[1].op, shape(p.onFireActions[1].target)),
              std::tuple("+=", "spikes"));
    ASSERT_EQ(p.runtime2Fields.size(), 3u);
    EXPECT_EQ(p.runtime2Fields[1].tokens, (Strings{"-", "50", "mV"}));
    EXPECT_EQ(p.runtime2Fields[2].children.size(), 2u);
    EXPECT_EQ(m.neurons[1].inputModes, Strings{"max"});
    EXPECT_TRUE(m.neurons[1].runtime2Fields.empty());

    const PlasticityDecl& hebb = m.plasticities.at(0);
    EXPECT_EQ(std::tuple(hebb.rules.size(), hebb.limits.at(0).lower, hebb.limits.at(0).upper),
              std::tuple(1u, 0.0, 1.0));
    EXPECT_EQ(hebb.runtime2Fields.size(), 3u);
    // Only the neuron with runtime-2 fields and the plasticity note a use, at
    // the line of their first such field.
    EXPECT_EQ(Testing::capabilityUsesOf(m),
              (Strings{"neuron dynamics/event_driven@25", "plasticity rule/stdp@42"}));

    ASSERT_EQ(m.chemistries.size(), 1u);
    EXPECT_EQ(m.chemistries[0].entries.size(), 3u);
    EXPECT_FALSE(m.chemistries[0].entries[1].defaultValue);
    EXPECT_TRUE(m.chemistries[0].entries[2].defaultValue->boolean);
}

TEST(Architecture, PopulationsAndCircuits) {
    const PopulationDecl& v1 = example().populations.at(0);
    EXPECT_EQ(v1.groups.at(1).count, 20);
    EXPECT_EQ(v1.learning.at(0).rule, "hebbian");
    ASSERT_EQ(v1.connections.size(), 2u);
    EXPECT_FALSE(v1.connections[0].pattern);
    const ConnectDecl& inhibitory = v1.connections[1];
    EXPECT_EQ(std::tie(inhibitory.pattern, inhibitory.delay, inhibitory.synapse),
              std::tuple("all_to_all", 2, "gaba"));
    EXPECT_EQ(shape(*inhibitory.weight), "(- 0.5)");
    EXPECT_FALSE(inhibitory.plasticity);
    const GrowthDecl& growth = v1.growth.at(0);
    EXPECT_TRUE(growth.growWhen && growth.growRate && growth.growWeight && growth.pruneWhen &&
                growth.pruneRate && growth.adjacentLayersOnly && growth.protectSensory);
    EXPECT_EQ(std::tie(growth.growDelay, growth.protectedGroups, growth.maxDegree, growth.maxSynapses,
                       growth.minSynapses),
              std::tuple(1, Strings{"exc"}, 50, 4000, 10));
    EXPECT_EQ(shape(*v1.clamps.at(0).condition), "input.active");
    EXPECT_EQ(v1.subscriptions.size(), 1u);

    const CircuitDecl& attention = example().circuits.at(0);
    const IgnitionDecl& ignition = attention.ignitions.at(0);
    EXPECT_EQ(shape(*ignition.score), "mean(v1.exc.rate)");
    EXPECT_EQ(ignition.window, 5);
    EXPECT_EQ(shape(*ignition.fireWhen), "(score > threshold)");
    const FocusDecl& focus = attention.focus.at(0);
    EXPECT_EQ(std::tie(focus.mode, focus.poissonRate, focus.maxSteps, focus.releaseAfter),
              std::tuple("poisson", 40.0, 100, 20));
    EXPECT_TRUE(focus.until && focus.suppressOthers && focus.preemptWhen);
    EXPECT_EQ(attention.clamps.at(0).target, (Path{"v1", "exc"}));
    EXPECT_FALSE(attention.clamps.at(0).condition);
    EXPECT_EQ(std::tuple(attention.publishes.size(), attention.subscriptions.size()), std::tuple(1u, 2u));
}

TEST(Architecture, ConstructsAndControllers) {
    const ConstructDecl& column = example().constructs.at(0);
    EXPECT_EQ(column.parameters.at(0).defaultValue->number, 64.0);
    EXPECT_EQ(std::tie(column.ports.at(1).direction, column.ports.at(1).name), std::tuple("output", "drive"));
    ASSERT_EQ(column.exposes.size(), 2u);
    EXPECT_FALSE(column.exposes[0].index);
    EXPECT_TRUE(column.exposes[1].index);
    EXPECT_EQ(std::tie(column.groups[0].sizeKind, column.groups[0].parameter),
              std::tuple(GroupSizeKind::Parameter, "size"));
    EXPECT_EQ(std::tie(column.groups[1].sizeKind, column.groups[1].vocabFile),
              std::tuple(GroupSizeKind::VocabFile, "words.txt"));
    EXPECT_EQ(column.connections.at(0).adapter->rank, 4);

    const ControllerDecl& gate = example().controllers.at(0);
    EXPECT_EQ(std::tuple(gate.ports.size(), gate.hasTraining, gate.training.targetWidth),
              std::tuple(4u, true, 4));
    EXPECT_EQ(gate.groups.at(0).count, 32);
    EXPECT_FALSE(parse("controller C { }").controllers.at(0).hasTraining);
    // The words of `owns` are joined by one space; a target without [N] has no width.
    const TrainingDecl owned =
        parse("controller C { training { owns: a b c; target: t; } }").controllers.at(0).training;
    EXPECT_EQ(std::tie(owned.owns, owned.targetWidth), std::tuple("a b c", 0));
}

TEST(Architecture, ModulesNetworksAndBrains) {
    const ModuleDecl& thalamus = example().modules.at(0);
    EXPECT_EQ(thalamus.groups.size(), 1u);
    EXPECT_EQ(std::tie(thalamus.memories.at(0).type, thalamus.memories.at(0).capacity),
              std::tuple("episodic", 128));
    EXPECT_EQ(thalamus.focus.at(0).mode, "sync");
    EXPECT_EQ(thalamus.polarizes.at(0).dim, 2);
    EXPECT_TRUE(thalamus.polarizes.at(0).mu);
    ASSERT_EQ(thalamus.handlers.size(), 2u);
    EXPECT_EQ(shape(thalamus.handlers[0].actions.at(0).target), "relay.gain");
    EXPECT_EQ(thalamus.decays.at(0).target, Path{"relay"});
    const UseDecl& column = thalamus.uses.at(0);
    ASSERT_EQ(column.arguments.size(), 2u);
    EXPECT_EQ(std::tie(column.arguments[1].name, column.arguments[1].value.number), std::tuple("gain", 0.8));

    const NetworkDecl& vision = example().networks.at(0);
    ASSERT_EQ(vision.connections.size(), 2u);
    EXPECT_FALSE(vision.connections[0].fromBind);
    // bind is a one-to-one connection
    EXPECT_EQ(std::tie(vision.connections[1].fromBind, vision.connections[1].pattern),
              std::tuple(true, "one_to_one"));
    EXPECT_EQ(std::tie(vision.controls.at(0).target, vision.controls.at(0).source),
              std::tuple(Path{"left", "relay"}, Path{"gate", "open"}));
    EXPECT_EQ(vision.polarizationControls.size(), 1u);
    EXPECT_EQ(vision.competes.at(0).everyTicks, 5);
    ASSERT_EQ(vision.outputs.size(), 2u);
    const OutputDecl& caption = vision.outputs[0];
    EXPECT_EQ(std::tie(caption.type, caption.vocab, caption.vocabFile, caption.loss),
              std::tuple("text", "a b c", "vocab.txt", "cross_entropy"));
    EXPECT_FALSE(vision.outputs[1].vocab);

    const BrainDecl& observer = example().brains.at(0);
    EXPECT_FALSE(observer.competes.at(0).everyTicks);
    EXPECT_EQ(observer.growth.at(0).minSynapses, 1);
}

TEST(Architecture, CompetitionsSourcesAndEvents) {
    const CompetitionDecl& salience = example().competitions.at(0);
    EXPECT_EQ(salience.winners.at(0).method, WinnerMethod::Max);
    EXPECT_EQ(shape(*salience.winners.at(0).score), "activity");
    ASSERT_EQ(salience.winnerActions.size(), 4u);
    auto action = [&](std::size_t i) {
        return std::tie(salience.winnerActions[i].kind, salience.winnerActions[i].target);
    };
    EXPECT_EQ(action(0), std::tuple(WinnerActionKind::Boost, "winner"));
    EXPECT_EQ(action(1), std::tuple(WinnerActionKind::SuppressOthers, ""));
    EXPECT_EQ(action(2), std::tuple(WinnerActionKind::Suppress, "right"));
    EXPECT_EQ(action(3), std::tuple(WinnerActionKind::Assign, ""));
    EXPECT_EQ(salience.winnerActions[3].assignment->op, "=");
    EXPECT_EQ(std::tie(salience.everyTicks, salience.selector), std::tuple(10, "argmax"));
    EXPECT_EQ(parse("competition C { winner takes strongest; }").competitions.at(0).winners.at(0).criterion,
              "strongest");
    EXPECT_EQ(example().sources.at(0).kind, "external");
    EXPECT_EQ(shape(example().events.at(0).condition), "(arousal > 0.7)");
}

TEST(Architecture, ConnectAndUseFailures) {
    Testing::expectAllFail({
        // clang-format off
        {"population P { connect a -> b }", "ocekavano ';' (u '}')", 1, 31},  // without a block ';' ends it
        {"population P { connect a -> b { delay: 1; }; }",
         "neznamy prvek tela populace (u ';')", 1, 44},  // no ';' after a block
        {"population P { connect a b; }", "ocekavano '->' (u 'b')", 1, 26},  // the arrow is missing
        {"population P { connect a. -> b; }",
         "ocekavan identifikator (segment endpointu) (u '->')", 1, 27},  // a dangling dot
        {"population P { connect -> b; }", "ocekavan identifikator (endpoint) (u '->')", 1, 24},  // no source
        {"population P { connect a -> b { colour: red; } }",
         kUnknownConnectProperty + " (u 'colour')", 1, 33},  // no such property
        {"population P { connect a -> b { delay: 1.5; } }",
         "ocekavano cele cislo (delay) (u '1.5')", 1, 40},  // delays are whole ticks
        {"population P { connect a -> b { adapter full_rank as x { } } }",
         "podporovan je pouze adapter low_rank (u 'full_rank')", 1, 41},  // only low_rank exists
        {"population P { connect a -> b { adapter low_rank x { } } }",
         "ocekavano klicove slovo 'as' (u 'x')", 1, 50},  // 'as' before the name
        {"population P { connect a -> b { adapter low_rank as x { depth: 2; } } }",
         "neznamy parametr low_rank adapteru (u 'depth')", 1, 57},  // no such parameter
        {"population P { connect a -> b { adapter low_rank as x { alpha: fast; } } }",
         "ocekavano cislo (alpha) (u 'fast')", 1, 64},  // alpha is a number
        {"circuit C { use layer L as l; }",
         kUseLevel + " (u 'layer')", 1, 17},  // unknown level, before the type
        {"circuit C { use brain B as b; }", kUseLevel + " (u 'brain')", 1, 17},  // brains cannot be used
        {"circuit C { use module M(x 1) as m; }",
         "ocekavano '=' (u '1')", 1, 28},  // arguments are name = value
        {"circuit C { use module M; }",
         "ocekavano klicove slovo 'as' (u ';')", 1, 25},  // the instance name is missing
        {"network N { bind a -> b { } }", "ocekavano ';' (u '{')", 1, 25},  // bind takes no properties
        // clang-format on
    });
}

TEST(Architecture, StatementFailures) {
    Testing::expectAllFail({
        // clang-format off
        {"neuron N { spike; }", "neznamy prvek tela neuronu (u 'spike')", 1, 12},  // unknown statement
        {"neuron N { tau_m 20 ms }", "ocekavano ';' (u '}')", 1, 24},  // a runtime-2 field ends with ';'
        {"neuron N { state { v float; } }", "ocekavano ':' (u 'float')", 1, 22},  // name ':' type
        {"neuron N { state { v: float = x; } }",
         "ocekavan literal (cislo/bool/retezec) (u 'x')", 1, 31},  // defaults are literals
        {"neuron N { state { v: float = -\"a\"; } }",
         "ocekavan literal (cislo/bool/retezec) (u 'a')", 1, 32},  // only numbers take a sign
        {"neuron N { input sum; }", "ocekavano '(' (u ';')", 1, 21},  // it is sum(weighted)
        {"neuron N { output { x 1; } }",
         "ocekavan operator prirazeni (= += -= *= /=) (u '1')", 1, 23},  // no operator
        {"neuron N { on spike { } }",
         "ocekavano klicove slovo 'fire' (u 'spike')", 1, 15},  // neurons only have 'on fire'
        {"population P { neurons { e: N[1.5]; } }", kGroupSize + " (u '1.5')", 1, 31},  // a count is whole
        {"population P { neurons { e: N[vocab_file words]; } }",
         "ocekavana cesta (retezec) ve 'vocab_file' (u 'words')", 1, 42},  // a path string
        {"population P { neurons { e N[1]; } }", "ocekavano ':' (u 'N')", 1, 28},  // group ':' type
        {"population P { publish rates: stream; }",
         "ocekavan typ toku (signal|event|state) (u 'stream')", 1, 31},  // three flow types
        {"population P { learning { speed: 1; } }",
         "neznamy learning prikaz (rule|rate|enabled) (u 'speed')", 1, 27},  // no such entry
        {"population P { growth { grow fast; } }",
         "grow when|rate|weight|delay (u 'fast')", 1, 30},  // no such grow entry
        {"population P { growth { prune weight: 1; } }",
         "prune when|rate (u 'weight')", 1, 31},  // no such prune entry
        {"population P { growth { shrink; } }",
         "neznamy growth prikaz (u 'shrink')", 1, 25},  // no such statement
        {"population P { growth { adjacent layers; } }",
         "ocekavano klicove slovo 'only' (u ';')", 1, 40},  // three words
        {"population P { clamp a on cue; }", "ocekavano klicove slovo 'to' (u 'on')", 1, 24},  // clamp ... to
        {"circuit C { ignition { window = 2.5; } }",
         "ocekavano cele cislo (window) (u '2.5')", 1, 33},  // a window is whole
        {"circuit C { ignition { threshold: 1; } }",
         "ocekavano '=' (u ':')", 1, 33},  // ignition entries use '='
        {"circuit C { ignition { burst = 1; } }",
         "neznamy ignition prikaz (score|threshold|window|fire when) (u 'burst')", 1, 24},  // no such entry
        {"circuit C { focus { mode: lazy; } }",
         "neznamy rezim (sync|async|poisson) (u 'lazy')", 1, 27},  // three modes
        {"circuit C { focus { mode: poisson(x); } }",
         "ocekavano cislo v poisson(...) (u 'x')", 1, 35},  // a rate number
        {"circuit C { focus { hold: 1; } }", "neznamy focus prikaz (u 'hold')", 1, 21},  // no such entry
        {"module M { memory { size: 1; } }",
         "neznamy memory prikaz (type|capacity|decay) (u 'size')", 1, 21},  // no such entry
        {"module M { polarize { beta: 1; } }",
         "neznamy polarize prikaz (alpha|eta|mu|dim) (u 'beta')", 1, 23},  // no such entry
        {"module M { decay r 0.5; }", "ocekavano klicove slovo 'by' (u '0.5')", 1, 20},  // decay ... by
        {"module M { wait; }", "neznamy prvek tela modulu (u 'wait')", 1, 12},  // unknown statement
        // clang-format on
    });
}

TEST(Architecture, DeclarationFailures) {
    Testing::expectAllFail({
        // clang-format off
        {"neuron { }", "ocekavan identifikator (nazev neuronu) (u '{')", 1, 8},  // declarations are named
        {"population P", "ocekavano '{' (u '<konec>')", 1, 13},  // the body is missing
        {"circuit C { learning { } ", "ocekavano '}' (u '<konec>')", 1, 26},  // the body is not closed
        {"circuit C { polarize { } }", "neznamy prvek tela circuitu (u 'polarize')", 1, 13},  // modules only
        {"construct K { learning: allowed; }",
         "ocekavano klicove slovo 'forbidden' (u 'allowed')", 1, 25},  // the one setting
        {"construct K { interface { port p; } }",
         "ocekavano 'input' nebo 'output' v interface (u 'port')", 1, 27},  // two directions
        {"construct K { training { } }", kConstructBody + " (u 'training')", 1, 15},  // controllers only
        {"construct K { expose { a => p; } }", "ocekavano '->' (u '=')", 1, 26},  // the arrow is '->'
        {"controller R { interface { control mux m; } }",
         "podporovane control porty: gate/select/polarization (u 'mux')", 1, 36},  // three kinds
        {"controller R { interface { input x; } }",
         "ocekavano observe nebo control v interface controlleru (u 'input')", 1, 28},  // constructs only
        {"controller R { interface { control select s[2] top x; } }",
         "ocekavano cele cislo (pocet aktivnich select vetvi) (u 'x')", 1, 52},  // K is whole
        {"controller R { training { epochs: 3; } }",
         "neznama training property controlleru 'epochs' (u 'epochs')", 1, 27},  // no such property
        {"controller R { training { target: t[w]; } }",
         "ocekavano cele cislo (rozmer training targetu) (u 'w')", 1, 37},  // a width is whole
        {"controller R { memory { } }",
         "neznamy prvek tela controlleru (u 'memory')", 1, 16},  // modules only
        {"network N { control a b; }", "ocekavano klicove slovo 'with' (u 'b')", 1, 23},  // control ... with
        {"network N { control polarization a with b by 1; }",
         "ocekavano klicove slovo 'of' (u 'a')", 1, 34},  // polarization of
        {"network N { compete C every 2; }",
         "ocekavano klicove slovo 'ticks' (u ';')", 1, 30},  // every n ticks
        {"network N { output text from a as o { size: 1; } }",
         kOutputKey + " (u 'size')", 1, 39},  // no such key
        {"network N { output text from a as o { vocab: abc; } }",
         "ocekavan retezcovy literal ve 'vocab' (u 'abc')", 1, 46},  // a string
        {"network N { output text from a as o { vocab_file: 1; } }",
         "ocekavana cesta (retezec) ve 'vocab_file' (u '1')", 1, 51},  // a path string
        {"network N { neurons { } }",
         "neznamy prvek tela site (u 'neurons')", 1, 13},  // networks hold no groups
        {"brain B { focus { } }", "neznamy prvek tela mozku (u 'focus')", 1, 11},  // not in a brain
        {"plasticity H { limit w between 0 1; }",
         "ocekavano klicove slovo 'and' (u '1')", 1, 34},  // between ... and
        {"plasticity H { decay: 1; }", kPlasticityBody + " (u 'decay')", 1, 16},  // no such statement
        {"competition C { selector: random; }",
         "selector musi byt 'emergent' nebo 'argmax' (u 'random')", 1, 27},  // two selectors
        {"competition C { every 2; }", "ocekavano klicove slovo 'ticks' (u ';')", 1, 24},  // every n ticks
        {"competition C { on winner { boost x 1; } }",
         "ocekavano klicove slovo 'by' (u '1')", 1, 37},  // boost ... by
        {"competition C { loser takes all; }",
         "neznamy prvek competition (winner|on winner|every|selector) (u 'loser')",
         1, 17},  // no such statement
        {"source S { kind: remote; }", "kind musi byt external|internal (u 'remote')", 1, 18},  // two kinds
        {"source S { clamp a to b; }",
         "neznamy prvek zdroje (kind|publish|subscribe) (u 'clamp')", 1, 12},  // not in a source
        {"chemistry { 5: float; }",
         "ocekavan identifikator (nazev neuromodulatoru) (u '5')", 1, 13},  // entries are named
        {"chemistry C { }", "ocekavano '{' (u 'C')", 1, 11},  // chemistry has no name
        // clang-format on
    });
}
