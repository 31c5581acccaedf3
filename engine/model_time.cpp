#include "engine/model_time.hpp"

#include "engine/errors.hpp"

namespace Core::Kvrn {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kNanosPerMilli = 1'000'000;
constexpr std::int64_t kMaxMillis = kMax / kNanosPerMilli;  // 9 223 372 036 854

[[noreturn]] void conversionOverflow() { throw TimeOverflow("KVRN model time conversion overflow"); }

}  // namespace

ModelTime fromMilliseconds(std::int64_t ms) {
    if (ms > kMaxMillis || ms < -kMaxMillis) conversionOverflow();
    return ms * kNanosPerMilli;
}

ModelTime scaleTime(std::int64_t count, ModelTime unit) {
    if (unit <= 0) throw TimeOverflow("KVRN model time unit must be positive");
    if (count > kMax / unit || count < kMin / unit) conversionOverflow();
    return count * unit;
}

void throwTimeOverflow() { throw TimeOverflow("KVRN model time overflow"); }

}  // namespace Core::Kvrn
