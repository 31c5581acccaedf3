#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "engine/event_queue.hpp"
#include "engine/neuron.hpp"
#include "engine/oscillators.hpp"
#include "runtime/random_context.hpp"

namespace Testing {

// A small population driven the way a model drives hazard neurons: windows of
// thinning in which every neuron keeps one pending candidate, with the
// modulation of neuron i being its PhaseModulation plus a constant drive.
// Input events (kinds 0, 3, 4) change a neuron's drive, so its candidate is
// redrawn from the new state.
struct Population {
    using ModelTime = Core::Kvrn::ModelTime;

    Core::Kvrn::NeuronParameters params;
    Core::Kvrn::FiringParameters firing;
    Core::Runtime::RandomContext context{0};
    Core::Kvrn::EventQueue queue;
    Core::Kvrn::OscillatorBank bank;
    std::vector<Core::Kvrn::PhaseModulation> modulations;
    std::vector<Core::Kvrn::NeuronState> neurons;
    double drive = 0;
    ModelTime now = 0;
    std::vector<std::pair<ModelTime, std::uint64_t>> spikes;
    std::uint64_t candidates = 0;

    Population() = default;
    Population(const Population&) = delete;  // modulations point at this bank
    Population& operator=(const Population&) = delete;

    double modulationBound(std::uint64_t n, ModelTime from, ModelTime horizon) const {
        return modulations[n].upperBound(from, horizon) + std::max(0.0, drive);
    }

    void runWindow(ModelTime horizon) {
        using namespace Core::Kvrn;
        for (std::uint64_t i = 0; i < neurons.size(); ++i)
            if (neurons[i].pendingCandidate == kNoEvent)
                scheduleCandidate(neurons[i], params, firing, i, now, horizon,
                                  modulationBound(i, now, horizon), queue, context);
        while (!queue.empty() && queue.peekNextTime() < horizon) {
            const Event e = queue.popNext();
            const std::uint64_t n = e.target;
            NeuronState& neuron = neurons[n];
            if (e.kind == EventKind::SpikeCandidate && e.sequence == neuron.pendingCandidate) {
                ++candidates;
                const ModulationFunction m = [this, n](ModelTime u) {
                    return modulations[n].valueAt(u) + drive;
                };
                const CandidateOutcome outcome =
                    acceptCandidate(neuron, params, firing, n, e, horizon,
                                    modulationBound(n, e.time, horizon), queue, context, m);
                if (outcome.fired) spikes.emplace_back(e.time, n);
            } else if (e.kind == EventKind::RefractoryEnd) {
                onNeuronEvent(neuron, params, e);
            } else if (e.kind == EventKind::Input || e.kind == EventKind::Input3 ||
                       e.kind == EventKind::Input4) {
                onNeuronEvent(neuron, params, e);
                scheduleCandidate(neuron, params, firing, n, e.time, horizon,
                                  modulationBound(n, e.time, horizon), queue, context);
            }
        }
        now = horizon;
    }

    void advanceTo(ModelTime t, ModelTime window) {
        while (now < t) runWindow(std::min(t, now + window));
    }
};

// `count` neurons in two antiphase groups, each with its own oscillator at
// `frequency`, modulated with depth `depth`; parameters as in the test model.
inline void buildAntiphasePopulation(Population& p, std::uint64_t seed, std::size_t count, double frequency,
                                     double depth, double stochasticity) {
    using namespace Core::Kvrn;
    p.context = Core::Runtime::RandomContext(seed);
    p.queue = EventQueue();
    std::vector<Oscillator> oscillators;
    for (std::uint32_t i = 0; i < count; ++i)
        oscillators.push_back({i, frequency, i < count / 2 ? 0.0 : 3.141592653589793, 1.0});
    p.bank = OscillatorBank(oscillators);
    p.modulations.assign(count, PhaseModulation(p.bank));
    for (std::uint32_t i = 0; i < count; ++i) p.modulations[i].addTerm({i, 0, depth, 0.0});
    p.params = {15'000'000, 150'000'000, 3'000'000, 0.1, 0.0, 1e-15, true, false};
    p.firing = {60.0, 2.0, 0.0, 1.0, stochasticity, 1'000'000, false};
    p.neurons.clear();
    for (std::uint64_t i = 0; i < count; ++i) p.neurons.push_back(initialNeuronState(i));
    p.drive = 0;
    p.now = 0;
    p.spikes.clear();
    p.candidates = 0;
}

}  // namespace Testing
