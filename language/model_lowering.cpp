#include "language/model_lowering.hpp"

#include "language/token_cursor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace Core::Vostel {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr std::int64_t kMaxPopulations = 1000;
constexpr std::int64_t kMaxGroupSize = 1'000'000;

std::string quoted(const std::string& name) { return "'" + name + "'"; }
std::string at(std::uint32_t line) { return "line " + std::to_string(line) + ": "; }

std::string joined(const std::vector<std::string>& tokens) {
    std::string text;
    for (const std::string& token : tokens) {
        // A sign is written against its number.
        text += (text.empty() || text == "-" ? "" : " ") + token;
    }
    return text;
}

// A field's value: an optionally signed number and an optional unit word.
struct Reading {
    double number = 0;
    std::string unit;
};

// Builds the lowered record; each lower* step reads one kind of declaration.
class Lowering {
  public:
    explicit Lowering(const Model& model) : model_(model) {}

    LoweredArchitecture run() {
        lowerRuntime();
        const Runtime2Construct* oscillator = first("oscillator");
        const Runtime2Construct* modulation = first("phase_modulation");
        lowerOscillator(oscillator);
        lowerModulation(modulation, oscillator);
        lowerPopulationsAndNeuron(oscillator);
        listOtherConstructs(oscillator, modulation);
        std::stable_sort(
            out_.unexecuted.begin(), out_.unexecuted.end(),
            [](const UnexecutedDeclaration& x, const UnexecutedDeclaration& y) { return x.line < y.line; });
        return std::move(out_);
    }

  private:
    void unexecuted(std::string what, std::uint32_t line) {
        out_.unexecuted.push_back({std::move(what), line});
    }
    void error(std::uint32_t line, const std::string& text) { out_.errors.push_back(at(line) + text); }
    void quantity(std::string path, std::string what, std::string value, std::uint32_t line) {
        out_.quantities.push_back({std::move(path), std::move(what), std::move(value), line});
    }

    const Runtime2Construct* first(std::string_view keyword) const {
        for (const Runtime2Construct& c : model_.runtime2Constructs)
            if (c.keyword == keyword) return &c;
        return nullptr;
    }

    std::optional<Reading> read(const Runtime2Field& field, const std::string& context) {
        std::size_t i = 0;
        const bool negative = !field.tokens.empty() && field.tokens[0] == "-";
        if (negative) ++i;
        Reading reading;
        const char* text = i < field.tokens.size() ? field.tokens[i].c_str() : "";
        char* end = nullptr;
        reading.number = std::strtod(text, &end);
        const bool numeric = *text != '\0' && *end == '\0' && std::isfinite(reading.number);
        if (!numeric || field.tokens.size() > i + 2 || !field.children.empty()) {
            error(field.line, context + ": " + field.name + " needs a number, optionally with a unit");
            return std::nullopt;
        }
        if (negative) reading.number = -reading.number;
        if (field.tokens.size() == i + 2) reading.unit = field.tokens[i + 1];
        return reading;
    }

    // A dimensionless value.
    std::optional<double> plain(const Runtime2Field& field, const std::string& context) {
        const std::optional<Reading> r = read(field, context);
        if (!r) return std::nullopt;
        if (!r->unit.empty()) {
            error(field.line, context + ": " + field.name + " takes no unit (found '" + r->unit + "')");
            return std::nullopt;
        }
        return r->number;
    }

    // A rate in hertz: "Hz" or "kHz".
    std::optional<double> hertz(const Runtime2Field& field, const std::string& context) {
        const std::optional<Reading> r = read(field, context);
        if (!r) return std::nullopt;
        if (r->unit == "Hz") return r->number;
        if (r->unit == "kHz") return r->number * 1000.0;
        error(field.line, context + ": " + field.name + " needs the unit Hz or kHz");
        return std::nullopt;
    }

    // A duration in whole nanoseconds: "ns", "us", "ms" or "s".
    std::optional<std::int64_t> nanoseconds(const Runtime2Field& field, const std::string& context) {
        const std::optional<Reading> r = read(field, context);
        if (!r) return std::nullopt;
        const std::optional<double> multiplier = timeUnitMultiplier(r->unit);
        if (!multiplier) {
            error(field.line, context + ": " + field.name + " needs a time unit (ns, us, ms or s)");
            return std::nullopt;
        }
        const double ns = r->number * *multiplier;
        if (!(ns >= 0 && ns <= 9.2e18) || ns != std::floor(ns)) {
            error(field.line,
                  context + ": " + field.name + " must be a whole, non-negative number of nanoseconds");
            return std::nullopt;
        }
        return static_cast<std::int64_t>(ns);
    }

    void lowerRuntime() {
        if (model_.runtime && *model_.runtime != "kvrn")
            unexecuted("runtime \"" + *model_.runtime + "\"", model_.runtimeLine);
    }

