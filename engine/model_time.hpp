#pragma once

#include <cstdint>
#include <limits>

namespace Core::Kvrn {

// Model time: a signed count of nanoseconds. Every engine time and duration
// uses this grid; floating point enters only through time differences.
using ModelTime = std::int64_t;

// The value before any time; a fresh event queue starts here so that any
// first event is accepted.
inline constexpr ModelTime kTimeBeforeAll = std::numeric_limits<ModelTime>::min();

// ms x 1 000 000. The accepted range stops at +-9 223 372 036 854 ms, the
// largest whole number of milliseconds whose nanosecond value fits in 64
// bits. Throws TimeOverflow outside it.
ModelTime fromMilliseconds(std::int64_t ms);

// count x unit, for repeated schedules (trial k starts at k x period).
// Throws TimeOverflow when unit <= 0 (checked first) or the product does
// not fit.
ModelTime scaleTime(std::int64_t count, ModelTime unit);

// Throws TimeOverflow "KVRN model time overflow".
[[noreturn]] void throwTimeOverflow();

// t + d, throwing TimeOverflow instead of wrapping.
inline ModelTime addTime(ModelTime t, ModelTime d) {
    constexpr ModelTime kMax = std::numeric_limits<ModelTime>::max();
    constexpr ModelTime kMin = std::numeric_limits<ModelTime>::min();
    if ((d > 0 && t > kMax - d) || (d < 0 && t < kMin - d)) throwTimeOverflow();
    return t + d;
}

}  // namespace Core::Kvrn
