#include "language/semantic_analyzer.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

namespace Core::Vostel {

// A scope that an endpoint path is resolved in: the names a declaration makes
// visible as the first segment of a path (its neuron groups, its `use ... as`
// instances and its interface ports).
struct SemanticAnalyzer::Scope {
    const std::vector<NeuronGroupDecl>* groups = nullptr;
    const std::vector<UseDecl>* uses = nullptr;
    const std::vector<PortDecl>* constructPorts = nullptr;
    const std::vector<ControllerPortDecl>* controllerPorts = nullptr;
};

// Where a path led. `moduleUnit` is the path prefix up to the deepest module
// instance the path reached, `module` that module's declaration; both stay
// empty when the path reached no module.
struct SemanticAnalyzer::Resolution {
    bool resolved = false;
    std::string moduleUnit;
    const ModuleDecl* module = nullptr;
};

namespace {

constexpr std::string_view kSurface2 = "jazykovy povrch runtime 2 vyzaduje 'vostel \"2.0\";'";
constexpr std::string_view kSurface3 = "jazykovy povrch runtime 3 vyzaduje 'vostel \"3.0\";'";

// Texts whose presence in a plasticity name marks it as a learning kind.
constexpr std::string_view kLearningMarks[] = {"learnable", "hebbian", "temporal", "oja", "chl"};

// Handlers of these events react to the runtime itself, not to a channel.
constexpr std::string_view kBuiltinEvents[] = {"fire", "winner", "ignition"};

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// "level 'name'", the context most messages start with.
std::string context(std::string_view level, const std::string& name) {
    return std::string(level) + " " + quoted(name);
}

std::string line(std::uint32_t number) { return "radek " + std::to_string(number); }

std::string joined(const Path& path) {
    std::string text;
    for (const std::string& segment : path) text += (text.empty() ? "" : ".") + segment;
    return text;
}

bool isLearningPlasticity(const std::optional<std::string>& plasticity) {
    if (!plasticity) return false;
    return std::any_of(std::begin(kLearningMarks), std::end(kLearningMarks),
                       [&](std::string_view mark) { return plasticity->find(mark) != std::string::npos; });
}

bool containsLearningEdge(const std::vector<ConnectDecl>& connections) {
    return std::any_of(connections.begin(), connections.end(),
                       [](const ConnectDecl& c) { return isLearningPlasticity(c.plasticity); });
}

bool hasDelayedConnection(const std::vector<ConnectDecl>& connections) {
    return std::any_of(connections.begin(), connections.end(),
                       [](const ConnectDecl& c) { return c.delay && *c.delay > 0; });
}

// The capabilities a capability use may name; every other name is unknown.
std::optional<Capability> capabilityFromName(const std::string& name) {
    static const std::map<std::string, Capability, std::less<>> names{
        {"event_driven", Capability::EventDriven},
        {"oscillator", Capability::Oscillator},
        {"realtime_delay", Capability::RealtimeDelay},
        {"stdp", Capability::Stdp},
        {"experiment", Capability::Experiment},
        {"low_rank_adapter", Capability::LowRankAdapter},
        {"prediction", Capability::Prediction},
        {"multimodal", Capability::Multimodal},
        {"recorder", Capability::Recorder},
        {"realtime", Capability::Realtime},
    };
    const auto found = names.find(name);
    if (found == names.end()) return std::nullopt;
    return found->second;
}

bool mentionsGlobalError(const Runtime2Field& field) {
    return field.name == "global_error" ||
           std::find(field.tokens.begin(), field.tokens.end(), "global_error") != field.tokens.end();
}

// Appends the line of every field (children included, depth first) that uses
// the reserved name.
void collectGlobalErrorLines(const std::vector<Runtime2Field>& fields, std::vector<std::uint32_t>& lines) {
    for (const Runtime2Field& field : fields) {
        if (mentionsGlobalError(field)) lines.push_back(field.line);
        collectGlobalErrorLines(field.children, lines);
    }
}

// H followed by one or more ASCII digits.
bool isHypothesisLabel(const std::string& text) {
    return text.size() >= 2 && text[0] == 'H' &&
           std::all_of(text.begin() + 1, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// end x trials, saturated at the largest value when the product does not fit.
std::int64_t saturatedProduct(std::int64_t end, std::int64_t trials) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(end, trials, &product)) {
        return (end < 0) != (trials < 0) ? std::numeric_limits<std::int64_t>::min()
                                         : std::numeric_limits<std::int64_t>::max();
    }
    return product;
}

// ---- Walking expressions ----

using ExpressionVisitor = std::function<void(const Expression&)>;

// Calls `visit` on `e` and every expression nested in it, parents first.
void walk(const Expression& e, const ExpressionVisitor& visit) {
    visit(e);
    for (const Expression& operand : e.operands) walk(operand, visit);
}

void walk(const std::optional<Expression>& e, const ExpressionVisitor& visit) {
    if (e) walk(*e, visit);
}

void walk(const AssignmentDecl& a, const ExpressionVisitor& visit) {
    walk(a.target, visit);
    walk(a.value, visit);
}

void walk(const VariableDecl& v, const ExpressionVisitor& visit) { walk(v.defaultValue, visit); }
void walk(const UseDecl& u, const ExpressionVisitor& visit) {
    for (const UseArgument& argument : u.arguments) walk(argument.value, visit);
}
void walk(const ConnectDecl& c, const ExpressionVisitor& visit) { walk(c.weight, visit); }
void walk(const ClampDecl& c, const ExpressionVisitor& visit) { walk(c.condition, visit); }
void walk(const DecayDecl& d, const ExpressionVisitor& visit) { walk(d.amount, visit); }
void walk(const ExposeDecl& e, const ExpressionVisitor& visit) { walk(e.index, visit); }
void walk(const EventHandlerDecl& h, const ExpressionVisitor& visit) {
    for (const AssignmentDecl& a : h.actions) walk(a, visit);
}
void walk(const PolarizationControlDecl& p, const ExpressionVisitor& visit) { walk(p.strength, visit); }
void walk(const LearningDecl& l, const ExpressionVisitor& visit) {
    walk(l.rate, visit);
    walk(l.enabled, visit);
}
void walk(const GrowthDecl& g, const ExpressionVisitor& visit) {
    walk(g.growWhen, visit);
    walk(g.growRate, visit);
    walk(g.growWeight, visit);
    walk(g.pruneWhen, visit);
    walk(g.pruneRate, visit);
}
void walk(const IgnitionDecl& i, const ExpressionVisitor& visit) {
    walk(i.threshold, visit);
    walk(i.score, visit);
    walk(i.fireWhen, visit);
}
void walk(const FocusDecl& f, const ExpressionVisitor& visit) {
    walk(f.until, visit);
    walk(f.suppressOthers, visit);
    walk(f.preemptWhen, visit);
}
void walk(const MemoryDecl& m, const ExpressionVisitor& visit) { walk(m.decay, visit); }
void walk(const PolarizeDecl& p, const ExpressionVisitor& visit) {
    walk(p.alpha, visit);
    walk(p.eta, visit);
    walk(p.mu, visit);
}
void walk(const PlasticityRuleDecl& r, const ExpressionVisitor& visit) {
    walk(r.condition, visit);
    for (const AssignmentDecl& a : r.actions) walk(a, visit);
}
void walk(const WinnerDecl& w, const ExpressionVisitor& visit) { walk(w.score, visit); }
void walk(const WinnerActionDecl& a, const ExpressionVisitor& visit) {
    walk(a.amount, visit);
    if (a.assignment) walk(*a.assignment, visit);
}

template <class T>
void walkAll(const std::vector<T>& items, const ExpressionVisitor& visit) {
    for (const T& item : items) walk(item, visit);
}

// Every expression of the model, declaration kind by declaration kind.
void walkModel(const Model& m, const ExpressionVisitor& visit) {
    for (const NeuronDecl& d : m.neurons) {
        walkAll(d.states, visit);
        walkAll(d.outputActions, visit);
        walkAll(d.fireConditions, visit);
        walkAll(d.emits, visit);
        walkAll(d.decays, visit);
        walkAll(d.onFireActions, visit);
    }
    for (const PopulationDecl& d : m.populations) {
        walkAll(d.learning, visit);
        walkAll(d.connections, visit);
        walkAll(d.growth, visit);
        walkAll(d.clamps, visit);
    }
    for (const CircuitDecl& d : m.circuits) {
        walkAll(d.learning, visit);
        walkAll(d.ignitions, visit);
        walkAll(d.uses, visit);
        walkAll(d.connections, visit);
        walkAll(d.growth, visit);
        walkAll(d.focus, visit);
        walkAll(d.clamps, visit);
    }
    for (const ConstructDecl& d : m.constructs) {
        walkAll(d.parameters, visit);
        walkAll(d.exposes, visit);
        walkAll(d.connections, visit);
        walkAll(d.uses, visit);
    }
    for (const ControllerDecl& d : m.controllers) {
        walkAll(d.parameters, visit);
        walkAll(d.exposes, visit);
        walkAll(d.connections, visit);
        walkAll(d.uses, visit);
    }
    for (const ModuleDecl& d : m.modules) {
        walkAll(d.ignitions, visit);
        walkAll(d.connections, visit);
        walkAll(d.memories, visit);
        walkAll(d.learning, visit);
        walkAll(d.focus, visit);
        walkAll(d.growth, visit);
        walkAll(d.polarizes, visit);
        walkAll(d.handlers, visit);
        walkAll(d.clamps, visit);
        walkAll(d.decays, visit);
        walkAll(d.uses, visit);
    }
    for (const NetworkDecl& d : m.networks) {
        walkAll(d.uses, visit);
        walkAll(d.connections, visit);
        walkAll(d.polarizationControls, visit);
        walkAll(d.growth, visit);
    }
    for (const BrainDecl& d : m.brains) {
        walkAll(d.uses, visit);
        walkAll(d.connections, visit);
        walkAll(d.growth, visit);
    }
    for (const PlasticityDecl& d : m.plasticities) walkAll(d.rules, visit);
    for (const CompetitionDecl& d : m.competitions) {
        walkAll(d.winners, visit);
        walkAll(d.winnerActions, visit);
    }
    for (const EventDecl& d : m.events) walk(d.condition, visit);
}

// A constant number written as a literal, possibly with a leading minus.
std::optional<double> constantNumber(const Expression& e) {
    if (e.kind == ExpressionKind::Number) return e.number;
    if (e.kind == ExpressionKind::Unary && e.text == "-" && e.operands.size() == 1 &&
        e.operands[0].kind == ExpressionKind::Number) {
        return -e.operands[0].number;
    }
    return std::nullopt;
}

template <class Decl>
void registerLevel(const std::vector<Decl>& declarations, std::unordered_map<std::string, const Decl*>& table,
                   std::string_view level, std::vector<std::string>& errors) {
    for (const Decl& d : declarations) {
        if (!table.emplace(d.name, &d).second) errors.push_back("duplicitni " + context(level, d.name));
    }
}

template <class Decl>
const Decl* find(const std::unordered_map<std::string, const Decl*>& table, const std::string& name) {
    const auto found = table.find(name);
    return found == table.end() ? nullptr : found->second;
}

const UseDecl* findUse(const std::vector<UseDecl>* uses, const std::string& name) {
    if (!uses) return nullptr;
    for (const UseDecl& u : *uses) {
        if (u.instance == name) return &u;
    }
    return nullptr;
}

bool hasGroup(const std::vector<NeuronGroupDecl>& groups, const std::string& name) {
    return std::any_of(groups.begin(), groups.end(),
                       [&](const NeuronGroupDecl& g) { return g.name == name; });
}

// A construct's or controller's inner part: a neuron group or a used instance.
bool hasInnerPart(const std::vector<NeuronGroupDecl>& groups, const std::vector<UseDecl>& uses,
                  const std::string& name) {
    return hasGroup(groups, name) || findUse(&uses, name) != nullptr;
}

}  // namespace

std::string runtimeName(RuntimeKind runtime) {
    switch (runtime) {
        case RuntimeKind::Sync:
            return "sync";
        case RuntimeKind::Kvrn:
            return "kvrn";
        case RuntimeKind::Transformer:
            return "transformer";
    }
    return "unknown";
}

std::string capabilityName(Capability capability) {
    static constexpr std::string_view names[kCapabilityCount] = {
        "rate_activation",
        "event_driven",
        "spiking",
        "oscillator",
        "realtime_delay",
        "stdp",
        "experiment",
        "low_rank_adapter",
        "softmax_readout",
        "construct_cmod",
        "prediction",
        "multimodal",
        "recorder",
        "realtime",
        "token_sequence",
        "embedding_io",
        "autoregressive",
        "kv_cache",
        "transformer_training",
    };
    const auto index = static_cast<std::size_t>(capability);
    return index < kCapabilityCount ? std::string(names[index]) : "unknown";
}

CapabilitySet runtimeCapabilities(RuntimeKind runtime) {
    switch (runtime) {
        case RuntimeKind::Sync:
            return CapabilitySet(901);
        case RuntimeKind::Kvrn:
            return CapabilitySet(15486);
        case RuntimeKind::Transformer:
            return CapabilitySet(0x7c000);
    }
    return CapabilitySet();
}

SemanticAnalyzer::SemanticAnalyzer(const Model& model, RuntimeKind runtime)
    : model_(model), runtime_(runtime) {}

AnalysisResult SemanticAnalyzer::analyze() {
    validateCapabilities();
    registerDeclarations();
    checkTypeReferences();
    checkConnections();
    checkNetworksAndBrains();
    checkConstructs();
    checkControllers();
    checkControllerCycles();
    checkChannels();
    checkCompetitions();
    checkPlasticitySymbols();
    checkChemistry();
    checkStimuliAndExperiments();
    return result_;
}

// ---- Pass 1: capabilities and language surfaces ----

void SemanticAnalyzer::validateCapabilities() {
    const CapabilitySet offered = runtimeCapabilities(runtime_);
    for (const CapabilityUse& use : model_.capabilityUses) {
        const std::optional<Capability> capability = capabilityFromName(use.capability);
        if (!capability) {
            error(line(use.line) + ": konstrukt " + quoted(use.construct) + " pozaduje neznamou capability " +
                  quoted(use.capability));
            continue;
        }
        if (!offered.test(static_cast<std::size_t>(*capability))) {
            error(line(use.line) + ": konstrukt " + quoted(use.construct) + " pozaduje capability " +
                  quoted(capabilityName(*capability)) + ", kterou runtime " + quoted(runtimeName(runtime_)) +
                  " nema");
        }
    }

    const auto& constructs = model_.runtime2Constructs;
    const bool surface2 = std::any_of(model_.neurons.begin(), model_.neurons.end(),
                                      [](const NeuronDecl& n) { return !n.runtime2Fields.empty(); }) ||
                          std::any_of(model_.plasticities.begin(), model_.plasticities.end(),
                                      [](const PlasticityDecl& p) { return !p.runtime2Fields.empty(); }) ||
                          std::any_of(constructs.begin(), constructs.end(),
                                      [](const Runtime2Construct& c) { return c.keyword != "transformer"; });
    if (surface2 && model_.version != "2.0") error(std::string(kSurface2));
    const bool surface3 = std::any_of(constructs.begin(), constructs.end(),
                                      [](const Runtime2Construct& c) { return c.keyword == "transformer"; });
    if (surface3 && model_.version != "3.0") error(std::string(kSurface3));

    for (const Runtime2Construct& construct : constructs) {
        if (construct.keyword != "prediction") continue;
        std::vector<std::uint32_t> lines;
        collectGlobalErrorLines(construct.fields, lines);
        for (std::uint32_t at : lines) {
            error(line(at) +
                  ": rezervovane jmeno 'global_error' je zakazane; predikcni chyba musi mit lokalni cile");
        }
    }

    if (!model_.experiments.empty() && !offered.test(static_cast<std::size_t>(Capability::Experiment))) {
        error("konstrukt 'experiment' pozaduje capability 'experiment', kterou runtime " +
              quoted(runtimeName(runtime_)) + " nema");
    }
}

// ---- Pass 2: registration ----

void SemanticAnalyzer::registerDeclarations() {
    registerLevel(model_.neurons, neurons_, "neuron", result_.errors);
    registerLevel(model_.populations, populations_, "population", result_.errors);
    registerLevel(model_.circuits, circuits_, "circuit", result_.errors);
    registerLevel(model_.constructs, constructs_, "construct", result_.errors);
    registerLevel(model_.controllers, controllers_, "controller", result_.errors);
    registerLevel(model_.modules, modules_, "module", result_.errors);
    registerLevel(model_.networks, networks_, "network", result_.errors);
    registerLevel(model_.brains, brains_, "brain", result_.errors);
}

bool SemanticAnalyzer::isDeclared(const std::string& level, const std::string& type) const {
    if (level == "neuron") return neurons_.count(type) != 0;
    Scope ignored;
    return scopeOf(level, type, ignored);
}

bool SemanticAnalyzer::scopeOf(const std::string& level, const std::string& type, Scope& scope) const {
    scope = Scope{};
    if (level == "population") {
        const PopulationDecl* d = find(populations_, type);
        if (!d) return false;
        scope.groups = &d->groups;
    } else if (level == "circuit") {
        const CircuitDecl* d = find(circuits_, type);
        if (!d) return false;
        scope.uses = &d->uses;
    } else if (level == "construct") {
        const ConstructDecl* d = find(constructs_, type);
        if (!d) return false;
        scope.groups = &d->groups;
        scope.uses = &d->uses;
        scope.constructPorts = &d->ports;
    } else if (level == "controller") {
        const ControllerDecl* d = find(controllers_, type);
        if (!d) return false;
        scope.groups = &d->groups;
        scope.uses = &d->uses;
        scope.controllerPorts = &d->ports;
    } else if (level == "module") {
        const ModuleDecl* d = find(modules_, type);
        if (!d) return false;
        scope.groups = &d->groups;
        scope.uses = &d->uses;
    } else if (level == "network") {
        const NetworkDecl* d = find(networks_, type);
        if (!d) return false;
        scope.uses = &d->uses;
    } else {
        return false;
    }
    return true;
}

// ---- Pass 3: type references ----

void SemanticAnalyzer::checkTypeReferences() {
    const auto groups = [&](const std::string& ctx, const std::vector<NeuronGroupDecl>& list) {
        for (const NeuronGroupDecl& g : list) {
            if (!neurons_.count(g.neuronType)) {
                error(ctx + ": skupina " + quoted(g.name) + " ma neznamy typ neuronu " +
                      quoted(g.neuronType));
            }
        }
    };
    const auto uses = [&](const std::string& ctx, const std::vector<UseDecl>& list) {
        for (const UseDecl& u : list) {
            if (!isDeclared(u.level, u.type)) {
                error(ctx + ": 'use " + u.level + " " + u.type + " as " + u.instance + "' — neznamy typ " +
                      quoted(u.type));
            }
        }
    };
    for (const PopulationDecl& d : model_.populations) groups(context("population", d.name), d.groups);
    for (const ModuleDecl& d : model_.modules) {
        groups(context("module", d.name), d.groups);
        uses(context("module", d.name), d.uses);
    }
    for (const CircuitDecl& d : model_.circuits) uses(context("circuit", d.name), d.uses);
    for (const ConstructDecl& d : model_.constructs) {
        groups(context("construct", d.name), d.groups);
        uses(context("construct", d.name), d.uses);
    }
    for (const ControllerDecl& d : model_.controllers) {
        groups(context("controller", d.name), d.groups);
        uses(context("controller", d.name), d.uses);
    }
    for (const NetworkDecl& d : model_.networks) uses(context("network", d.name), d.uses);
    for (const BrainDecl& d : model_.brains) uses(context("brain", d.name), d.uses);
}

// ---- Pass 4: connections ----

SemanticAnalyzer::Resolution SemanticAnalyzer::resolveEndpoint(const Scope& start, const Path& path,
                                                               const std::string& ctx) {
    Resolution resolution;
    const std::string p = quoted(joined(path));
    Scope scope = start;
    std::string prefix;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const std::string& segment = path[i];
        const bool last = i + 1 == path.size();
        prefix += (i ? "." : "") + segment;

        const bool isGroup = scope.groups && hasGroup(*scope.groups, segment);
        const bool isPort =
            (scope.constructPorts &&
             std::any_of(scope.constructPorts->begin(), scope.constructPorts->end(),
                         [&](const PortDecl& port) { return port.name == segment; })) ||
            (scope.controllerPorts &&
             std::any_of(scope.controllerPorts->begin(), scope.controllerPorts->end(),
                         [&](const ControllerPortDecl& port) { return port.name == segment; }));
        if (isGroup || isPort) {
            if (!last) {
                error(ctx + ": endpoint " + p + " — za skupinou neuronu " + quoted(segment) +
                      " nelze pokracovat");
                return resolution;
            }
            resolution.resolved = true;
            return resolution;
        }

        const UseDecl* use = findUse(scope.uses, segment);
        if (!use) {
            error(ctx + ": endpoint " + p + " — neznamy segment " + quoted(segment));
            return resolution;
        }
        if (use->level == "neuron") {
            if (!last) {
                error(ctx + ": endpoint " + p + " — za neuronem " + quoted(segment) + " nelze pokracovat");
                return resolution;
            }
            resolution.resolved = true;
            return resolution;
        }
        Scope inner;
        const bool known = scopeOf(use->level, use->type, inner);
        if (use->level == "module" && known) {
            resolution.moduleUnit = prefix;
            resolution.module = find(modules_, use->type);
        }
        if (last) {
            error(ctx + ": endpoint " + p + " konci u instance " + quoted(segment) + " (" + use->level + " " +
                  use->type + "), ne u skupiny neuronu");
            return resolution;
        }
        if (!known) {
            error(ctx + ": endpoint " + p + " — nelze sestoupit do " + quoted(segment) + " (neznamy typ " +
                  quoted(use->type) + ")");
            return resolution;
        }
        scope = inner;
    }
    return resolution;
}

