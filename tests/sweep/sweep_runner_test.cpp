#include "sweep/sweep_runner.hpp"

#include "common/convert.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace Core::Kvrn;

namespace {

// A deterministic stand-in model. Its single state dimension is
// level(g) + a seed-dependent offset (+1 in a branch with the "nudge"
// intervention), so metrics differ between points, seeds and branches. A
// "nudge" at g >= 2 also fires extra spikes, which breaks a matched
// spike-count control there.
class FakeModel : public ExperimentModel {
  public:
    FakeModel(double g, std::uint64_t architecture, int* experiments, std::function<double(double)> level)
        : g_(g), architecture_(architecture), experiments_(experiments), level_(std::move(level)) {}

    void reset(std::uint64_t seed) override {
        seed_ = seed;
        now_ = 0;
        ++*experiments_;
    }
    void beginBranch(std::string_view) override { nudged_ = false; }
    void endBranch(std::string_view) override {}
    void advanceTo(ModelTime time) override { now_ = time; }
    void applyStimulus(const StimulusEvent&) override {}
    std::vector<std::uint8_t> snapshot() const override {
        std::vector<std::uint8_t> bytes(sizeof now_);
        std::memcpy(bytes.data(), &now_, sizeof now_);
        return bytes;
    }
    void restore(std::span<const std::uint8_t> bytes) override {
        std::memcpy(&now_, bytes.data(), sizeof now_);
    }
    void applyIntervention(const Intervention&) override { nudged_ = true; }
    std::vector<SpikeRecord> spikes() const override {
        const int count = 5 + (nudged_ && g_ >= 2 ? 10 : 0);
        std::vector<SpikeRecord> out;
        for (int i = 0; i < count; ++i) out.push_back(SpikeRecord{0, 0, i * 1000, {}, {}});
        return out;
    }
    Trajectory trajectory() const override {
        const double x = level_(g_) + static_cast<double>(seed_ % 7) * 0.5 + (nudged_ ? 1.0 : 0.0);
        return Trajectory{{0, now_}, {{x}, {x}}, {"x"}};
    }
    std::uint64_t neuronCount() const override { return 2; }
    std::uint64_t architectureHash() const override { return architecture_; }
    std::map<std::string, std::string> parameters() const override { return {}; }
    std::string synapseLog() const override { return "edge\n"; }

  private:
    double g_;
    std::uint64_t architecture_;
    int* experiments_;
    std::function<double(double)> level_;
    std::uint64_t seed_ = 0;
    ModelTime now_ = 0;
    bool nudged_ = false;
};

MetricRegistry fakeMetrics(const std::string& levelVersion = "v1") {
    MetricRegistry registry;
    registry.registerMetric({"level", levelVersion,
                             [](const Trajectory& t, const RunStatistics&) { return t.states.back()[0]; }});
    return registry;
}

// Two branches, a control and a nudged one; metrics "level" and "spike_count".
ExperimentSpec twoBranchSpec() {
    ExperimentSpec spec;
    spec.name = "Fake";
    spec.hypothesis = "H1";
    spec.theory_version = "T 1";
    spec.seed = 500;
    spec.stimulus = {"S", {{"A", 0, 100}}};
    spec.snapshot_at_ns = 50;
    spec.branches = {{"control", {}}, {"nudge", {{"nudge", {}, {}}}}};
    spec.metrics = {"level", "spike_count"};
    spec.prediction = "p";
    spec.null = "n";
    spec.falsification = "f";
    return spec;
}

class SweepRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("vostel-sweep-runner-test-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    ModelFactory factory(std::uint64_t architecture = 77) {
        return [this, architecture](const SweepPoint& point) {
            return std::make_unique<FakeModel>(point.parameters.empty() ? 0.0 : point.parameters[0].value,
                                               architecture, &experiments_, level_);
        };
    }

