#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The syntax tree of one declaration file. Plain records, owned by value;
// every list keeps declaration order. Lines are 1-based lines of the
// token that starts the declaration or statement.
namespace Core::Vostel {

// A dotted name as written: "cortex.l4.exc" is {"cortex", "l4", "exc"}.
using Path = std::vector<std::string>;

enum class ExpressionKind : std::uint8_t { Number, String, Boolean, Path, Call, Unary, Binary };

struct Expression {
    ExpressionKind kind = ExpressionKind::Number;
    double number = 0.0;   // Number
    bool boolean = false;  // Boolean
    // String: its contents. Unary: "-" or "not". Binary: the operator as
    // written ("+", "-", "*", "/", "==", "!=", ">=", "<=", ">", "<", "and", "or").
    std::string text;
    Path path;                         // Path: its segments; Call: the called name
    std::vector<Expression> operands;  // Unary: one; Binary: left, right; Call: the arguments
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

// target op value; target is a Path or a Call expression; op is one of
// "=", "+=", "-=", "*=", "/=".
struct AssignmentDecl {
    Expression target;
    std::string op;
    Expression value;
    std::uint32_t line = 0;
};

// name ':' type ['=' literal] — state variables, construct and controller
// parameters, chemistry entries. The default is a Number, String or Boolean.
struct VariableDecl {
    std::string name;
    std::string type;
    std::optional<Expression> defaultValue;
    std::uint32_t line = 0;
};

// The free fields of the second runtime generation: a name, the texts of
// the tokens up to ';' (kinds dropped), or a block of child fields.
struct Runtime2Field {
    std::string name;
    std::vector<std::string> tokens;
    std::vector<Runtime2Field> children;
    std::uint32_t line = 0;
};

struct Runtime2Construct {
    std::string keyword;
    std::string name;
    std::vector<Runtime2Field> fields;
    std::uint32_t line = 0;
};

// A runtime capability a construct of the file needs; checked by the analysis.
struct CapabilityUse {
    std::string construct;
    std::string capability;
    std::uint32_t line = 0;
};

// ---- Statements shared by the architecture declarations ----

enum class GroupSizeKind : std::uint8_t { Count, VocabFile, Parameter };

// group ':' neuronType '[' size ']'
struct NeuronGroupDecl {
    std::string name;
    std::string neuronType;
    GroupSizeKind sizeKind = GroupSizeKind::Count;
    std::int64_t count = 0;  // Count
    std::string vocabFile;   // VocabFile: the path as written
    std::string parameter;   // Parameter: a construct parameter's name
    std::uint32_t line = 0;
};

struct UseArgument {
    std::string name;
    Expression value;
};

// use level type ['(' arguments ')'] as instance; level is one of neuron,
// population, circuit, construct, controller, module, network.
struct UseDecl {
    std::string level;
    std::string type;
    std::vector<UseArgument> arguments;
    std::string instance;
    std::uint32_t line = 0;
};

struct AdapterDecl {
    std::string name;
    std::int64_t rank = 0;
    double alpha = 1.0;
    std::string activation = "linear";
    std::string learning = "eligibility";
    std::string initA = "kaiming_uniform";
    std::string initB = "zero";
};

// connect source -> destination [{ properties }]; also the record of a
// network's bind (pattern "one_to_one", fromBind true).
struct ConnectDecl {
    Path source;
    Path destination;
    std::optional<std::string> pattern;
    std::optional<Expression> weight;
    std::optional<std::int64_t> delay;
    std::optional<std::string> plasticity;
    std::optional<std::string> synapse;
    std::optional<Path> gate;
    std::optional<AdapterDecl> adapter;
    bool fromBind = false;
    std::uint32_t line = 0;
};

// publish channel ':' flowType; flowType is "signal", "event" or "state".
struct PublishDecl {
    std::string channel;
    std::string flowType;
    std::uint32_t line = 0;
};

// One channel of a subscribe block.
struct SubscribeDecl {
    std::string channel;
    std::uint32_t line = 0;
};

// clamp target to channel [when condition]
struct ClampDecl {
    Path target;
    std::string channel;
    std::optional<Expression> condition;
    std::uint32_t line = 0;
};

// decay target by amount
struct DecayDecl {
    Path target;
    Expression amount;
    std::uint32_t line = 0;
};

// control target with source
struct ControlDecl {
    Path target;
    Path source;
    std::uint32_t line = 0;
};

// control polarization of target with source by strength
struct PolarizationControlDecl {
    Path target;
    Path source;
    Expression strength;
    std::uint32_t line = 0;
};

// compete competition [every n ticks]
struct CompeteDecl {
    std::string competition;
    std::optional<std::int64_t> everyTicks;
    std::uint32_t line = 0;
};

// on event { assignments }
struct EventHandlerDecl {
    std::string event;
    std::vector<AssignmentDecl> actions;
    std::uint32_t line = 0;
};

// One learning block; an entry not written stays absent.
struct LearningDecl {
    std::optional<std::string> rule;
    std::optional<Expression> rate;
    std::optional<Expression> enabled;
    std::uint32_t line = 0;
};

struct GrowthDecl {
    std::optional<Expression> growWhen;
    std::optional<Expression> growRate;
    std::optional<Expression> growWeight;
    std::optional<std::int64_t> growDelay;
    std::optional<Expression> pruneWhen;
    std::optional<Expression> pruneRate;
    bool adjacentLayersOnly = false;
    bool protectSensory = false;
    std::vector<std::string> protectedGroups;
    std::optional<std::int64_t> maxDegree;
    std::optional<std::int64_t> maxSynapses;
    std::optional<std::int64_t> minSynapses;
    std::uint32_t line = 0;
};

struct IgnitionDecl {
    std::optional<Expression> threshold;
    std::optional<Expression> score;
    std::optional<std::int64_t> window;
    std::optional<Expression> fireWhen;
    std::uint32_t line = 0;
};

struct FocusDecl {
    std::optional<std::string> mode;  // "sync", "async" or "poisson"
    double poissonRate = 0.0;         // the number of poisson(...)
    std::optional<Expression> until;
    std::optional<std::int64_t> maxSteps;
    std::optional<Expression> suppressOthers;
    std::optional<Expression> preemptWhen;
    std::optional<std::int64_t> releaseAfter;
    std::uint32_t line = 0;
};

struct MemoryDecl {
    std::optional<std::string> type;
    std::optional<std::int64_t> capacity;
    std::optional<Expression> decay;
    std::uint32_t line = 0;
};

struct PolarizeDecl {
    std::optional<Expression> alpha;
    std::optional<Expression> eta;
    std::optional<Expression> mu;
    std::optional<std::int64_t> dim;
    std::uint32_t line = 0;
};

// A network's output type from source as name [{ vocab / vocab_file / loss }]
struct OutputDecl {
    std::string type;
    Path source;
    std::string name;
    std::optional<std::string> vocab;
    std::optional<std::string> vocabFile;
    std::optional<std::string> loss;
    std::uint32_t line = 0;
};

// A construct's interface port; direction is "input" or "output".
struct PortDecl {
    std::string direction;
    std::string name;
    std::uint32_t line = 0;
};

// A controller's interface entry. role is "observe" or "control"; kind is
// "gate", "select" or "polarization" for a control port and empty for an
// observed one.
struct ControllerPortDecl {
    std::string role;
    std::string kind;
    std::string name;
    std::int64_t width = 1;
    std::int64_t topK = 0;
    std::uint32_t line = 0;
};

// group ['[' index ']'] -> port
struct ExposeDecl {
    std::string group;
    std::optional<Expression> index;
    std::string port;
    std::uint32_t line = 0;
};

// A controller's training settings; every training block overwrites the
// properties it names.
struct TrainingDecl {
    std::string objective = "supervised";
    std::string target;
    std::int64_t targetWidth = 0;  // 0: no width written
    std::string loss = "softmax_cross_entropy";
    std::string owns = "internal learnable";
    std::string reset = "per_sequence";
};

// ---- Architecture declarations ----

struct NeuronDecl {
    std::string name;
    std::vector<VariableDecl> states;
    std::vector<std::string> inputModes;  // "sum(weighted)" or the mode's name
    std::vector<AssignmentDecl> outputActions;
    std::vector<Expression> fireConditions;  // fire when ...
    std::vector<Expression> emits;
    std::vector<DecayDecl> decays;
    std::vector<AssignmentDecl> onFireActions;
    std::vector<Runtime2Field> runtime2Fields;
    std::uint32_t line = 0;
};

struct PopulationDecl {
    std::string name;
    std::vector<LearningDecl> learning;
    std::vector<NeuronGroupDecl> groups;
    std::vector<ConnectDecl> connections;
    std::vector<GrowthDecl> growth;
    std::vector<ClampDecl> clamps;
    std::vector<PublishDecl> publishes;
    std::vector<SubscribeDecl> subscriptions;
    std::uint32_t line = 0;
};

struct CircuitDecl {
    std::string name;
    std::vector<LearningDecl> learning;
    std::vector<IgnitionDecl> ignitions;
    std::vector<UseDecl> uses;
    std::vector<ConnectDecl> connections;
    std::vector<GrowthDecl> growth;
    std::vector<FocusDecl> focus;
    std::vector<ClampDecl> clamps;
    std::vector<PublishDecl> publishes;
    std::vector<SubscribeDecl> subscriptions;
    std::uint32_t line = 0;
};

struct ConstructDecl {
    std::string name;
    std::vector<VariableDecl> parameters;
    std::vector<PortDecl> ports;
    std::vector<ExposeDecl> exposes;
    bool learningForbidden = false;
    std::vector<NeuronGroupDecl> groups;
    std::vector<ConnectDecl> connections;
    std::vector<UseDecl> uses;
    std::uint32_t line = 0;
};

struct ControllerDecl {
    std::string name;
    std::vector<VariableDecl> parameters;
    std::vector<ControllerPortDecl> ports;
    std::vector<ExposeDecl> exposes;
    TrainingDecl training;
    bool hasTraining = false;
    std::vector<NeuronGroupDecl> groups;
    std::vector<ConnectDecl> connections;
    std::vector<UseDecl> uses;
    std::uint32_t line = 0;
};

struct ModuleDecl {
    std::string name;
    std::vector<NeuronGroupDecl> groups;
    std::vector<IgnitionDecl> ignitions;
    std::vector<ConnectDecl> connections;
    std::vector<MemoryDecl> memories;
    std::vector<LearningDecl> learning;
    std::vector<FocusDecl> focus;
    std::vector<GrowthDecl> growth;
    std::vector<PolarizeDecl> polarizes;
    std::vector<EventHandlerDecl> handlers;
    std::vector<PublishDecl> publishes;
    std::vector<SubscribeDecl> subscriptions;
    std::vector<ClampDecl> clamps;
    std::vector<DecayDecl> decays;
    std::vector<UseDecl> uses;
    std::uint32_t line = 0;
};

struct NetworkDecl {
    std::string name;
    std::vector<UseDecl> uses;
    std::vector<ConnectDecl> connections;  // connect and bind, in order
    std::vector<ControlDecl> controls;
    std::vector<PolarizationControlDecl> polarizationControls;
    std::vector<CompeteDecl> competes;
    std::vector<GrowthDecl> growth;
    std::vector<OutputDecl> outputs;
    std::uint32_t line = 0;
};

struct BrainDecl {
    std::string name;
    std::vector<SubscribeDecl> subscriptions;
    std::vector<UseDecl> uses;
    std::vector<ConnectDecl> connections;
    std::vector<CompeteDecl> competes;
    std::vector<GrowthDecl> growth;
    std::vector<PublishDecl> publishes;
    std::uint32_t line = 0;
};

// when condition { assignments }
struct PlasticityRuleDecl {
    Expression condition;
    std::vector<AssignmentDecl> actions;
    std::uint32_t line = 0;
};

// limit variable between lower and upper
struct LimitDecl {
    std::string variable;
    double lower = 0.0;
    double upper = 0.0;
    std::uint32_t line = 0;
};

struct PlasticityDecl {
    std::string name;
    std::vector<PlasticityRuleDecl> rules;
    std::vector<LimitDecl> limits;
    std::vector<Runtime2Field> runtime2Fields;
    std::uint32_t line = 0;
};

enum class WinnerMethod : std::uint8_t { Max, Min, Criterion };

// winner takes max(score) | min(score) | criterion
struct WinnerDecl {
    WinnerMethod method = WinnerMethod::Max;
    std::optional<Expression> score;  // Max, Min
    std::string criterion;            // Criterion
    std::uint32_t line = 0;
};

enum class WinnerActionKind : std::uint8_t { Boost, SuppressOthers, Suppress, Assign };

// One action of an `on winner` block: boost target by amount, suppress
// others by amount, suppress target by amount, or an assignment.
struct WinnerActionDecl {
    WinnerActionKind kind = WinnerActionKind::Assign;
    std::string target;                        // Boost, Suppress
    std::optional<Expression> amount;          // Boost, SuppressOthers, Suppress
    std::optional<AssignmentDecl> assignment;  // Assign
    std::uint32_t line = 0;
};

struct CompetitionDecl {
    std::string name;
    std::vector<std::string> participants;
    std::vector<WinnerDecl> winners;
    std::vector<WinnerActionDecl> winnerActions;
    std::optional<std::int64_t> everyTicks;
    std::optional<std::string> selector;  // "emergent" or "argmax"
    std::uint32_t line = 0;
};

struct SourceDecl {
    std::string name;
    std::optional<std::string> kind;  // "external" or "internal"
    std::vector<PublishDecl> publishes;
    std::vector<SubscribeDecl> subscriptions;
    std::uint32_t line = 0;
};

// chemistry { neuromodulator ':' type ['=' literal] ';' ... }
struct ChemistryDecl {
    std::vector<VariableDecl> entries;
    std::uint32_t line = 0;
};

// event name when condition; it publishes the channel of its name.
struct EventDecl {
    std::string name;
    Expression condition;
    std::uint32_t line = 0;
};

// ---- Stimuli and experiments ----

struct SegmentDecl {
    std::string name;
    std::int64_t from = 0;  // ns
    std::int64_t to = 0;    // ns
};

struct StimulusDecl {
    std::string name;
    std::vector<SegmentDecl> segments;
    std::uint32_t line = 0;
};

// name(arguments): identifier arguments in order, the numeric one (the last
// written) apart.
struct InterventionDecl {
    std::string name;
    std::vector<std::string> arguments;
    std::optional<double> value;
};

// A branch without interventions is a control branch.
struct BranchDecl {
    std::string name;
    std::vector<InterventionDecl> interventions;
};

// match statistic tolerance p percent; tolerance holds p / 100.
struct MatchDecl {
    std::string statistic;
    double tolerance = 0.0;
};

// Values are already multiplied by their time unit where one was written.
struct AxisDecl {
    std::string parameter;
    std::vector<double> values;
};

struct SweepDecl {
    std::vector<AxisDecl> axes;
    std::int64_t seeds = 1;
};

struct ExperimentDecl {
    std::string name;
    std::string hypothesis;
    std::string theory;
    std::string stimulus;
    std::optional<std::int64_t> seed;
    std::int64_t forkAt = -1;  // ns; -1 when no `fork at` is written
    std::int64_t trials = 1;
    std::vector<BranchDecl> branches;
    std::vector<MatchDecl> controls;
    std::vector<std::string> metrics;
    std::vector<std::uint32_t> metricLines;  // one per metric, where it is written
    std::optional<SweepDecl> sweep;
    std::string prediction;
    std::string nullResult;
    std::string falsification;
    std::uint32_t line = 0;
};

// One parsed declaration file.
struct Model {
    std::optional<std::string> version;  // vostel "..." ;
    std::optional<std::string> runtime;  // runtime "..." ;
    std::uint32_t runtimeLine = 0;
    std::optional<std::int64_t> seed;
    std::vector<CapabilityUse> capabilityUses;
    std::vector<NeuronDecl> neurons;
    std::vector<PopulationDecl> populations;
    std::vector<CircuitDecl> circuits;
    std::vector<ConstructDecl> constructs;
    std::vector<ControllerDecl> controllers;
    std::vector<ModuleDecl> modules;
    std::vector<NetworkDecl> networks;
    std::vector<BrainDecl> brains;
    std::vector<PlasticityDecl> plasticities;
    std::vector<CompetitionDecl> competitions;
    std::vector<SourceDecl> sources;
    std::vector<ChemistryDecl> chemistries;
    std::vector<EventDecl> events;
    std::vector<Runtime2Construct> runtime2Constructs;
    std::vector<StimulusDecl> stimuli;
    std::vector<ExperimentDecl> experiments;
};

}  // namespace Core::Vostel
