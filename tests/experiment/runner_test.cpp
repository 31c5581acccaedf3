#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "engine/errors.hpp"
#include "experiment/experiment_runner.hpp"
#include "support/expect_throws.hpp"

namespace Core::Kvrn {
namespace {

constexpr ModelTime kMs = 1'000'000;

// A small deterministic model: four neurons in two groups fire on a 1 ms
// grid with a probability set by the stimulus drive and the "scale_drive"
// intervention, drawn from one generator. All state, the generator
// included, goes through the snapshot bytes, so a runner that restores
// wrongly gets other spikes. Calls are logged ("; "-separated) for order
// checks; the log is not model state.
class FakeModel : public ExperimentModel {
  public:
    mutable std::string log;

    void reset(std::uint64_t seed) override {
        note("reset " + std::to_string(seed));
        state_ = State{};
        state_.random = seed * 0x9E3779B97F4A7C15ULL + 1;
    }
    void beginBranch(std::string_view branch) override { note("begin " + std::string(branch)); }
    void endBranch(std::string_view branch) override { note("end " + std::string(branch)); }
    void advanceTo(ModelTime time) override {
        note("advance " + std::to_string(time));
        if (time < state_.now) throw std::runtime_error("fake model moved back in time");
        while (state_.nextTick <= time) tick();
        state_.now = time;
    }
    void applyStimulus(const StimulusEvent& event) override {
        note(event.segment + (event.onset ? " on " : " off ") + std::to_string(event.time_ns));
        state_.drive = event.onset && event.segment == "A" ? 0.4 : 0.0;
    }
    std::vector<std::uint8_t> snapshot() const override {
        note("snapshot");
        std::vector<std::uint8_t> bytes;
        auto put = [&bytes](auto value) {
            const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
            bytes.insert(bytes.end(), raw, raw + sizeof value);
        };
        put(state_.now), put(state_.nextTick), put(state_.random), put(state_.drive), put(state_.scale);
        put(state_.counts[0]), put(state_.counts[1]), put(state_.spikes.size()), put(state_.samples.size());
        for (const SpikeRecord& spike : state_.spikes)
            put(spike.time_ns), put(spike.neuron), put(spike.group);
        for (const auto& [time, counts] : state_.samples) put(time), put(counts[0]), put(counts[1]);
        return bytes;
    }
    void restore(std::span<const std::uint8_t> bytes) override {
        note("restore");
        std::size_t at = 0;
        auto get = [&](auto& value) {
            if (at + sizeof value > bytes.size()) throw std::runtime_error("fake snapshot truncated");
            std::memcpy(&value, bytes.data() + at, sizeof value);
            at += sizeof value;
        };
        State fresh;
        std::size_t spikeCount = 0, sampleCount = 0;
        get(fresh.now), get(fresh.nextTick), get(fresh.random), get(fresh.drive), get(fresh.scale);
        get(fresh.counts[0]), get(fresh.counts[1]), get(spikeCount), get(sampleCount);
        fresh.spikes.resize(spikeCount);
        for (SpikeRecord& spike : fresh.spikes) get(spike.time_ns), get(spike.neuron), get(spike.group);
        fresh.samples.resize(sampleCount);
        for (auto& [time, counts] : fresh.samples) get(time), get(counts[0]), get(counts[1]);
        state_ = std::move(fresh);
        records_.clear();
    }
    void applyIntervention(const Intervention& intervention) override {
        note("intervene " + intervention.kind);
        if (intervention.kind == "scale_drive") state_.scale = *intervention.parameter;
        records_[intervention.kind] = intervention.parameter ? formatFull(*intervention.parameter) : "";
    }
    std::vector<SpikeRecord> spikes() const override { return note("spikes"), state_.spikes; }
    Trajectory trajectory() const override {
        note("trajectory");
        Trajectory trajectory{{}, {}, {"g0", "g1"}};
        for (const auto& [time, counts] : state_.samples) {
            trajectory.times.push_back(time);
            trajectory.states.push_back({static_cast<double>(counts[0]), static_cast<double>(counts[1])});
        }
        return trajectory;
    }
    std::uint64_t neuronCount() const override { return note("neurons"), 4; }
    std::uint64_t architectureHash() const override { return note("architecture"), 0xfeed; }
    std::map<std::string, std::string> parameters() const override { return note("parameters"), records_; }
    std::string synapseLog() const override { return note("synapses"), "edge,time_ns,old,new,rule\n"; }