void SemanticAnalyzer::checkConnection(const Scope& scope, const ConnectDecl& connect,
                                       const std::string& ctx) {
    resolveEndpoint(scope, connect.source, ctx + " connect(src)");
    resolveEndpoint(scope, connect.destination, ctx + " connect(dst)");
    if (connect.gate) resolveEndpoint(scope, *connect.gate, ctx + " connect(gate)");
    if (!connect.adapter) return;

    const AdapterDecl& a = *connect.adapter;
    if (a.name.empty()) error(ctx + ": low_rank adapter musi mit jmeno");
    if (a.rank < 1) error(ctx + ": low_rank adapter rank musi byt kladny");
    if (!(std::isfinite(a.alpha) && a.alpha > 0.0))
        error(ctx + ": low_rank adapter alpha musi byt konecne kladne cislo");
    if (a.activation != "linear") error(ctx + ": low_rank adapter podporuje pouze activation: linear");
    if (a.learning != "eligibility") error(ctx + ": low_rank adapter podporuje pouze learning: eligibility");
    if (a.initA != "kaiming_uniform")
        error(ctx + ": low_rank adapter podporuje pouze init_a: kaiming_uniform");
    if (a.initB != "zero") error(ctx + ": low_rank adapter vyzaduje init_b: zero");
    const bool frozen = !connect.plasticity || *connect.plasticity == "none" ||
                        *connect.plasticity == "fixed" || *connect.plasticity == "frozen";
    if (!frozen) error(ctx + ": base path low_rank adapteru musi byt zmrazena");
}

