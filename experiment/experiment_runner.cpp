#include "experiment/experiment_runner.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace Core::Kvrn {

namespace {

const char* const kMissingEngineVersion = "the runner must know its engine version";
const char* const kNoTrials = "a stimulus needs at least one trial";
const char* const kBadTolerance = "tolerance must be finite and >= 0";
const char* const kNonPositiveDuration = "run duration must be positive";
const char* const kNoNeurons = "a run needs at least one neuron";
const char* const kControlsFailed = "controls outside declared tolerance; the run was not evaluated";
const char* const kNoRule = "no decision rule was supplied to the runner";
const char* const kDecided = "decided by the declared rule";
const char* const kNoDecision = "the declared rule reached no decision";

constexpr double kNanosecondsPerSecond = 1e9;

bool isControlBranch(const BranchSpec& branch) { return branch.interventions.empty(); }

std::string describeInterventions(const std::vector<Intervention>& interventions) {
    std::string text;
    for (std::size_t i = 0; i < interventions.size(); ++i) {
        if (i > 0) text += ' ';
        text += describeIntervention(interventions[i]);
    }
    return text;
}

// Plays schedule[from, to) into the model, moving time forward to each event.
void play(ExperimentModel& model, const std::vector<StimulusEvent>& schedule, std::size_t from,
          std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        model.advanceTo(schedule[i].time_ns);
        model.applyStimulus(schedule[i]);
    }
}

// Every spike's time, grouped by neuron: neurons ascending, each neuron's
// times ascending; ends[k] is where the k-th neuron with spikes ends. Neuron
// numbers run from 0 to the neuron count in practice, so the grouping is a
// counting sort, which keeps each neuron's times in the order reported
// (usually ascending already: a model records its spikes as they fire), and
// a neuron's times are sorted only when they are not. Numbers too large for
// a table of counts are grouped by sorting (neuron, time) pairs instead.
void groupTimesByNeuron(const std::vector<SpikeRecord>& spikes, std::vector<ModelTime>& times,
                        std::vector<std::size_t>& ends) {
    std::uint64_t largest = 0;
    for (const SpikeRecord& spike : spikes) largest = std::max(largest, spike.neuron);
    if (largest <= 4 * static_cast<std::uint64_t>(spikes.size()) + 1024) {
        std::vector<std::size_t> start(static_cast<std::size_t>(largest) + 2, 0);
        for (const SpikeRecord& spike : spikes) ++start[spike.neuron + 1];
        for (std::size_t n = 1; n < start.size(); ++n) start[n] += start[n - 1];
        times.resize(spikes.size());
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (const SpikeRecord& spike : spikes) times[next[spike.neuron]++] = spike.time_ns;
        for (std::size_t n = 1; n < start.size(); ++n)
            if (start[n] > start[n - 1]) ends.push_back(start[n]);
    } else {
        std::vector<std::pair<std::uint64_t, ModelTime>> pairs;
        pairs.reserve(spikes.size());
        for (const SpikeRecord& spike : spikes) pairs.emplace_back(spike.neuron, spike.time_ns);
        std::sort(pairs.begin(), pairs.end());
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            times.push_back(pairs[i].second);
            if (i + 1 == pairs.size() || pairs[i + 1].first != pairs[i].first) ends.push_back(i + 1);
        }
    }
    std::size_t begin = 0;
    for (const std::size_t end : ends) {
        const auto first = times.begin() + static_cast<std::ptrdiff_t>(begin);
        const auto last = times.begin() + static_cast<std::ptrdiff_t>(end);
        if (!std::is_sorted(first, last)) std::sort(first, last);
        begin = end;
    }
}

}  // namespace

std::string outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Supported:
            return "supported";
        case Outcome::Weakened:
            return "weakened";
        case Outcome::Falsified:
            return "falsified";
        default:
            return "inconclusive";
    }
}

