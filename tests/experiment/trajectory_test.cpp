#include "experiment/trajectory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "common/format.hpp"
#include "engine/errors.hpp"
#include "experiment/metrics.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

namespace Core::Kvrn {
namespace {

using Labels = std::vector<std::uint64_t>;

// One-dimensional states at the given times.
Trajectory line(std::vector<ModelTime> times, std::vector<double> values) {
    Trajectory t;
    t.times = std::move(times);
    for (double v : values) t.states.push_back({v});
    return t;
}

TEST(TrajectoryValidation, ChecksSizesInOrder) {
    struct Case {
        Trajectory trajectory;
        const char* message;
    };
    const Case cases[] = {
        // Three times for two states of different lengths: the size mismatch wins.
        {{{0, 1, 2}, {{1.0, 2.0}, {1.0, 2.0, 3.0}}, {}}, "trajectory time and state sizes differ"},
        {{{}, {}, {}}, "empty trajectory"},
        {{{0}, {{}}, {}}, "trajectory state has no dimensions"},
        {{{0, 1}, {{1.0, 2.0}, {1.0, 2.0, 3.0}}, {}}, "ragged trajectory"},
        {{{0, 1, 2}, {{1.0, 2.0}, {1.0, 2.0}, {}}, {}}, "ragged trajectory"},
    };
    for (const Case& c : cases) {
        EXPECT_THROW_MSG(validateTrajectory(c.trajectory), InvalidTrajectory, c.message);
        EXPECT_THROW_MSG(analyseStates(c.trajectory, 1, 64), InvalidTrajectory, c.message);
    }
}

TEST(KMeans, RefusesClusterCountsOutsideTheSamples) {
    const Trajectory single{{0}, {{1.0, 2.0}}, {}};
    EXPECT_THROW_MSG(analyseStates(single, 2, 64), InvalidTrajectory,
                     "cluster count outside the sample count");
    EXPECT_THROW_MSG(analyseStates(single, 0, 64), InvalidTrajectory,
                     "cluster count outside the sample count");
    EXPECT_NO_THROW(analyseStates(single, 1, 64));
}

TEST(KMeans, SplitsTwoSamplesIntoTwoStates) {
    const Trajectory t{{0, 5'000'000}, {{0.0, 1.0}, {1.0, 0.0}}, {}};
    const KMeansAnalysis a = analyseStates(t, 2, 64);
    EXPECT_EQ(a.k, 2u);
    EXPECT_EQ(a.labels, (Labels{0, 1}));
    EXPECT_EQ(a.iterations, 1u);
    ASSERT_EQ(a.runs.size(), 1u);
    EXPECT_EQ(a.runs[0].label, 0u);
    EXPECT_EQ(a.runs[0].duration, 5'000'000);
    EXPECT_EQ(a.transitions, (std::vector<std::vector<double>>{{0.0, 1.0}, {0.0, 0.0}}));
    EXPECT_EQ(a.jump_entropy, 0.0);
    EXPECT_EQ(a.centroid_distances[0][1], std::sqrt(2.0));
    EXPECT_EQ(a.centroid_distances[1][0], std::sqrt(2.0));
    EXPECT_EQ(a.centroid_distances[0][0], 0.0);
    EXPECT_EQ(a.separability, 1.0);
}

TEST(KMeans, ReseedsAnEmptyClusterWhenAllStatesAreEqual) {
    const Trajectory t = line({0, 1, 2}, {3.0, 3.0, 3.0});
    const KMeansAnalysis a = analyseStates(t, 2, 64);
    EXPECT_EQ(a.labels, (Labels{0, 0, 0}));
    EXPECT_TRUE(a.runs.empty());
    EXPECT_EQ(a.centroid_distances[0][1], 0.0);
    EXPECT_TRUE(std::isnan(a.separability));  // 0 / (2 x 0 + 0)
}

// Seeds 0 and 12; the sample at 6.1 starts in the upper cluster and moves
// to the lower one in the second round, which the third round confirms.
TEST(KMeans, CountsIterationsAndStopsAtTheMaximum) {
    const Trajectory t = line({0, 1, 2, 3, 4}, {0.0, 5.9, 6.0, 6.1, 12.0});
    const KMeansAnalysis converged = analyseStates(t, 2, 64);
    EXPECT_EQ(converged.labels, (Labels{0, 0, 0, 0, 1}));
    EXPECT_EQ(converged.iterations, 2u);
    const double low = (((0.0 + 5.9) + 6.0) + 6.1) / 4.0;
    EXPECT_EQ(converged.centroid_distances[0][1], 12.0 - low);
    EXPECT_DOUBLE_EQ(converged.separability, 7.5 / (2.0 * ((4.5 + 1.4 + 1.5 + 1.6) / 5.0) + 7.5));

    const KMeansAnalysis once = analyseStates(t, 2, 1);
    EXPECT_EQ(once.labels, (Labels{0, 0, 0, 1, 1}));
    EXPECT_EQ(once.iterations, 1u);

    const KMeansAnalysis none = analyseStates(t, 2, 0);
    EXPECT_EQ(none.labels, (Labels{0, 0, 0, 0, 0}));
    EXPECT_EQ(none.iterations, 0u);
    EXPECT_EQ(none.centroid_distances[0][1], 12.0);  // the seeds themselves
}

TEST(KMeans, BuildsRunsAndTheJumpChainForThreeStates) {
    const Trajectory t = line({0, 1, 3, 6, 10}, {0.0, 10.0, 0.0, 20.0, 0.0});
    const KMeansAnalysis a = analyseStates(t, 3, 64);
    EXPECT_EQ(a.labels, (Labels{0, 2, 0, 1, 0}));
    // The final visit to state 0 is still open and not a run.
    ASSERT_EQ(a.runs.size(), 4u);
    const ModelTime durations[] = {1, 2, 3, 4};
    const std::uint64_t labels[] = {0, 2, 0, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a.runs[i].label, labels[i]);
        EXPECT_EQ(a.runs[i].duration, durations[i]);
    }
    EXPECT_EQ(a.transitions,
              (std::vector<std::vector<double>>{{0.0, 0.5, 0.5}, {1.0, 0.0, 0.0}, {1.0, 0.0, 0.0}}));
    // Only row 0 branches, and it carries half of all jumps.
    EXPECT_DOUBLE_EQ(a.jump_entropy, 0.5 * std::log(2.0));
    EXPECT_EQ(a.separability, 1.0);  // smallest centroid distance 10, spread 0

