#include "language/architecture_parser.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace Core::Vostel {
namespace {

using K = TokenKind;

// Both places that name a vocabulary file take it as a string.
constexpr const char* kVocabFileExpected = "ocekavana cesta (retezec) ve 'vocab_file'";

bool isOneOf(std::string_view text, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), text) != words.end();
}

// property -> KEYWORD ':' ...  Consumes the keyword and the colon.
bool matchProperty(TokenCursor& c, std::string_view keyword) {
    if (!c.matchKeyword(keyword)) return false;
    c.expect(K::Colon);
    return true;
}

template <class T>
void appendAll(std::vector<T>& to, std::vector<T> from) {
    for (T& item : from) to.push_back(std::move(item));
}

// ---- Expressions ----

Expression parseUnary(TokenCursor& c);

Expression binary(std::string op, Expression left, Expression right) {
    Expression e;
    e.kind = ExpressionKind::Binary;
    e.text = std::move(op);
    e.line = left.line;
    e.column = left.column;
    e.operands.push_back(std::move(left));
    e.operands.push_back(std::move(right));
    return e;
}

// arguments -> '(' [ expression { ',' expression } ] ')'
std::vector<Expression> parseArguments(TokenCursor& c) {
    std::vector<Expression> arguments;
    c.expect(K::LParen);
    if (!c.check(K::RParen)) {
        do {
            arguments.push_back(parseExpression(c));
        } while (c.match(K::Comma));
    }
    c.expect(K::RParen);
    return arguments;
}

// path-or-call -> NAME { '.' NAME } [ arguments ]
Expression parsePathOrCall(TokenCursor& c, std::string_view what) {
    Expression e;
    e.kind = ExpressionKind::Path;
    e.line = c.current().line;
    e.column = c.current().column;
    e.path.push_back(c.expectIdentifier(what));
    while (c.match(K::Dot)) e.path.push_back(c.expectIdentifier("segment endpointu"));
    if (c.check(K::LParen)) {
        e.kind = ExpressionKind::Call;
        e.operands = parseArguments(c);
    }
    return e;
}

// primary -> NUMBER | STRING | 'true' | 'false' | path-or-call | '(' expression ')'
Expression parsePrimary(TokenCursor& c) {
    const Token& token = c.current();
    Expression e;
    e.line = token.line;
    e.column = token.column;
    if (c.check(K::Number)) {
        e.kind = ExpressionKind::Number;
        e.number = c.advance().number;
    } else if (c.check(K::String)) {
        e.kind = ExpressionKind::String;
        e.text = c.advance().text;
    } else if (c.checkKeyword("true") || c.checkKeyword("false")) {
        e.kind = ExpressionKind::Boolean;
        e.boolean = c.advance().text == "true";
    } else if (c.check(K::Identifier)) {
        return parsePathOrCall(c, "vyraz");
    } else if (c.match(K::LParen)) {
        e = parseExpression(c);
        c.expect(K::RParen);
    } else {
        c.fail("ocekavan vyraz");
    }
    return e;
}

// unary -> ('-' | 'not') unary | primary
Expression parseUnary(TokenCursor& c) {
    TokenCursor::Nesting nesting(c);
    if (c.check(K::Minus) || c.checkKeyword("not")) {
        Expression e;
        e.kind = ExpressionKind::Unary;
        e.line = c.current().line;
        e.column = c.current().column;
        e.text = c.advance().text;
        e.operands.push_back(parseUnary(c));
        return e;
    }
    return parsePrimary(c);
}

// multiplicative -> unary { ('*' | '/') unary }
Expression parseMultiplicative(TokenCursor& c) {
    Expression left = parseUnary(c);
    while (c.check(K::Star) || c.check(K::Slash)) {
        std::string op = c.advance().text;
        left = binary(std::move(op), std::move(left), parseUnary(c));
    }
    return left;
}

// additive -> multiplicative { ('+' | '-') multiplicative }
Expression parseAdditive(TokenCursor& c) {
    Expression left = parseMultiplicative(c);
    while (c.check(K::Plus) || c.check(K::Minus)) {
        std::string op = c.advance().text;
        left = binary(std::move(op), std::move(left), parseMultiplicative(c));
    }
    return left;
}

// comparison -> additive [ ('==' | '!=' | '>=' | '<=' | '>' | '<') additive ]
// At most one comparison: "a < b < c" stops before the second '<'.
Expression parseComparison(TokenCursor& c) {
    Expression left = parseAdditive(c);
    for (K kind : {K::EqualEqual, K::NotEqual, K::GreaterEqual, K::LessEqual, K::Greater, K::Less}) {
        if (c.check(kind)) {
            std::string op = c.advance().text;
            return binary(std::move(op), std::move(left), parseAdditive(c));
        }
    }
    return left;
}

// ---- Small pieces shared by the statements ----

// endpoint -> NAME { '.' NAME }
Path parseEndpoint(TokenCursor& c) {
    Path path;
    path.push_back(c.expectIdentifier("endpoint"));
    while (c.match(K::Dot)) path.push_back(c.expectIdentifier("segment endpointu"));
    return path;
}

// literal -> ['-'] NUMBER | STRING | 'true' | 'false'
Expression parseLiteral(TokenCursor& c) {
    Expression e;
    e.line = c.current().line;
    e.column = c.current().column;
    bool negative = c.match(K::Minus);
    if (c.check(K::Number)) {
        e.kind = ExpressionKind::Number;
        e.number = negative ? -c.advance().number : c.advance().number;
    } else if (!negative && c.check(K::String)) {
        e.kind = ExpressionKind::String;
        e.text = c.advance().text;
    } else if (!negative && (c.checkKeyword("true") || c.checkKeyword("false"))) {
        e.kind = ExpressionKind::Boolean;
        e.boolean = c.advance().text == "true";
    } else {
        c.fail("ocekavan literal (cislo/bool/retezec)");
    }
    return e;
}

