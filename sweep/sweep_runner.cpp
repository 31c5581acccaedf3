#include "sweep/sweep_runner.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/format.hpp"

namespace Core::Kvrn {

namespace {

// Confidence level of every cell summary.
constexpr double kLevel = 0.95;
// Relative tolerance below which a curve's steps count as flat.
constexpr double kShapeTolerance = 0.05;
// Curvature at which a bend becomes a regime-transition candidate.
constexpr double kRegimeThreshold = 0.15;
// Shape needs three points, a regime transition four.
constexpr std::size_t kShapeMinimum = 3;
constexpr std::size_t kRegimeMinimum = 4;

const char* const kBadShard = "a shard is numbered from 1 to the shard count";

using MetricValues = std::map<std::string, double>;
// Registry runs of this experiment by reuse key; a later line replaces an earlier one.
using ReuseCache = std::unordered_map<std::string, MetricValues>;

std::string reuseKey(std::uint64_t config, std::uint64_t pointHash, std::uint64_t seed,
                     const std::string& engineVersion, const std::string& metricsVersionText,
                     const std::string& branch) {
    return std::to_string(config) + "|" + std::to_string(pointHash) + "|" + std::to_string(seed) + "|" +
           engineVersion + "|" + metricsVersionText + "|" + branch;
}

ReuseCache loadCache(const RunRegistry& registry, const std::string& experiment) {
    ReuseCache cache;
    for (RegistryEntry& entry : registry.loadEntries()) {
        if (entry.experiment != experiment) continue;
        cache[reuseKey(entry.config_hash, entry.point_hash, entry.seed, entry.engine_version,
                       entry.metrics_version, entry.branch)] = std::move(entry.metrics);
    }
    return cache;
}

// Values and run counts of one (point, branch) cell, gathered over the seeds.
struct CellTally {
    std::map<std::string, std::vector<double>> values;
    std::uint64_t executed = 0;
    std::uint64_t reused = 0;
    std::uint64_t invalid = 0;
};

// One (point, seed) pair: what compute leaves for commit.
struct PairTask {
    std::size_t point = 0;
    std::uint64_t seedIndex = 0;
    std::vector<const MetricValues*> cached;     // one per branch when reused
    std::optional<ExperimentResult> experiment;  // when executed
};

void appendValues(CellTally& tally, const MetricValues& metrics) {
    for (const auto& [metric, value] : metrics) tally.values[metric].push_back(value);
}

SweepCurve buildCurve(const std::vector<SweepCell>& cells, const SweepAxis& axis, const std::string& branch,
                      const std::string& metric) {
    SweepCurve curve;
    curve.branch = branch;
    curve.metric = metric;
    curve.axis = axis.name;
    std::vector<double> means;
    std::vector<double> variances;
    for (double v : axis.values) {
        const std::uint64_t hash = SweepPoint{{{axis.name, v}}}.hash();
        const SweepCell* match = nullptr;
        for (const SweepCell& cell : cells) {
            if (cell.branch == branch && cell.point.hash() == hash) {
                match = &cell;
                break;
            }
        }
        if (match == nullptr) continue;
        const auto found = match->summaries.find(metric);
        if (found == match->summaries.end()) continue;
        const SampleSummary& summary = found->second;
        curve.x.push_back(v);
        curve.points.push_back(summary);
        means.push_back(summary.mean);
        // A single seed leaves the spread unknown; it must not veto the regime scan.
        variances.push_back(std::isfinite(summary.variance) ? summary.variance : 0.0);
    }
    if (curve.x.size() >= kShapeMinimum) curve.shape = classifyShape(curve.x, means, kShapeTolerance);
    if (curve.x.size() >= kRegimeMinimum)
        curve.regime = detectRegimeTransition(curve.x, means, variances, kRegimeThreshold);
    return curve;
}

}  // namespace

SweepRunner::SweepRunner(ExperimentRunner runner, const RunRegistry* registry)
    : runner_(std::move(runner)), registry_(registry) {}

void runSerially(std::size_t count, const SweepTask& compute, const SweepTask& commit) {
    for (std::size_t i = 0; i < count; ++i) {
        compute(i);
        commit(i);
    }
}

bool pairInShard(std::uint64_t pair, std::uint64_t shard, std::uint64_t shards) {
    if (shards == 0 || shard == 0 || shard > shards) throw InvalidSweep(kBadShard);
    return pair % shards + 1 == shard;
}

SweepResult SweepRunner::run(const ExperimentSpec& spec, const SweepDeclaration& sweep,
                             const ModelFactory& factory, const DecisionRule& rule,
                             const SweepOptions& options) const {
    validateExperiment(spec);
    validateSweep(sweep);
    if (!factory) throw InvalidSweep("a sweep needs a model factory");

    SweepResult result;
    result.name = spec.name;
    result.hypothesis = spec.hypothesis;
    result.prediction = spec.prediction;
    result.null = spec.null;
    result.falsification = spec.falsification;
    result.mapMetrics = spec.metrics;
    result.seedsPerPoint = sweep.seeds;
    for (const SweepAxis& axis : sweep.axes) result.axes.push_back(axis.name);
    for (const BranchSpec& branch : spec.branches) {
        if (branch.interventions.empty()) {
            result.controlBranch = branch.name;
            break;
        }
    }

    // Read once: runs stored by this call are not reused by it.
    const ReuseCache cache = registry_ != nullptr ? loadCache(*registry_, spec.name) : ReuseCache{};
    const std::string& engineVersion = runner_.engineVersion();

    const std::vector<SweepPoint> points = expand(sweep);
    std::vector<PairTask> tasks;
    for (std::size_t p = 0; p < points.size(); ++p) {
        for (std::uint64_t s = 0; s < sweep.seeds; ++s) {
            if (options.filter && !options.filter(p * sweep.seeds + s)) continue;
            PairTask task;
            task.point = p;
            task.seedIndex = s;
            tasks.push_back(std::move(task));
        }
    }
    // One tally per (point, branch) cell, gathered over the pairs.
    std::vector<std::map<std::string, CellTally>> tallies(points.size());

    // Everything one pair needs from the shared state is read-only here: the
    // spec, the factory, the cache and the runner.
    const auto compute = [&](std::size_t i) {
        PairTask& task = tasks[i];
        const SweepPoint& point = points[task.point];
        ExperimentSpec seeded = spec;
        seeded.seed = spec.seed + task.seedIndex;

        std::unique_ptr<ExperimentModel> model = factory(point);
        if (!model) throw InvalidSweep("the sweep factory produced no model");
        const std::uint64_t config = configHash(seeded, model->architectureHash());
        const std::string version = metricsVersion(runner_.metrics(), spec.metrics);

        // Reuse only when every branch of this (point, seed) is cached with
        // every declared metric; otherwise the experiment is run again whole.
        const std::uint64_t pointHash = point.hash();
        std::vector<const MetricValues*> cached;
        for (const BranchSpec& branch : spec.branches) {
            const auto found =
                cache.find(reuseKey(config, pointHash, seeded.seed, engineVersion, version, branch.name));
            if (found == cache.end()) break;
            bool complete = true;
            for (const std::string& metric : spec.metrics) {
                if (found->second.count(metric) == 0) {
                    complete = false;
                    break;
                }
            }
            if (!complete) break;
            cached.push_back(&found->second);
        }

        if (cached.size() == spec.branches.size()) {
            task.cached = std::move(cached);
            return;
        }
        task.experiment = runner_.run(seeded, *model, rule);
    };

    std::uint64_t committed = 0;
    std::uint64_t reusedPairs = 0;
    // Labels, tallies, counters and the registry, in pair order.
    const auto commit = [&](std::size_t i) {
        PairTask& task = tasks[i];
        const SweepPoint& point = points[task.point];
        std::map<std::string, CellTally>& cell = tallies[task.point];
        if (!task.experiment) {
            for (std::size_t b = 0; b < spec.branches.size(); ++b) {
                CellTally& tally = cell[spec.branches[b].name];
                appendValues(tally, *task.cached[b]);
                result.seedRuns.push_back(
                    {task.point, task.seedIndex, spec.branches[b].name, *task.cached[b]});
                tally.reused += 1;
                result.reusedRuns += 1;
            }
            reusedPairs += 1;
        } else {
            ExperimentResult& experiment = *task.experiment;
            const std::string label = point.label();
            for (RunRecord& run : experiment.runs) {
                run.point = label + "_seed=" + std::to_string(spec.seed + task.seedIndex);
                run.point_hash = point.hash();
                for (const SweepParameter& parameter : point.parameters)
                    run.parameters["sweep." + parameter.name] = formatFull(parameter.value);
                CellTally& tally = cell[run.branch];
                if (run.valid) {
                    appendValues(tally, run.metrics);
                    result.seedRuns.push_back({task.point, task.seedIndex, run.branch, run.metrics});
                    tally.executed += 1;
                    result.executedRuns += 1;
                } else {
                    tally.invalid += 1;
                }
            }
            if (registry_ != nullptr) registry_->write(experiment);
            task.experiment.reset();  // the trajectories and spikes are not needed any more
        }
        committed += 1;
        if (options.progress) options.progress(committed, tasks.size(), reusedPairs);
    };

    if (options.progress) options.progress(0, tasks.size(), 0);
    if (options.executor)
        options.executor(tasks.size(), compute, commit);
    else
        runSerially(tasks.size(), compute, commit);

    for (std::size_t p = 0; p < points.size(); ++p) {
        for (const BranchSpec& branch : spec.branches) {
            SweepCell cell;
            cell.point = points[p];
            cell.branch = branch.name;
            const auto found = tallies[p].find(branch.name);
            if (found != tallies[p].end()) {
                const CellTally& tally = found->second;
                for (const auto& [metric, values] : tally.values)
                    cell.summaries[metric] = summarize(values, kLevel);
                cell.executedRuns = tally.executed;
                cell.reusedRuns = tally.reused;
                cell.invalidRuns = tally.invalid;
            }
            result.cells.push_back(std::move(cell));
        }
    }

    if (sweep.axes.size() == 1) {
        for (const BranchSpec& branch : spec.branches)
            for (const std::string& metric : spec.metrics)
                result.curves.push_back(buildCurve(result.cells, sweep.axes.front(), branch.name, metric));
    }
    return result;
}

}  // namespace Core::Kvrn