  private:
    struct State {
        ModelTime now = 0;
        ModelTime nextTick = kMs;
        std::uint64_t random = 0;
        double drive = 0.0;
        double scale = 1.0;
        std::array<std::uint64_t, 2> counts = {0, 0};  // spikes per group since the last sample
        std::vector<SpikeRecord> spikes;
        std::vector<std::pair<ModelTime, std::array<std::uint64_t, 2>>> samples;  // every 5 ms
    };

    void note(const std::string& call) const { log += (log.empty() ? "" : "; ") + call; }
    double uniform() {
        state_.random = state_.random * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_.random >> 11) * 0x1.0p-53;
    }
    void tick() {
        const ModelTime t = state_.nextTick;
        for (std::uint32_t neuron = 0; neuron < 4; ++neuron) {
            const std::uint32_t group = neuron / 2;
            if (uniform() < (0.1 + state_.drive / (1 + 3 * group)) * state_.scale) {
                state_.spikes.push_back({neuron, group, t + neuron, {}, std::nullopt});
                ++state_.counts[group];
            }
        }
        if (t % (5 * kMs) == 0) {
            state_.samples.push_back({t, state_.counts});
            state_.counts = {0, 0};
        }
        state_.nextTick += kMs;
    }

    State state_;
    std::map<std::string, std::string> records_;
};

Intervention scaleDrive(double factor) { return {"scale_drive", {}, factor}; }

// Stimulus "A" for 40 ms then "blank" for 60 ms, one trial, fork at 25 ms.
ExperimentSpec probeSpec() {
    ExperimentSpec spec;
    spec.name = "Probe";
    spec.hypothesis = "H1";
    spec.theory_version = "KVRN 1.0.0";
    spec.seed = 42;
    spec.stimulus = {"A_blank", {{"A", 0, 40 * kMs}, {"blank", 40 * kMs, 100 * kMs}}};
    spec.snapshot_at_ns = 25 * kMs;
    spec.branches = {{"baseline", {}}, {"twin", {}}, {"boosted", {scaleDrive(3.0)}}};
    spec.metrics = {"spike_count", "firing_rate", "state_separation"};
    spec.prediction = "p";
    spec.null = "n";
    spec.falsification = "f";
    return spec;
}

RunStatistics statistics(std::uint64_t count, double rate, double isiVariance = 0.0) {
    RunStatistics result;
    result.spike_count = count;
    result.firing_rate = rate;
    result.isi_variance = isiVariance;
    return result;
}

SpikeRecord spikeAt(std::uint64_t neuron, ModelTime time) { return {neuron, 0, time, {}, std::nullopt}; }

TEST(StimulusSchedule, TrialsRepeatBackToBackWithOffsetsBeforeOnsets) {
    std::string got;
    for (const StimulusEvent& e : stimulusSchedule({"S", {{"A", 0, 10}, {"blank", 10, 20}}}, 2))
        got += e.segment + (e.onset ? " on " : " off ") + std::to_string(e.time_ns) + "/" +
               std::to_string(e.trial) + "; ";
    EXPECT_EQ(got,
              "A on 0/0; A off 10/0; blank on 10/0; blank off 20/0; A on 20/1; A off 30/1; blank on 30/1; "
              "blank off 40/1; ");

    EXPECT_THROW_MSG(stimulusSchedule({"", {{"A", 0, 10}}}, 0), InvalidExperiment, "stimulus must be named");
    EXPECT_THROW_MSG(stimulusSchedule({"S", {{"A", 0, 10}}}, 0), InvalidExperiment,
                     "a stimulus needs at least one trial");
    const ModelTime half = std::numeric_limits<ModelTime>::max() / 2 + 1;
    EXPECT_THROW_MSG(stimulusSchedule({"S", {{"A", 0, half}}}, 2), TimeOverflow, "KVRN model time overflow");
}

TEST(RunStatistics, IntervalsPerNeuronInTimeOrderAndRatePerNeuron) {
    // Neuron 3's spikes arrive out of order and interleaved with neuron 1's single spike.
    const RunStatistics isi = computeRunStatistics(
        {spikeAt(3, 3 * kMs), spikeAt(1, 2 * kMs), spikeAt(3, 0), spikeAt(3, kMs)}, 10 * kMs, 4);
    EXPECT_EQ(isi.spike_count, 4u);
    EXPECT_DOUBLE_EQ(isi.isi_mean, 0.0015);
    EXPECT_DOUBLE_EQ(isi.isi_variance, 0.00000025);
    EXPECT_EQ(isi.duration_ns, 10 * kMs);
    EXPECT_EQ(isi.neurons, 4u);
    // The sum runs neuron by neuron, whatever order the spikes come in: 1 s
    // first, then the two 1 ns intervals (summed the other way round, the
    // mean differs in its last bits).
    const auto ordered = [](std::uint64_t step) {
        return computeRunStatistics({spikeAt(step, 0), spikeAt(step, 1), spikeAt(2 * step, 5),
                                     spikeAt(2 * step, 6), spikeAt(0, 2000 * kMs), spikeAt(0, 3000 * kMs)},
                                    4000 * kMs, 3);
    };
    EXPECT_EQ(ordered(1).isi_mean, (1.0 + 1e-9 + 1e-9) / 3.0);
    // Neuron numbers too far apart for a table of counts are grouped another way, to the same sums.
    const std::uint64_t far = std::uint64_t{1} << 40;
    EXPECT_EQ(ordered(far).isi_mean, ordered(1).isi_mean);
    EXPECT_EQ(ordered(far).isi_variance, ordered(1).isi_variance);
    const RunStatistics single = computeRunStatistics({spikeAt(0, 5), spikeAt(1, 9)}, 10, 2);
    EXPECT_EQ(single.isi_mean, 0.0);
    EXPECT_EQ(single.isi_variance, 0.0);

    std::vector<SpikeRecord> spikes;
    for (std::uint64_t i = 0; i < 20; ++i) spikes.push_back(spikeAt(i, static_cast<ModelTime>(i)));
    EXPECT_EQ(computeRunStatistics(spikes, 1'000'000'000, 40).firing_rate, 0.5);
    EXPECT_THROW_MSG(computeRunStatistics(spikes, 0, 40), InvalidMatchedControl,
                     "run duration must be positive");
    EXPECT_THROW_MSG(computeRunStatistics(spikes, 10, 0), InvalidMatchedControl,
                     "a run needs at least one neuron");
}

TEST(MatchedControls, DeviationIsRelativeToControlAndOneAgainstZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        double control, branch, tolerance, deviation;
        bool within;
    };
    const Row rows[] = {
        // 0 against 0 passes any tolerance, 0 itself included.
        {0, 0, 0, 0, true},
        // Against a control of 0 any other value (NaN too) deviates by 100 %.
        {0, 0.1, 1.0, 1.0, true},
        {0, 0.1, 0.99, 1.0, false},
        {0, nan, 1.0, 1.0, true},
        // |b - c| / |c|, the bound inclusive.
        {-10, -11, 0.1, 0.1, true},
        {10, 8, 0.1, 0.2, false},
    };
    for (const Row& row : rows) {
        const auto checks = checkMatchedControls(statistics(0, row.control), statistics(0, row.branch),
                                                 {{ControlStatistic::FiringRate, row.tolerance}});
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].deviation, row.deviation) << row.control << " " << row.branch;
        EXPECT_EQ(checks[0].within, row.within) << row.control << " " << row.branch;
    }
    // A NaN deviation never passes.
    const auto nanCheck =
        checkMatchedControls(statistics(0, 2), statistics(0, nan), {{ControlStatistic::FiringRate, 1.0}});
    EXPECT_TRUE(std::isnan(nanCheck[0].deviation));
    EXPECT_FALSE(nanCheck[0].within);
}