// variable -> NAME ':' TYPE [ '=' literal ] ';'
VariableDecl parseVariable(TokenCursor& c, std::string_view nameLabel, std::string_view typeLabel) {
    VariableDecl v;
    v.line = c.current().line;
    v.name = c.expectIdentifier(nameLabel);
    c.expect(K::Colon);
    v.type = c.expectIdentifier(typeLabel);
    if (c.match(K::Assign)) v.defaultValue = parseLiteral(c);
    c.expect(K::Semicolon);
    return v;
}

// assignment -> path-or-call ('=' | '+=' | '-=' | '*=' | '/=') expression ';'
AssignmentDecl parseAssignment(TokenCursor& c) {
    AssignmentDecl a;
    a.line = c.current().line;
    a.target = parsePathOrCall(c, "cil prirazeni");
    for (K kind : {K::Assign, K::PlusAssign, K::MinusAssign, K::StarAssign, K::SlashAssign}) {
        if (c.check(kind)) {
            a.op = c.advance().text;
            break;
        }
    }
    if (a.op.empty()) c.fail("ocekavan operator prirazeni (= += -= *= /=)");
    a.value = parseExpression(c);
    c.expect(K::Semicolon);
    return a;
}

// action-block -> '{' { assignment } '}'
std::vector<AssignmentDecl> parseActionBlock(TokenCursor& c) {
    std::vector<AssignmentDecl> actions;
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) actions.push_back(parseAssignment(c));
    c.expect(K::RBrace);
    return actions;
}

// ---- Shared statements ----

// neurons -> 'neurons' '{' { NAME ':' TYPE '[' (INT | 'vocab_file' STRING | NAME) ']' ';' } '}'
std::vector<NeuronGroupDecl> parseNeuronGroups(TokenCursor& c) {
    std::vector<NeuronGroupDecl> groups;
    c.expectKeyword("neurons");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        NeuronGroupDecl g;
        g.line = c.current().line;
        g.name = c.expectIdentifier("nazev skupiny");
        c.expect(K::Colon);
        g.neuronType = c.expectIdentifier("typ neuronu");
        c.expect(K::LBracket);
        if (c.matchKeyword("vocab_file")) {
            if (!c.check(K::String)) c.fail(kVocabFileExpected);
            g.sizeKind = GroupSizeKind::VocabFile;
            g.vocabFile = c.advance().text;
        } else if (c.check(K::Identifier)) {
            g.sizeKind = GroupSizeKind::Parameter;
            g.parameter = c.advance().text;
        } else {
            g.sizeKind = GroupSizeKind::Count;
            g.count = c.expectInteger("pocet neuronu (nebo vocab_file \"...\" / <parametr>)");
        }
        c.expect(K::RBracket);
        c.expect(K::Semicolon);
        groups.push_back(std::move(g));
    }
    c.expect(K::RBrace);
    return groups;
}

// adapter -> 'adapter' 'low_rank' 'as' NAME '{' { adapter-parameter } '}'
AdapterDecl parseAdapter(TokenCursor& c) {
    AdapterDecl a;
    c.expectKeyword("adapter");
    if (c.check(K::Identifier) && !c.checkKeyword("low_rank")) c.fail("podporovan je pouze adapter low_rank");
    c.expectIdentifier("typ adapteru");
    c.expectKeyword("as");
    a.name = c.expectIdentifier("jmeno adapteru");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "rank")) {
            a.rank = c.expectInteger("rank");
        } else if (matchProperty(c, "alpha")) {
            a.alpha = c.expectNumber("alpha");
        } else if (matchProperty(c, "activation")) {
            a.activation = c.expectIdentifier("aktivace adapteru");
        } else if (matchProperty(c, "learning")) {
            a.learning = c.expectIdentifier("uceni adapteru");
        } else if (matchProperty(c, "init_a")) {
            a.initA = c.expectIdentifier("inicializace A");
        } else if (matchProperty(c, "init_b")) {
            a.initB = c.expectIdentifier("inicializace B");
        } else {
            c.fail("neznamy parametr low_rank adapteru");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return a;
}

