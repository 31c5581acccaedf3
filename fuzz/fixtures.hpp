#pragma once

#include <cstdint>

#include "engine/oscillators.hpp"

// Components built the same way by a fuzz target and by the seed generator,
// so that the seeds are snapshots the target's component accepts.
namespace Fuzz {

// Three oscillators with ids out of order and one of every kind of
// frequency: whole, fractional and zero.
inline Core::Kvrn::OscillatorBank fixtureBank() {
    return Core::Kvrn::OscillatorBank(
        {{7, 10.0, 0.0, 1.0}, {2, 0.37, 3.141592653589793, 0.5}, {9, 0.0, -1.25, 0.0}});
}

// Seed and frequency of the model that the model target restores into.
inline constexpr std::uint64_t kModelSeed = 1;
inline constexpr double kModelModulation = 1.5;

}  // namespace Fuzz