    SweepResult run(const ExperimentSpec& spec, const SweepDeclaration& sweep, const RunRegistry* registry,
                    const std::string& engine = "e-1", MetricRegistry metrics = fakeMetrics(),
                    std::uint64_t architecture = 77) {
        const SweepRunner runner(ExperimentRunner(engine, std::move(metrics)), registry);
        return runner.run(spec, sweep, factory(architecture), {});
    }

    std::vector<std::string> indexLines() const {
        std::istringstream in(Testing::readFile((root_ / "registry.jsonl").string()));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    void writeIndex(const std::vector<std::string>& lines) const {
        std::ofstream out(root_ / "registry.jsonl", std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines) out << line << '\n';
    }

    std::filesystem::path root_;
    int experiments_ = 0;
    std::function<double(double)> level_ = [](double g) { return 10.0 * g; };
};

const SweepDeclaration kTwoPoints{{{"g", {1, 2}}}, 3};

void expectSameSummaries(const SweepResult& a, const SweepResult& b) {
    ASSERT_EQ(a.cells.size(), b.cells.size());
    for (std::size_t i = 0; i < a.cells.size(); ++i) {
        ASSERT_EQ(a.cells[i].summaries.size(), b.cells[i].summaries.size()) << i;
        for (const auto& [metric, s] : a.cells[i].summaries) {
            const SampleSummary& t = Core::lookup(b.cells[i].summaries, metric);
            EXPECT_EQ(s.count, t.count);
            EXPECT_EQ(Testing::bitsOf(s.mean), Testing::bitsOf(t.mean)) << metric;
            EXPECT_EQ(Testing::bitsOf(s.variance), Testing::bitsOf(t.variance)) << metric;
            EXPECT_EQ(Testing::bitsOf(s.lower), Testing::bitsOf(t.lower)) << metric;
        }
    }
}

}  // namespace

TEST_F(SweepRunnerTest, RunsEveryPointOnEverySeedThenReusesEverything) {
    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    const SweepResult first = run(spec, kTwoPoints, &registry);

    EXPECT_EQ(first.executedRuns, 12u);
    EXPECT_EQ(first.reusedRuns, 0u);
    EXPECT_EQ(experiments_, 6);
    EXPECT_EQ(first.axes, std::vector<std::string>{"g"});
    EXPECT_EQ(first.mapMetrics, spec.metrics);
    EXPECT_EQ(first.seedsPerPoint, 3u);
    ASSERT_EQ(first.cells.size(), 4u);
    const char* const order[][2] = {
        {"g=1", "control"}, {"g=1", "nudge"}, {"g=2", "control"}, {"g=2", "nudge"}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(first.cells[i].point.label(), order[i][0]);
        EXPECT_EQ(first.cells[i].branch, order[i][1]);
        EXPECT_EQ(first.cells[i].executedRuns, 3u);
        const SampleSummary& level = Core::lookup(first.cells[i].summaries, "level");
        EXPECT_EQ(level.count, 3u);
        EXPECT_EQ(level.level, 0.95);
    }
    // Seeds 500, 501, 502 give offsets 1.5, 2, 2.5 (seed % 7 halved).
    EXPECT_DOUBLE_EQ(Core::lookup(first.cells[3].summaries, "level").mean, 23.0);

    // Stored in point, seed, branch order; what a stored run holds and where is
    // checked against the reference registry.
    const std::vector<std::string> lines = indexLines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_NE(lines[1].find("\"branch\":\"nudge\",\"point\":\"g=1_seed=500\""), std::string::npos);
    EXPECT_NE(lines[11].find("\"point\":\"g=2_seed=502\""), std::string::npos);

    const SweepResult second = run(spec, kTwoPoints, &registry);
    EXPECT_EQ(second.executedRuns, 0u);
    EXPECT_EQ(second.reusedRuns, 12u);
    EXPECT_EQ(second.cells[0].reusedRuns, 3u);
    EXPECT_EQ(experiments_, 6) << "a fully cached (point, seed) must not be simulated";
    EXPECT_EQ(indexLines().size(), 12u) << "reused runs are not stored again";
    expectSameSummaries(first, second);
}

