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

// The standard base of each class is what callers catch by, so it is checked
// directly rather than through the text.
TEST(EngineErrors, EachClassDerivesFromItsStandardBase) {
    static_assert(std::is_base_of_v<std::runtime_error, TimeOverflow>);
    static_assert(std::is_base_of_v<std::runtime_error, CausalityViolation>);
    static_assert(std::is_base_of_v<std::runtime_error, EmptyEventQueue>);
    static_assert(std::is_base_of_v<std::runtime_error, Core::Runtime::ReplayExhausted>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidOscillator>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidPhaseModulation>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidNeuronParameters>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidFiringParameters>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidTrajectory>);
    static_assert(std::is_base_of_v<std::invalid_argument, InvalidMatchedControl>);
    static_assert(std::is_base_of_v<std::logic_error, NeuronCausalityViolation>);
    static_assert(std::is_base_of_v<std::logic_error, NeuronRefractoryViolation>);
    static_assert(std::is_base_of_v<std::logic_error, NeuronRoutingViolation>);
    static_assert(std::is_base_of_v<std::logic_error, HazardBoundViolation>);

    auto caughtAsLogicError = [](auto thrower) {
        try {
            thrower();
        } catch (const std::logic_error&) {
            return true;
        } catch (const std::exception&) {
            return false;
        }
        return false;
    };
    EXPECT_TRUE(caughtAsLogicError([] { throw InvalidOscillator("x"); }));
    EXPECT_TRUE(caughtAsLogicError([] { throw NeuronRoutingViolation("x"); }));
    EXPECT_FALSE(caughtAsLogicError([] { throw TimeOverflow("x"); }));
    EXPECT_FALSE(caughtAsLogicError([] { throw Core::Runtime::ReplayExhausted("x"); }));
}
