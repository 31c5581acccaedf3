#include "experiment/experiment_spec.hpp"

#include <set>
#include <string_view>

#include "common/format.hpp"
#include "common/hash.hpp"

namespace Core::Kvrn {
namespace {

// Every experiment message after the first names the experiment.
[[noreturn]] void reject(const ExperimentSpec& spec, std::string_view suffix, std::string_view detail = {}) {
    std::string message = "experiment " + spec.name;
    message += suffix;
    message += detail;
    throw InvalidExperiment(message);
}

bool isControlBranch(const BranchSpec& branch) { return branch.interventions.empty(); }

void checkBranches(const ExperimentSpec& spec) {
    if (spec.branches.empty()) reject(spec, " declares no branch");
    if (spec.branches.size() < 2 && !spec.swept) {
        reject(spec,
               " needs a control branch and at least one intervention branch (or a sweep, where the "
               "comparison runs across a parameter axis)");
    }
    std::set<std::string> seen;
    bool hasControl = false;
    for (const BranchSpec& branch : spec.branches) {
        if (branch.name.empty()) reject(spec, " has an unnamed branch");
        if (!seen.insert(branch.name).second) reject(spec, " repeats branch ", branch.name);
        hasControl = hasControl || isControlBranch(branch);
    }
    if (!hasControl) reject(spec, " has no control branch (a branch with no interventions)");
}

void checkMetrics(const ExperimentSpec& spec) {
    if (spec.metrics.empty()) reject(spec, " declares no metrics");
    std::set<std::string> seen;
    for (const std::string& metric : spec.metrics) {
        if (!seen.insert(metric).second) reject(spec, " repeats metric ", metric);
    }
}

void checkControls(const ExperimentSpec& spec) {
    for (const MatchedControl& control : spec.controls) {
        // Written so that NaN fails as well.
        if (!(control.tolerance > 0.0 && control.tolerance <= 1.0)) {
            reject(spec, " declares a tolerance outside (0, 100 %]");
        }
    }
}

}  // namespace

void validateStimulus(const StimulusSpec& stimulus) {
    if (stimulus.name.empty()) throw InvalidExperiment("stimulus must be named");
    if (stimulus.segments.empty()) throw InvalidExperiment("stimulus " + stimulus.name + " has no segments");
    ModelTime previousEnd = 0;
    for (const StimulusSegment& segment : stimulus.segments) {
        if (segment.name.empty())
            throw InvalidExperiment("stimulus " + stimulus.name + " has an unnamed segment");
        const std::string prefix = "stimulus segment " + segment.name;
        if (segment.end_ns <= segment.start_ns)
            throw InvalidExperiment(prefix + " must have positive duration");
        if (segment.start_ns < previousEnd) throw InvalidExperiment(prefix + " overlaps the previous one");
        if (segment.start_ns > previousEnd) {
            throw InvalidExperiment(prefix + " leaves a gap; declare an explicit blank");
        }
        previousEnd = segment.end_ns;
    }
}

void validateExperiment(const ExperimentSpec& spec) {
    if (spec.name.empty()) throw InvalidExperiment("an experiment must be named");
    if (spec.hypothesis.empty()) reject(spec, " declares no hypothesis");
    validateStimulus(spec.stimulus);
    if (spec.trials == 0) reject(spec, " needs at least one trial");
    checkBranches(spec);
    checkMetrics(spec);
    checkControls(spec);
    if (spec.prediction.empty() || spec.null.empty() || spec.falsification.empty()) {
        reject(spec, " must pre-register prediction, null and falsification before it can run");
    }
    // The fork may sit at 0 but never at the very end: every branch must
    // have stimulus left to play.
    if (spec.snapshot_at_ns < 0 || spec.snapshot_at_ns >= experimentDuration(spec)) {
        reject(spec, " must fork inside its own stimulus");
    }
}

ModelTime stimulusDuration(const StimulusSpec& stimulus) {
    return stimulus.segments.empty() ? 0 : stimulus.segments.back().end_ns;
}

ModelTime experimentDuration(const ExperimentSpec& spec) {
    return scaleTime(static_cast<std::int64_t>(spec.trials), stimulusDuration(spec.stimulus));
}

std::string describeIntervention(const Intervention& intervention) {
    std::string text = intervention.kind + "(";
    for (std::size_t i = 0; i < intervention.targets.size(); ++i) {
        if (i > 0) text += ",";
        text += intervention.targets[i];
    }
    if (intervention.parameter) {
        if (!intervention.targets.empty()) text += ",";
        text += formatFull(*intervention.parameter);
    }
    return text + ")";
}

std::string controlStatisticName(ControlStatistic statistic) {
    switch (statistic) {
        case ControlStatistic::FiringRate:
            return "firing_rate";
        case ControlStatistic::SpikeCount:
            return "spike_count";
        case ControlStatistic::IsiVariance:
            return "isi_variance";
    }
    return "unknown";
}

std::string describeExperiment(const ExperimentSpec& spec) {
    std::string text;
    text += "experiment " + spec.name;
    text += "\nhypothesis " + spec.hypothesis;
    text += "\ntheory " + spec.theory_version;
    text += "\ntrials " + std::to_string(spec.trials);
    text += "\nsnapshot " + std::to_string(spec.snapshot_at_ns);
    text += spec.swept ? "\nswept 1" : "\nswept 0";
    text += "\nstimulus " + spec.stimulus.name;
    for (const StimulusSegment& segment : spec.stimulus.segments) {
        text += "\n  segment " + segment.name + " " + std::to_string(segment.start_ns) + " " +
                std::to_string(segment.end_ns);
    }
    for (const BranchSpec& branch : spec.branches) {
        text += "\nbranch " + branch.name;
        for (const Intervention& intervention : branch.interventions) {
            text += "\n  " + describeIntervention(intervention);
        }
    }
    for (const MatchedControl& control : spec.controls) {
        text += "\ncontrol " + controlStatisticName(control.statistic) + " " + formatFull(control.tolerance);
    }
    for (const std::string& metric : spec.metrics) text += "\nmetric " + metric;
    text += "\nprediction " + spec.prediction;
    text += "\nnull " + spec.null;
    text += "\nfalsification " + spec.falsification;
    return text;
}

std::uint64_t configHash(const ExperimentSpec& spec, std::uint64_t architecture_hash) {
    return stableHash64(describeExperiment(spec) + "\narchitecture " + std::to_string(architecture_hash));
}

}  // namespace Core::Kvrn