std::vector<StimulusEvent> stimulusSchedule(const StimulusSpec& stimulus, std::uint64_t trials) {
    validateStimulus(stimulus);
    if (trials == 0) throw InvalidExperiment(kNoTrials);
    const ModelTime period = stimulusDuration(stimulus);
    std::vector<StimulusEvent> events;
    for (std::uint64_t k = 0; k < trials; ++k) {
        const ModelTime start = scaleTime(static_cast<std::int64_t>(k), period);
        for (const StimulusSegment& segment : stimulus.segments) {
            events.push_back({addTime(start, segment.start_ns), segment.name, true, k});
            events.push_back({addTime(start, segment.end_ns), segment.name, false, k});
        }
    }
    // Ties keep the generation order: an offset before the onset that follows it.
    std::stable_sort(events.begin(), events.end(),
                     [](const StimulusEvent& a, const StimulusEvent& b) { return a.time_ns < b.time_ns; });
    return events;
}

RunStatistics computeRunStatistics(const std::vector<SpikeRecord>& spikes, ModelTime duration_ns,
                                   std::uint64_t neurons) {
    if (duration_ns < 1) throw InvalidMatchedControl(kNonPositiveDuration);
    if (neurons == 0) throw InvalidMatchedControl(kNoNeurons);

    RunStatistics statistics;
    statistics.spike_count = spikes.size();
    statistics.firing_rate =
        static_cast<double>(statistics.spike_count) /
        ((static_cast<double>(duration_ns) / kNanosecondsPerSecond) * static_cast<double>(neurons));

    // The intervals are summed neuron by neuron, neurons ascending, each
    // neuron's in time order, so the floating-point sums do not depend on the
    // order in which the model reported the spikes.
    std::vector<ModelTime> times;
    std::vector<std::size_t> ends;
    groupTimesByNeuron(spikes, times, ends);
    // Calls f with every interval [s] between consecutive spikes of one neuron.
    const auto forEachInterval = [&times, &ends](auto&& f) {
        std::size_t begin = 0;
        for (const std::size_t end : ends) {
            for (std::size_t i = begin + 1; i < end; ++i)
                f(static_cast<double>(times[i] - times[i - 1]) / kNanosecondsPerSecond);
            begin = end;
        }
    };
    std::size_t count = 0;
    double sum = 0.0;
    forEachInterval([&](double interval) {
        count += 1;
        sum += interval;
    });
    if (count > 0) {
        const double n = static_cast<double>(count);
        const double mean = sum / n;
        double squares = 0.0;
        forEachInterval([&](double interval) { squares += (interval - mean) * (interval - mean); });
        statistics.isi_mean = mean;
        statistics.isi_variance = squares / n;
    }
    statistics.duration_ns = duration_ns;
    statistics.neurons = neurons;
    return statistics;
}

double controlStatisticValue(const RunStatistics& statistics, ControlStatistic statistic) {
    switch (statistic) {
        case ControlStatistic::FiringRate:
            return statistics.firing_rate;
        case ControlStatistic::SpikeCount:
            return static_cast<double>(statistics.spike_count);
        case ControlStatistic::IsiVariance:
            return statistics.isi_variance;
        default:
            return 0.0;
    }
}

std::vector<ControlCheck> checkMatchedControls(const RunStatistics& control, const RunStatistics& branch,
                                               const std::vector<MatchedControl>& controls) {
    std::vector<ControlCheck> checks;
    for (const MatchedControl& matched : controls) {
        if (!std::isfinite(matched.tolerance) || matched.tolerance < 0.0)
            throw InvalidMatchedControl(kBadTolerance);
        const double c = controlStatisticValue(control, matched.statistic);
        const double b = controlStatisticValue(branch, matched.statistic);
        double deviation = 0.0;
        if (std::fabs(c) != 0.0)
            deviation = std::fabs(b - c) / std::fabs(c);
        else if (b != 0.0 || std::isnan(b))
            deviation = 1.0;
        // A NaN deviation compares false and so fails the check.
        checks.push_back(
            {matched.statistic, c, b, matched.tolerance, deviation, matched.tolerance >= deviation});
    }
    return checks;
}

std::string metricsVersion(const MetricRegistry& registry, const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ';';
        text += names[i] + "=" + registry.findMetric(names[i]).version;
    }
    return text;
}

ExperimentRunner::ExperimentRunner(std::string engine_version, MetricRegistry metrics)
    : engine_version_(std::move(engine_version)), metrics_(std::move(metrics)) {
    if (engine_version_.empty()) throw InvalidExperiment(kMissingEngineVersion);
}

