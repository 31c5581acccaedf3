#include "experiment/metrics.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/errors.hpp"
#include "experiment/experiment_spec.hpp"
#include "support/expect_throws.hpp"

namespace Core::Kvrn {
namespace {

std::vector<std::string> namesOf(const MetricRegistry& registry) {
    std::vector<std::string> names;
    for (const MetricDefinition& d : registry.definitions()) names.push_back(d.name + "=" + d.version);
    return names;
}

double evaluate(const MetricRegistry& registry, const std::string& name, const Trajectory& t,
                const RunStatistics& s = {}) {
    return registry.findMetric(name).definition(t, s);
}

TEST(MetricRegistry, StartsWithTheBuiltInsInOrder) {
    const MetricRegistry registry;
    EXPECT_EQ(namesOf(registry), (std::vector<std::string>{
                                     "state_separation=v1(kmeans,k=2,raw-centroid-distance)",
                                     "state_separability=v1(kmeans,k=2)",
                                     "dwell_time=v1(kmeans,k=2,residence)",
                                     "transition_entropy=v1(kmeans,k=2,jump-chain)",
                                     "firing_rate=v1(mean-per-neuron)",
                                     "spike_count=v1",
                                 }));
}

TEST(MetricRegistry, ReplacesInPlaceAndAppendsNewNames) {
    MetricRegistry registry;
    registry.registerMetric({"firing_rate", "v2(doubled)",
                             [](const Trajectory&, const RunStatistics& s) { return 2.0 * s.firing_rate; }});
    registry.registerMetric({"constant", "v1", [](const Trajectory&, const RunStatistics&) { return 3.0; }});
    const std::vector<std::string> names = namesOf(registry);
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[4], "firing_rate=v2(doubled)");
    EXPECT_EQ(names[6], "constant=v1");
    RunStatistics s;
    s.firing_rate = 1.25;
    EXPECT_EQ(evaluate(registry, "firing_rate", Trajectory{}, s), 2.5);
    EXPECT_EQ(evaluate(registry, "constant", Trajectory{}), 3.0);
}

TEST(MetricRegistry, RefusesIncompleteDefinitionsAndUnknownNames) {
    MetricRegistry registry;
    const MetricFunction f = [](const Trajectory&, const RunStatistics&) { return 0.0; };
    const char* incomplete = "a metric needs a name, a version and a definition";
    EXPECT_THROW_MSG(registry.registerMetric({"", "v1", f}), InvalidExperiment, incomplete);
    EXPECT_THROW_MSG(registry.registerMetric({"m", "", f}), InvalidExperiment, incomplete);
    EXPECT_THROW_MSG(registry.registerMetric({"m", "v1", MetricFunction{}}), InvalidExperiment, incomplete);
    EXPECT_EQ(registry.definitions().size(), 6u);

    EXPECT_THROW_MSG(registry.findMetric("phase_locking"), InvalidExperiment, "unknown metric phase_locking");
    EXPECT_FALSE(registry.hasMetric("phase_locking"));
    EXPECT_TRUE(registry.hasMetric("dwell_time"));
}

TEST(BuiltInMetrics, ReadTheAnalysisAndTheStatistics) {
    const MetricRegistry registry;
    const Trajectory two{{0, 5'000'000}, {{0.0, 1.0}, {1.0, 0.0}}, {}};
    EXPECT_EQ(evaluate(registry, "state_separation", two), std::sqrt(2.0));
    EXPECT_EQ(evaluate(registry, "state_separability", two), 1.0);
    EXPECT_EQ(evaluate(registry, "dwell_time", two), 5'000'000.0);
    EXPECT_EQ(evaluate(registry, "transition_entropy", two), 0.0);

    // Runs of 1, 5 and 4 ns; the last visit is still open.
    const Trajectory visits{{0, 1, 3, 6, 10, 12}, {{0.0}, {10.0}, {10.0}, {0.0}, {10.0}, {10.0}}, {}};
    EXPECT_EQ(evaluate(registry, "dwell_time", visits), 10.0 / 3.0);
    EXPECT_EQ(evaluate(registry, "state_separation", visits), 10.0);

    const Trajectory flat{{0, 1, 2}, {{3.0}, {3.0}, {3.0}}, {}};
    EXPECT_EQ(evaluate(registry, "state_separation", flat), 0.0);
    EXPECT_EQ(evaluate(registry, "dwell_time", flat), 0.0);
    EXPECT_TRUE(std::isnan(evaluate(registry, "state_separability", flat)));

    EXPECT_THROW_MSG(evaluate(registry, "dwell_time", Trajectory{}), InvalidTrajectory, "empty trajectory");

    // The statistics metrics never look at the trajectory.
    RunStatistics s;
    s.spike_count = 20;
    s.firing_rate = 0.5;
    EXPECT_EQ(evaluate(registry, "firing_rate", Trajectory{}, s), 0.5);
    EXPECT_EQ(evaluate(registry, "spike_count", Trajectory{}, s), 20.0);
}

}  // namespace
}  // namespace Core::Kvrn