    // oscillator NAME { frequency F Hz; populations N; phase_offset P deg; }
    void lowerOscillator(const Runtime2Construct* oscillator) {
        Kvrn::ModelArchitecture& a = out_.architecture;
        const std::string name = oscillator ? oscillator->name : "oscillator";
        std::uint32_t frequencyLine = 0, offsetLine = 0;
        std::string frequencyText = "10 Hz", offsetText = "180 deg";
        if (oscillator) {
            const std::string context = "oscillator " + quoted(name);
            out_.sweepPaths[name + ".frequency"] = "frequency";
            for (const Runtime2Field& field : oscillator->fields) {
                if (field.name == "frequency") {
                    if (const auto hz = hertz(field, context)) {
                        if (*hz > 0) {
                            a.frequency = *hz;
                            frequencyLine = field.line;
                            frequencyText = joined(field.tokens);
                        } else {
                            error(field.line, context + ": frequency must be positive");
                        }
                    }
                } else if (field.name == "populations") {
                    if (const auto n = plain(field, context)) {
                        if (*n >= 1 && *n <= kMaxPopulations && *n == std::floor(*n)) {
                            declaredPopulations_ = static_cast<std::int64_t>(*n);
                            populationsLine_ = field.line;
                        } else {
                            error(field.line, context + ": populations must be a whole number from 1 to " +
                                                  std::to_string(kMaxPopulations));
                        }
                    }
                } else if (field.name == "phase_offset") {
                    if (const auto r = read(field, context)) {
                        if (r->unit == "deg" || r->unit == "rad") {
                            // Degrees are divided before multiplying so that 180 deg is pi exactly.
                            a.phaseOffset = r->unit == "deg" ? r->number / 180.0 * kPi : r->number;
                            offsetLine = field.line;
                            offsetText = joined(field.tokens);
                        } else {
                            error(field.line, context + ": phase_offset needs the unit deg or rad");
                        }
                    }
                } else {
                    unexecuted(context + ": " + field.name, field.line);
                }
            }
        }
        quantity(name + ".frequency", "frequency of every oscillator", frequencyText, frequencyLine);
        quantity(name + ".phase_offset", "phase step from one population's oscillators to the next's",
                 offsetText, offsetLine);
    }

    // phase_modulation NAME { source OSCILLATOR; depth D; }
    void lowerModulation(const Runtime2Construct* modulation, const Runtime2Construct* oscillator) {
        const std::string name = modulation ? modulation->name : "phase_modulation";
        std::uint32_t depthLine = 0;
        std::string depthText = "1.5";
        if (modulation) {
            const std::string context = "phase_modulation " + quoted(name);
            out_.sweepPaths[name + ".depth"] = "modulation";
            for (const Runtime2Field& field : modulation->fields) {
                if (field.name == "depth") {
                    if (const auto depth = plain(field, context)) {
                        out_.architecture.modulation = *depth;
                        depthLine = field.line;
                        depthText = joined(field.tokens);
                    }
                } else if (field.name == "source") {
                    const bool named = field.tokens.size() == 1 && field.children.empty();
                    if (!named || !oscillator || field.tokens[0] != oscillator->name) {
                        error(field.line, context + ": source must name the declared oscillator" +
                                              (oscillator ? " " + quoted(oscillator->name) : std::string()));
                    }
                } else {
                    unexecuted(context + ": " + field.name, field.line);
                }
            }
        }
        quantity(name + ".depth", "weight of each neuron's oscillator term", depthText, depthLine);
    }