// connect -> 'connect' endpoint '->' endpoint ( ';' | '{' { property } '}' )
ConnectDecl parseConnect(TokenCursor& c) {
    ConnectDecl d;
    d.line = c.current().line;
    c.expectKeyword("connect");
    d.source = parseEndpoint(c);
    c.expect(K::Arrow);
    d.destination = parseEndpoint(c);
    if (!c.match(K::LBrace)) {
        c.expect(K::Semicolon);
        return d;
    }
    while (!c.atBlockEnd()) {
        if (c.checkKeyword("adapter")) {
            d.adapter = parseAdapter(c);
            continue;
        }
        if (matchProperty(c, "pattern")) {
            d.pattern = c.expectIdentifier("vzor");
        } else if (matchProperty(c, "weight")) {
            d.weight = parseExpression(c);
        } else if (matchProperty(c, "delay")) {
            d.delay = c.expectInteger("delay");
        } else if (matchProperty(c, "plasticity")) {
            d.plasticity = c.expectIdentifier("plasticita");
        } else if (matchProperty(c, "synapse")) {
            d.synapse = c.expectIdentifier("typ synapse");
        } else if (matchProperty(c, "gate")) {
            d.gate = parseEndpoint(c);
        } else {
            c.fail("neznama vlastnost connect (pattern|weight|delay|plasticity|synapse|gate|adapter)");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// bind -> 'bind' endpoint '->' endpoint ';'
ConnectDecl parseBind(TokenCursor& c) {
    ConnectDecl d;
    d.line = c.current().line;
    c.expectKeyword("bind");
    d.source = parseEndpoint(c);
    c.expect(K::Arrow);
    d.destination = parseEndpoint(c);
    c.expect(K::Semicolon);
    d.pattern = "one_to_one";
    d.fromBind = true;
    return d;
}

// use -> 'use' LEVEL TYPE [ '(' [ NAME '=' expression { ',' NAME '=' expression } ] ')' ] 'as' NAME ';'
UseDecl parseUse(TokenCursor& c) {
    UseDecl u;
    u.line = c.current().line;
    c.expectKeyword("use");
    if (!c.check(K::Identifier) || !isOneOf(c.current().text, {"neuron", "population", "circuit", "construct",
                                                               "controller", "module", "network"})) {
        c.fail("ocekavana uroven use (neuron|population|circuit|construct|controller|module|network)");
    }
    u.level = c.advance().text;
    u.type = c.expectIdentifier("typ instance");
    if (c.match(K::LParen)) {
        if (!c.check(K::RParen)) {
            do {
                UseArgument argument;
                argument.name = c.expectIdentifier("jmeno parametru");
                c.expect(K::Assign);
                argument.value = parseExpression(c);
                u.arguments.push_back(std::move(argument));
            } while (c.match(K::Comma));
        }
        c.expect(K::RParen);
    }
    c.expectKeyword("as");
    u.instance = c.expectIdentifier("nazev instance");
    c.expect(K::Semicolon);
    return u;
}

// publish -> 'publish' NAME ':' ('signal' | 'event' | 'state') ';'
PublishDecl parsePublish(TokenCursor& c) {
    PublishDecl p;
    p.line = c.current().line;
    c.expectKeyword("publish");
    p.channel = c.expectIdentifier("kanal");
    c.expect(K::Colon);
    if (!c.check(K::Identifier) || !isOneOf(c.current().text, {"signal", "event", "state"})) {
        c.fail("ocekavan typ toku (signal|event|state)");
    }
    p.flowType = c.advance().text;
    c.expect(K::Semicolon);
    return p;
}

// subscribe -> 'subscribe' '{' { NAME ';' } '}'
std::vector<SubscribeDecl> parseSubscribe(TokenCursor& c) {
    std::vector<SubscribeDecl> channels;
    c.expectKeyword("subscribe");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        SubscribeDecl s;
        s.line = c.current().line;
        s.channel = c.expectIdentifier("odebirany kanal");
        c.expect(K::Semicolon);
        channels.push_back(std::move(s));
    }
    c.expect(K::RBrace);
    return channels;
}

// clamp -> 'clamp' endpoint 'to' NAME [ 'when' expression ] ';'
ClampDecl parseClamp(TokenCursor& c) {
    ClampDecl d;
    d.line = c.current().line;
    c.expectKeyword("clamp");
    d.target = parseEndpoint(c);
    c.expectKeyword("to");
    d.channel = c.expectIdentifier("kanal klampu");
    if (c.matchKeyword("when")) d.condition = parseExpression(c);
    c.expect(K::Semicolon);
    return d;
}

// decay -> 'decay' endpoint 'by' expression ';'
DecayDecl parseDecay(TokenCursor& c) {
    DecayDecl d;
    d.line = c.current().line;
    c.expectKeyword("decay");
    d.target = parseEndpoint(c);
    c.expectKeyword("by");
    d.amount = parseExpression(c);
    c.expect(K::Semicolon);
    return d;
}

// compete -> 'compete' NAME [ 'every' INT 'ticks' ] ';'
CompeteDecl parseCompete(TokenCursor& c) {
    CompeteDecl d;
    d.line = c.current().line;
    c.expectKeyword("compete");
    d.competition = c.expectIdentifier("nazev competition");
    if (c.matchKeyword("every")) {
        d.everyTicks = c.expectInteger("pocet ticku");
        c.expectKeyword("ticks");
    }
    c.expect(K::Semicolon);
    return d;
}

// on -> 'on' NAME action-block
EventHandlerDecl parseOn(TokenCursor& c) {
    EventHandlerDecl d;
    d.line = c.current().line;
    c.expectKeyword("on");
    d.event = c.expectIdentifier("nazev udalosti");
    d.actions = parseActionBlock(c);
    return d;
}

// state -> 'state' '{' { variable } '}'
std::vector<VariableDecl> parseState(TokenCursor& c) {
    std::vector<VariableDecl> states;
    c.expectKeyword("state");
    c.expect(K::LBrace);
    while (!c.atBlockEnd())
        states.push_back(parseVariable(c, "nazev stavove promenne", "typ stavove promenne"));
    c.expect(K::RBrace);
    return states;
}

// input -> 'input' ( 'sum' '(' 'weighted' ')' | NAME ) ';'
std::string parseInput(TokenCursor& c) {
    c.expectKeyword("input");
    std::string mode;
    if (c.matchKeyword("sum")) {
        c.expect(K::LParen);
        c.expectKeyword("weighted");
        c.expect(K::RParen);
        mode = "sum(weighted)";
    } else {
        mode = c.expectIdentifier("nazev vstupniho modu");
    }
    c.expect(K::Semicolon);
    return mode;
}

// learning -> 'learning' '{' { 'rule' ':' NAME ';' | 'rate' ':' expression ';' | 'enabled' ':' expression ';'
// } '}'
LearningDecl parseLearning(TokenCursor& c) {
    LearningDecl d;
    d.line = c.current().line;
    c.expectKeyword("learning");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "rule")) {
            d.rule = c.expectIdentifier("pravidlo uceni");
        } else if (matchProperty(c, "rate")) {
            d.rate = parseExpression(c);
        } else if (matchProperty(c, "enabled")) {
            d.enabled = parseExpression(c);
        } else {
            c.fail("neznamy learning prikaz (rule|rate|enabled)");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// growth -> 'growth' '{' { growth-statement ';' } '}'
GrowthDecl parseGrowth(TokenCursor& c) {
    GrowthDecl d;
    d.line = c.current().line;
    c.expectKeyword("growth");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (c.matchKeyword("grow")) {
            if (c.matchKeyword("when")) {
                d.growWhen = parseExpression(c);
            } else if (matchProperty(c, "rate")) {
                d.growRate = parseExpression(c);
            } else if (matchProperty(c, "weight")) {
                d.growWeight = parseExpression(c);
            } else if (matchProperty(c, "delay")) {
                d.growDelay = c.expectInteger("grow delay");
            } else {
                c.fail("grow when|rate|weight|delay");
            }
        } else if (c.matchKeyword("prune")) {
            if (c.matchKeyword("when")) {
                d.pruneWhen = parseExpression(c);
            } else if (matchProperty(c, "rate")) {
                d.pruneRate = parseExpression(c);
            } else {
                c.fail("prune when|rate");
            }
        } else if (c.matchKeyword("adjacent")) {
            c.expectKeyword("layers");
            c.expectKeyword("only");
            d.adjacentLayersOnly = true;
        } else if (c.matchKeyword("protect")) {
            if (c.matchKeyword("sensory")) {
                d.protectSensory = true;
            } else {
                d.protectedGroups.push_back(c.expectIdentifier("chranena skupina"));
            }
        } else if (matchProperty(c, "max_degree")) {
            d.maxDegree = c.expectInteger("max_degree");
        } else if (matchProperty(c, "max_synapses")) {
            d.maxSynapses = c.expectInteger("max_synapses");
        } else if (matchProperty(c, "min_synapses")) {
            d.minSynapses = c.expectInteger("min_synapses");
        } else {
            c.fail("neznamy growth prikaz");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// ignition -> 'ignition' '{' { ('threshold' | 'score') '=' expression ';' | 'window' '=' INT ';'
//                              | 'fire' 'when' expression ';' } '}'
IgnitionDecl parseIgnition(TokenCursor& c) {
    IgnitionDecl d;
    d.line = c.current().line;
    c.expectKeyword("ignition");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (c.matchKeyword("threshold")) {
            c.expect(K::Assign);
            d.threshold = parseExpression(c);
        } else if (c.matchKeyword("score")) {
            c.expect(K::Assign);
            d.score = parseExpression(c);
        } else if (c.matchKeyword("window")) {
            c.expect(K::Assign);
            d.window = c.expectInteger("window");
        } else if (c.matchKeyword("fire")) {
            c.expectKeyword("when");
            d.fireWhen = parseExpression(c);
        } else {
            c.fail("neznamy ignition prikaz (score|threshold|window|fire when)");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// focus -> 'focus' '{' { focus-statement ';' } '}'
FocusDecl parseFocus(TokenCursor& c) {
    FocusDecl d;
    d.line = c.current().line;
    c.expectKeyword("focus");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "mode")) {
            if (c.checkKeyword("sync") || c.checkKeyword("async")) {
                d.mode = c.advance().text;
            } else if (c.matchKeyword("poisson")) {
                c.expect(K::LParen);
                if (!c.check(K::Number)) c.fail("ocekavano cislo v poisson(...)");
                d.poissonRate = c.advance().number;
                c.expect(K::RParen);
                d.mode = "poisson";
            } else {
                c.fail("neznamy rezim (sync|async|poisson)");
            }
        } else if (matchProperty(c, "until")) {
            d.until = parseExpression(c);
        } else if (matchProperty(c, "max_steps")) {
            d.maxSteps = c.expectInteger("max_steps");
        } else if (c.matchKeyword("suppress")) {
            c.expectKeyword("others");
            c.expectKeyword("by");
            d.suppressOthers = parseExpression(c);
        } else if (c.matchKeyword("preempt")) {
            c.expectKeyword("when");
            d.preemptWhen = parseExpression(c);
        } else if (c.matchKeyword("release")) {
            c.expectKeyword("after");
            c.expect(K::Colon);
            d.releaseAfter = c.expectInteger("release after");
        } else {
            c.fail("neznamy focus prikaz");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// memory -> 'memory' '{' { 'type' ':' NAME ';' | 'capacity' ':' INT ';' | 'decay' ':' expression ';' } '}'
MemoryDecl parseMemory(TokenCursor& c) {
    MemoryDecl d;
    d.line = c.current().line;
    c.expectKeyword("memory");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "type")) {
            d.type = c.expectIdentifier("typ pameti");
        } else if (matchProperty(c, "capacity")) {
            d.capacity = c.expectInteger("capacity");
        } else if (matchProperty(c, "decay")) {
            d.decay = parseExpression(c);
        } else {
            c.fail("neznamy memory prikaz (type|capacity|decay)");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// polarize -> 'polarize' '{' { ('alpha' | 'eta' | 'mu') ':' expression ';' | 'dim' ':' INT ';' } '}'
PolarizeDecl parsePolarize(TokenCursor& c) {
    PolarizeDecl d;
    d.line = c.current().line;
    c.expectKeyword("polarize");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "alpha")) {
            d.alpha = parseExpression(c);
        } else if (matchProperty(c, "eta")) {
            d.eta = parseExpression(c);
        } else if (matchProperty(c, "mu")) {
            d.mu = parseExpression(c);
        } else if (matchProperty(c, "dim")) {
            d.dim = c.expectInteger("dim");
        } else {
            c.fail("neznamy polarize prikaz (alpha|eta|mu|dim)");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// output -> 'output' TYPE 'from' endpoint 'as' NAME ( ';' | '{' { output-entry ';' } '}' )
OutputDecl parseOutput(TokenCursor& c) {
    OutputDecl d;
    d.line = c.current().line;
    c.expectKeyword("output");
    d.type = c.expectIdentifier("typ vystupu (signal|text|...)");
    c.expectKeyword("from");
    d.source = parseEndpoint(c);
    c.expectKeyword("as");
    d.name = c.expectIdentifier("jmeno vystupu");
    if (!c.match(K::LBrace)) {
        c.expect(K::Semicolon);
        return d;
    }
    while (!c.atBlockEnd()) {
        if (matchProperty(c, "vocab")) {
            if (!c.check(K::String)) c.fail("ocekavan retezcovy literal ve 'vocab'");
            d.vocab = c.advance().text;
        } else if (matchProperty(c, "vocab_file")) {
            if (!c.check(K::String)) c.fail(kVocabFileExpected);
            d.vocabFile = c.advance().text;
        } else if (matchProperty(c, "loss")) {
            d.loss = c.expectIdentifier("loss funkce");
        } else {
            c.fail("neznamy klic v output bloku (ocekavano 'vocab', 'vocab_file' nebo 'loss')");
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
    return d;
}

// construct-interface -> 'interface' '{' { ('input' | 'output') NAME ';' } '}'
std::vector<PortDecl> parseConstructInterface(TokenCursor& c) {
    std::vector<PortDecl> ports;
    c.expectKeyword("interface");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        PortDecl p;
        p.line = c.current().line;
        if (!c.checkKeyword("input") && !c.checkKeyword("output")) {
            c.fail("ocekavano 'input' nebo 'output' v interface");
        }
        p.direction = c.advance().text;
        p.name = c.expectIdentifier("nazev portu");
        c.expect(K::Semicolon);
        ports.push_back(std::move(p));
    }
    c.expect(K::RBrace);
    return ports;
}

// controller-interface -> 'interface' '{' { ('observe' | 'control' KIND) NAME [ '[' INT ']' ] [ 'top' INT ]
// ';' } '}'
std::vector<ControllerPortDecl> parseControllerInterface(TokenCursor& c) {
    std::vector<ControllerPortDecl> ports;
    c.expectKeyword("interface");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        ControllerPortDecl p;
        p.line = c.current().line;
        if (c.matchKeyword("observe")) {
            p.role = "observe";
        } else if (c.matchKeyword("control")) {
            p.role = "control";
            if (c.check(K::Identifier) && !isOneOf(c.current().text, {"gate", "select", "polarization"})) {
                c.fail("podporovane control porty: gate/select/polarization");
            }
            p.kind = c.expectIdentifier("typ control portu (gate|select|polarization)");
        } else {
            c.fail("ocekavano observe nebo control v interface controlleru");
        }
        p.name = c.expectIdentifier("nazev portu");
        if (c.match(K::LBracket)) {
            p.width = c.expectInteger("sirka portu");
            c.expect(K::RBracket);
        }
        if (c.matchKeyword("top")) p.topK = c.expectInteger("pocet aktivnich select vetvi");
        c.expect(K::Semicolon);
        ports.push_back(std::move(p));
    }
    c.expect(K::RBrace);
    return ports;
}

// expose -> 'expose' '{' { NAME [ '[' expression ']' ] '->' NAME ';' } '}'
std::vector<ExposeDecl> parseExpose(TokenCursor& c) {
    std::vector<ExposeDecl> exposes;
    c.expectKeyword("expose");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        ExposeDecl e;
        e.line = c.current().line;
        e.group = c.expectIdentifier("vnitrni skupina");
        if (c.match(K::LBracket)) {
            e.index = parseExpression(c);
            c.expect(K::RBracket);
        }
        c.expect(K::Arrow);
        e.port = c.expectIdentifier("port");
        c.expect(K::Semicolon);
        exposes.push_back(std::move(e));
    }
    c.expect(K::RBrace);
    return exposes;
}

// training -> 'training' '{' { PROPERTY ':' VALUE [ '[' INT ']' | { NAME } ] ';' } '}'
void parseTraining(TokenCursor& c, TrainingDecl& training) {
    c.expectKeyword("training");
    c.expect(K::LBrace);
    while (!c.atBlockEnd()) {
        if (c.check(K::Identifier) &&
            !isOneOf(c.current().text, {"objective", "target", "loss", "owns", "reset"})) {
            c.fail("neznama training property controlleru '" + c.current().text + "'");
        }
        std::string property = c.expectIdentifier("training property");
        c.expect(K::Colon);
        std::string value = c.expectIdentifier("training value");
        if (property == "objective") {
            training.objective = value;
        } else if (property == "target") {
            training.target = value;
            if (c.match(K::LBracket)) {
                training.targetWidth = c.expectInteger("rozmer training targetu");
                c.expect(K::RBracket);
            }
        } else if (property == "loss") {
            training.loss = value;
        } else if (property == "owns") {
            while (c.check(K::Identifier)) value += " " + c.expectIdentifier("ownership value");
            training.owns = value;
        } else {
            training.reset = value;
        }
        c.expect(K::Semicolon);
    }
    c.expect(K::RBrace);
}

// parameter -> 'parameter' variable
VariableDecl parseParameter(TokenCursor& c) {
    c.expectKeyword("parameter");
    return parseVariable(c, "nazev parametru", "typ parametru");
}

// ---- Competitions ----

// winner -> 'winner' 'takes' ( ('max' | 'min') '(' expression ')' | NAME ) ';'
WinnerDecl parseWinner(TokenCursor& c) {
    WinnerDecl w;
    w.line = c.current().line;
    c.expectKeyword("winner");
    c.expectKeyword("takes");
    if (c.checkKeyword("max") || c.checkKeyword("min")) {
        w.method = c.advance().text == "max" ? WinnerMethod::Max : WinnerMethod::Min;
        c.expect(K::LParen);
        w.score = parseExpression(c);
        c.expect(K::RParen);
    } else {
        w.method = WinnerMethod::Criterion;
        w.criterion = c.expectIdentifier("vitezne kriterium");
    }
    c.expect(K::Semicolon);
    return w;
}

// winner-action -> 'boost' NAME 'by' expression ';' | 'suppress' ('others' | NAME) 'by' expression ';'
//                | assignment
WinnerActionDecl parseWinnerAction(TokenCursor& c) {
    WinnerActionDecl a;
    a.line = c.current().line;
    if (c.matchKeyword("boost")) {
        a.kind = WinnerActionKind::Boost;
        a.target = c.expectIdentifier("cil boost");
    } else if (c.matchKeyword("suppress")) {
        if (c.matchKeyword("others")) {
            a.kind = WinnerActionKind::SuppressOthers;
        } else {
            a.kind = WinnerActionKind::Suppress;
            a.target = c.expectIdentifier("cil suppress");
        }
    } else {
        a.kind = WinnerActionKind::Assign;
        a.assignment = parseAssignment(c);
        return a;
    }
    c.expectKeyword("by");
    a.amount = parseExpression(c);
    c.expect(K::Semicolon);
    return a;
}

// Opens a named declaration: KEYWORD NAME '{'.
std::string declarationHead(TokenCursor& c, std::string_view keyword, std::string_view label) {
    c.expectKeyword(keyword);
    std::string name = c.expectIdentifier(label);
    c.expect(K::LBrace);
    return name;
}

constexpr std::array kNeuronRuntime2Fields = {
    std::string_view("tau_m"),           std::string_view("tau_a"),
    std::string_view("threshold"),       std::string_view("refractory"),
    std::string_view("hazard"),          std::string_view("stochastic_scale"),
    std::string_view("explicit_memory"), std::string_view("coincidence_gain"),
};

constexpr std::array kPlasticityRuntime2Fields = {
    std::string_view("rule"),   std::string_view("tau_pre"), std::string_view("tau_post"),
    std::string_view("a_plus"), std::string_view("a_minus"), std::string_view("polarity"),
};

template <std::size_t N>
bool checkAnyKeyword(const TokenCursor& c, const std::array<std::string_view, N>& words) {
    return c.check(K::Identifier) && std::find(words.begin(), words.end(), c.current().text) != words.end();
}

}  // namespace

Expression parseExpression(TokenCursor& c) {
    Expression left = parseComparison(c);
    while (c.checkKeyword("and") || c.checkKeyword("or")) {
        std::string op = c.advance().text;
        left = binary(std::move(op), std::move(left), parseComparison(c));
    }
    return left;
}

Runtime2Field parseRuntime2Field(TokenCursor& c) {
    TokenCursor::Nesting nesting(c);
    Runtime2Field field;
    field.line = c.current().line;
    field.name = c.expectIdentifier("nazev pole runtime 2");
    while (!c.check(K::Semicolon) && !c.check(K::LBrace) && !c.atBlockEnd()) {
        field.tokens.push_back(c.advance().text);
    }
    if (c.match(K::LBrace)) {
        while (!c.atBlockEnd()) field.children.push_back(parseRuntime2Field(c));
        c.expect(K::RBrace);
        c.match(K::Semicolon);
    } else {
        c.expect(K::Semicolon);
    }
    return field;
}

// neuron -> 'neuron' NAME '{' { neuron-statement } '}'
NeuronDecl parseNeuron(TokenCursor& c) {
    NeuronDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "neuron", "nazev neuronu");
    while (!c.atBlockEnd()) {
        if (c.checkKeyword("state")) {
            appendAll(d.states, parseState(c));
        } else if (c.checkKeyword("input")) {
            d.inputModes.push_back(parseInput(c));
        } else if (c.matchKeyword("output")) {
            appendAll(d.outputActions, parseActionBlock(c));
        } else if (c.matchKeyword("fire")) {
            c.expectKeyword("when");
            d.fireConditions.push_back(parseExpression(c));
            c.expect(K::Semicolon);
        } else if (c.matchKeyword("emit")) {
            d.emits.push_back(parseExpression(c));
            c.expect(K::Semicolon);
        } else if (c.checkKeyword("decay")) {
            d.decays.push_back(parseDecay(c));
        } else if (c.matchKeyword("on")) {
            c.expectKeyword("fire");
            appendAll(d.onFireActions, parseActionBlock(c));
        } else if (checkAnyKeyword(c, kNeuronRuntime2Fields)) {
            d.runtime2Fields.push_back(parseRuntime2Field(c));
        } else {
            c.fail("neznamy prvek tela neuronu");
        }
    }
    c.expect(K::RBrace);
    return d;
}

// ---- Declaration bodies ----

// One statement a declaration body accepts: the keyword it opens with and how it is read into the
// record. The reader starts on the keyword itself.
template <class Decl>
struct BodyStatement {
    std::string_view keyword;
    void (*read)(TokenCursor&, Decl&);
};

// body -> { statement } '}'  Statements are tried in table order; anything else fails with `unknown`.
template <class Decl>
void parseBody(TokenCursor& c, Decl& d, std::initializer_list<BodyStatement<Decl>> statements,
               std::string_view unknown) {
    while (!c.atBlockEnd()) {
        auto statement =
            std::find_if(statements.begin(), statements.end(),
                         [&](const BodyStatement<Decl>& s) { return c.checkKeyword(s.keyword); });
        if (statement == statements.end()) c.fail(std::string(unknown));
        statement->read(c, d);
    }
    c.expect(K::RBrace);
}

// Statements several bodies share, each appending to the record's list of the same name.
constexpr auto readNeurons = [](TokenCursor& c, auto& d) { appendAll(d.groups, parseNeuronGroups(c)); };
constexpr auto readConnect = [](TokenCursor& c, auto& d) { d.connections.push_back(parseConnect(c)); };
constexpr auto readUse = [](TokenCursor& c, auto& d) { d.uses.push_back(parseUse(c)); };
constexpr auto readPublish = [](TokenCursor& c, auto& d) { d.publishes.push_back(parsePublish(c)); };
constexpr auto readSubscribe = [](TokenCursor& c, auto& d) { appendAll(d.subscriptions, parseSubscribe(c)); };
constexpr auto readLearning = [](TokenCursor& c, auto& d) { d.learning.push_back(parseLearning(c)); };
constexpr auto readGrowth = [](TokenCursor& c, auto& d) { d.growth.push_back(parseGrowth(c)); };
constexpr auto readClamp = [](TokenCursor& c, auto& d) { d.clamps.push_back(parseClamp(c)); };
constexpr auto readIgnition = [](TokenCursor& c, auto& d) { d.ignitions.push_back(parseIgnition(c)); };
constexpr auto readFocus = [](TokenCursor& c, auto& d) { d.focus.push_back(parseFocus(c)); };
constexpr auto readCompete = [](TokenCursor& c, auto& d) { d.competes.push_back(parseCompete(c)); };
constexpr auto readParameter = [](TokenCursor& c, auto& d) { d.parameters.push_back(parseParameter(c)); };
constexpr auto readExpose = [](TokenCursor& c, auto& d) { appendAll(d.exposes, parseExpose(c)); };

// population -> 'population' NAME '{' { learning | neurons | connect | growth | clamp | publish | subscribe }
// '}'
PopulationDecl parsePopulation(TokenCursor& c) {
    PopulationDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "population", "nazev populace");
    parseBody<PopulationDecl>(c, d,
                              {{"learning", readLearning},
                               {"neurons", readNeurons},
                               {"connect", readConnect},
                               {"growth", readGrowth},
                               {"clamp", readClamp},
                               {"publish", readPublish},
                               {"subscribe", readSubscribe}},
                              "neznamy prvek tela populace");
    return d;
}

// circuit -> 'circuit' NAME '{' { learning | ignition | use | connect | growth | focus | clamp | publish
//                                 | subscribe } '}'
CircuitDecl parseCircuit(TokenCursor& c) {
    CircuitDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "circuit", "nazev circuitu");
    parseBody<CircuitDecl>(c, d,
                           {{"learning", readLearning},
                            {"ignition", readIgnition},
                            {"use", readUse},
                            {"connect", readConnect},
                            {"growth", readGrowth},
                            {"focus", readFocus},
                            {"clamp", readClamp},
                            {"publish", readPublish},
                            {"subscribe", readSubscribe}},
                           "neznamy prvek tela circuitu");
    return d;
}

// construct -> 'construct' NAME '{' { parameter | interface | expose | 'learning' ':' 'forbidden' ';'
//                                     | neurons | connect | use } '}'
ConstructDecl parseConstruct(TokenCursor& c) {
    ConstructDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "construct", "nazev constructu");
    parseBody<ConstructDecl>(
        c, d,
        {{"parameter", readParameter},
         {"interface",
          [](TokenCursor& c, ConstructDecl& d) { appendAll(d.ports, parseConstructInterface(c)); }},
         {"expose", readExpose},
         {"learning",
          [](TokenCursor& c, ConstructDecl& d) {
              c.advance();
              c.expect(K::Colon);
              c.expectKeyword("forbidden");
              c.expect(K::Semicolon);
              d.learningForbidden = true;
          }},
         {"neurons", readNeurons},
         {"connect", readConnect},
         {"use", readUse}},
        "neznamy prvek tela constructu (parameter|interface|expose|neurons|connect|use|learning)");
    return d;
}

