#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/model_time.hpp"
#include "experiment/experiment_spec.hpp"
#include "experiment/trajectory.hpp"

namespace Core::Kvrn {

// One onset or offset of a stimulus segment, as the experiment runner plays
// it into the model.
struct StimulusEvent {
    ModelTime time_ns = 0;    // absolute model time
    std::string segment;      // name of the segment
    bool onset = false;       // true at the segment's start, false at its end
    std::uint64_t trial = 0;  // 0-based trial the event belongs to
};

// One presynaptic contribution to a spike (16 bytes). The experiment
// framework never reads these; models with synapses may report them.
struct SpikeInput {
    std::uint64_t source = 0;  // presynaptic neuron
    ModelTime time_ns = 0;     // time of its spike
};

// What a model reports per spike. The framework reads neuron, group, time
// and cause; a spontaneous spike has no cause.
struct SpikeRecord {
    std::uint64_t neuron = 0;
    std::uint32_t group = 0;
    ModelTime time_ns = 0;
    std::vector<SpikeInput> inputs;
    std::optional<std::uint64_t> cause;
};

// The interface through which the experiment runner drives a simulated
// system: reset for a seed, play stimulus events, run forward in model time,
// snapshot at the fork and restore at the start of every branch, apply the
// branch's interventions, then read spikes, trajectory and bookkeeping out.
//
// Contract the runner relies on: `restore` brings the model back exactly to
// the state of the snapshot (random streams included), and `advanceTo` is
// never asked to go back in time.
class ExperimentModel {
  public:
    virtual ~ExperimentModel() = default;

    virtual void reset(std::uint64_t seed) = 0;
    virtual void beginBranch(std::string_view branch) = 0;
    virtual void endBranch(std::string_view branch) = 0;
    virtual void advanceTo(ModelTime time) = 0;
    virtual void applyStimulus(const StimulusEvent& event) = 0;
    virtual std::vector<std::uint8_t> snapshot() const = 0;
    virtual void restore(std::span<const std::uint8_t> bytes) = 0;
    virtual void applyIntervention(const Intervention& intervention) = 0;
    virtual std::vector<SpikeRecord> spikes() const = 0;
    virtual Trajectory trajectory() const = 0;
    virtual std::uint64_t neuronCount() const = 0;
    // Hash of the model's structure; part of every run's configuration hash.
    virtual std::uint64_t architectureHash() const = 0;
    // Model-specific run parameters, copied into each run under "model.".
    virtual std::map<std::string, std::string> parameters() const = 0;
    // CSV text of synaptic changes, stored with the run byte for byte.
    virtual std::string synapseLog() const = 0;

  protected:
    ExperimentModel() = default;
    ExperimentModel(const ExperimentModel&) = default;
    ExperimentModel& operator=(const ExperimentModel&) = default;
};

}  // namespace Core::Kvrn