    // The population gives the group sizes and names the neuron type; the
    // one neuron type the engine runs gives the hazard neuron's fields.
    void lowerPopulationsAndNeuron(const Runtime2Construct* oscillator) {
        Kvrn::ModelArchitecture& a = out_.architecture;
        const PopulationDecl* population = model_.populations.empty() ? nullptr : &model_.populations.front();
        const NeuronDecl* neuron = nullptr;
        std::vector<std::uint64_t> sizes;
        std::uint32_t sizesLine = 0;
        if (population) {
            const std::string context = "population " + quoted(population->name);
            for (const NeuronGroupDecl& group : population->groups) {
                const std::string groupContext = context + ": group " + quoted(group.name);
                if (!neuron) neuron = findNeuron(group.neuronType);
                if (group.sizeKind != GroupSizeKind::Count) {
                    unexecuted(groupContext + " sized other than by a count", group.line);
                } else if (neuron && group.neuronType != neuron->name) {
                    unexecuted(groupContext + " of neuron type " + quoted(group.neuronType) +
                                   " (the engine runs one neuron type, " + quoted(neuron->name) + ")",
                               group.line);
                } else if (group.count < 1 || group.count > kMaxGroupSize) {
                    error(group.line, groupContext + " must have from 1 to " + std::to_string(kMaxGroupSize) +
                                          " neurons");
                } else {
                    sizes.push_back(static_cast<std::uint64_t>(group.count));
                    sizesLine = population->line;
                }
            }
            for (const ConnectDecl& c : population->connections) unexecuted(context + ": connect", c.line);
            for (const LearningDecl& l : population->learning) unexecuted(context + ": learning", l.line);
            for (const GrowthDecl& g : population->growth) unexecuted(context + ": growth", g.line);
            for (const ClampDecl& c : population->clamps) unexecuted(context + ": clamp", c.line);
            for (const PublishDecl& p : population->publishes)
                unexecuted(context + ": publish " + quoted(p.channel), p.line);
            for (const SubscribeDecl& s : population->subscriptions)
                unexecuted(context + ": subscribe " + quoted(s.channel), s.line);
            for (std::size_t i = 1; i < model_.populations.size(); ++i) {
                unexecuted("population " + quoted(model_.populations[i].name) +
                               " (the engine runs one population declaration)",
                           model_.populations[i].line);
            }
        }
        if (!neuron && !model_.neurons.empty()) neuron = &model_.neurons.front();

        const std::int64_t groups =
            !sizes.empty() ? static_cast<std::int64_t>(sizes.size()) : declaredPopulations_.value_or(2);
        if (!sizes.empty() && declaredPopulations_ && *declaredPopulations_ != groups) {
            error(populationsLine_, "oscillator " + quoted(oscillator->name) + " declares " +
                                        std::to_string(*declaredPopulations_) +
                                        " populations but population " + quoted(population->name) + " has " +
                                        std::to_string(groups) + " groups");
        }
        if (sizes.empty()) sizes.assign(static_cast<std::size_t>(groups), 20);
        a.groupSizes = sizes;

        const std::string oscillatorName = oscillator ? oscillator->name : "oscillator";
        const std::uint32_t countLine = sizesLine != 0 ? sizesLine : populationsLine_;
        quantity(oscillatorName + ".populations", "number of populations", std::to_string(sizes.size()),
                 countLine);
        std::string sizeText;
        for (std::uint64_t size : sizes) sizeText += (sizeText.empty() ? "" : ", ") + std::to_string(size);
        quantity((population ? population->name : "population") + ".groups", "neurons in each population",
                 sizeText, sizesLine);

        lowerNeuron(neuron);
        for (const NeuronDecl& other : model_.neurons) {
            if (&other != neuron)
                unexecuted("neuron " + quoted(other.name) + " (the engine runs one neuron type)", other.line);
        }
    }

    const NeuronDecl* findNeuron(const std::string& name) const {
        for (const NeuronDecl& n : model_.neurons)
            if (n.name == name) return &n;
        return nullptr;
    }