TEST(MatchedControls, ChecksFollowControlOrderAndRefuseBadTolerances) {
    const RunStatistics control = statistics(100, 4.0, 2.0), branch = statistics(50, 5.0, 2.0);
    const auto checks = checkMatchedControls(control, branch,
                                             {{ControlStatistic::IsiVariance, 0.01},
                                              {ControlStatistic::SpikeCount, 0.5},
                                              {static_cast<ControlStatistic>(9), 0.5}});
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[0].statistic, ControlStatistic::IsiVariance);
    EXPECT_EQ(checks[0].deviation, 0.0);
    EXPECT_EQ(checks[1].control_value, 100.0);
    EXPECT_EQ(checks[1].branch_value, 50.0);
    EXPECT_EQ(checks[1].tolerance, 0.5);
    EXPECT_TRUE(checks[1].within);
    EXPECT_EQ(checks[2].control_value, 0.0);  // an unknown statistic reads as 0
    EXPECT_EQ(controlStatisticValue(control, ControlStatistic::FiringRate), 4.0);

    for (double tolerance : {-0.1, std::numeric_limits<double>::infinity(), nan("")}) {
        EXPECT_THROW_MSG(checkMatchedControls(control, branch,
                                              {{ControlStatistic::SpikeCount, 1.0},
                                               {ControlStatistic::SpikeCount, tolerance}}),
                         InvalidMatchedControl, "tolerance must be finite and >= 0");
    }
}

