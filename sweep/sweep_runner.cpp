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

// The identity of a stored branch run within one sweep, where the
// experiment, the engine version and the metrics version are fixed: a run
// of another experiment or version is never reused, so it is not kept.
struct ReuseKey {
    std::uint64_t config = 0;
    std::uint64_t pointHash = 0;
    std::uint64_t seed = 0;
    std::size_t branch = 0;  // index into the spec's branches
    bool operator==(const ReuseKey&) const = default;
};

struct ReuseKeyHash {
    std::size_t operator()(const ReuseKey& key) const {
        std::uint64_t h = key.config;
        for (std::uint64_t part : {key.pointHash, key.seed, static_cast<std::uint64_t>(key.branch)})
            h = (h ^ part) * 0x100000001b3ULL + (h >> 29);
        return static_cast<std::size_t>(h);
    }
};

// Registry runs of this sweep by reuse key; a later line replaces an earlier one.
using ReuseCache = std::unordered_map<ReuseKey, StoredRun, ReuseKeyHash>;

// Reads the registry's index once, keeping only the runs this sweep could
// reuse, so the memory grows with those runs rather than with the index.
ReuseCache loadCache(const RunRegistry& registry, const ExperimentSpec& spec,
                     const std::string& engineVersion, const std::string& metricsVersionText,
                     std::vector<SkippedIndexLine>& skipped) {
    ReuseCache cache;
    std::map<std::string, std::size_t> branches;
    for (std::size_t b = 0; b < spec.branches.size(); ++b) branches.emplace(spec.branches[b].name, b);
    registry.scanIndex(
        [&](RegistryEntry& entry, std::uint64_t) {
            if (entry.experiment != spec.name || entry.engine_version != engineVersion ||
                entry.metrics_version != metricsVersionText)
                return;
            const auto branch = branches.find(entry.branch);
            if (branch == branches.end()) return;
            cache[ReuseKey{entry.config_hash, entry.point_hash, entry.seed, branch->second}] =
                StoredRun{std::move(entry.metrics), entry.valid, std::move(entry.directory)};
        },
        skipped);
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
void labelRuns(ExperimentResult& experiment, const SweepPoint& point, std::uint64_t pointHash,
               std::uint64_t seed) {
    const std::string label = point.label();
    for (RunRecord& run : experiment.runs) {
        run.point = label + "_seed=" + std::to_string(seed);
        run.point_hash = pointHash;
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
    const std::string& engineVersion = runner_.engineVersion();
    const std::string version = metricsVersion(runner_.metrics(), spec.metrics);
    ReuseCache cache;
    if (registry_ != nullptr) {
        registry_->removeAbandonedScratch();
        cache = loadCache(*registry_, spec, engineVersion, version, result.skippedIndexLines);
    }

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
    // A point's models share one architecture, whatever the seed, and the
    // configuration hash does not depend on the seed either: it is worked
    // out for the first pair of the point (from the first model made for
    // it), with the point's hash, and kept until the point closes, so that
    // a pair taken from the registry makes no model and describes no
    // experiment.
    struct PointIdentity {
        std::uint64_t config = 0;
        std::uint64_t pointHash = 0;
    };
    std::mutex configMutex;
    std::map<std::uint64_t, PointIdentity> identities;  // by point index

    const auto compute = [&](std::size_t i) {
        if (!chosen(i)) return;
        const std::uint64_t p = i / sweep.seeds;
        const SweepPoint point = pointAt(sweep, p);
        const std::uint64_t seed = spec.seed + i % sweep.seeds;
        // The spec with this pair's seed, made only when it is run or hashed.
        const auto seededSpec = [&spec, seed] {
            ExperimentSpec seeded = spec;
            seeded.seed = seed;
            return seeded;
        };

        std::unique_ptr<ExperimentModel> model;
        const auto makeModel = [&] {
            model = factory(point);
            if (!model) throw InvalidSweep("the sweep factory produced no model");
        };
        std::optional<PointIdentity> known;
        {
            const std::lock_guard lock(configMutex);
            const auto found = identities.find(p);
            if (found != identities.end()) known = found->second;
        }
        if (!known) {
            makeModel();
            known = PointIdentity{configHash(seededSpec(), model->architectureHash()), point.hash()};
            const std::lock_guard lock(configMutex);
            identities.emplace(p, *known);
        }
        const std::uint64_t config = known->config;
        const std::uint64_t pointHash = known->pointHash;

        // Reuse only when every branch of this (point, seed) is stored whole:
        // with every declared metric, or outside its controls with the checks
        // that said so, and with all of its files on disk. Otherwise the
        // experiment is run again whole.
        PairTask task;
        std::vector<ReusedRun> cached;
        bool usable = true;
        for (std::size_t b = 0; b < spec.branches.size(); ++b) {
            const auto found = cache.find(ReuseKey{config, pointHash, seed, b});
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
            if (!model) makeModel();
            task.experiment = runner_.run(seededSpec(), *model, rule);
            labelRuns(*task.experiment, point, pointHash, seed);
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
        const std::lock_guard lock(configMutex);
        identities.erase(p);
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
            // Only invalid runs need the point's label here.
            const auto label = [&sweep, p] { return pointAt(sweep, p).label(); };
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
                            {label(), seed, spec.branches[b].name, true, reused.checks});
                    }
                    tally.reused += 1;
                    result.reusedRuns += 1;
                }
                reusedPairs += 1;
            } else {
                ExperimentResult& experiment = *task.experiment;
                for (RunRecord& run : experiment.runs) {
                    CellTally& tally = tallies[run.branch];
                    if (run.valid) {
                        appendValues(tally, run.metrics);
                        if (keepSeedRuns)
                            result.seedRuns.push_back({p, i % sweep.seeds, run.branch, run.metrics});
                        tally.executed += 1;
                        result.executedRuns += 1;
                    } else {
                        tally.invalid += 1;
                        result.invalidExecutedRuns += 1;
                        result.invalidRuns.push_back({label(), seed, run.branch, false, run.control_checks});
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