TEST_F(SweepRunnerTest, AnyChangeOfIdentityReusesNothing) {
    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    run(spec, kTwoPoints, &registry);

    ExperimentSpec otherText = spec;
    otherText.prediction = "p, restated";
    ExperimentSpec otherSeed = spec;
    otherSeed.seed = 600;
    ExperimentSpec otherName = spec;
    otherName.name = "Fake2";

    const SweepResult results[] = {
        run(spec, kTwoPoints, &registry, "e-2"), run(spec, kTwoPoints, &registry, "e-1", fakeMetrics("v2")),
        run(otherText, kTwoPoints, &registry),   run(spec, kTwoPoints, &registry, "e-1", fakeMetrics(), 78),
        run(otherSeed, kTwoPoints, &registry),   run(otherName, kTwoPoints, &registry),
    };
    for (const SweepResult& r : results) {
        EXPECT_EQ(r.reusedRuns, 0u) << r.name;
        EXPECT_EQ(r.executedRuns, 12u) << r.name;
    }
    // A new base seed moves every run's seed but keeps the configuration.
    const std::vector<std::string> lines = indexLines();
    const auto configOf = [](const std::string& line) {
        const std::size_t at = line.find("\"config_hash\":");
        return line.substr(at, line.find(',', at) - at);
    };
    EXPECT_EQ(configOf(lines[0]), configOf(lines[5 * 12]));
    EXPECT_NE(configOf(lines[0]), configOf(lines[3 * 12]));
}

TEST_F(SweepRunnerTest, IncompleteCachedRunsAreExecutedAgainWhole) {
    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    const SweepResult first = run(spec, kTwoPoints, &registry);

    // Index lines follow points, seeds, branches: drop the nudge run of
    // (g=1, seed 501) and strip a declared metric from the control run of
    // (g=2, seed 500).
    std::vector<std::string> lines = indexLines();
    lines.erase(lines.begin() + 3);
    std::string& stripped = lines[5];
    ASSERT_NE(stripped.find("\"point\":\"g=2_seed=500\",\"point_hash\""), std::string::npos);
    const std::size_t at = stripped.find(",\"spike_count\":");
    ASSERT_NE(at, std::string::npos);
    stripped = stripped.substr(0, at) + "}}";
    writeIndex(lines);

    const int before = experiments_;
    const SweepResult second = run(spec, kTwoPoints, &registry);
    EXPECT_EQ(experiments_ - before, 2);
    EXPECT_EQ(second.reusedRuns, 8u);
    EXPECT_EQ(second.executedRuns, 4u);
    EXPECT_EQ(second.cells[0].reusedRuns, 2u);
    EXPECT_EQ(second.cells[0].executedRuns, 1u);
    EXPECT_EQ(second.cells[2].reusedRuns, 2u);
    EXPECT_EQ(indexLines().size(), 11u + 4u) << "both branches of a re-executed run are stored again";
    expectSameSummaries(first, second);
}