    // neuron NAME { tau_m T; tau_a T; refractory T; threshold X;
    //               hazard { base R Hz; gain B; } stochastic_scale G; }
    void lowerNeuron(const NeuronDecl* neuron) {
        Kvrn::ModelArchitecture& a = out_.architecture;
        const std::string name = neuron ? neuron->name : "neuron";
        struct Declared {
            std::string text;
            std::uint32_t line = 0;
        };
        Declared tauM{"15 ms"}, tauA{"150 ms"}, refractory{"3 ms"}, threshold{"0"}, base{"60 Hz"}, gain{"2"},
            scale{"1"};
        if (neuron) {
            const std::string context = "neuron " + quoted(name);
            for (const char* field : {"tau_m", "tau_a", "refractory", "threshold", "stochastic_scale"})
                out_.sweepPaths[name + "." + field] =
                    std::string(field) == "stochastic_scale" ? "stochasticity" : field;
            out_.sweepPaths[name + ".hazard.base"] = "baseline";
            out_.sweepPaths[name + ".hazard.gain"] = "beta";
            auto take = [](Declared& d, const Runtime2Field& field) {
                d = {joined(field.tokens), field.line};
            };
            for (const Runtime2Field& field : neuron->runtime2Fields) {
                if (field.name == "tau_m" || field.name == "tau_a") {
                    if (const auto ns = nanoseconds(field, context)) {
                        if (*ns > 0) {
                            (field.name == "tau_m" ? a.driveTimeConstant : a.adaptationTimeConstant) = *ns;
                            take(field.name == "tau_m" ? tauM : tauA, field);
                        } else {
                            error(field.line, context + ": " + field.name + " must be positive");
                        }
                    }
                } else if (field.name == "refractory") {
                    if (const auto ns = nanoseconds(field, context)) {
                        a.refractoryDuration = *ns;
                        take(refractory, field);
                    }
                } else if (field.name == "threshold") {
                    if (const auto x = plain(field, context)) {
                        a.threshold = *x;
                        take(threshold, field);
                    }
                } else if (field.name == "stochastic_scale") {
                    if (const auto x = nonNegative(field, context)) {
                        a.stochasticity = *x;
                        take(scale, field);
                    }
                } else if (field.name == "hazard" && field.tokens.empty()) {
                    for (const Runtime2Field& child : field.children) {
                        const std::string hazardContext = context + ": hazard";
                        if (child.name == "base") {
                            if (const auto hz = hertz(child, hazardContext)) {
                                if (*hz >= 0) {
                                    a.baselineRate = *hz;
                                    take(base, child);
                                } else {
                                    error(child.line, hazardContext + ": base must not be negative");
                                }
                            }
                        } else if (child.name == "gain") {
                            if (const auto x = nonNegative(child, hazardContext)) {
                                a.beta = *x;
                                take(gain, child);
                            }
                        } else {
                            unexecuted(hazardContext + ": " + child.name, child.line);
                        }
                    }
                } else {
                    unexecuted(context + ": " + field.name, field.line);
                }
            }
            for (const VariableDecl& v : neuron->states)
                unexecuted(context + ": state " + quoted(v.name), v.line);
            if (!neuron->inputModes.empty()) unexecuted(context + ": input", neuron->line);
            for (const AssignmentDecl& o : neuron->outputActions) unexecuted(context + ": output", o.line);
            for (const Expression& f : neuron->fireConditions) unexecuted(context + ": fire when", f.line);
            for (const Expression& e : neuron->emits) unexecuted(context + ": emit", e.line);
            for (const DecayDecl& d : neuron->decays) unexecuted(context + ": decay", d.line);
            for (const AssignmentDecl& o : neuron->onFireActions) unexecuted(context + ": on fire", o.line);
        }
        quantity(name + ".tau_m", "drive time constant", tauM.text, tauM.line);
        quantity(name + ".tau_a", "adaptation time constant", tauA.text, tauA.line);
        quantity(name + ".refractory", "absolute refractory period", refractory.text, refractory.line);
        quantity(name + ".threshold", "firing threshold", threshold.text, threshold.line);
        quantity(name + ".hazard.base", "baseline rate of the hazard", base.text, base.line);
        quantity(name + ".hazard.gain", "slope of the hazard's exponent", gain.text, gain.line);
        quantity(name + ".stochastic_scale", "gain g of the hazard, the stochasticity", scale.text,
                 scale.line);
    }

    std::optional<double> nonNegative(const Runtime2Field& field, const std::string& context) {
        const std::optional<double> x = plain(field, context);
        if (x && *x < 0) {
            error(field.line, context + ": " + field.name + " must not be negative");
            return std::nullopt;
        }
        return x;
    }

    void listOtherConstructs(const Runtime2Construct* oscillator, const Runtime2Construct* modulation) {
        for (const CircuitDecl& d : model_.circuits) unexecuted("circuit " + quoted(d.name), d.line);
        for (const ConstructDecl& d : model_.constructs) unexecuted("construct " + quoted(d.name), d.line);
        for (const ControllerDecl& d : model_.controllers) unexecuted("controller " + quoted(d.name), d.line);
        for (const ModuleDecl& d : model_.modules) unexecuted("module " + quoted(d.name), d.line);
        for (const NetworkDecl& d : model_.networks) unexecuted("network " + quoted(d.name), d.line);
        for (const BrainDecl& d : model_.brains) unexecuted("brain " + quoted(d.name), d.line);
        for (const PlasticityDecl& d : model_.plasticities)
            unexecuted("plasticity " + quoted(d.name), d.line);
        for (const CompetitionDecl& d : model_.competitions)
            unexecuted("competition " + quoted(d.name), d.line);
        for (const SourceDecl& d : model_.sources) unexecuted("source " + quoted(d.name), d.line);
        for (const ChemistryDecl& d : model_.chemistries) unexecuted("chemistry", d.line);
        for (const EventDecl& d : model_.events) unexecuted("event " + quoted(d.name), d.line);
        for (const Runtime2Construct& c : model_.runtime2Constructs) {
            if (&c == oscillator || &c == modulation) continue;
            const bool repeated = c.keyword == "oscillator" || c.keyword == "phase_modulation";
            unexecuted(c.keyword + " " + quoted(c.name) +
                           (repeated ? " (the engine runs one " + c.keyword + " declaration)" : ""),
                       c.line);
        }
    }

    const Model& model_;
    LoweredArchitecture out_;
    std::optional<std::int64_t> declaredPopulations_;
    std::uint32_t populationsLine_ = 0;
};

}  // namespace

LoweredArchitecture lowerArchitecture(const Model& model) { return Lowering(model).run(); }

std::string unexecutedMessage(const UnexecutedDeclaration& declaration) {
    return at(declaration.line) + declaration.what + " is declared but not executed by the kvrn engine";
}

}  // namespace Core::Vostel