void SemanticAnalyzer::checkConnections() {
    const auto all = [&](std::string_view level, const std::string& name, const Scope& scope,
                         const std::vector<ConnectDecl>& connections) {
        const std::string ctx = context(level, name);
        for (const ConnectDecl& c : connections) checkConnection(scope, c, ctx);
    };
    for (const PopulationDecl& d : model_.populations) {
        all("population", d.name, Scope{&d.groups, nullptr, nullptr, nullptr}, d.connections);
    }
    for (const CircuitDecl& d : model_.circuits) {
        all("circuit", d.name, Scope{nullptr, &d.uses, nullptr, nullptr}, d.connections);
    }
    for (const ConstructDecl& d : model_.constructs) {
        all("construct", d.name, Scope{&d.groups, &d.uses, &d.ports, nullptr}, d.connections);
    }
    for (const ControllerDecl& d : model_.controllers) {
        all("controller", d.name, Scope{&d.groups, &d.uses, nullptr, &d.ports}, d.connections);
    }
    for (const ModuleDecl& d : model_.modules) {
        all("module", d.name, Scope{&d.groups, &d.uses, nullptr, nullptr}, d.connections);
    }
    for (const NetworkDecl& d : model_.networks) {
        all("network", d.name, Scope{nullptr, &d.uses, nullptr, nullptr}, d.connections);
    }
}

