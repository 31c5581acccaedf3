// Tiny metric values and the run registry. The index stores metrics with
// 17 significant digits, and the standard string-to-double conversion
// reports every subnormal result as out of range, so a subnormal metric
// would make the whole index unreadable. These tests pin down which metrics
// can produce one and that the index reads such a value back all the same.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

#include "experiment/experiment_runner.hpp"
#include "experiment/metrics.hpp"
#include "experiment/run_registry.hpp"
#include "support/expect_throws.hpp"

namespace Core::Kvrn {
namespace {

namespace fs = std::filesystem;

constexpr double kSmallestNormal = std::numeric_limits<double>::min();
constexpr double kSmallestSubnormal = std::numeric_limits<double>::denorm_min();

bool subnormal(double v) { return v != 0.0 && std::fabs(v) < kSmallestNormal; }

// Every built-in metric of `trajectory` with `statistics`.
std::map<std::string, double> builtInMetrics(const Trajectory& trajectory, const RunStatistics& statistics) {
    const MetricRegistry registry;
    std::map<std::string, double> values;
    for (const MetricDefinition& metric : registry.definitions())
        values[metric.name] = metric.definition(trajectory, statistics);
    return values;
}

// A Euclidean distance is the square root of a sum of squares: a difference
// below about 1.5e-162 squares to zero, and the root of the smallest
// positive square is about 2.2e-162, far above the subnormal range. So
// state_separation is 0 or normal for every pair of centroids.
TEST(TinyMetricValues, CentroidDistancesAreZeroOrNormal) {
    for (int exponent = -1074; exponent <= -100; ++exponent) {
        const double d = std::ldexp(1.0, exponent);
        for (const double base : {0.0, 0.25, 1.0}) {
            const Trajectory trajectory{{0, 5'000'000}, {{base, 1.0}, {base + d, 1.0}}, {"share0", "share1"}};
            for (const auto& [name, value] : builtInMetrics(trajectory, RunStatistics{}))
                EXPECT_FALSE(subnormal(value)) << name << " for a difference of 2^" << exponent;
        }
    }
}

// The test model's states are activity shares in [0, 1]; a share itself can
// be subnormal (a population whose fading trace has all but died out), yet
// the metrics stay clear of the subnormal range: mean residences are whole
// nanoseconds over a count, and the separability divides a centroid distance
// of at least 2.2e-162 by at most 2 sqrt(2) plus itself.
TEST(TinyMetricValues, SubnormalSharesGiveNoSubnormalMetric) {
    const double tiny = kSmallestSubnormal;
    const Trajectory trajectory{{0, 5'000'000, 10'000'000, 15'000'000, 20'000'000},
                                {{tiny, 1.0}, {1.0, tiny}, {tiny, 1.0}, {0.5, 0.5}, {1.0, 0.0}},
                                {"share0", "share1"}};
    RunStatistics statistics;
    statistics.spike_count = 1;
    for (const auto& [name, value] : builtInMetrics(trajectory, statistics))
        EXPECT_FALSE(subnormal(value)) << name << " = " << value;
}

// The smallest firing rate a run can report: one spike over the longest
// representable duration on the largest neuron count is still normal.
TEST(TinyMetricValues, TheSmallestFiringRateIsNormal) {
    SpikeRecord spike;
    spike.time_ns = 1;
    const RunStatistics statistics = computeRunStatistics({spike}, std::numeric_limits<ModelTime>::max(),
                                                          std::numeric_limits<std::uint64_t>::max());
    EXPECT_GT(statistics.firing_rate, 0.0);
    EXPECT_FALSE(subnormal(statistics.firing_rate));
}

class TinyValuesRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / (std::string("vostel-tiny-values-") +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

// A metric registered by a user may return anything; the registry must read
// back every finite value it wrote, subnormals included, bit for bit.
TEST_F(TinyValuesRegistryTest, ReadsBackSubnormalMetricValues) {
    const double values[] = {kSmallestSubnormal,
                             -kSmallestSubnormal,
                             kSmallestNormal - kSmallestSubnormal,
                             1e-310,
                             kSmallestNormal,
                             0.1,
                             -0.0};
    ExperimentResult result;
    result.experiment = "Tiny";
    RunRecord run;
    run.experiment = "Tiny";
    run.branch = "baseline";
    for (std::size_t i = 0; i < std::size(values); ++i) {
        const std::string name = "m" + std::to_string(i);
        result.metrics.push_back(name);
        run.metrics[name] = values[i];
    }
    result.runs = {run};
    const RunRegistry registry(root_);
    registry.write(result);

    const std::vector<RegistryEntry> entries = registry.loadEntries();
    ASSERT_EQ(entries.size(), 1u);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        const double read = entries[0].metrics.at("m" + std::to_string(i));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(values[i])) << values[i];
    }
}

// Only the subnormal range is widened: a text that underflows to zero or
// overflows, which the writer never produces, still fails as the standard
// conversion does.
TEST_F(TinyValuesRegistryTest, StillRefusesValuesBeyondTheDoubleRange) {
    for (const char* value : {"1e-400", "-1e-330", "1e999"}) {
        fs::create_directories(root_);
        std::ofstream(root_ / "registry.jsonl", std::ios::binary)
            << "{\"config_hash\":1,\"architecture_hash\":2,\"seed\":3,\"trials\":4,\"duration_ns\":5,"
               "\"metrics\":{\"m\":"
            << value << "}}\n";
        EXPECT_TRUE(Testing::throwsWith<std::out_of_range>([&] { RunRegistry(root_).loadEntries(); },
                                                           "stod argument out of range"))
            << value;
    }
}

}  // namespace
}  // namespace Core::Kvrn