// controller -> 'controller' NAME '{' { parameter | interface | expose | training | neurons | connect
//                                       | use } '}'
ControllerDecl parseController(TokenCursor& c) {
    ControllerDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "controller", "nazev controlleru");
    parseBody<ControllerDecl>(
        c, d,
        {{"parameter", readParameter},
         {"interface",
          [](TokenCursor& c, ControllerDecl& d) { appendAll(d.ports, parseControllerInterface(c)); }},
         {"expose", readExpose},
         {"training",
          [](TokenCursor& c, ControllerDecl& d) {
              parseTraining(c, d.training);
              d.hasTraining = true;
          }},
         {"neurons", readNeurons},
         {"connect", readConnect},
         {"use", readUse}},
        "neznamy prvek tela controlleru");
    return d;
}

// module -> 'module' NAME '{' { neurons | ignition | connect | memory | learning | focus | growth
//                               | polarize | on | publish | subscribe | clamp | decay | use } '}'
ModuleDecl parseModule(TokenCursor& c) {
    ModuleDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "module", "nazev modulu");
    parseBody<ModuleDecl>(
        c, d,
        {{"neurons", readNeurons},
         {"ignition", readIgnition},
         {"connect", readConnect},
         {"memory", [](TokenCursor& c, ModuleDecl& d) { d.memories.push_back(parseMemory(c)); }},
         {"learning", readLearning},
         {"focus", readFocus},
         {"growth", readGrowth},
         {"polarize", [](TokenCursor& c, ModuleDecl& d) { d.polarizes.push_back(parsePolarize(c)); }},
         {"on", [](TokenCursor& c, ModuleDecl& d) { d.handlers.push_back(parseOn(c)); }},
         {"publish", readPublish},
         {"subscribe", readSubscribe},
         {"clamp", readClamp},
         {"decay", [](TokenCursor& c, ModuleDecl& d) { d.decays.push_back(parseDecay(c)); }},
         {"use", readUse}},
        "neznamy prvek tela modulu");
    return d;
}

