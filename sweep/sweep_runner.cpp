#include "sweep/sweep_runner.hpp"

#include <cmath>
#include <mutex>
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

// What the index says of one stored branch run.
struct StoredRun {
    MetricValues metrics;
    bool valid = false;
    std::string directory;  // relative to the registry's root
};
// Registry runs of this experiment by reuse key; a later line replaces an earlier one.
using ReuseCache = std::unordered_map<std::string, StoredRun>;

std::string reuseKey(std::uint64_t config, std::uint64_t pointHash, std::uint64_t seed,
                     const std::string& engineVersion, const std::string& metricsVersionText,
                     const std::string& branch) {
    return std::to_string(config) + "|" + std::to_string(pointHash) + "|" + std::to_string(seed) + "|" +
           engineVersion + "|" + metricsVersionText + "|" + branch;
}

ReuseCache loadCache(IndexScan& scan, const std::string& experiment) {
    ReuseCache cache;
    for (RegistryEntry& entry : scan.entries) {
        if (entry.experiment != experiment) continue;
        cache[reuseKey(entry.config_hash, entry.point_hash, entry.seed, entry.engine_version,
                       entry.metrics_version, entry.branch)] =
            StoredRun{std::move(entry.metrics), entry.valid, std::move(entry.directory)};
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

// One stored branch run taken over by a pair.
struct ReusedRun {
    const StoredRun* stored = nullptr;
    std::vector<ControlCheck> checks;  // for a run outside its controls
};

// One (point, seed) pair: what compute leaves for commit.
struct PairTask {
    std::vector<ReusedRun> cached;               // one per branch when reused
    std::optional<ExperimentResult> experiment;  // when executed, its runs labelled with the point
    StagedWrite staged;                          // the executed runs' files, awaiting their commit
    std::uint64_t missing = 0;                   // indexed branch runs whose files are gone
};

// Names each run of an executed pair after its point and seed, with the
// point's values among its parameters.
void labelRuns(ExperimentResult& experiment, const SweepPoint& point, std::uint64_t seed) {
    const std::string label = point.label();
    for (RunRecord& run : experiment.runs) {
        run.point = label + "_seed=" + std::to_string(seed);
        run.point_hash = point.hash();
        for (const SweepParameter& parameter : point.parameters)
            run.parameters["sweep." + parameter.name] = formatFull(parameter.value);
    }
}

// The point with index `index` in expansion order (first axis slowest),
// built on demand so that no sweep holds all of its points.
SweepPoint pointAt(const SweepDeclaration& sweep, std::uint64_t index) {
    SweepPoint point;
    point.parameters.resize(sweep.axes.size());
    for (std::size_t a = sweep.axes.size(); a-- > 0;) {
        const std::vector<double>& values = sweep.axes[a].values;
        point.parameters[a] = {sweep.axes[a].name, values[index % values.size()]};
        index /= values.size();
    }
    return point;
}

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

std::uint64_t checkedPairCount(const SweepDeclaration& sweep) {
    std::uint64_t points = 1;
    bool beyond = false;
    std::string sizes;
    for (const SweepAxis& axis : sweep.axes) {
        const std::uint64_t n = axis.values.size();
        sizes += (sizes.empty() ? "" : " x ") + std::to_string(n);
        if (n != 0 && points > kMaxSweepPairs / n) beyond = true;
        if (!beyond) points *= n;
    }
    if (!beyond && sweep.seeds != 0 && points > kMaxSweepPairs / sweep.seeds) beyond = true;
    if (beyond)
        throw InvalidSweep("the sweep asks for " + (sizes.empty() ? std::string("1") : sizes) + " points x " +
                           std::to_string(sweep.seeds) + " seeds, more than the " +
                           std::to_string(kMaxSweepPairs) +
                           " (point, seed) pairs a sweep may run; split it into several sweeps");
    return points * sweep.seeds;
}

SweepResult SweepRunner::run(const ExperimentSpec& spec, const SweepDeclaration& sweep,
                             const ModelFactory& factory, const DecisionRule& rule,
                             const SweepOptions& options) const {
    validateExperiment(spec);
    validateSweep(sweep);
    if (!factory) throw InvalidSweep("a sweep needs a model factory");
    const std::uint64_t pairCount = checkedPairCount(sweep);

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

    // The runs behind the cells are kept only where a paired contrast needs
    // them: a control branch and at least one other branch.
    const bool keepSeedRuns = !result.controlBranch.empty() && spec.branches.size() > 1;

    // Read once: runs stored by this call are not reused by it. Index lines
    // that do not read are skipped and reported, not fatal.
    ReuseCache cache;
    if (registry_ != nullptr) {
        registry_->removeAbandonedScratch();
        IndexScan scan = registry_->scanIndex();
        result.skippedIndexLines = std::move(scan.skipped);
        cache = loadCache(scan, spec.name);
    }
    const std::string& engineVersion = runner_.engineVersion();

    // Pairs this call runs, counted without keeping them.
    std::uint64_t selected = pairCount;
    if (options.filter) {
        selected = 0;
        for (std::uint64_t pair = 0; pair < pairCount; ++pair) selected += options.filter(pair) ? 1 : 0;
    }
    const auto chosen = [&options](std::uint64_t pair) { return !options.filter || options.filter(pair); };

    // A computed pair waits here for its commit; the executor keeps only a
    // few pairs in flight, so this stays small. Computes on several threads
    // hand their pairs over under the lock.
    std::mutex pendingMutex;
    std::map<std::size_t, PairTask> pending;

    // Everything else one pair needs from the shared state is read-only
    // here: the spec, the factory, the cache, the runner and the registry.
    const auto compute = [&](std::size_t i) {
        if (!chosen(i)) return;
        const SweepPoint point = pointAt(sweep, i / sweep.seeds);
        ExperimentSpec seeded = spec;
        seeded.seed = spec.seed + i % sweep.seeds;

        std::unique_ptr<ExperimentModel> model = factory(point);
        if (!model) throw InvalidSweep("the sweep factory produced no model");
        const std::uint64_t config = configHash(seeded, model->architectureHash());
        const std::string version = metricsVersion(runner_.metrics(), spec.metrics);

        // Reuse only when every branch of this (point, seed) is stored whole:
        // with every declared metric, or outside its controls with the checks
        // that said so, and with all of its files on disk. Otherwise the
        // experiment is run again whole.
        const std::uint64_t pointHash = point.hash();
        PairTask task;
        std::vector<ReusedRun> cached;
        bool usable = true;
        for (const BranchSpec& branch : spec.branches) {
            const auto found =
                cache.find(reuseKey(config, pointHash, seeded.seed, engineVersion, version, branch.name));
            if (found == cache.end()) {
                usable = false;
                continue;
            }
            const StoredRun& stored = found->second;
            if (!registry_->runFilesPresent(stored.directory)) {
                task.missing += 1;
                usable = false;
                continue;
            }
            if (!usable) continue;
            ReusedRun reused{&stored, {}};
            if (stored.valid) {
                for (const std::string& metric : spec.metrics)
                    if (stored.metrics.count(metric) == 0) usable = false;
            } else {
                std::optional<std::vector<ControlCheck>> checks = registry_->storedControls(stored.directory);
                if (checks)
                    reused.checks = std::move(*checks);
                else
                    usable = false;
            }
            cached.push_back(std::move(reused));
        }

        if (usable) {
            task.cached = std::move(cached);
        } else {
            task.experiment = runner_.run(seeded, *model, rule);
            labelRuns(*task.experiment, point, seeded.seed);
            // The files are written here, on the computing thread; the
            // commit only moves them into place.
            if (registry_ != nullptr) task.staged = registry_->stage(*task.experiment);
        }
        const std::lock_guard lock(pendingMutex);
        pending.emplace(i, std::move(task));
    };

    std::uint64_t committed = 0;
    std::uint64_t reusedPairs = 0;
    // One tally per branch of the point being committed; a point's cells are
    // summarised as soon as its last seed is committed.
    std::map<std::string, CellTally> tallies;
    const auto closePoint = [&](std::uint64_t p) {
        const SweepPoint point = pointAt(sweep, p);
        for (const BranchSpec& branch : spec.branches) {
            SweepCell cell;
            cell.point = point;
            cell.branch = branch.name;
            const auto found = tallies.find(branch.name);
            if (found != tallies.end()) {
                const CellTally& tally = found->second;
                for (const auto& [metric, values] : tally.values)
                    cell.summaries[metric] = summarize(values, kLevel);
                cell.executedRuns = tally.executed;
                cell.reusedRuns = tally.reused;
                cell.invalidRuns = tally.invalid;
            }
            result.cells.push_back(std::move(cell));
        }
        tallies.clear();
    };

    // Labels, tallies, counters and the registry, in pair order. The place
    // where a committed pair's branch runs are all at hand: `task.cached`
    // (reused) or `experiment.runs` (executed), in spec branch order.
    const auto commit = [&](std::size_t i) {
        const std::uint64_t p = i / sweep.seeds;
        const std::uint64_t seed = spec.seed + i % sweep.seeds;
        std::optional<PairTask> taken;
        if (chosen(i)) {
            const std::lock_guard lock(pendingMutex);
            const auto found = pending.find(i);
            if (found != pending.end()) {
                taken = std::move(found->second);
                pending.erase(found);
            }
        }
        if (taken) {
            PairTask& task = *taken;
            const SweepPoint point = pointAt(sweep, p);
            result.missingStoredRuns += task.missing;
            if (!task.experiment) {
                for (std::size_t b = 0; b < spec.branches.size(); ++b) {
                    CellTally& tally = tallies[spec.branches[b].name];
                    const ReusedRun& reused = task.cached[b];
                    if (reused.stored->valid) {
                        appendValues(tally, reused.stored->metrics);
                        if (keepSeedRuns)
                            result.seedRuns.push_back(
                            {p, i % sweep.seeds, spec.branches[b].name, reused.stored->metrics});
                    } else {
                        tally.invalid += 1;
                        result.invalidRuns.push_back(
                            {point.label(), seed, spec.branches[b].name, true, reused.checks});
                    }
                    tally.reused += 1;
                    result.reusedRuns += 1;
                }
                reusedPairs += 1;
            } else {
                ExperimentResult& experiment = *task.experiment;
                const std::string label = point.label();
                for (RunRecord& run : experiment.runs) {
                    CellTally& tally = tallies[run.branch];
                    if (run.valid) {
                        appendValues(tally, run.metrics);
                        if (keepSeedRuns) result.seedRuns.push_back({p, i % sweep.seeds, run.branch, run.metrics});
                        tally.executed += 1;
                        result.executedRuns += 1;
                    } else {
                        tally.invalid += 1;
                        result.invalidExecutedRuns += 1;
                        result.invalidRuns.push_back({label, seed, run.branch, false, run.control_checks});
                    }
                }
                if (registry_ != nullptr) registry_->commit(std::move(task.staged));
            }
            committed += 1;
            if (options.progress) options.progress(committed, selected, reusedPairs);
        }
        if (i % sweep.seeds == sweep.seeds - 1) closePoint(p);
    };

    if (options.progress) options.progress(0, selected, 0);
    if (options.executor)
        options.executor(pairCount, compute, commit);
    else
        runSerially(pairCount, compute, commit);

    if (sweep.axes.size() == 1) {
        for (const BranchSpec& branch : spec.branches)
            for (const std::string& metric : spec.metrics)
                result.curves.push_back(buildCurve(result.cells, sweep.axes.front(), branch.name, metric));
    }
    return result;
}

}  // namespace Core::Kvrn