// ---- Pass 5: polarization controls of networks, connections of brains ----

void SemanticAnalyzer::checkNetworksAndBrains() {
    for (const NetworkDecl& network : model_.networks) {
        const std::string ctx = "network " + quoted(network.name) + " polarization control";
        const Scope scope{nullptr, &network.uses, nullptr, nullptr};
        std::set<std::string> controlledUnits;
        for (const PolarizationControlDecl& control : network.polarizationControls) {
            const Resolution target = resolveEndpoint(scope, control.target, ctx + " (target)");
            resolveEndpoint(scope, control.source, ctx + " (source)");

            const std::optional<double> strength = constantNumber(control.strength);
            if (!strength || !(*strength >= 0.0 && *strength <= 1.0)) {
                error(ctx + ": 'by' musi byt konstantni cislo v rozsahu 0..1");
            }

            bool polarizationPort = false;
            if (control.source.size() == 2) {
                const UseDecl* use = findUse(&network.uses, control.source[0]);
                const ControllerDecl* controller =
                    use && use->level == "controller" ? find(controllers_, use->type) : nullptr;
                if (controller) {
                    polarizationPort = std::any_of(controller->ports.begin(), controller->ports.end(),
                                                   [&](const ControllerPortDecl& port) {
                                                       return port.name == control.source[1] &&
                                                              port.role == "control" &&
                                                              port.kind == "polarization" && port.width == 2;
                                                   });
                }
            }
            if (!polarizationPort) error(ctx + ": source musi byt control polarization port sirky 2");

            // The polarization unit is the module instance whose polarize
            // block the target lies under, named by its path in the network.
            if (!target.module || target.module->polarizes.empty()) {
                error(ctx + ": target musi lezet v modulu s blokem polarize");
            } else if (!controlledUnits.insert(target.moduleUnit).second) {
                error(ctx + ": jedna polarizacni jednotka smi mit jen jeden controller");
            }
        }
    }
    for (const BrainDecl& brain : model_.brains) {
        const std::string ctx = "brain " + quoted(brain.name) + " connect";
        const Scope scope{nullptr, &brain.uses, nullptr, nullptr};
        for (const ConnectDecl& c : brain.connections) {
            resolveEndpoint(scope, c.source, ctx + "(src)");
            resolveEndpoint(scope, c.destination, ctx + "(dst)");
        }
    }
}

