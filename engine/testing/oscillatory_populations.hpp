#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/event_queue.hpp"
#include "engine/experiment_model.hpp"
#include "engine/model_time.hpp"
#include "engine/neuron.hpp"
#include "engine/oscillators.hpp"
#include "runtime/random_context.hpp"

// The toolkit's test model: two populations of 20 hazard-firing neurons each.
// Every neuron is modulated by its own oscillator; the oscillators of group 0
// start at phase 0 and those of group 1 at pi, so the two groups take turns.
// The observable is the share of recent activity carried by each group,
// sampled every 5 ms from exponentially fading spike counts.
namespace Core::Kvrn::Testing {

inline constexpr std::uint64_t kPopulationNeurons = 40;
inline constexpr std::uint64_t kGroupNeurons = 20;  // neurons 0..19 form group 0, the rest group 1
inline constexpr ModelTime kSampleInterval = 5'000'000;

struct PopulationSpike {
    ModelTime time = 0;
    std::uint64_t neuron = 0;
    std::uint32_t group = 0;
    bool operator==(const PopulationSpike&) const = default;
};

// The two fading spike counts at one sample time.
struct PopulationSample {
    ModelTime time = 0;
    double trace0 = 0;
    double trace1 = 0;
    bool operator==(const PopulationSample&) const = default;
};

class OscillatoryPopulations final : public ExperimentModel {
  public:
    // `modulation` is the weight of each neuron's oscillator term.
    explicit OscillatoryPopulations(double modulation);
    // Not copyable: the modulations point at this object's oscillator bank.
    OscillatoryPopulations(const OscillatoryPopulations&) = delete;
    OscillatoryPopulations& operator=(const OscillatoryPopulations&) = delete;

    void reset(std::uint64_t seed) override;
    void beginBranch(std::string_view branch) override;
    void endBranch(std::string_view branch) override;
    // Runs forward to `time`, sampling at every multiple of 5 ms on the way.
    // Throws std::runtime_error for a time before the current one.
    void advanceTo(ModelTime time) override;
    void applyStimulus(const StimulusEvent& event) override;
    std::vector<std::uint8_t> snapshot() const override;
    // Throws std::runtime_error ("experiment: ...") for a truncated snapshot or
    // one whose queue, oscillator or random block is refused; the oscillator
    // block only fits a model reset with the same frequency.
    void restore(std::span<const std::uint8_t> bytes) override;
    // Knows "phase_scramble", "phase_jitter", "ablate" (of "oscillators") and
    // "scale_drive"; throws InvalidExperiment otherwise.
    void applyIntervention(const Intervention& intervention) override;
    std::vector<SpikeRecord> spikes() const override;
    Trajectory trajectory() const override;
    std::uint64_t neuronCount() const override { return kPopulationNeurons; }
    std::uint64_t architectureHash() const override;
    std::map<std::string, std::string> parameters() const override { return interventionRecords_; }
    std::string synapseLog() const override;

    // The text architectureHash() hashes.
    std::string architectureDescription() const;

    // Sweep parameters; they take effect at the next reset.
    void setStochasticity(double value) { stochasticity_ = value; }
    void setModulation(double value) { modulation_ = value; }
    void setFrequency(double hertz) { frequency_ = hertz; }
    void setPhaseJitter(double nanoseconds) { phaseJitter_ = nanoseconds; }
    // Sets "stochasticity", "modulation", "frequency" or "phase_jitter";
    // throws InvalidExperiment for any other name.
    void setParameter(std::string_view name, double value);

    ModelTime now() const { return now_; }
    ModelTime nextSample() const { return nextSample_; }
    double drive() const { return drive_; }
    double driveScale() const { return driveScale_; }
    double oscillatorGain() const { return oscillatorGain_; }
    const std::vector<PopulationSample>& samples() const { return samples_; }
    const std::vector<PopulationSpike>& spikeLog() const { return spikes_; }
    const OscillatorBank& oscillators() const { return bank_; }
    const std::string& branchName() const { return branchName_; }

  private:
    double modulationAt(std::uint64_t neuron, ModelTime t) const;
    double modulationBound(std::uint64_t neuron, ModelTime from, ModelTime horizon) const;
    void runWindow(ModelTime horizon);
    void takeSample();
    void record(const std::string& kind, const std::string& text);

    std::uint64_t seed_ = 0;
    double modulation_;
    double oscillatorGain_ = 1.0;
    double stochasticity_ = 1.0;
    double frequency_ = 10.0;  // [Hz]
    double phaseJitter_ = 0;   // [ns] of timing jitter
    Runtime::RandomContext context_{0};
    EventQueue queue_;
    OscillatorBank bank_;
    std::vector<PhaseModulation> modulations_;
    NeuronParameters neuronParams_;
    FiringParameters firing_;
    std::vector<NeuronState> neurons_;
    ModelTime now_ = 0;
    ModelTime nextSample_ = 0;
    double drive_ = 0;
    double driveScale_ = 1.0;
    std::array<double, 2> traces_{};
    std::array<std::uint64_t, 2> counts_{};
    std::vector<PopulationSpike> spikes_;
    std::vector<PopulationSample> samples_;
    std::map<std::string, std::string> interventionRecords_;
    std::string branchName_;
};

}  // namespace Core::Kvrn::Testing