// control -> 'control' ( 'polarization' 'of' endpoint 'with' endpoint 'by' expression
//                      | endpoint 'with' endpoint ) ';'
void readControl(TokenCursor& c, NetworkDecl& d) {
    std::uint32_t line = c.advance().line;
    if (c.matchKeyword("polarization")) {
        PolarizationControlDecl p;
        p.line = line;
        c.expectKeyword("of");
        p.target = parseEndpoint(c);
        c.expectKeyword("with");
        p.source = parseEndpoint(c);
        c.expectKeyword("by");
        p.strength = parseExpression(c);
        c.expect(K::Semicolon);
        d.polarizationControls.push_back(std::move(p));
    } else {
        ControlDecl control;
        control.line = line;
        control.target = parseEndpoint(c);
        c.expectKeyword("with");
        control.source = parseEndpoint(c);
        c.expect(K::Semicolon);
        d.controls.push_back(std::move(control));
    }
}

// network -> 'network' NAME '{' { use | connect | bind | control | compete | growth | output } '}'
NetworkDecl parseNetwork(TokenCursor& c) {
    NetworkDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "network", "nazev site");
    parseBody<NetworkDecl>(
        c, d,
        {{"use", readUse},
         {"connect", readConnect},
         {"bind", [](TokenCursor& c, NetworkDecl& d) { d.connections.push_back(parseBind(c)); }},
         {"control", readControl},
         {"compete", readCompete},
         {"growth", readGrowth},
         {"output", [](TokenCursor& c, NetworkDecl& d) { d.outputs.push_back(parseOutput(c)); }}},
        "neznamy prvek tela site");
    return d;
}