// ---- Pass 6: constructs ----

void SemanticAnalyzer::checkUseConstruct(const UseDecl& use, const std::string& ctx) {
    if (use.level != "construct") return;
    const ConstructDecl* construct = find(constructs_, use.type);
    if (!construct) return;  // reported by the type references
    const std::string statement = ctx + ": 'use construct " + use.type + " as " + use.instance + "' — ";
    for (const UseArgument& argument : use.arguments) {
        const bool declared =
            std::any_of(construct->parameters.begin(), construct->parameters.end(),
                        [&](const VariableDecl& parameter) { return parameter.name == argument.name; });
        if (!declared) error(statement + "neznamy parametr " + quoted(argument.name));
    }
    for (const VariableDecl& parameter : construct->parameters) {
        if (parameter.defaultValue) continue;
        const bool passed =
            std::any_of(use.arguments.begin(), use.arguments.end(),
                        [&](const UseArgument& argument) { return argument.name == parameter.name; });
        if (!passed) error(statement + "parametr " + quoted(parameter.name) + " nema default a neni predan");
    }
}

void SemanticAnalyzer::checkConstructs() {
    for (const ConstructDecl& d : model_.constructs) {
        const std::string ctx = context("construct", d.name);
        std::unordered_set<std::string> ports;
        for (const PortDecl& port : d.ports) {
            if (!ports.insert(port.name).second) error(ctx + ": duplicitni port " + quoted(port.name));
        }
        for (const ExposeDecl& expose : d.exposes) {
            if (!ports.count(expose.port)) {
                error(ctx + ": expose -> " + quoted(expose.port) + " — port neni deklarovan v interface");
            }
            if (!hasInnerPart(d.groups, d.uses, expose.group)) {
                error(ctx + ": expose " + quoted(expose.group) + " -> " + quoted(expose.port) +
                      " — visici expose (vnitrni skupina " + quoted(expose.group) + " neexistuje)");
            }
        }
        std::unordered_set<std::string> parameters;
        for (const VariableDecl& parameter : d.parameters) {
            if (!parameters.insert(parameter.name).second) {
                error(ctx + ": duplicitni parametr " + quoted(parameter.name));
            }
        }
        if (d.learningForbidden) {
            for (const ConnectDecl& c : d.connections) {
                if (isLearningPlasticity(c.plasticity)) {
                    error(ctx + ": 'learning: forbidden' porusen — hrana s ucenou plasticitou " +
                          quoted(*c.plasticity) + " (pevny substrat nesmi mit uceni)");
                }
            }
        }
    }
    const auto uses = [&](std::string_view level, const std::string& name, const std::vector<UseDecl>& list) {
        for (const UseDecl& use : list) checkUseConstruct(use, context(level, name));
    };
    for (const ConstructDecl& d : model_.constructs) uses("construct", d.name, d.uses);
    for (const ModuleDecl& d : model_.modules) uses("module", d.name, d.uses);
    for (const CircuitDecl& d : model_.circuits) uses("circuit", d.name, d.uses);
    for (const NetworkDecl& d : model_.networks) uses("network", d.name, d.uses);
}

// ---- Pass 7: controllers ----