TEST_F(SweepRunnerTest, InvalidRunsAreCountedStoredAndReusedAsInvalid) {
    const RunRegistry registry(root_);
    ExperimentSpec spec = twoBranchSpec();
    spec.controls = {{ControlStatistic::SpikeCount, 0.1}};
    const SweepResult first = run(spec, kTwoPoints, &registry);

    EXPECT_EQ(first.executedRuns, 9u);
    const SweepCell& broken = first.cells[3];
    EXPECT_EQ(broken.invalidRuns, 3u);
    EXPECT_EQ(broken.executedRuns, 0u);
    EXPECT_TRUE(broken.summaries.empty());
    EXPECT_EQ(first.cells[1].invalidRuns, 0u);
    ASSERT_EQ(first.curves.size(), 4u);
    const SweepCurve& nudgeLevel = first.curves[2];
    EXPECT_EQ(nudgeLevel.branch, "nudge");
    EXPECT_EQ(nudgeLevel.metric, "level");
    EXPECT_EQ(nudgeLevel.x, std::vector<double>{1});

    const std::vector<std::string> lines = indexLines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_NE(lines[11].find("\"valid\":false"), std::string::npos);
    EXPECT_NE(lines[11].find("\"metrics\":{}}"), std::string::npos);

    EXPECT_EQ(first.invalidExecutedRuns, 3u);
    ASSERT_EQ(first.invalidRuns.size(), 3u);
    EXPECT_EQ(first.invalidRuns[0].branch, "nudge");
    EXPECT_EQ(first.invalidRuns[0].point, "g=2");
    EXPECT_FALSE(first.invalidRuns[0].reused);
    ASSERT_EQ(first.invalidRuns[0].checks.size(), 1u);
    EXPECT_FALSE(first.invalidRuns[0].checks[0].within);

    // The invalid runs are reused as invalid, with the checks they were stored with.
    const SweepResult second = run(spec, kTwoPoints, &registry);
    EXPECT_EQ(second.reusedRuns, 12u);
    EXPECT_EQ(second.executedRuns, 0u);
    EXPECT_EQ(second.invalidExecutedRuns, 0u);
    EXPECT_EQ(second.cells[3].invalidRuns, 3u);
    EXPECT_TRUE(second.cells[3].summaries.empty());
    EXPECT_EQ(indexLines().size(), 12u) << "nothing is executed or stored again";
    ASSERT_EQ(second.invalidRuns.size(), 3u);
    EXPECT_TRUE(second.invalidRuns[0].reused);
    const ControlCheck& stored = second.invalidRuns[0].checks.at(0);
    const ControlCheck& computed = first.invalidRuns[0].checks.at(0);
    EXPECT_EQ(stored.statistic, computed.statistic);
    EXPECT_EQ(stored.control_value, computed.control_value);
    EXPECT_EQ(stored.branch_value, computed.branch_value);
    EXPECT_EQ(stored.deviation, computed.deviation);
    EXPECT_EQ(stored.tolerance, computed.tolerance);
    expectSameSummaries(first, second);

    // Without its checks an invalid run is executed again.
    std::filesystem::remove(registry.runDirectory(registry.scanIndex().entries[11]) / "controls.json");
    const SweepResult third = run(spec, kTwoPoints, &registry);
    EXPECT_EQ(third.reusedRuns, 10u);
    EXPECT_EQ(third.invalidExecutedRuns, 1u);
    EXPECT_EQ(third.executedRuns, 1u);
}

TEST_F(SweepRunnerTest, TwoAxesGiveCellsAndNoCurves) {
    ExperimentSpec spec = twoBranchSpec();
    const SweepDeclaration map{{{"g", {1, 2, 3}}, {"h", {5, 6}}}, 2};
    const SweepResult r = run(spec, map, nullptr);
    EXPECT_EQ(r.executedRuns, 24u);
    EXPECT_EQ(r.axes, (std::vector<std::string>{"g", "h"}));
    ASSERT_EQ(r.cells.size(), 12u);
    EXPECT_TRUE(r.curves.empty());
    EXPECT_EQ(r.cells[4].point.label(), "g=2_h=5");
    EXPECT_EQ(r.cells[3].branch, "nudge");
}

