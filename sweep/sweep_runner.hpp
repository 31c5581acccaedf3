#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/experiment_model.hpp"
#include "experiment/experiment_runner.hpp"
#include "experiment/run_registry.hpp"
#include "experiment/experiment_spec.hpp"
#include "sweep/declaration.hpp"
#include "sweep/shape.hpp"
#include "sweep/statistics.hpp"

// Runs one experiment at every point of a sweep on every seed, reuses runs the
// run registry already holds under the same identity, summarises every
// (point, branch) cell over its seeds and, for a one-axis sweep, classifies
// the shape of each metric's curve.
namespace Core::Kvrn {

// One point of the sweep seen through one branch, summarised over the seeds.
struct SweepCell {
    SweepPoint point;
    std::string branch;
    std::map<std::string, SampleSummary> summaries;  // by metric name; empty when no run was valid
    std::uint64_t executedRuns = 0;                  // executed by this call and valid
    std::uint64_t reusedRuns = 0;                    // taken over from the registry, valid or not
    std::uint64_t invalidRuns = 0;                   // outside the matched controls, executed or reused
};

// A branch run outside its matched controls, with the checks that say why.
struct InvalidRun {
    std::string point;  // the point's label
    std::uint64_t seed = 0;
    std::string branch;
    bool reused = false;  // taken from the registry rather than executed
    std::vector<ControlCheck> checks;
};

// One branch and metric of a one-axis sweep along its axis. Axis values whose
// cell has no summary of the metric are left out.
struct SweepCurve {
    std::string branch;
    std::string metric;
    std::string axis;
    std::vector<double> x;                // axis values with a summary, in declared order
    std::vector<SampleSummary> points;    // one per entry of x
    CurveShape shape = CurveShape::Flat;  // stays Flat below three points
    RegimeTransition regime;              // stays empty below four points
};

// The metric values one branch run contributes to a cell: a valid executed
// run or a reused one. Kept so branches can be compared seed by seed.
struct SeedRun {
    std::size_t point = 0;       // index of the point in expansion order
    std::uint64_t seedIndex = 0;  // 0 for the experiment's seed, 1 for the next, ...
    std::string branch;
    std::map<std::string, double> metrics;
};

struct SweepResult {
    std::string name;
    std::string hypothesis;
    std::string prediction;
    std::string null;
    std::string falsification;
    std::vector<std::string> axes;        // axis names, declared order
    std::vector<std::string> mapMetrics;  // declared metrics, declared order
    std::uint64_t seedsPerPoint = 0;
    std::vector<SweepCell> cells;    // points in expansion order, branches in spec order within a point
    std::vector<SweepCurve> curves;  // branches x metrics of a one-axis sweep; empty otherwise
    std::uint64_t executedRuns = 0;  // branch runs executed by this call and valid
    std::uint64_t reusedRuns = 0;    // branch runs taken over from the registry, valid or not
    // Branch runs executed by this call outside their matched controls; with
    // executedRuns, every run this call executed.
    std::uint64_t invalidExecutedRuns = 0;
    // Branch runs the registry's index lists for a pair whose files are
    // missing: the pair was executed again.
    std::uint64_t missingStoredRuns = 0;
    std::vector<InvalidRun> invalidRuns;              // in pair order, branches in spec order
    std::vector<SkippedIndexLine> skippedIndexLines;  // index lines that did not read as runs
    std::string controlBranch;       // the first branch without interventions; empty when none
    // Every valid run behind the summaries, in pair order then branch order;
    // kept only when there is a control branch and another branch to contrast.
    std::vector<SeedRun> seedRuns;
};

// More (point, seed) pairs than any sweep could finish; a sweep asking for
// more is refused before anything runs.
inline constexpr std::uint64_t kMaxSweepPairs = 1'000'000'000;

// Points times seeds, or InvalidSweep naming the counts when the product is
// above kMaxSweepPairs (or beyond 64 bits).
std::uint64_t checkedPairCount(const SweepDeclaration& sweep);

// Makes a fresh model with the point's parameters applied; called for the
// first pair of each point and for every pair that is executed. Every model
// it makes for one point must have the same architecture hash: the sweep
// asks the first one and takes the answer for the point's other seeds. The
// caller of the factory owns the model.
using ModelFactory = std::function<std::unique_ptr<ExperimentModel>(const SweepPoint&)>;

// One callback of a sweep task, given the task's index.
using SweepTask = std::function<void(std::size_t)>;

// Drives the tasks 0 .. count - 1 of one sweep. compute(i) only hands its
// product to commit(i) under a lock, so several computes may run at once on
// any threads. The
// executor guarantees that commit(i) runs after compute(i) returned, in index
// order and one at a time; an exception from either callback ends the sweep,
// and the one of the lowest task index is the one that reaches the caller.
// The tasks after a failed one need not run.
using SweepExecutor =
    std::function<void(std::size_t count, const SweepTask& compute, const SweepTask& commit)>;

// compute(0); commit(0); compute(1); commit(1); ... on the calling thread.
void runSerially(std::size_t count, const SweepTask& compute, const SweepTask& commit);

// Chooses the (point, seed) pairs a call runs, by pair index: point index in
// expansion order times the seed count plus the seed index.
using PairFilter = std::function<bool(std::uint64_t pair)>;

// True when pair index `pair` belongs to shard `shard` (1-based) of `shards`:
// the pairs are dealt round-robin, pair p going to shard (p mod shards) + 1,
// so every shard gets every shards-th pair and the shards together hold each
// pair exactly once. Throws InvalidSweep unless 1 <= shard <= shards.
bool pairInShard(std::uint64_t pair, std::uint64_t shard, std::uint64_t shards);

// Told after each committed (point, seed) pair: pairs committed so far, pairs
// this call runs (after the filter), and how many of the committed ones were
// taken from the registry. Called once with done = 0 before the first pair.
// The pairs are produced one by one as the executor asks for them, never all
// at once, so a sweep's memory does not grow with its pair count; only the
// cell summaries and the invalid runs are kept.
using SweepProgress = std::function<void(std::uint64_t done, std::uint64_t total, std::uint64_t reused)>;

// Optional parts of a sweep call; the defaults run every pair serially. An
// executor that computes on several threads calls the model factory and the
// decision rule from them at once.
struct SweepOptions {
    SweepExecutor executor;  // empty: runSerially
    PairFilter filter;       // empty: every pair. Pairs left out are not run, counted or summarised.
    SweepProgress progress;  // empty: nobody is told
};

class SweepRunner {
  public:
    // Takes the experiment runner over. Without a registry nothing is reused
    // and nothing is stored; a registry given here must outlive the runner.
    explicit SweepRunner(ExperimentRunner runner, const RunRegistry* registry = nullptr);

    // Runs `spec` at every point of `sweep` on seeds spec.seed, spec.seed + 1,
    // ..., with a fresh model per (point, seed), passing `rule` to every
    // experiment. Throws InvalidExperiment or InvalidSweep before anything
    // runs when the spec, the sweep or the factory is unusable; failures of
    // the registry, the experiment runner and the model pass through, and
    // runs stored before such a failure stay stored.
    //
    // `options` may run the pairs on several threads and leave some out; the
    // registry, the counts and the result are the same as a serial run of
    // the same pairs, since everything shared is touched in pair order.
    SweepResult run(const ExperimentSpec& spec, const SweepDeclaration& sweep, const ModelFactory& factory,
                    const DecisionRule& rule, const SweepOptions& options = {}) const;

    const ExperimentRunner& experimentRunner() const { return runner_; }

  private:
    ExperimentRunner runner_;
    const RunRegistry* registry_;
};

}  // namespace Core::Kvrn