// brain -> 'brain' NAME '{' { subscribe | use | connect | compete | growth | publish } '}'
BrainDecl parseBrain(TokenCursor& c) {
    BrainDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "brain", "nazev mozku");
    parseBody<BrainDecl>(c, d,
                         {{"subscribe", readSubscribe},
                          {"use", readUse},
                          {"connect", readConnect},
                          {"compete", readCompete},
                          {"growth", readGrowth},
                          {"publish", readPublish}},
                         "neznamy prvek tela mozku");
    return d;
}

// plasticity -> 'plasticity' NAME '{' { 'when' expression action-block
//                                       | 'limit' NAME 'between' number 'and' number ';' | runtime2-field }
//                                       '}'
PlasticityDecl parsePlasticity(TokenCursor& c) {
    PlasticityDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "plasticity", "nazev plasticity");
    while (!c.atBlockEnd()) {
        if (c.checkKeyword("when")) {
            PlasticityRuleDecl rule;
            rule.line = c.advance().line;
            rule.condition = parseExpression(c);
            rule.actions = parseActionBlock(c);
            d.rules.push_back(std::move(rule));
        } else if (c.checkKeyword("limit")) {
            LimitDecl limit;
            limit.line = c.advance().line;
            limit.variable = c.expectIdentifier("promenna limitu");
            c.expectKeyword("between");
            limit.lower = c.expectNumber("dolni mez");
            c.expectKeyword("and");
            limit.upper = c.expectNumber("horni mez");
            c.expect(K::Semicolon);
            d.limits.push_back(std::move(limit));
        } else if (checkAnyKeyword(c, kPlasticityRuntime2Fields)) {
            d.runtime2Fields.push_back(parseRuntime2Field(c));
        } else {
            c.fail("neznamy prvek plasticity (when|limit|rule|tau_pre|tau_post|a_plus|a_minus|polarity)");
        }
    }
    c.expect(K::RBrace);
    return d;
}