ExperimentResult ExperimentRunner::run(const ExperimentSpec& spec, ExperimentModel& model,
                                       const DecisionRule& rule) const {
    validateExperiment(spec);
    for (const std::string& name : spec.metrics) {
        if (!metrics_.hasMetric(name))
            throw InvalidExperiment("experiment " + spec.name + " declares unknown metric " + name);
    }
    const std::vector<StimulusEvent> schedule = stimulusSchedule(spec.stimulus, spec.trials);
    const ModelTime total = experimentDuration(spec);
    const std::string version = metricsVersion(metrics_, spec.metrics);

    ExperimentResult result;
    result.experiment = spec.name;
    result.hypothesis = spec.hypothesis;
    result.prediction = spec.prediction;
    result.null = spec.null;
    result.falsification = spec.falsification;
    result.metrics = spec.metrics;

    // Shared history: everything strictly before the fork. An event exactly
    // at the fork time belongs to the branches, after their interventions.
    model.reset(spec.seed);
    std::size_t fork = 0;
    while (fork < schedule.size() && schedule[fork].time_ns < spec.snapshot_at_ns) ++fork;
    play(model, schedule, 0, fork);
    model.advanceTo(spec.snapshot_at_ns);
    const std::vector<std::uint8_t> snapshot = model.snapshot();
    const std::uint64_t architecture = model.architectureHash();
    const std::uint64_t config = configHash(spec, architecture);

    for (const BranchSpec& branch : spec.branches) {
        model.restore(snapshot);
        model.beginBranch(branch.name);
        for (const Intervention& intervention : branch.interventions) model.applyIntervention(intervention);
        play(model, schedule, fork, schedule.size());
        model.advanceTo(total);
        model.endBranch(branch.name);

        RunRecord run;
        run.experiment = spec.name;
        run.branch = branch.name;
        run.hypothesis = spec.hypothesis;
        run.theory_version = spec.theory_version;
        run.engine_version = engine_version_;
        run.metrics_version = version;
        run.config_hash = config;
        run.architecture_hash = architecture;
        run.seed = spec.seed;
        run.trials = spec.trials;
        run.duration_ns = total;
        run.parameters["stimulus"] = spec.stimulus.name;
        run.parameters["snapshot_at_ns"] = std::to_string(spec.snapshot_at_ns);
        run.parameters["interventions"] = describeInterventions(branch.interventions);
        for (const auto& [key, value] : model.parameters()) run.parameters["model." + key] = value;
        run.spikes = model.spikes();
        run.trajectory = model.trajectory();
        run.statistics = computeRunStatistics(run.spikes, total, model.neuronCount());
        run.synapse_log = model.synapseLog();
        result.runs.push_back(std::move(run));
    }

    if (!spec.controls.empty() && !result.runs.empty()) {
        const auto control = std::find_if(spec.branches.begin(), spec.branches.end(), isControlBranch);
        const std::size_t controlIndex = static_cast<std::size_t>(control - spec.branches.begin());
        for (std::size_t i = 0; i < result.runs.size(); ++i) {
            if (i == controlIndex) continue;
            RunRecord& run = result.runs[i];
            run.control_checks =
                checkMatchedControls(result.runs[controlIndex].statistics, run.statistics, spec.controls);
            run.valid = std::all_of(run.control_checks.begin(), run.control_checks.end(),
                                    [](const ControlCheck& check) { return check.within; });
        }
    }

    for (RunRecord& run : result.runs) {
        if (!run.valid) continue;
        for (const std::string& name : spec.metrics)
            run.metrics[name] = metrics_.findMetric(name).definition(run.trajectory, run.statistics);
    }

    const bool allValid =
        std::all_of(result.runs.begin(), result.runs.end(), [](const RunRecord& run) { return run.valid; });
    if (!allValid) {
        result.reason = kControlsFailed;
    } else if (!rule) {
        result.reason = kNoRule;
    } else if (const std::optional<Outcome> decided = rule(result)) {
        result.outcome = *decided;
        result.reason = kDecided;
    } else {
        result.reason = kNoDecision;
    }
    return result;
}

}  // namespace Core::Kvrn