TEST(Outcomes, NamesAndMetricsVersion) {
    EXPECT_EQ(outcomeName(Outcome::Supported), "supported");
    EXPECT_EQ(outcomeName(Outcome::Weakened), "weakened");
    EXPECT_EQ(outcomeName(Outcome::Falsified), "falsified");
    EXPECT_EQ(outcomeName(Outcome::Inconclusive), "inconclusive");
    EXPECT_EQ(outcomeName(static_cast<Outcome>(200)), "inconclusive");

    const MetricRegistry registry;
    EXPECT_EQ(metricsVersion(registry, {"firing_rate", "state_separation"}),
              "firing_rate=v1(mean-per-neuron);state_separation=v1(kmeans,k=2,raw-centroid-distance)");
    EXPECT_EQ(metricsVersion(registry, {}), "");
    EXPECT_THROW_MSG(metricsVersion(registry, {"firing_rate", "nope"}), InvalidExperiment,
                     "unknown metric nope");
}

TEST(ExperimentRunner, RefusesEmptyEngineVersionAndBadSpecsBeforeTouchingTheModel) {
    EXPECT_THROW_MSG(ExperimentRunner("", MetricRegistry()), InvalidExperiment,
                     "the runner must know its engine version");

    const ExperimentRunner runner("kvrn-test", MetricRegistry());
    FakeModel model;
    ExperimentSpec spec = probeSpec();
    spec.metrics.push_back("nope");
    EXPECT_THROW_MSG(runner.run(spec, model, {}), InvalidExperiment,
                     "experiment Probe declares unknown metric nope");
    spec.hypothesis.clear();  // validation comes first
    EXPECT_THROW_MSG(runner.run(spec, model, {}), InvalidExperiment,
                     "experiment Probe declares no hypothesis");
    EXPECT_EQ(model.log, "");
}

TEST(ExperimentRunner, CallsTheModelInOrderAndGivesForkTimeEventsToTheBranches) {
    ExperimentSpec spec = probeSpec();
    spec.stimulus = {"S", {{"A", 0, 10}, {"blank", 10, 20}}};
    spec.branches = {{"c", {}}, {"i", {scaleDrive(2.0)}}};
    spec.metrics = {"spike_count"};  // the 20 ns run has no samples for the state metrics
    const ExperimentRunner runner("kvrn-test", MetricRegistry());
    const std::string readOut = "parameters; spikes; trajectory; neurons; synapses";
    auto calls = [&](ModelTime fork) {
        spec.snapshot_at_ns = fork;
        FakeModel model;
        runner.run(spec, model, {});
        return model.log;
    };
    // A fork at 0 applies nothing before the snapshot; the onset at 0 comes
    // after each branch's interventions.
    const std::string all =
        "advance 0; A on 0; advance 10; A off 10; advance 10; blank on 10; advance 20; "
        "blank off 20; advance 20";
    EXPECT_EQ(calls(0), "reset 42; advance 0; snapshot; architecture; restore; begin c; " + all +
                            "; end c; " + readOut + "; restore; begin i; intervene scale_drive; " + all +
                            "; end i; " + readOut);
    // Events exactly at the fork belong to the branches.
    const std::string post =
        "advance 10; A off 10; advance 10; blank on 10; advance 20; blank off 20; advance 20";
    EXPECT_EQ(calls(10),
              "reset 42; advance 0; A on 0; advance 10; snapshot; architecture; restore; begin c; " + post +
                  "; end c; " + readOut + "; restore; begin i; intervene scale_drive; " + post + "; end i; " +
                  readOut);
}

