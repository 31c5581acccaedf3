#include "experiment/experiment_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "engine/errors.hpp"
#include "support/expect_throws.hpp"
#include "support/probe.hpp"

namespace Core::Kvrn {
namespace {

// A specification that passes validation; each test breaks one thing.
ExperimentSpec validSpec() {
    ExperimentSpec spec;
    spec.name = "Probe";
    spec.hypothesis = "H1";
    spec.theory_version = "KVRN 1.0.0";
    spec.seed = 7;
    spec.stimulus = {"A_blank", {{"A", 0, 100}, {"blank", 100, 200}}};
    spec.snapshot_at_ns = 50;
    spec.branches = {{"control", {}}, {"jitter", {{"phase_jitter", {"A"}, 0.5}}}};
    spec.controls = {{ControlStatistic::FiringRate, 0.05}};
    spec.metrics = {"state_separation", "firing_rate"};
    spec.prediction = "p";
    spec.null = "n";
    spec.falsification = "f";
    return spec;
}

struct BrokenSpec {
    std::function<void(ExperimentSpec&)> breakIt;
    const char* message;
};

TEST(ExperimentValidation, ReportsTheFirstFailedRuleInOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const BrokenSpec cases[] = {
        // Step 1 comes first even when everything else is missing too.
        {[](ExperimentSpec& s) { s = ExperimentSpec{}; }, "an experiment must be named"},
        {[](ExperimentSpec& s) { s.hypothesis.clear(), s.stimulus.name.clear(); },
         "experiment Probe declares no hypothesis"},
        // The stimulus' own message, before the trial count.
        {[](ExperimentSpec& s) { s.stimulus.segments.clear(), s.trials = 0; },
         "stimulus A_blank has no segments"},
        {[](ExperimentSpec& s) { s.trials = 0, s.branches.clear(); },
         "experiment Probe needs at least one trial"},
        {[](ExperimentSpec& s) { s.branches.clear(), s.swept = true; },
         "experiment Probe declares no branch"},
        // One unnamed branch without a sweep: refused before names are looked at.
        {[](ExperimentSpec& s) {
             s.branches = {{"", {}}};
         },
         "experiment Probe needs a control branch and at least one intervention branch (or a sweep, where "
         "the "
         "comparison runs across a parameter axis)"},
        {[](ExperimentSpec& s) { s.branches[1].name.clear(); }, "experiment Probe has an unnamed branch"},
        {[](ExperimentSpec& s) { s.branches[1].name = "control"; },
         "experiment Probe repeats branch control"},
        // Both branches intervene, and the later one is unnamed: names are checked before the control rule.
        {[](ExperimentSpec& s) { s.branches[0] = s.branches[1], s.branches[1].name.clear(); },
         "experiment Probe has an unnamed branch"},
        {[](ExperimentSpec& s) {
             s.branches[0].interventions = {{"ablate", {}, {}}};
         },
         "experiment Probe has no control branch (a branch with no interventions)"},
        {[](ExperimentSpec& s) { s.metrics.clear(), s.prediction.clear(); },
         "experiment Probe declares no metrics"},
        {[](ExperimentSpec& s) {
             s.metrics = {"a", "b", "b", "a"};
         },
         "experiment Probe repeats metric b"},
        // Tolerances are checked before the pre-registration texts.
        {[](ExperimentSpec& s) {
             s.controls.push_back({ControlStatistic::SpikeCount, 0.0}), s.prediction.clear();
         },
         "experiment Probe declares a tolerance outside (0, 100 %]"},
        {[](ExperimentSpec& s) { s.controls[0].tolerance = 1.0000001; },
         "experiment Probe declares a tolerance outside (0, 100 %]"},
        {[](ExperimentSpec& s) { s.controls[0].tolerance = -0.5; },
         "experiment Probe declares a tolerance outside (0, 100 %]"},
        {[nan](ExperimentSpec& s) { s.controls[0].tolerance = nan; },
         "experiment Probe declares a tolerance outside (0, 100 %]"},
        {[](ExperimentSpec& s) { s.prediction.clear(), s.snapshot_at_ns = -1; },
         "experiment Probe must pre-register prediction, null and falsification before it can run"},
        {[](ExperimentSpec& s) { s.falsification.clear(); },
         "experiment Probe must pre-register prediction, null and falsification before it can run"},
        {[](ExperimentSpec& s) { s.snapshot_at_ns = -1; },
         "experiment Probe must fork inside its own stimulus"},
        // The fork may never sit at the end of the last trial.
        {[](ExperimentSpec& s) { s.snapshot_at_ns = 200; },
         "experiment Probe must fork inside its own stimulus"},
        {[](ExperimentSpec& s) { s.trials = 3, s.snapshot_at_ns = 600; },
         "experiment Probe must fork inside its own stimulus"},
    };
    for (const BrokenSpec& c : cases) {
        ExperimentSpec spec = validSpec();
        c.breakIt(spec);
        EXPECT_THROW_MSG(validateExperiment(spec), InvalidExperiment, c.message);
    }
}

TEST(ExperimentValidation, AcceptsTheBoundaryCases) {
    const std::function<void(ExperimentSpec&)> accepted[] = {
        [](ExperimentSpec& s) { s.branches.resize(1), s.swept = true; },  // a sweep supplies the comparison
        [](ExperimentSpec& s) { s.controls[0].tolerance = 1.0; },         // exactly 100 %
        [](ExperimentSpec& s) { s.controls.clear(); },
        [](ExperimentSpec& s) { s.snapshot_at_ns = 0; },
        [](ExperimentSpec& s) { s.snapshot_at_ns = 199; },                // last nanosecond of the trial
        [](ExperimentSpec& s) { s.trials = 3, s.snapshot_at_ns = 250; },  // inside the second trial
        [](ExperimentSpec& s) {
            s.stimulus.segments = {{"A", 0, 100}}, s.trials = 3, s.snapshot_at_ns = 250;
        },
        [](ExperimentSpec& s) {
            s.branches.push_back({"second_control", {}});
        },
    };
    for (const auto& change : accepted) {
        ExperimentSpec spec = validSpec();
        change(spec);
        EXPECT_NO_THROW(validateExperiment(spec));
    }
}

TEST(ExperimentValidation, LetsDurationOverflowPass) {
    ExperimentSpec spec = validSpec();
    spec.trials = std::uint64_t{1} << 62;
    EXPECT_THROW_MSG(validateExperiment(spec), TimeOverflow, "KVRN model time conversion overflow");
}

TEST(StimulusValidation, ChecksNamesAndTiling) {
    struct Case {
        StimulusSpec stimulus;
        const char* message;
    };
    const Case cases[] = {
        {{"", {}}, "stimulus must be named"},
        {{"S", {}}, "stimulus S has no segments"},
        {{"S", {{"A", 0, 10}, {"", 10, 20}}}, "stimulus S has an unnamed segment"},
        {{"S", {{"A", 5, 10}}}, "stimulus segment A leaves a gap; declare an explicit blank"},
        {{"S", {{"A", 0, 10}, {"B", 11, 20}}}, "stimulus segment B leaves a gap; declare an explicit blank"},
        {{"S", {{"A", 0, 10}, {"B", 9, 20}}}, "stimulus segment B overlaps the previous one"},
        // Zero length is reported before the overlap it also has.
        {{"S", {{"A", 0, 10}, {"B", 5, 5}}}, "stimulus segment B must have positive duration"},
        {{"S", {{"A", 0, 10}, {"B", 10, 3}}}, "stimulus segment B must have positive duration"},
    };
    for (const Case& c : cases) EXPECT_THROW_MSG(validateStimulus(c.stimulus), InvalidExperiment, c.message);
    EXPECT_NO_THROW(validateStimulus({"S", {{"A", 0, 10}, {"blank", 10, 20}, {"A", 20, 21}}}));
}

TEST(ExperimentDuration, IsTrialsTimesTheStimulus) {
    ExperimentSpec spec = validSpec();
    EXPECT_EQ(stimulusDuration(spec.stimulus), 200);
    spec.trials = 3;
    EXPECT_EQ(experimentDuration(spec), 600);
    spec.stimulus.segments.clear();
    EXPECT_EQ(stimulusDuration(spec.stimulus), 0);
    EXPECT_THROW_MSG(experimentDuration(spec), TimeOverflow, "KVRN model time unit must be positive");
}

TEST(ExperimentDescription, WritesEveryDefiningFieldInOrder) {
    ExperimentSpec spec = validSpec();
    spec.snapshot_at_ns = -5;
    spec.swept = true;
    spec.branches[1].interventions.push_back({"ablate", {"C"}, {}});
    spec.controls.push_back({ControlStatistic::IsiVariance, 1.0});
    spec.controls.push_back({ControlStatistic::SpikeCount, 0.5});
    EXPECT_EQ(describeExperiment(spec),
              "experiment Probe\n"
              "hypothesis H1\n"
              "theory KVRN 1.0.0\n"
              "trials 1\n"
              "snapshot -5\n"
              "swept 1\n"
              "stimulus A_blank\n"
              "  segment A 0 100\n"
              "  segment blank 100 200\n"
              "branch control\n"
              "branch jitter\n"
              "  phase_jitter(A,0.5)\n"
              "  ablate(C)\n"
              "control firing_rate 0.050000000000000003\n"
              "control isi_variance 1\n"
              "control spike_count 0.5\n"
              "metric state_separation\n"
              "metric firing_rate\n"
              "prediction p\n"
              "null n\n"
              "falsification f");
}

TEST(ExperimentDescription, DescribesInterventionsAndStatistics) {
    EXPECT_EQ(describeIntervention({"phase_jitter", {"A", "B"}, 0.5}), "phase_jitter(A,B,0.5)");
    EXPECT_EQ(describeIntervention({"ablate", {}, {}}), "ablate()");
    EXPECT_EQ(describeIntervention({"scale_drive", {}, 2.0}), "scale_drive(2)");
    // An explicit 0 differs from no parameter.
    EXPECT_EQ(describeIntervention({"ablate", {"A", "B"}, 0.0}), "ablate(A,B,0)");
    EXPECT_EQ(describeIntervention({"ablate", {"A", "B"}, {}}), "ablate(A,B)");
    EXPECT_EQ(controlStatisticName(static_cast<ControlStatistic>(3)), "unknown");
}

TEST(ConfigurationHash, IgnoresTheSeedButNotTheArchitecture) {
    ExperimentSpec a = validSpec();
    ExperimentSpec b = validSpec();
    b.seed = a.seed + 1;
    EXPECT_EQ(describeExperiment(a), describeExperiment(b));
    EXPECT_EQ(configHash(a, 42), configHash(b, 42));
    EXPECT_NE(configHash(a, 42), configHash(a, 43));
    b.controls[0].tolerance = 0.06;
    EXPECT_NE(configHash(a, 42), configHash(b, 42));
}

// The registry written by an independent implementation stores these hashes
// for the probe experiment named "Resume" on two model architectures.
TEST(ConfigurationHash, MatchesStoredRegistry) {
    ExperimentSpec spec = ::Testing::probeSpec("Resume");
    spec.seed = 501;
    EXPECT_NO_THROW(validateExperiment(spec));
    EXPECT_EQ(configHash(spec, 10158463793610102059ULL), 1344837646844701451ULL);
    EXPECT_EQ(configHash(spec, 8511715517530882285ULL), 5480656576813087280ULL);
}

}  // namespace
}  // namespace Core::Kvrn