TEST_F(SweepRunnerTest, CurvesSkipMissingPointsAndNeedThreeForShapeFourForRegime) {
    ExperimentSpec spec = twoBranchSpec();
    spec.controls = {{ControlStatistic::SpikeCount, 0.1}};
    level_ = [](double g) { return g < 1.5 ? g : 10.0; };  // a jump between 1 and 2
    const SweepDeclaration sweep{{{"g", {0, 0.5, 1, 2, 3}}}, 1};
    const SweepResult r = run(spec, sweep, nullptr);

    ASSERT_EQ(r.curves.size(), 4u);
    const SweepCurve& control = r.curves[0];
    EXPECT_EQ(control.x.size(), 5u);
    EXPECT_EQ(control.points[0].count, 1u);
    EXPECT_TRUE(std::isnan(control.points[0].variance));
    EXPECT_EQ(control.shape, CurveShape::MonotoneIncreasing);
    EXPECT_TRUE(control.regime.candidate);
    EXPECT_EQ(control.regime.location, 2.0);

    // The nudge branch is invalid at g = 2 and 3: three points left, a shape but no regime.
    const SweepCurve& nudge = r.curves[2];
    EXPECT_EQ(nudge.x, (std::vector<double>{0, 0.5, 1}));
    EXPECT_EQ(nudge.shape, CurveShape::MonotoneIncreasing);
    EXPECT_FALSE(nudge.regime.candidate);
    EXPECT_EQ(nudge.regime.curvature, 0.0);

    const SweepDeclaration twoLeft{{{"g", {0.5, 1, 2}}}, 1};
    const SweepCurve shortCurve = run(spec, twoLeft, nullptr).curves[2];
    EXPECT_EQ(shortCurve.x, (std::vector<double>{0.5, 1}));
    EXPECT_EQ(shortCurve.shape, CurveShape::Flat);
}

TEST_F(SweepRunnerTest, RefusesBeforeRunningAnything) {
    const SweepRunner runner(ExperimentRunner("e-1", fakeMetrics()), nullptr);
    const ExperimentSpec spec = twoBranchSpec();
    EXPECT_THROW_MSG(runner.run(spec, kTwoPoints, ModelFactory{}, {}), InvalidSweep,
                     "a sweep needs a model factory");
    EXPECT_THROW_MSG(runner.run(spec, kTwoPoints, [](const SweepPoint&) { return nullptr; }, {}),
                     InvalidSweep, "the sweep factory produced no model");

    ExperimentSpec single = spec;
    single.branches.pop_back();
    EXPECT_THROW(runner.run(single, kTwoPoints, factory(), {}), InvalidExperiment);
    EXPECT_THROW(runner.run(spec, SweepDeclaration{{{"g", {1}}}, 1}, factory(), {}), InvalidSweep);

    ExperimentSpec unknown = spec;
    unknown.metrics.push_back("nowhere");
    EXPECT_THROW_MSG(runner.run(unknown, kTwoPoints, factory(), {}), InvalidExperiment,
                     "unknown metric nowhere");
    EXPECT_EQ(experiments_, 0);
}

namespace {

// Computes every task first, last one first, then commits them all in order:
// the most reordering the executor contract allows.
void computeBackwardsThenCommit(std::size_t count, const SweepTask& compute, const SweepTask& commit) {
    for (std::size_t i = count; i-- > 0;) compute(i);
    for (std::size_t i = 0; i < count; ++i) commit(i);
}

}  // namespace

TEST_F(SweepRunnerTest, ReorderedComputationStoresAndSummarisesAsTheSerialRun) {
    const ExperimentSpec spec = twoBranchSpec();
    const SweepResult serial = run(spec, kTwoPoints, nullptr);

    const RunRegistry registry(root_);
    const SweepRunner runner(ExperimentRunner("e-1", fakeMetrics()), &registry);
    SweepOptions options;
    options.executor = computeBackwardsThenCommit;
    const SweepResult reordered = runner.run(spec, kTwoPoints, factory(), {}, options);
    EXPECT_EQ(reordered.executedRuns, 12u);
    expectSameSummaries(serial, reordered);
    const std::vector<std::string> lines = indexLines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_NE(lines[0].find("\"point\":\"g=1_seed=500\""), std::string::npos);
    EXPECT_NE(lines[11].find("\"point\":\"g=2_seed=502\""), std::string::npos);

    // Reuse goes through the same split: a repeat reuses every pair.
    const SweepResult repeat = runner.run(spec, kTwoPoints, factory(), {}, options);
    EXPECT_EQ(repeat.reusedRuns, 12u);
    expectSameSummaries(serial, repeat);
}