void SemanticAnalyzer::checkControllers() {
    for (const ControllerDecl& d : model_.controllers) {
        const std::string ctx = context("controller", d.name);
        std::unordered_set<std::string> names;
        for (const ControllerPortDecl& port : d.ports) {
            if (!names.insert(port.name).second) error(ctx + ": duplicitni port " + quoted(port.name));
        }

        bool anyControl = false;
        bool seenSelect = false;
        std::int64_t selectWidth = 0;
        std::int64_t polarizationPorts = 0;
        std::int64_t gatePorts = 0;
        for (const ControllerPortDecl& port : d.ports) {
            if (port.role != "control") continue;
            anyControl = true;
            const bool select = port.kind == "select";
            if (select && port.width < 2) error(ctx + ": select port musi mit sirku >= 2");
            if (!select && port.topK != 0) error(ctx + ": 'top K' lze pouzit pouze u select portu");
            if (select && port.topK != 0 && (port.topK < 1 || port.topK > port.width)) {
                error(ctx + ": select top K musi byt v rozsahu 1..sirka portu");
            }
            if (port.kind == "polarization" && port.width != 2) {
                error(ctx + ": polarization port musi mit sirku presne 2");
            }
            if (select && seenSelect) error(ctx + ": vice select portu ma nejednoznacny training target");
            if (select) {
                seenSelect = true;
                selectWidth = port.width;
            }
            if (port.kind == "polarization") ++polarizationPorts;
            if (port.kind == "gate") ++gatePorts;
        }
        if (!anyControl) error(ctx + ": chybi ridici vystup control");
        const std::int64_t controlWidth = seenSelect              ? selectWidth
                                          : polarizationPorts > 0 ? 2 * polarizationPorts
                                                                  : gatePorts;

        const TrainingDecl& training = d.training;
        if (training.owns != "internal learnable") {
            error(ctx + ": MVP podporuje pouze 'owns: internal learnable', zadano " + quoted(training.owns));
        }
        for (const ExposeDecl& expose : d.exposes) {
            if (!names.count(expose.port))
                error(ctx + ": expose na nedeklarovany port " + quoted(expose.port));
            if (!hasInnerPart(d.groups, d.uses, expose.group)) {
                error(ctx + ": expose z nezname skupiny " + quoted(expose.group));
            }
        }
        for (const ControllerPortDecl& port : d.ports) {
            const bool mapped =
                std::any_of(d.exposes.begin(), d.exposes.end(),
                            [&](const ExposeDecl& expose) { return expose.port == port.name; });
            if (!mapped) error(ctx + ": port " + quoted(port.name) + " nema expose mapovani");
        }
        if (training.objective != "supervised") error(ctx + ": MVP podporuje jen objective supervised");
        if (training.reset != "per_sequence") error(ctx + ": MVP vyzaduje reset per_sequence");
        if (training.targetWidth > 0) {
            if (training.targetWidth != controlWidth) {
                error(ctx + ": rozmer targetu " + std::to_string(training.targetWidth) +
                      " neodpovida ridicimu portu " + std::to_string(controlWidth));
            }
        } else {
            error(ctx + ": training target musi deklarovat rozmer jako target: Name[N]");
        }

        if (!containsLearningEdge(d.connections)) continue;
        for (const ConstructDecl& construct : model_.constructs) {
            if (!construct.learningForbidden) continue;
            const bool inside = std::any_of(
                construct.uses.begin(), construct.uses.end(),
                [&](const UseDecl& use) { return use.level == "controller" && use.type == d.name; });
            if (!inside) continue;
            for (const ConnectDecl& c : d.connections) {
                if (isLearningPlasticity(c.plasticity)) {
                    error(ctx + ": vlastni ucitelnou hranu uvnitr learning: forbidden constructu " +
                          quoted(construct.name));
                }
            }
        }
    }
}

// ---- Pass 8: controller cycles ----

void SemanticAnalyzer::checkControllerCycles() {
    for (const NetworkDecl& network : model_.networks) {
        std::vector<const UseDecl*> nodes;
        std::unordered_map<std::string, std::size_t> indexOf;
        for (const UseDecl& use : network.uses) {
            if (use.level != "controller" || indexOf.count(use.instance)) continue;
            indexOf.emplace(use.instance, nodes.size());
            nodes.push_back(&use);
        }
        if (nodes.empty()) continue;

        // A controller holding a delayed connection keeps state between ticks
        // and so breaks any loop through it.
        const auto stateful = [&](const UseDecl* node) {
            const ControllerDecl* controller = find(controllers_, node->type);
            return controller && hasDelayedConnection(controller->connections);
        };
        std::vector<std::vector<std::size_t>> edges(nodes.size());
        for (const ConnectDecl& c : network.connections) {
            if (c.source.empty() || c.destination.empty()) continue;
            const auto from = indexOf.find(c.source.front());
            const auto to = indexOf.find(c.destination.front());
            if (from == indexOf.end() || to == indexOf.end()) continue;
            if (c.delay && *c.delay > 0) continue;
            if (stateful(nodes[from->second]) || stateful(nodes[to->second])) continue;
            edges[from->second].push_back(to->second);
        }

        enum class Colour : std::uint8_t { Unvisited, OnPath, Finished };
        std::vector<Colour> colour(nodes.size(), Colour::Unvisited);
        // Iterative depth-first search: (node, next edge to follow).
        std::vector<std::pair<std::size_t, std::size_t>> stack;
        bool found = false;
        for (std::size_t root = 0; root < nodes.size() && !found; ++root) {
            if (colour[root] != Colour::Unvisited) continue;
            colour[root] = Colour::OnPath;
            stack.push_back({root, 0});
            while (!stack.empty() && !found) {
                auto& [node, next] = stack.back();
                if (next == edges[node].size()) {
                    colour[node] = Colour::Finished;
                    stack.pop_back();
                    continue;
                }
                const std::size_t target = edges[node][next++];
                if (colour[target] == Colour::OnPath) {
                    error("network " + quoted(network.name) + ": cyklus mezi controllery " +
                          quoted(nodes[node]->instance) + " -> " + quoted(nodes[target]->instance) +
                          " bez delay/stavoveho prvku");
                    found = true;
                } else if (colour[target] == Colour::Unvisited) {
                    colour[target] = Colour::OnPath;
                    stack.push_back({target, 0});
                }
            }
        }
    }
}

// ---- Pass 9: channels ----

