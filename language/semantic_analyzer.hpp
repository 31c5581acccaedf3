#pragma once

#include "language/syntax.hpp"

#include <bitset>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Checks a parsed declaration file against the rules of the language and the
// capabilities of the runtime that will execute it. Rule violations never
// throw: every pass runs over the whole model and appends texts, so one run
// reports every problem of a file.
namespace Core::Vostel {

// The runtimes a file can be analysed for; stored as one byte.
enum class RuntimeKind : std::uint8_t { Sync = 0, Kvrn = 1, Transformer = 2 };

// "sync", "kvrn", "transformer"; "unknown" for any other value.
std::string runtimeName(RuntimeKind runtime);

// What a runtime can execute; the values index CapabilitySet.
enum class Capability : std::uint8_t {
    RateActivation = 0,
    EventDriven = 1,
    Spiking = 2,
    Oscillator = 3,
    RealtimeDelay = 4,
    Stdp = 5,
    Experiment = 6,
    LowRankAdapter = 7,
    SoftmaxReadout = 8,
    ConstructCmod = 9,
    Prediction = 10,
    Multimodal = 11,
    Recorder = 12,
    Realtime = 13,
    TokenSequence = 14,
    EmbeddingIo = 15,
    Autoregressive = 16,
    KvCache = 17,
    TransformerTraining = 18,
};

inline constexpr std::size_t kCapabilityCount = 19;

// Bit n set: capability n is offered.
using CapabilitySet = std::bitset<kCapabilityCount>;

// "rate_activation", "event_driven", ...; "unknown" for values of 19 and above.
std::string capabilityName(Capability capability);

// The capability set of a runtime; empty for a value outside the three kinds.
CapabilitySet runtimeCapabilities(RuntimeKind runtime);

struct AnalysisResult {
    std::vector<std::string> errors;    // in the order found
    std::vector<std::string> warnings;  // in the order found
};

// Use once: construct, analyze(), read the result. The model is borrowed and
// must outlive the analyzer.
class SemanticAnalyzer {
  public:
    SemanticAnalyzer(const Model& model, RuntimeKind runtime);

    // Runs the thirteen passes in their fixed order; messages keep that order.
    AnalysisResult analyze();

    // The first pass: capability uses, the version each language surface
    // needs, the reserved name of predictions, experiments on this runtime.
    void validateCapabilities();

  private:
    struct Scope;
    struct Resolution;

    void registerDeclarations();
    void checkTypeReferences();
    void checkConnections();
    void checkNetworksAndBrains();
    void checkConstructs();
    void checkControllers();
    void checkControllerCycles();
    void checkChannels();
    void checkCompetitions();
    void checkPlasticitySymbols();
    void checkChemistry();
    void checkStimuliAndExperiments();

    // The declaration a `use` of this level and type refers to, as a scope
    // that endpoint paths can descend into; false when the type is unknown.
    bool scopeOf(const std::string& level, const std::string& type, Scope& scope) const;
    bool isDeclared(const std::string& level, const std::string& type) const;
    Resolution resolveEndpoint(const Scope& start, const Path& path, const std::string& context);
    void checkConnection(const Scope& scope, const ConnectDecl& connect, const std::string& context);
    void checkUseConstruct(const UseDecl& use, const std::string& context);

    void error(std::string text) { result_.errors.push_back(std::move(text)); }
    void warning(std::string text) { result_.warnings.push_back(std::move(text)); }

    const Model& model_;
    RuntimeKind runtime_;
    AnalysisResult result_;

    std::unordered_map<std::string, const NeuronDecl*> neurons_;
    std::unordered_map<std::string, const PopulationDecl*> populations_;
    std::unordered_map<std::string, const CircuitDecl*> circuits_;
    std::unordered_map<std::string, const ConstructDecl*> constructs_;
    std::unordered_map<std::string, const ControllerDecl*> controllers_;
    std::unordered_map<std::string, const ModuleDecl*> modules_;
    std::unordered_map<std::string, const NetworkDecl*> networks_;
    std::unordered_map<std::string, const BrainDecl*> brains_;
};

}  // namespace Core::Vostel
