#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/model_time.hpp"

// The pre-registered experiment: what is run, where the model forks into
// branches, what each branch changes, which controls must hold and which
// metrics decide. Every consumer validates it before use; its canonical
// description (without the seed) identifies a configuration across runs.
namespace Core::Kvrn {

// A bad experiment specification or misuse of the framework's records.
struct InvalidExperiment : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// One named stretch of a trial; times in ns relative to the trial start.
struct StimulusSegment {
    std::string name;
    ModelTime start_ns = 0;
    ModelTime end_ns = 0;
};

// One trial's stimulus; the segments tile [0, end of last) without gaps.
struct StimulusSpec {
    std::string name;
    std::vector<StimulusSegment> segments;
};

// A change applied to the model at the start of a branch. `kind` is
// interpreted by the model; an absent parameter differs from 0.
struct Intervention {
    std::string kind;
    std::vector<std::string> targets;
    std::optional<double> parameter;
};

// A branch without interventions is a control branch; the first one is the
// experiment's control.
struct BranchSpec {
    std::string name;
    std::vector<Intervention> interventions;
};

// Statistics a matched control can compare; stored as one byte.
enum class ControlStatistic : std::uint8_t {
    FiringRate = 0,
    SpikeCount = 1,
    IsiVariance = 2,
};

// Every intervention branch must keep `statistic` within `tolerance` (a
// fraction in (0, 1]: 0.05 means 5 %) of the control branch.
struct MatchedControl {
    ControlStatistic statistic = ControlStatistic::FiringRate;
    double tolerance = 0.0;
};

struct ExperimentSpec {
    std::string name;
    std::string hypothesis;
    std::string theory_version;
    std::uint64_t seed = 0;  // base seed; not part of the description
    StimulusSpec stimulus;
    ModelTime snapshot_at_ns = 0;  // fork time, inside [0, experimentDuration)
    std::uint64_t trials = 1;      // stimulus repetitions, back to back
    std::vector<BranchSpec> branches;
    bool swept = false;  // a sweep axis supplies the comparison instead of branches
    std::vector<MatchedControl> controls;
    std::vector<std::string> metrics;
    std::string prediction;
    std::string null;
    std::string falsification;
};

// Throws InvalidExperiment at the first failed rule, in a fixed order, or
// TimeOverflow when the total duration does not fit in model time.
void validateExperiment(const ExperimentSpec& spec);

// Throws InvalidExperiment unless the stimulus is named and its segments are
// named, of positive length and tile the trial from 0 without gaps.
void validateStimulus(const StimulusSpec& stimulus);

// End of the last segment [ns]; 0 without segments.
ModelTime stimulusDuration(const StimulusSpec& stimulus);

// trials x stimulus duration [ns]; TimeOverflow when the duration is not
// positive or the product does not fit.
ModelTime experimentDuration(const ExperimentSpec& spec);

// Canonical multi-line text of everything that defines the configuration
// (the seed excluded), with no trailing newline.
std::string describeExperiment(const ExperimentSpec& spec);

// kind(target,...,parameter), e.g. "phase_jitter(A,B,0.5)" or "ablate()".
std::string describeIntervention(const Intervention& intervention);

// "firing_rate", "spike_count", "isi_variance"; "unknown" for other values.
std::string controlStatisticName(ControlStatistic statistic);

// Hash of the description together with the model's architecture hash;
// equal for every seed of one configuration.
std::uint64_t configHash(const ExperimentSpec& spec, std::uint64_t architecture_hash);

}  // namespace Core::Kvrn