// competition -> 'competition' NAME '{' { 'participants' '{' { NAME ';' } '}' | winner
//                                         | 'on' 'winner' '{' { winner-action } '}'
//                                         | 'every' INT 'ticks' ';' | 'selector' ':' NAME ';' } '}'
CompetitionDecl parseCompetition(TokenCursor& c) {
    CompetitionDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "competition", "nazev competition");
    while (!c.atBlockEnd()) {
        if (c.matchKeyword("participants")) {
            c.expect(K::LBrace);
            while (!c.atBlockEnd()) {
                d.participants.push_back(c.expectIdentifier("ucastnik"));
                c.expect(K::Semicolon);
            }
            c.expect(K::RBrace);
        } else if (c.checkKeyword("winner")) {
            d.winners.push_back(parseWinner(c));
        } else if (c.matchKeyword("on")) {
            c.expectKeyword("winner");
            c.expect(K::LBrace);
            while (!c.atBlockEnd()) d.winnerActions.push_back(parseWinnerAction(c));
            c.expect(K::RBrace);
        } else if (c.matchKeyword("every")) {
            d.everyTicks = c.expectInteger("pocet ticku");
            c.expectKeyword("ticks");
            c.expect(K::Semicolon);
        } else if (matchProperty(c, "selector")) {
            if (!c.checkKeyword("emergent") && !c.checkKeyword("argmax")) {
                c.fail("selector musi byt 'emergent' nebo 'argmax'");
            }
            d.selector = c.advance().text;
            c.expect(K::Semicolon);
        } else {
            c.fail("neznamy prvek competition (winner|on winner|every|selector)");
        }
    }
    c.expect(K::RBrace);
    return d;
}