TEST_F(SweepRunnerTest, ShardsDealPairsRoundRobinAndTogetherGiveTheWholeSweep) {
    // Pair p = point index * seeds + seed index goes to shard p mod N + 1.
    EXPECT_TRUE(pairInShard(0, 1, 3));
    EXPECT_TRUE(pairInShard(4, 2, 3));
    EXPECT_FALSE(pairInShard(4, 1, 3));
    EXPECT_TRUE(pairInShard(7, 1, 1));
    for (const std::pair<int, int>& bad : {std::pair<int, int>{0, 3}, {4, 3}, {1, 0}})
        EXPECT_THROW_MSG(pairInShard(0, bad.first, bad.second), InvalidSweep,
                         "a shard is numbered from 1 to the shard count");

    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    const SweepRunner runner(ExperimentRunner("e-1", fakeMetrics()), &registry);
    SweepOptions first;
    first.filter = [](std::uint64_t pair) { return pairInShard(pair, 1, 4); };  // pairs 0 and 4
    const SweepResult shard = runner.run(spec, kTwoPoints, factory(), {}, first);
    EXPECT_EQ(experiments_, 2);
    EXPECT_EQ(shard.executedRuns, 4u);
    ASSERT_EQ(shard.cells.size(), 4u) << "every cell is listed, summarised over the shard's pairs";
    EXPECT_EQ(Core::lookup(shard.cells[0].summaries, "level").count, 1u);
    EXPECT_EQ(shard.cells[2].executedRuns, 1u);
    const std::vector<std::string> lines = indexLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("\"point\":\"g=1_seed=500\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"point\":\"g=2_seed=501\""), std::string::npos);

    SweepOptions nothing;
    nothing.filter = [](std::uint64_t) { return false; };
    const SweepResult empty = runner.run(spec, kTwoPoints, factory(), {}, nothing);
    EXPECT_EQ(empty.executedRuns + empty.reusedRuns, 0u);
    EXPECT_TRUE(empty.cells[0].summaries.empty());
    EXPECT_EQ(experiments_, 2) << "pairs left out are not run";

    for (std::uint64_t k = 2; k <= 4; ++k) {
        SweepOptions other;
        other.filter = [k](std::uint64_t pair) { return pairInShard(pair, k, 4); };
        runner.run(spec, kTwoPoints, factory(), {}, other);
    }
    const SweepResult whole = runner.run(spec, kTwoPoints, factory(), {});
    EXPECT_EQ(whole.reusedRuns, 12u);
    EXPECT_EQ(whole.executedRuns, 0u);
    expectSameSummaries(run(spec, kTwoPoints, nullptr), whole);
}

TEST_F(SweepRunnerTest, ProgressCountsCommittedAndReusedPairs) {
    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    const SweepRunner runner(ExperimentRunner("e-1", fakeMetrics()), &registry);
    std::vector<std::string> calls;
    SweepOptions options;
    options.filter = [](std::uint64_t pair) { return pair != 1; };
    options.progress = [&](std::uint64_t done, std::uint64_t total, std::uint64_t reused) {
        calls.push_back(std::to_string(done) + "/" + std::to_string(total) + "/" + std::to_string(reused));
    };
    runner.run(spec, kTwoPoints, factory(), {}, options);
    EXPECT_EQ(calls, (std::vector<std::string>{"0/5/0", "1/5/0", "2/5/0", "3/5/0", "4/5/0", "5/5/0"}));

    calls.clear();
    options.filter = {};
    runner.run(spec, kTwoPoints, factory(), {}, options);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"0/6/0", "1/6/1", "2/6/1", "3/6/2", "4/6/3", "5/6/4", "6/6/5"}));
}

TEST_F(SweepRunnerTest, AFailingPairKeepsTheRunsCommittedBeforeIt) {
    const RunRegistry registry(root_);
    const ExperimentSpec spec = twoBranchSpec();
    const SweepRunner runner(ExperimentRunner("e-1", fakeMetrics()), &registry);
    int made = 0;
    const ModelFactory failingThird = [&](const SweepPoint& point) -> std::unique_ptr<ExperimentModel> {
        if (made++ == 2) throw InvalidExperiment("this model has no parameter g");
        return factory()(point);
    };
    // Each pair is stored before the next model is made.
    EXPECT_THROW_MSG(runner.run(spec, kTwoPoints, failingThird, {}), InvalidExperiment,
                     "this model has no parameter g");
    EXPECT_EQ(indexLines().size(), 4u) << "the two pairs before the failing one stay stored";
}