void SemanticAnalyzer::checkChannels() {
    struct Publisher {
        std::string context;
        std::string channel;
        std::string flowType;
        bool statement;  // a publish statement (an event declaration is not one)
    };
    struct Subscriber {
        std::string context;
        std::string channel;
    };
    std::vector<Publisher> publishers;
    std::vector<Subscriber> subscribers;

    const auto collect = [&](const std::string& ctx, const std::vector<PublishDecl>& publishes,
                             const std::vector<SubscribeDecl>& subscriptions,
                             const std::vector<ClampDecl>* clamps) {
        for (const PublishDecl& p : publishes) publishers.push_back({ctx, p.channel, p.flowType, true});
        for (const SubscribeDecl& s : subscriptions) subscribers.push_back({ctx, s.channel});
        if (clamps) {
            for (const ClampDecl& c : *clamps) subscribers.push_back({ctx, c.channel});
        }
    };
    for (const SourceDecl& d : model_.sources)
        collect(context("source", d.name), d.publishes, d.subscriptions, nullptr);
    for (const PopulationDecl& d : model_.populations) {
        collect(context("population", d.name), d.publishes, d.subscriptions, &d.clamps);
    }
    for (const CircuitDecl& d : model_.circuits) {
        collect(context("circuit", d.name), d.publishes, d.subscriptions, &d.clamps);
    }
    for (const ModuleDecl& d : model_.modules) {
        collect(context("module", d.name), d.publishes, d.subscriptions, &d.clamps);
        for (const EventHandlerDecl& handler : d.handlers) {
            const bool builtin = std::find(std::begin(kBuiltinEvents), std::end(kBuiltinEvents),
                                           handler.event) != std::end(kBuiltinEvents);
            if (!builtin)
                subscribers.push_back({context("module", d.name) + " on " + handler.event, handler.event});
        }
    }
    for (const BrainDecl& d : model_.brains)
        collect(context("brain", d.name), d.publishes, d.subscriptions, nullptr);
    for (const EventDecl& d : model_.events)
        publishers.push_back({context("event", d.name), d.name, "event", false});

    // Channels in the order of their first publisher, with that publisher's flow type.
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, bool>> flow;  // channel -> (first flow type, consistent)
    for (const Publisher& p : publishers) {
        const auto [it, inserted] = flow.try_emplace(p.channel, p.flowType, true);
        if (inserted) {
            order.push_back(p.channel);
        } else if (it->second.first != p.flowType) {
            it->second.second = false;
        }
    }
    for (const std::string& channel : order) {
        if (!flow.at(channel).second)
            error("kanal " + quoted(channel) + " ma nekonzistentni flow_type mezi publishery");
    }
    std::unordered_set<std::string> consumed;
    for (const Subscriber& s : subscribers) {
        consumed.insert(s.channel);
        if (!flow.count(s.channel)) {
            error(s.context + ": kanal " + quoted(s.channel) + " nikdo nepublikuje (visici subscribe/clamp)");
        }
    }
    for (const Publisher& p : publishers) {
        if (p.statement && !consumed.count(p.channel)) {
            warning(p.context + ": kanal " + quoted(p.channel) + " nikdo neodebira (mrtvy publish)");
        }
    }
}

// ---- Pass 10: competitions ----

void SemanticAnalyzer::checkCompetitions() {
    const auto check = [&](const std::string& ctx, const std::vector<CompeteDecl>& competes,
                           const std::vector<UseDecl>& uses) {
        std::unordered_set<std::string> checked;
        for (const CompeteDecl& compete : competes) {
            const auto competition =
                std::find_if(model_.competitions.begin(), model_.competitions.end(),
                             [&](const CompetitionDecl& c) { return c.name == compete.competition; });
            if (competition == model_.competitions.end()) {
                error(ctx + ": 'compete " + compete.competition + "' — neznama competition " +
                      quoted(compete.competition));
                continue;
            }
            if (!checked.insert(compete.competition).second) continue;
            for (const std::string& participant : competition->participants) {
                if (!findUse(&uses, participant)) {
                    error("competition " + quoted(competition->name) + ": participant " +
                          quoted(participant) + " neni deklarovana instance (use ... as " + participant +
                          ")");
                }
            }
        }
    };
    for (const NetworkDecl& d : model_.networks) check(context("network", d.name), d.competes, d.uses);
    for (const BrainDecl& d : model_.brains) check(context("brain", d.name), d.competes, d.uses);
}

// ---- Pass 11: plasticity symbols ----

void SemanticAnalyzer::checkPlasticitySymbols() {
    std::unordered_set<std::string> allowed{"pre", "post", "weight", "chemistry"};
    const auto channels = [&](const std::vector<PublishDecl>& publishes,
                              const std::vector<SubscribeDecl>& subs) {
        for (const PublishDecl& p : publishes) allowed.insert(p.channel);
        for (const SubscribeDecl& s : subs) allowed.insert(s.channel);
    };
    for (const SourceDecl& d : model_.sources) channels(d.publishes, d.subscriptions);
    for (const PopulationDecl& d : model_.populations) channels(d.publishes, d.subscriptions);
    for (const CircuitDecl& d : model_.circuits) channels(d.publishes, d.subscriptions);
    for (const ModuleDecl& d : model_.modules) channels(d.publishes, d.subscriptions);
    for (const BrainDecl& d : model_.brains) channels(d.publishes, d.subscriptions);
    for (const EventDecl& d : model_.events) allowed.insert(d.name);

    for (const PlasticityDecl& d : model_.plasticities) {
        const std::string ctx = context("plasticity", d.name);
        // Each unknown symbol is reported once per plasticity, where it first occurs.
        std::vector<std::string> unknown;
        const ExpressionVisitor visit = [&](const Expression& e) {
            if (e.kind != ExpressionKind::Path || e.path.empty()) return;
            const std::string& symbol = e.path.front();
            if (!allowed.count(symbol) &&
                std::find(unknown.begin(), unknown.end(), symbol) == unknown.end()) {
                unknown.push_back(symbol);
            }
        };
        walkAll(d.rules, visit);
        for (const std::string& symbol : unknown) {
            error(ctx + ": neznamy symbol " + quoted(symbol) +
                  " (dovoleno: pre, post, weight, chemistry, kanaly)");
        }
        for (const LimitDecl& limit : d.limits) {
            if (limit.variable != "weight" && limit.variable != "pre" && limit.variable != "post") {
                error(ctx + ": 'limit " + limit.variable + "' — omezovat lze jen weight/pre/post");
            }
        }
    }
}

// ---- Pass 12: chemistry ----

