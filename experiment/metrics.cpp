#include "experiment/metrics.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "experiment/experiment_spec.hpp"

namespace Core::Kvrn {
namespace {

// Every k-means metric reads the trajectory as visits to two states.
constexpr std::uint64_t kStates = 2;
constexpr std::uint64_t kMaxIterations = 64;

KMeansAnalysis twoStates(const Trajectory& trajectory) {
    return analyseStates(trajectory, kStates, kMaxIterations);
}

double stateSeparation(const Trajectory& trajectory, const RunStatistics&) {
    const KMeansAnalysis a = twoStates(trajectory);
    double smallest = std::numeric_limits<double>::infinity();
    bool anyPair = false;
    for (std::size_t i = 0; i < a.centroid_distances.size(); ++i) {
        for (std::size_t j = i + 1; j < a.centroid_distances.size(); ++j) {
            smallest = std::min(smallest, a.centroid_distances[i][j]);
            anyPair = true;
        }
    }
    return anyPair ? smallest : 0.0;
}

double stateSeparability(const Trajectory& trajectory, const RunStatistics&) {
    return twoStates(trajectory).separability;
}

double dwellTime(const Trajectory& trajectory, const RunStatistics&) {
    const KMeansAnalysis a = twoStates(trajectory);
    if (a.runs.empty()) return 0.0;
    double total = 0.0;
    for (const StateRun& run : a.runs) total += static_cast<double>(run.duration);
    return total / static_cast<double>(a.runs.size());
}

double transitionEntropy(const Trajectory& trajectory, const RunStatistics&) {
    return twoStates(trajectory).jump_entropy;
}

double firingRate(const Trajectory&, const RunStatistics& statistics) { return statistics.firing_rate; }

double spikeCount(const Trajectory&, const RunStatistics& statistics) {
    return static_cast<double>(statistics.spike_count);
}

}  // namespace

MetricRegistry::MetricRegistry() {
    registerMetric({"state_separation", "v1(kmeans,k=2,raw-centroid-distance)", stateSeparation});
    registerMetric({"state_separability", "v1(kmeans,k=2)", stateSeparability});
    registerMetric({"dwell_time", "v1(kmeans,k=2,residence)", dwellTime});
    registerMetric({"transition_entropy", "v1(kmeans,k=2,jump-chain)", transitionEntropy});
    registerMetric({"firing_rate", "v1(mean-per-neuron)", firingRate});
    registerMetric({"spike_count", "v1", spikeCount});
}

void MetricRegistry::registerMetric(MetricDefinition metric) {
    if (metric.name.empty() || metric.version.empty() || !metric.definition) {
        throw InvalidExperiment("a metric needs a name, a version and a definition");
    }
    auto existing = std::find_if(definitions_.begin(), definitions_.end(),
                                 [&](const MetricDefinition& d) { return d.name == metric.name; });
    if (existing != definitions_.end()) {
        *existing = std::move(metric);
    } else {
        definitions_.push_back(std::move(metric));
    }
}

const MetricDefinition& MetricRegistry::findMetric(const std::string& name) const {
    for (const MetricDefinition& d : definitions_) {
        if (d.name == name) return d;
    }
    throw InvalidExperiment("unknown metric " + name);
}

bool MetricRegistry::hasMetric(const std::string& name) const {
    return std::any_of(definitions_.begin(), definitions_.end(),
                       [&](const MetricDefinition& d) { return d.name == name; });
}

}  // namespace Core::Kvrn
