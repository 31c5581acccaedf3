#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/event_queue.hpp"
#include "engine/experiment_model.hpp"
#include "engine/model_time.hpp"
#include "engine/neuron.hpp"
#include "engine/oscillators.hpp"
#include "experiment/model_architecture.hpp"
#include "runtime/random_context.hpp"

// The toolkit's oscillatory-populations model: populations (groups) of
// hazard-firing neurons, every neuron modulated by its own oscillator; the
// oscillators of population p start at phase p x the phase offset, so the
// populations take turns. The observable is the share of recent activity
// carried by each population, sampled every 5 ms from exponentially fading
// spike counts. Its sizes and constants come from a ModelArchitecture; the
// default one is the fixed test model: two populations of 20 neurons in
// antiphase at 10 Hz.
namespace Core::Kvrn::Testing {

// The default architecture's sizes.
inline constexpr std::uint64_t kPopulationNeurons = 40;
inline constexpr std::uint64_t kGroupNeurons = 20;  // neurons 0..19 form group 0, the rest group 1
inline constexpr ModelTime kSampleInterval = 5'000'000;

struct PopulationSpike {
    ModelTime time = 0;
    std::uint64_t neuron = 0;
    std::uint32_t group = 0;
    bool operator==(const PopulationSpike&) const = default;
};

// The fading spike counts of every population at one sample time.
struct PopulationSample {
    ModelTime time = 0;
    std::vector<double> traces;  // one per population, in population order
    bool operator==(const PopulationSample&) const = default;
};

class OscillatoryPopulations final : public ExperimentModel {
  public:
    // The default architecture with `modulation` as the weight of each
    // neuron's oscillator term.
    explicit OscillatoryPopulations(double modulation);
    // Throws InvalidExperiment for an architecture without neurons or with
    // an empty population.
    explicit OscillatoryPopulations(const ModelArchitecture& architecture);
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
    std::uint64_t neuronCount() const override { return neurons_.size(); }
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
    // Sets "stochasticity", "modulation", "frequency" or "phase_jitter", or
    // one of the other architecture quantities: "phase_offset" [rad],
    // "tau_m", "tau_a", "refractory" [ns, rounded to whole ns], "threshold",
    // "baseline" [1/s], "beta". Throws InvalidExperiment for any other name.
    void setParameter(std::string_view name, double value);

    // The architecture the next reset builds, with the sweep parameters set so far.
    ModelArchitecture architecture() const;

    // The quantities no architecture changes, as (what, value with unit), for people.
    static std::vector<std::pair<std::string, std::string>> fixedQuantities();

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
    std::uint32_t groupOf(std::uint64_t neuron) const { return groupOf_[neuron]; }
    void runWindow(ModelTime horizon);
    // Gives every neuron without a pending candidate its next one, as
    // scheduleCandidateWith would one neuron after another.
    void startCandidates(ModelTime horizon, double driveBound);
    // The modulation bound over the current window [now, horizon] of neuron
    // i's modulation, computed once per window for all neurons that share it.
    double windowBound(std::uint64_t neuron, ModelTime horizon);
    void findSharedModulations();
    // The neuron's "spontaneous" stream, looked up at its first draw after a
    // reset or after a restore that replaced it (so streams come into being
    // exactly when drawn from).
    Runtime::RandomStream streamOf(std::uint64_t neuron) {
        std::optional<Runtime::RandomStream>& stream = streams_[neuron];
        if (!stream) stream = context_.stream("spontaneous", neurons_[neuron].drawIndex);
        return *stream;
    }
    // Drops the stream handles and the shared-bound groups, which a reset outdates.
    void forgetDerived();
    void takeSample();
    void record(const std::string& kind, const std::string& text);

    std::uint64_t seed_ = 0;
    double modulation_;
    double oscillatorGain_ = 1.0;
    double stochasticity_ = 1.0;
    double frequency_ = 10.0;  // [Hz]
    double phaseJitter_ = 0;   // [ns] of timing jitter
    // The rest of the architecture; its frequency, modulation and
    // stochasticity are the members above.
    ModelArchitecture architecture_;
    std::vector<std::uint32_t> groupOf_;         // population of each neuron
    std::vector<std::uint32_t> allOscillators_;  // ids 0 .. neurons - 1
    Runtime::RandomContext context_{0};
    EventQueue queue_;
    OscillatorBank bank_;
    std::vector<PhaseModulation> modulations_;
    NeuronParameters neuronParams_;
    FiringParameters firing_;
    CheckedFiring checkedFiring_{firing_};  // validated once per reset, where first needed
    std::vector<NeuronState> neurons_;
    std::vector<std::optional<Runtime::RandomStream>> streams_;  // per neuron, once looked up
    // Per neuron, the first neuron whose modulation is the same function of
    // time; its window bound serves both.
    std::vector<std::uint64_t> boundSharer_;
    bool sharersKnown_ = false;
    std::vector<double> windowBounds_;          // by sharer, for the window numbered in windowBoundOf_
    std::vector<std::uint64_t> windowBoundOf_;  // by sharer: the window its bound belongs to (0: none)
    // A window's candidates, worked out before any is scheduled: the bound
    // requests and the neuron of each, then the landing requests (of the
    // neurons with a bound above zero) and the neuron of each.
    std::vector<detail::BoundRequest> bounds_;
    std::vector<std::uint64_t> boundNeurons_;
    std::vector<detail::LandingRequest> landings_;
    std::vector<std::uint64_t> landingNeurons_;
    std::uint64_t window_ = 0;  // windows run so far
    ModelTime now_ = 0;
    ModelTime nextSample_ = 0;
    double drive_ = 0;
    double driveScale_ = 1.0;
    std::vector<double> traces_;         // one per population
    std::vector<std::uint64_t> counts_;  // one per population
    std::vector<PopulationSpike> spikes_;
    std::vector<PopulationSample> samples_;
    std::map<std::string, std::string> interventionRecords_;
    std::string branchName_;
};

}  // namespace Core::Kvrn::Testing