TEST(ExperimentRunner, BranchesFromOneSnapshotShareTheirHistory) {
    const ExperimentRunner runner("kvrn-test", MetricRegistry());
    FakeModel model;
    const ExperimentSpec spec = probeSpec();
    const ExperimentResult result = runner.run(spec, model, {});

    ASSERT_EQ(result.runs.size(), 3u);
    const RunRecord& baseline = result.runs[0];
    const RunRecord& twin = result.runs[1];
    const RunRecord& boosted = result.runs[2];
    ASSERT_GT(baseline.spikes.size(), 10u);
    auto times = [](const RunRecord& run) {
        std::vector<std::pair<ModelTime, std::uint64_t>> out;
        for (const SpikeRecord& s : run.spikes) out.emplace_back(s.time_ns, s.neuron);
        return out;
    };
    EXPECT_EQ(times(baseline), times(twin));
    EXPECT_EQ(baseline.metrics, twin.metrics);
    EXPECT_NE(times(baseline), times(boosted));
    EXPECT_NE(baseline.metrics.at("spike_count"), boosted.metrics.at("spike_count"));
    // Up to the fork every branch has the same spikes.
    auto beforeFork = [&](const RunRecord& run) {
        auto all = times(run);
        std::erase_if(all, [&](const auto& s) { return s.first > spec.snapshot_at_ns; });
        return all;
    };
    EXPECT_EQ(beforeFork(baseline), beforeFork(boosted));

    // Identity and parameters of a run.
    EXPECT_EQ(boosted.metrics_version,
              "spike_count=v1;firing_rate=v1(mean-per-neuron);state_separation=v1(kmeans,k=2,raw-centroid-"
              "distance)");
    EXPECT_EQ(boosted.config_hash, configHash(spec, 0xfeed));
    EXPECT_EQ(boosted.architecture_hash, 0xfeedu);
    EXPECT_EQ(boosted.engine_version, "kvrn-test");
    EXPECT_EQ(boosted.duration_ns, 100 * kMs);
    EXPECT_EQ(boosted.point + std::to_string(boosted.point_hash), "0");
    const std::map<std::string, std::string> boostedParameters = {{"interventions", "scale_drive(3)"},
                                                                  {"model.scale_drive", "3"},
                                                                  {"snapshot_at_ns", "25000000"},
                                                                  {"stimulus", "A_blank"}};
    EXPECT_EQ(boosted.parameters, boostedParameters);
    EXPECT_EQ(baseline.parameters.at("interventions"), "");
    EXPECT_EQ(baseline.parameters.size(), 3u);  // restore cleared the boosted branch's records
    EXPECT_EQ(boosted.statistics.spike_count, boosted.spikes.size());
    EXPECT_EQ(boosted.metrics.at("firing_rate"), boosted.statistics.firing_rate);
    EXPECT_EQ(boosted.trajectory.times.size(), 20u);
    EXPECT_TRUE(boosted.valid);  // no controls declared: every run is valid
    EXPECT_TRUE(boosted.control_checks.empty());
}

TEST(ExperimentRunner, InterventionsParameterJoinsDescriptionsWithSpaces) {
    ExperimentSpec spec = probeSpec();
    spec.branches = {{"baseline", {}},
                     {"mixed", {{"phase_jitter", {"A", "B"}, 0.5}, {"ablate", {"C"}, std::nullopt}}}};
    spec.metrics = {"spike_count"};
    FakeModel model;
    const ExperimentResult result = ExperimentRunner("kvrn-test", MetricRegistry()).run(spec, model, {});
    EXPECT_EQ(result.runs[1].parameters.at("interventions"), "phase_jitter(A,B,0.5) ablate(C)");
    EXPECT_EQ(result.runs[1].parameters.at("model.phase_jitter"), "0.5");
    EXPECT_EQ(result.runs[1].parameters.at("model.ablate"), "");
}

