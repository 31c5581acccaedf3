#include "engine/model_time.hpp"

#include <limits>
#include <type_traits>

#include "engine/errors.hpp"
#include "runtime/random_context.hpp"
#include "support/expect_throws.hpp"

using namespace Core::Kvrn;

namespace {
constexpr ModelTime kMax = std::numeric_limits<ModelTime>::max();
constexpr ModelTime kMin = std::numeric_limits<ModelTime>::min();

// Callers catch by the standard base, so each class must be reachable from it
// through a public, unambiguous base; invalid_argument is itself a logic_error.
template <class Base, class... E>
constexpr bool caughtAs = (std::is_convertible_v<E*, Base*> && ...);
}  // namespace

TEST(ModelTime, FromMillisecondsStopsAtTheLastWholeMillisecond) {
    EXPECT_EQ(fromMilliseconds(9'223'372'036'854), 9'223'372'036'854'000'000);
    EXPECT_EQ(fromMilliseconds(-9'223'372'036'854), -9'223'372'036'854'000'000);
    EXPECT_THROW_MSG(fromMilliseconds(9'223'372'036'855), TimeOverflow,
                     "KVRN model time conversion overflow");
    EXPECT_THROW_MSG(fromMilliseconds(-9'223'372'036'855), TimeOverflow,
                     "KVRN model time conversion overflow");
}

TEST(ModelTime, ScaleTimeChecksTheUnitFirstThenBothBounds) {
    EXPECT_THROW_MSG(scaleTime(0, 0), TimeOverflow, "KVRN model time unit must be positive");
    EXPECT_THROW_MSG(scaleTime(kMax, -1), TimeOverflow, "KVRN model time unit must be positive");
    EXPECT_EQ(scaleTime(-3'074'457'345'618'258'602, 3), -9'223'372'036'854'775'806);
    EXPECT_EQ(scaleTime(3'074'457'345'618'258'602, 3), 9'223'372'036'854'775'806);
    EXPECT_EQ(scaleTime(kMin, 1), kMin);
    EXPECT_THROW_MSG(scaleTime(3'074'457'345'618'258'603, 3), TimeOverflow,
                     "KVRN model time conversion overflow");
    EXPECT_THROW_MSG(scaleTime(-3'074'457'345'618'258'603, 3), TimeOverflow,
                     "KVRN model time conversion overflow");
}

TEST(ModelTime, AddTimeRefusesToWrap) {
    EXPECT_EQ(addTime(kMax, 0), kMax);
    EXPECT_EQ(addTime(kMin, 0), kMin);
    EXPECT_EQ(addTime(kMin, kMax), -1);
    EXPECT_EQ(addTime(kMax - 5, 5), kMax);
    EXPECT_THROW_MSG(addTime(kMax, 1), TimeOverflow, "KVRN model time overflow");
    EXPECT_THROW_MSG(addTime(kMin, -1), TimeOverflow, "KVRN model time overflow");
    EXPECT_THROW_MSG(addTime(-1, kMin), TimeOverflow, "KVRN model time overflow");
}

TEST(EngineErrors, EachClassDerivesFromItsStandardBase) {
    static_assert(caughtAs<std::runtime_error, TimeOverflow, CausalityViolation, EmptyEventQueue,
                           Core::Runtime::ReplayExhausted>);
    static_assert(
        caughtAs<std::invalid_argument, InvalidOscillator, InvalidPhaseModulation, InvalidNeuronParameters,
                 InvalidFiringParameters, InvalidTrajectory, InvalidMatchedControl>);
    static_assert(caughtAs<std::logic_error, NeuronCausalityViolation, NeuronRefractoryViolation,
                           NeuronRoutingViolation, HazardBoundViolation, InvalidOscillator>);
    static_assert(!caughtAs<std::logic_error, TimeOverflow> &&
                  !caughtAs<std::logic_error, Core::Runtime::ReplayExhausted>);
}