    const KMeansAnalysis one = analyseStates(t, 1, 64);
    EXPECT_EQ(one.separability, 0.0);
    EXPECT_EQ(one.centroid_distances, (std::vector<std::vector<double>>{{0.0}}));
}

TEST(KMeans, SeedsAtFarthestPoints) {
    const std::vector<std::vector<double>> states{{0.0}, {4.0}, {4.0}, {10.0}, {6.0}};
    // 10 is farthest from 0; then three samples lie 4 from the nearer seed and the first wins.
    EXPECT_EQ(farthestPointSeeds(states, 3), (std::vector<std::vector<double>>{{0.0}, {10.0}, {4.0}}));
    // When every sample is already a centroid the first sample repeats.
    const std::vector<std::vector<double>> pair{{1.0}, {2.0}};
    EXPECT_EQ(farthestPointSeeds(pair, 3), (std::vector<std::vector<double>>{{1.0}, {2.0}, {1.0}}));
    EXPECT_EQ(euclideanDistance({1.0, 2.0, 3.0}, {4.0, 6.0, 3.0}), 5.0);
}

TEST(TrajectoryCsv, NamesDimensionsAndFallsBackToIndices) {
    const Trajectory t{{0, 5'000'000}, {{0.5, 0.05}, {1.0, -2e-300}}, {"share0"}};
    EXPECT_EQ(trajectoryCsv(t),
              "engine_version,timestamp,share0,state_1\n"
              "2,0,0.5,0.050000000000000003\n"
              "2,5000000,1,-2.0000000000000001e-300\n");
    EXPECT_EQ(trajectoryCsv(Trajectory{}), "engine_version,timestamp\n");
}

Trajectory parseStatesCsv(const std::string& text) {
    Trajectory t;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    std::istringstream header(line);
    std::string field;
    for (int column = 0; std::getline(header, field, ','); ++column) {
        if (column >= 2) t.dimensionNames.push_back(field);
    }
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::getline(row, field, ',');
        std::getline(row, field, ',');
        t.times.push_back(std::stoll(field));
        t.states.emplace_back();
        while (std::getline(row, field, ',')) t.states.back().push_back(std::stod(field));
    }
    return t;
}

// Trajectories and metric values stored by an independent implementation:
// the CSV must round-trip byte for byte and the separation must agree to
// the last digit.
TEST(TrajectoryCsv, ReproducesStoredRunsAndTheirSeparation) {
    const char* runs[] = {"stochasticity_0_25_seed_500", "stochasticity_0_25_seed_501",
                          "stochasticity_1_seed_500", "stochasticity_1_seed_501"};
    const MetricRegistry registry;
    const MetricDefinition& separation = registry.findMetric("state_separation");
    for (const char* run : runs) {
        SCOPED_TRACE(run);
        const std::string dir = Testing::dataPath("golden/registry-resume/Resume/") + run + "/baseline/";
        const std::string csv = Testing::readFile(dir + "states.csv");
        const Trajectory t = parseStatesCsv(csv);
        ASSERT_GT(t.times.size(), 2u);
        EXPECT_EQ(trajectoryCsv(t), csv);

        const std::string metrics = Testing::readFile(dir + "metrics.json");
        const std::string key = "\"state_separation\":";
        const std::size_t at = metrics.find(key) + key.size();
        const std::string stored = metrics.substr(at, metrics.find_first_of(",}", at) - at);
        EXPECT_EQ(formatFull(separation.definition(t, RunStatistics{})), stored);
    }
}

}  // namespace
}  // namespace Core::Kvrn