// source -> 'source' NAME '{' { 'kind' ':' ('external' | 'internal') ';' | publish | subscribe } '}'
SourceDecl parseSource(TokenCursor& c) {
    SourceDecl d;
    d.line = c.current().line;
    d.name = declarationHead(c, "source", "nazev zdroje");
    parseBody<SourceDecl>(c, d,
                          {{"kind",
                            [](TokenCursor& c, SourceDecl& d) {
                                c.advance();
                                c.expect(K::Colon);
                                if (!c.checkKeyword("external") && !c.checkKeyword("internal")) {
                                    c.fail("kind musi byt external|internal");
                                }
                                d.kind = c.advance().text;
                                c.expect(K::Semicolon);
                            }},
                           {"publish", readPublish},
                           {"subscribe", readSubscribe}},
                          "neznamy prvek zdroje (kind|publish|subscribe)");
    return d;
}

// chemistry -> 'chemistry' '{' { variable } '}'
ChemistryDecl parseChemistry(TokenCursor& c) {
    ChemistryDecl d;
    d.line = c.current().line;
    c.expectKeyword("chemistry");
    c.expect(K::LBrace);
    while (!c.atBlockEnd())
        d.entries.push_back(parseVariable(c, "nazev neuromodulatoru", "typ neuromodulatoru"));
    c.expect(K::RBrace);
    return d;
}

// event -> 'event' NAME 'when' expression ';'
EventDecl parseEvent(TokenCursor& c) {
    EventDecl d;
    d.line = c.current().line;
    c.expectKeyword("event");
    d.name = c.expectIdentifier("nazev udalosti");
    c.expectKeyword("when");
    d.condition = parseExpression(c);
    c.expect(K::Semicolon);
    return d;
}

}  // namespace Core::Vostel