void SemanticAnalyzer::checkChemistry() {
    std::unordered_set<std::string> neuromodulators;
    for (const ChemistryDecl& chemistry : model_.chemistries) {
        for (const VariableDecl& entry : chemistry.entries) neuromodulators.insert(entry.name);
    }
    walkModel(model_, [&](const Expression& e) {
        if (e.kind != ExpressionKind::Path || e.path.empty() || e.path.front() != "chemistry") return;
        if (e.path.size() == 1) {
            error("'chemistry' bez nazvu neuromodulatoru");
        } else if (!neuromodulators.count(e.path[1])) {
            error("neznamy neuromodulator 'chemistry." + e.path[1] + "'");
        }
    });
}

// ---- Pass 13: stimuli and experiments ----

void SemanticAnalyzer::checkStimuliAndExperiments() {
    std::unordered_set<std::string> stimulusNames;
    for (const StimulusDecl& s : model_.stimuli) {
        const std::string ctx = context("stimulus", s.name);
        if (!stimulusNames.insert(s.name).second) error("duplicitni " + ctx);
        if (s.segments.empty()) {
            error(ctx + ": zadny segment");
            continue;
        }
        std::int64_t previousEnd = 0;
        for (const SegmentDecl& segment : s.segments) {
            const std::string at = ctx + " segment " + quoted(segment.name) + ": ";
            if (segment.to <= segment.from) {
                error(at + "konec musi byt za zacatkem");
            } else if (segment.from < previousEnd) {
                error(at + "prekryva predchozi");
            } else if (segment.from > previousEnd) {
                error(at + "mezera v case; deklaruj explicitni blank");
            }
            previousEnd = segment.to;
        }
    }

    const auto findStimulus = [&](const std::string& name) -> const StimulusDecl* {
        for (const StimulusDecl& s : model_.stimuli) {
            if (s.name == name) return &s;
        }
        return nullptr;
    };

    std::unordered_set<std::string> experimentNames;
    for (const ExperimentDecl& x : model_.experiments) {
        const std::string ctx = context("experiment", x.name);
        if (!experimentNames.insert(x.name).second) error("duplicitni " + ctx);

        if (x.hypothesis.empty()) {
            error(ctx + ": chybi 'hypothesis'");
        } else if (!isHypothesisLabel(x.hypothesis)) {
            error(ctx + ": 'hypothesis' musi mit tvar H<n>, ne " + quoted(x.hypothesis));
        }

        const StimulusDecl* stimulus = x.stimulus.empty() ? nullptr : findStimulus(x.stimulus);
        if (x.stimulus.empty()) {
            error(ctx + ": chybi 'stimulus'");
        } else if (!stimulus) {
            error(ctx + ": neznamy stimulus " + quoted(x.stimulus));
        }

        if (!x.seed && !model_.seed) error(ctx + ": chybi 'seed' (ani globalni neni deklarovany)");
        if (x.trials < 1) error(ctx + ": 'trials' musi byt aspon 1");

        std::unordered_set<std::string> branches;
        bool control = false;
        bool intervention = false;
        for (const BranchDecl& branch : x.branches) {
            if (!branches.insert(branch.name).second)
                error(ctx + ": duplicitni vetev " + quoted(branch.name));
            (branch.interventions.empty() ? control : intervention) = true;
        }
        if (!control) error(ctx + ": chybi kontrolni vetev (vetev bez zasahu)");
        if (!intervention && !x.sweep) error(ctx + ": chybi intervencni vetev nebo sweep; neni co srovnavat");

        for (const MatchDecl& match : x.controls) {
            if (match.statistic != "firing_rate" && match.statistic != "spike_count" &&
                match.statistic != "isi_variance") {
                error(ctx + ": neznama kontrolovana statistika " + quoted(match.statistic) +
                      " (firing_rate|spike_count|isi_variance)");
            }
            if (!(match.tolerance > 0.0 && match.tolerance <= 1.0))
                error(ctx + ": tolerance musi byt v (0, 100 %]");
        }

        if (x.metrics.empty()) error(ctx + ": zadna metrika; prvni deklarovana je primarni");
        std::unordered_set<std::string> metrics;
        for (const std::string& metric : x.metrics) {
            if (!metrics.insert(metric).second) error(ctx + ": duplicitni metrika " + quoted(metric));
        }

        if (x.prediction.empty()) error(ctx + ": chybi 'prediction' (pre-registrace)");
        if (x.nullResult.empty()) error(ctx + ": chybi 'null' (pre-registrace)");
        if (x.falsification.empty()) error(ctx + ": chybi 'falsification' (pre-registrace)");

        if (x.sweep) {
            const SweepDecl& sweep = *x.sweep;
            if (sweep.seeds < 1) error(ctx + ": 'seeds' musi byt aspon 1");
            if (sweep.axes.empty()) error(ctx + ": sweep bez parametru");
            std::unordered_set<std::string> axes;
            for (const AxisDecl& axis : sweep.axes) {
                if (!axes.insert(axis.parameter).second)
                    error(ctx + ": duplicitni osa sweepu " + quoted(axis.parameter));
                if (axis.values.size() < 2) {
                    error(ctx + ": osa " + quoted(axis.parameter) + " ma jednu hodnotu; to neni sweep");
                }
                std::vector<double> sorted = axis.values;
                std::sort(sorted.begin(), sorted.end());
                if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
                    error(ctx + ": osa " + quoted(axis.parameter) + " opakuje hodnotu");
                }
            }
            if (sweep.seeds < 3) {
                warning(ctx + ": sweep pres " + std::to_string(sweep.seeds) +
                        " seed(y) nedava rozdeleni; interval spolehlivosti bude nedefinovany");
            }
        }

        if (x.forkAt >= 0) {
            const std::int64_t end =
                stimulus && !stimulus->segments.empty() ? stimulus->segments.back().to : std::int64_t{0};
            const std::int64_t length = saturatedProduct(end, x.trials);
            if (length >= 1 && x.forkAt >= length) error(ctx + ": 'fork at' lezi za koncem stimulu");
        } else {
            error(ctx + ": chybi 'fork at <cas>'; vetve musi forkovat z jednoho snapshotu");
        }
    }

    std::unordered_set<std::string> used;
    for (const ExperimentDecl& x : model_.experiments) used.insert(x.stimulus);
    for (const StimulusDecl& s : model_.stimuli) {
        if (!used.count(s.name)) warning(context("stimulus", s.name) + " nepouziva zadny experiment");
    }
}

}  // namespace Core::Vostel