TEST(ExperimentRunner, FailedControlLeavesRunUnevaluatedAndRuleUncalled) {
    ExperimentSpec spec = probeSpec();
    spec.controls = {{ControlStatistic::FiringRate, 0.05}};
    int calls = 0;
    const DecisionRule rule = [&calls](const ExperimentResult&) {
        ++calls;
        return std::optional<Outcome>(Outcome::Supported);
    };
    FakeModel model;
    const ExperimentResult result = ExperimentRunner("kvrn-test", MetricRegistry()).run(spec, model, rule);

    EXPECT_EQ(calls, 0);
    EXPECT_EQ(result.outcome, Outcome::Inconclusive);
    EXPECT_EQ(result.reason, "controls outside declared tolerance; the run was not evaluated");
    const RunRecord& baseline = result.runs[0];
    const RunRecord& twin = result.runs[1];
    const RunRecord& boosted = result.runs[2];
    EXPECT_TRUE(baseline.valid);
    EXPECT_TRUE(baseline.control_checks.empty());
    EXPECT_EQ(baseline.metrics.size(), 3u);
    ASSERT_EQ(twin.control_checks.size(), 1u);  // every other branch is checked, a second control too
    EXPECT_EQ(twin.control_checks[0].deviation, 0.0);
    EXPECT_TRUE(twin.valid);
    EXPECT_EQ(twin.metrics.size(), 3u);
    ASSERT_EQ(boosted.control_checks.size(), 1u);
    EXPECT_EQ(boosted.control_checks[0].control_value, baseline.statistics.firing_rate);
    EXPECT_EQ(boosted.control_checks[0].branch_value, boosted.statistics.firing_rate);
    EXPECT_FALSE(boosted.valid);
    EXPECT_TRUE(boosted.metrics.empty());

    // The control is the first branch without interventions, wherever it stands.
    spec.branches = {{"boosted", {scaleDrive(3.0)}}, {"baseline", {}}};
    const ExperimentResult reordered = ExperimentRunner("kvrn-test", MetricRegistry()).run(spec, model, rule);
    EXPECT_FALSE(reordered.runs[0].valid);
    EXPECT_EQ(reordered.runs[0].control_checks.size(), 1u);
    EXPECT_TRUE(reordered.runs[1].valid);
    EXPECT_TRUE(reordered.runs[1].control_checks.empty());
}

TEST(ExperimentRunner, DecisionFollowsTheRule) {
    ExperimentSpec spec = probeSpec();
    spec.controls = {{ControlStatistic::FiringRate, 1.0}};
    spec.branches.pop_back();  // keep the two identical branches, which always pass
    const ExperimentRunner runner("kvrn-test", MetricRegistry());
    FakeModel model;

    const ExperimentResult unruled = runner.run(spec, model, {});
    EXPECT_EQ(unruled.outcome, Outcome::Inconclusive);
    EXPECT_EQ(unruled.reason, "no decision rule was supplied to the runner");

    const ExperimentResult undecided =
        runner.run(spec, model, [](const ExperimentResult&) { return std::optional<Outcome>(); });
    EXPECT_EQ(undecided.outcome, Outcome::Inconclusive);
    EXPECT_EQ(undecided.reason, "the declared rule reached no decision");

    const ExperimentResult decided = runner.run(spec, model, [](const ExperimentResult& seen) {
        // The rule sees the evaluated result before any decision.
        EXPECT_EQ(seen.outcome, Outcome::Inconclusive);
        EXPECT_EQ(seen.reason, "");
        EXPECT_EQ(seen.runs.at(1).metrics.size(), 3u);
        return std::optional<Outcome>(Outcome::Falsified);
    });
    EXPECT_EQ(decided.outcome, Outcome::Falsified);
    EXPECT_EQ(decided.reason, "decided by the declared rule");
    // Each run resets the model, so repeated runs agree.
    EXPECT_EQ(decided.runs[0].metrics, unruled.runs[0].metrics);
}

}  // namespace
}  // namespace Core::Kvrn
