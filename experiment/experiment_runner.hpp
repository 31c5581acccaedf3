#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors.hpp"
#include "engine/experiment_model.hpp"
#include "engine/model_time.hpp"
#include "experiment/metrics.hpp"
#include "experiment/run_statistics.hpp"
#include "experiment/experiment_spec.hpp"
#include "experiment/trajectory.hpp"

// Runs one pre-registered experiment against one model: plays the stimulus
// up to the fork, snapshots the model once, runs every branch from that
// snapshot, checks matched controls against the control branch, computes
// the declared metrics and asks the caller's rule for an outcome.
namespace Core::Kvrn {

// Values 3 and above all read as inconclusive.
enum class Outcome : std::uint8_t {
    Supported = 0,
    Weakened = 1,
    Falsified = 2,
    Inconclusive = 3,
};

// "supported", "weakened", "falsified" or "inconclusive".
std::string outcomeName(Outcome outcome);

// One matched statistic of an intervention branch against the control.
struct ControlCheck {
    ControlStatistic statistic = ControlStatistic::FiringRate;
    double control_value = 0.0;
    double branch_value = 0.0;
    double tolerance = 0.0;
    double deviation = 0.0;  // relative to the control value; see checkMatchedControls
    bool within = false;
};

// One branch run. The fields from `experiment` to `valid` are the run's
// identity in the run registry.
struct RunRecord {
    std::string experiment;
    std::string branch;
    std::string point;             // sweep point label; empty outside a sweep
    std::uint64_t point_hash = 0;  // 0 outside a sweep
    std::string hypothesis;
    std::string theory_version;
    std::string engine_version;
    std::string metrics_version;
    std::uint64_t config_hash = 0;
    std::uint64_t architecture_hash = 0;
    std::uint64_t seed = 0;
    std::uint64_t trials = 0;
    ModelTime duration_ns = 0;
    std::map<std::string, std::string> parameters;
    bool valid = true;  // false when a matched control failed
    std::vector<ControlCheck> control_checks;
    RunStatistics statistics;
    std::map<std::string, double> metrics;  // empty when the run is not valid
    Trajectory trajectory;
    std::vector<SpikeRecord> spikes;
    std::string synapse_log;
};

struct ExperimentResult {
    std::string experiment;
    std::string hypothesis;
    std::string prediction;
    std::string null;
    std::string falsification;
    std::vector<std::string> metrics;  // declared metric names, in order
    std::vector<RunRecord> runs;       // one per branch, in branch order
    Outcome outcome = Outcome::Inconclusive;
    std::string reason;
};

// Decides an outcome from a finished result; an empty optional means no
// decision. The rule itself may be empty.
using DecisionRule = std::function<std::optional<Outcome>(const ExperimentResult&)>;

// Onsets and offsets of every segment of every trial, sorted stably by time,
// so at a boundary the previous segment's offset precedes the next onset.
// Throws InvalidExperiment for a bad stimulus or zero trials, TimeOverflow
// when a time does not fit.
std::vector<StimulusEvent> stimulusSchedule(const StimulusSpec& stimulus, std::uint64_t trials);

// Count, rate per neuron [1/s] and inter-spike-interval mean [s] and
// population variance [s^2] of a run. Throws InvalidMatchedControl for a
// duration below 1 ns or no neurons.
RunStatistics computeRunStatistics(const std::vector<SpikeRecord>& spikes, ModelTime duration_ns,
                                   std::uint64_t neurons);

// The value of `statistic` in `statistics`; 0 for an unknown statistic.
double controlStatisticValue(const RunStatistics& statistics, ControlStatistic statistic);

// One check per control, in order. The deviation is |b - c| / |c|; against a
// control value of 0 it is 0 when the branch is 0 too, else 1. Throws
// InvalidMatchedControl for a tolerance that is negative or not finite.
std::vector<ControlCheck> checkMatchedControls(const RunStatistics& control, const RunStatistics& branch,
                                               const std::vector<MatchedControl>& controls);

// "name=version" of each metric, joined by ";". Throws InvalidExperiment
// "unknown metric <name>" for a name the registry lacks.
std::string metricsVersion(const MetricRegistry& registry, const std::vector<std::string>& names);

class ExperimentRunner {
  public:
    // Throws InvalidExperiment when the engine version is empty.
    ExperimentRunner(std::string engine_version, MetricRegistry metrics);

    // Runs `spec` on `model` (borrowed for the call) and decides with
    // `rule`. Exceptions from validation, the model and metric functions
    // pass through; no partial result is returned.
    ExperimentResult run(const ExperimentSpec& spec, ExperimentModel& model, const DecisionRule& rule) const;

    const std::string& engineVersion() const { return engine_version_; }
    const MetricRegistry& metrics() const { return metrics_; }

  private:
    std::string engine_version_;
    MetricRegistry metrics_;
};

}  // namespace Core::Kvrn
