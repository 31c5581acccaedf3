#pragma once

#include <functional>
#include <string>
#include <vector>

#include "experiment/run_statistics.hpp"
#include "experiment/trajectory.hpp"

// Named, versioned metrics. The version text states how the number is
// computed, so results of different definitions are never mixed.
namespace Core::Kvrn {

using MetricFunction = std::function<double(const Trajectory&, const RunStatistics&)>;

struct MetricDefinition {
    std::string name;
    std::string version;
    MetricFunction definition;
};

// Metric definitions in registration order, names unique. Starts with the
// six built-in metrics: state_separation, state_separability, dwell_time,
// transition_entropy, firing_rate, spike_count.
class MetricRegistry {
  public:
    MetricRegistry();

    // Appends `metric`, or replaces the entry of the same name in place.
    // Throws InvalidExperiment when name, version or function is empty.
    void registerMetric(MetricDefinition metric);

    // Throws InvalidExperiment "unknown metric <name>" when not registered.
    const MetricDefinition& findMetric(const std::string& name) const;

    bool hasMetric(const std::string& name) const;

    const std::vector<MetricDefinition>& definitions() const { return definitions_; }

  private:
    std::vector<MetricDefinition> definitions_;
};

}  // namespace Core::Kvrn
