#pragma once

#include <cstdint>
#include <vector>

// The architecture of the oscillatory-populations model as plain numbers:
// what a declaration file can set and the model builds itself from. It sits
// with the experiment records so that the declaration language can lower
// into it and the model can read it without either depending on the other.
// The defaults are the toolkit's fixed test model.
namespace Core::Kvrn {

struct ModelArchitecture {
    // Neurons per population; population p's oscillators start at phase p x phaseOffset.
    std::vector<std::uint64_t> groupSizes = {20, 20};
    double frequency = 10.0;                            // [Hz] of every oscillator
    double phaseOffset = 3.141592653589793;             // [rad] between successive populations
    double modulation = 1.5;                            // weight of each neuron's oscillator term
    std::int64_t driveTimeConstant = 15'000'000;        // tau_m [ns]
    std::int64_t adaptationTimeConstant = 150'000'000;  // tau_a [ns]
    std::int64_t refractoryDuration = 3'000'000;        // [ns]
    double threshold = 0.0;
    double baselineRate = 60.0;  // r0 [1/s]
    double beta = 2.0;           // slope of the hazard's exponent
    double stochasticity = 1.0;  // gain g of the hazard

    bool operator==(const ModelArchitecture&) const = default;
};

}  // namespace Core::Kvrn