TEST_F(SweepRunnerTest, AbsurdPairCountsAreRefusedBeforeAnythingRuns) {
    EXPECT_EQ(checkedPairCount(kTwoPoints), 6u);
    EXPECT_EQ(checkedPairCount({{{"g", {1, 2}}}, kMaxSweepPairs / 2}), kMaxSweepPairs);
    EXPECT_THROW_MSG(checkedPairCount({{{"g", {1, 2}}}, 9000000000000000000ULL}), InvalidSweep,
                     "the sweep asks for 2 points x 9000000000000000000 seeds, more than the 1000000000 "
                     "(point, seed) pairs a sweep may run; split it into several sweeps");
    // A product beyond 64 bits is caught, not wrapped around.
    const std::vector<double> many(100000, 1.0);
    const SweepDeclaration huge{{{"a", many}, {"b", many}, {"c", many}, {"d", many}}, 1};
    EXPECT_THROW(checkedPairCount(huge), InvalidSweep);
    const int before = experiments_;
    EXPECT_THROW(run(twoBranchSpec(), {{{"g", {1, 2}}}, kMaxSweepPairs}, nullptr), InvalidSweep);
    EXPECT_EQ(experiments_, before);
}

TEST_F(SweepRunnerTest, StoredRunsWithoutTheirFilesAreExecutedAgain) {
    const RunRegistry registry(root_);
    const SweepResult first = run(twoBranchSpec(), kTwoPoints, &registry);
    const std::vector<RegistryEntry> entries = registry.scanIndex().entries;
    std::filesystem::remove(registry.runDirectory(entries[3]) / "states.csv");
    const SweepResult second = run(twoBranchSpec(), kTwoPoints, &registry);
    EXPECT_EQ(second.missingStoredRuns, 1u);
    EXPECT_EQ(second.reusedRuns, 10u) << "the other branch of that pair is executed with it";
    EXPECT_EQ(second.executedRuns, 2u);
    EXPECT_TRUE(std::filesystem::exists(registry.runDirectory(entries[3]) / "states.csv"));
    expectSameSummaries(first, second);
}

TEST_F(SweepRunnerTest, KeepsTheValidRunsBehindTheCellsForPairedContrasts) {
    const RunRegistry registry(root_);
    ExperimentSpec spec = twoBranchSpec();
    spec.controls = {{ControlStatistic::SpikeCount, 0.1}};  // the nudge branch fails it at g=2
    const SweepResult first = run(spec, kTwoPoints, &registry);
    EXPECT_EQ(first.controlBranch, "control");
    ASSERT_EQ(first.seedRuns.size(), 9u) << "valid runs only";
    EXPECT_EQ(first.seedRuns[1].branch, "nudge");
    EXPECT_EQ(first.seedRuns[2].seedIndex, 1u);
    EXPECT_EQ(first.seedRuns[8].point, 1u);

    // Reused pairs contribute the same values, in the same order.
    const SweepResult second = run(spec, kTwoPoints, &registry);
    ASSERT_EQ(second.seedRuns.size(), first.seedRuns.size());
    for (std::size_t i = 0; i < first.seedRuns.size(); ++i) {
        EXPECT_EQ(second.seedRuns[i].point, first.seedRuns[i].point) << i;
        EXPECT_EQ(second.seedRuns[i].seedIndex, first.seedRuns[i].seedIndex) << i;
        EXPECT_EQ(second.seedRuns[i].branch, first.seedRuns[i].branch) << i;
        EXPECT_EQ(second.seedRuns[i].metrics, first.seedRuns[i].metrics) << i;
    }
}
