#include "engine/oscillators.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"
#include "engine/portable_math.hpp"
#include "runtime/random_context.hpp"
#include "support/expect_throws.hpp"

using namespace Core::Kvrn;

namespace {

constexpr double kPi = 3.141592653589793;
const std::vector<std::uint32_t> kIds = {0, 1, 2};

OscillatorBank threeOscillators(double frequency = 10.0) {
    return OscillatorBank({{0, frequency, 0.0, 1.0}, {1, frequency, kPi, 1.0}, {2, 0.25, 0.5, 2.0}});
}

__extension__ typedef unsigned __int128 Wide;

// frac(f x seconds) computed exactly in integers from f's binary expansion.
double exactFractionalCycles(double f, std::uint64_t seconds) {
    int exponent = 0;
    const double mantissa = std::frexp(f, &exponent);  // f = mantissa x 2^exponent
    const auto m = static_cast<Wide>(std::ldexp(mantissa, 53));
    const int shift = 53 - exponent;  // f = m / 2^shift
    const Wide product = m * seconds;
    const Wide mask = (static_cast<Wide>(1) << shift) - 1;
    return std::ldexp(static_cast<double>(product & mask), -shift);
}

}  // namespace

TEST(OscillatorBank, PhaseFollowsModelTimeExactly) {
    const OscillatorBank bank = threeOscillators();
    EXPECT_EQ(bank.phaseAt(1, 0), kPi);
    for (ModelTime second : {1, 2, 7, 1000, -3})
        EXPECT_EQ(bank.phaseAt(0, second * 1'000'000'000), 0.0) << second;
    EXPECT_NEAR(bank.phaseAt(0, 25'000'000), kPi / 2, 1e-15);
    EXPECT_NEAR(bank.phaseAt(1, 25'000'000), 3 * kPi / 2, 1e-15);

    // t = -1 ns: no whole seconds, the remainder is -1 ns.
    EXPECT_DOUBLE_EQ(bank.phaseAt(0, -1), wrapTwoPi(-1e-9 * 10 * kTwoPi));
    // t = -1.5 s at 0.25 Hz: -1 whole second gives -0.25 cycles, the remainder -0.125.
    EXPECT_DOUBLE_EQ(bank.phaseAt(2, -1'500'000'000), wrapTwoPi(-0.375 * kTwoPi + 0.5));
}

// 10^18 ns is 10^9 s: f x 10^9 has no fractional digits left in a double, so
// the phase must come from the whole-second decomposition.
TEST(OscillatorBank, PhaseAtTenToTheEighteenKeepsTheFractionalCycle) {
    for (double f : {0.1, 10.3, 7.77, 39.999}) {
        const OscillatorBank bank({{0, f, 0.0, 1.0}});
        for (std::int64_t extra : {0, 123'456'789}) {
            const ModelTime t = 1'000'000'000'000'000'000 + extra;
            const double expected =
                (exactFractionalCycles(f, 1'000'000'000) + static_cast<double>(extra) / 1e9 * f) * kTwoPi;
            EXPECT_NEAR(bank.phaseAt(0, t), wrapTwoPi(expected), 1e-9) << f;
        }
    }
    EXPECT_GT(OscillatorBank({{0, 0.1, 0.0, 1.0}}).phaseAt(0, 1'000'000'000'000'000'000), 3e-8);
}

TEST(OscillatorBank, ShiftsWrapIntoOneTurn) {
    OscillatorBank bank = threeOscillators();
    bank.shiftPhase(0, -kPi / 2);
    EXPECT_EQ(bank.phaseShift(0), 3 * kPi / 2);
    bank.shiftPhase(0, kTwoPi);
    EXPECT_NEAR(bank.phaseShift(0), 3 * kPi / 2, 1e-15);
    EXPECT_NEAR(bank.phaseAt(0, 0), 3 * kPi / 2, 1e-15);
    EXPECT_THROW_MSG(bank.shiftPhase(99, NAN), InvalidOscillator, "oscillator phase shift must be finite");
    EXPECT_THROW_MSG(bank.shiftPhase(99, 1.0), InvalidOscillator, "unknown KVRN oscillator id");
}

TEST(OscillatorBank, RefusesInvalidDefinitions) {
    EXPECT_THROW_MSG(OscillatorBank({{0, 1, 0, 1}, {0, 2, 0, 1}}), InvalidOscillator,
                     "duplicate KVRN oscillator id");
    // Parameters are checked before the id of the same oscillator.
    EXPECT_THROW_MSG(OscillatorBank({{0, 1, 0, 1}, {0, -1, 0, 1}}), InvalidOscillator,
                     "invalid KVRN oscillator parameters");
    EXPECT_THROW_MSG(OscillatorBank({{0, 1, INFINITY, 1}}), InvalidOscillator,
                     "invalid KVRN oscillator parameters");
    EXPECT_THROW_MSG(OscillatorBank({{0, 1, 0, NAN}}), InvalidOscillator,
                     "invalid KVRN oscillator parameters");
    EXPECT_THROW_MSG(threeOscillators().phaseAt(3, 0), InvalidOscillator, "unknown KVRN oscillator id");
    EXPECT_THROW_MSG(threeOscillators().oscillator(3), InvalidOscillator, "unknown KVRN oscillator id");
}

TEST(PhaseModulation, SumsSignedSinesOfPhases) {
    const OscillatorBank bank = threeOscillators();
    PhaseModulation modulation(bank);
    EXPECT_EQ(modulation.valueAt(123), 0.0);
    modulation.addTerm({0, 0, 1.5, 0.0});
    modulation.addTerm({2, 1, 0.5, 0.25});
    modulation.addTerm({1, 2, 9.0, 0.0});  // polarity 2 contributes nothing
    modulation.setGain(2.0);
    EXPECT_EQ(modulation.coefficient(modulation.terms()[0]), 3.0);
    EXPECT_EQ(modulation.coefficient(modulation.terms()[1]), -2.0);
    EXPECT_EQ(modulation.coefficient(modulation.terms()[2]), 0.0);
    const ModelTime t = 1'234'567;
    EXPECT_EQ(modulation.valueAt(t),
              3.0 * portableSin(bank.phaseAt(0, t)) + -2.0 * portableSin(bank.phaseAt(2, t) + 0.25));

    EXPECT_THROW_MSG(modulation.addTerm({7, 0, NAN, 0}), InvalidOscillator, "unknown KVRN oscillator id");
    EXPECT_THROW_MSG(modulation.addTerm({0, 0, 1, INFINITY}), InvalidPhaseModulation,
                     "phase modulation must be finite");
    EXPECT_THROW_MSG(modulation.setGain(-0.5), InvalidPhaseModulation,
                     "oscillator gain must be finite and >= 0");
    EXPECT_THROW_MSG(modulation.upperBound(10, 9), InvalidPhaseModulation,
                     "phase bound interval runs backwards");
    EXPECT_EQ(modulation.terms().size(), 3u);
}

TEST(PhaseModulation, SineBoundsCoverTheirInterval) {
    EXPECT_EQ(sinMaxOver(0, kTwoPi), 1.0);
    EXPECT_EQ(sinMaxOver(1.0, 1.0), 1.0);   // crosses the crest at pi/2
    EXPECT_EQ(sinMinOver(4.0, 1.0), -1.0);  // crosses the trough at 3 pi/2

    const OscillatorBank bank = threeOscillators();
    PhaseModulation single(bank);
    single.addTerm({0, 0, 1.0, 0.0});
    EXPECT_NEAR(single.upperBound(7'000'000, 7'000'000), portableSin(bank.phaseAt(0, 7'000'000)), 1e-11);
}

// The bound must never fall below the value anywhere in its interval, for any
// mix of polarities, offsets, frequencies and interval lengths.
TEST(PhaseModulation, UpperBoundIsNeverBelowTheValue) {
    std::mt19937_64 random(31);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<Oscillator> oscillators;
        for (std::uint32_t id = 0; id < 3; ++id)
            oscillators.push_back({id, unit(random) * 60, unit(random) * 20 - 10, unit(random) * 2});
        const OscillatorBank bank(oscillators);
        PhaseModulation modulation(bank);
        for (std::uint32_t id = 0; id < 3; ++id)
            modulation.addTerm(
                {id, static_cast<std::uint8_t>(random() % 3), unit(random) * 4 - 2, unit(random) * 8 - 4});
        modulation.setGain(unit(random) * 2);
        const auto t0 = static_cast<ModelTime>(random() % 10'000'000'000) - 5'000'000'000;
        const auto t1 = t0 + static_cast<ModelTime>(random() % 200'000'000);
        const double bound = modulation.upperBound(t0, t1);
        for (int i = 0; i <= 400; ++i) {
            const ModelTime t = t0 + (t1 - t0) * i / 400;
            ASSERT_LE(modulation.valueAt(t), bound) << "trial " << trial << " t " << t;
        }
    }
}

TEST(OscillatorBank, SnapshotCarriesTheShifts) {
    OscillatorBank original = threeOscillators();
    original.shiftPhase(1, 1.25);
    const std::vector<std::uint8_t> bytes = original.snapshot();
    EXPECT_EQ(bytes.size(), 33u + 3 * 36);

    OscillatorBank restored = threeOscillators();
    ASSERT_TRUE(restored.restore(bytes));
    EXPECT_EQ(restored.snapshot(), bytes);
    EXPECT_EQ(restored.phaseAt(1, 55'555), original.phaseAt(1, 55'555));
}

TEST(OscillatorBank, RestoreRefusesMalformedBytesAndChangesNothing) {
    OscillatorBank bank = threeOscillators();
    bank.shiftPhase(2, 0.75);
    const std::vector<std::uint8_t> before = bank.snapshot();
    const std::vector<std::uint8_t> valid = threeOscillators().snapshot();

    auto patched = [&](std::size_t offset, std::uint64_t value, int width) {
        std::vector<std::uint8_t> bytes = valid;
        for (int i = 0; i < width; ++i)
            bytes.at(offset + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (8 * i));
        return bytes;
    };
    const std::size_t first = 33;  // the first oscillator record
    std::vector<std::vector<std::uint8_t>> refused = {
        patched(0, 'X', 1),                                         // wrong magic
        patched(8, 4, 8),                                           // count differs from the bank
        patched(16, 1, 8),                                          // S differs from the bank's S (0)
        patched(16, ~0ULL, 8),                                      // S negative
        patched(32, 2, 1),                                          // F neither 0 nor 1
        patched(first, 5, 4),                                       // id differs at its position
        patched(first + 4, std::bit_cast<std::uint64_t>(10.5), 8),  // frequency differs
        patched(first + 12, std::bit_cast<std::uint64_t>(0.1), 8),  // initial phase differs
        patched(first + 20, std::bit_cast<std::uint64_t>(std::nan("")), 8),  // amplitude NaN never matches
        patched(first + 28, std::bit_cast<std::uint64_t>(HUGE_VAL), 8),      // shift not finite
    };
    std::vector<std::uint8_t> trailing = valid;
    trailing.push_back(0);
    refused.push_back(trailing);
    for (std::size_t cut = 0; cut < valid.size(); ++cut)
        refused.emplace_back(valid.begin(), valid.begin() + cut);

    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(bank.restore(refused[i])) << "variant " << i;
        EXPECT_EQ(bank.snapshot(), before) << "variant " << i;
    }
    EXPECT_TRUE(bank.restore(patched(24, 77, 8)));  // C and F are carried
    EXPECT_TRUE(bank.restore(patched(32, 1, 1)));
    EXPECT_EQ(bank.snapshot(), patched(32, 1, 1));
}

TEST(PhaseInterventions, DrawFromTheirOwnSeededStreams) {
    const std::uint64_t seed = 500;
    OscillatorBank jittered = threeOscillators();
    phaseJitter(jittered, kIds, 0.0, seed);
    EXPECT_EQ(jittered.snapshot(), threeOscillators().snapshot());

    phaseJitter(jittered, kIds, 0.3, seed);
    Core::Runtime::RandomContext reference(seed);
    const auto stream = reference.stream("phase_jitter", 0);
    for (std::uint32_t id : kIds)
        EXPECT_EQ(jittered.phaseShift(id), wrapTwoPi(Core::Runtime::standardNormal(stream) * 0.3 + 0.0));

    OscillatorBank a = threeOscillators(), b = threeOscillators();
    phaseScramble(a, kIds, 12345);
    phaseScramble(b, kIds, 12345);
    EXPECT_EQ(a.snapshot(), b.snapshot());
    Core::Runtime::RandomContext scrambleReference(12345);
    EXPECT_EQ(a.phaseShift(0),
              wrapTwoPi(Core::Runtime::uniformFor(scrambleReference, "phase_scramble", 0) * kTwoPi));
    EXPECT_EQ(a.oscillator(0).frequency, 10.0);

    const std::vector<std::uint8_t> before = a.snapshot();
    EXPECT_THROW_MSG(phaseJitter(a, kIds, -1.0, seed), InvalidMatchedControl,
                     "phase jitter sigma must be finite and >= 0");
    EXPECT_THROW_MSG(phaseJitter(a, kIds, NAN, seed), InvalidMatchedControl,
                     "phase jitter sigma must be finite and >= 0");
    const std::vector<std::uint32_t> withUnknown = {0, 1, 9};
    EXPECT_THROW_MSG(phaseScramble(a, withUnknown, seed), InvalidOscillator, "unknown KVRN oscillator id");
    EXPECT_EQ(a.snapshot(), before);
}

namespace {

std::uint64_t bitsOf(double x) { return std::bit_cast<std::uint64_t>(x); }

// a reduced the way wrapTwoPi documents it, through fmod alone.
double wrapByFmod(double a) {
    const double m = std::fmod(a, kTwoPi);
    return m < 0 ? m + kTwoPi : m;
}

}  // namespace

// The phase reductions replace fmod by subtractions where those are exact;
// the results must be fmod's, bit for bit, signed zeros included.
TEST(PhaseReduction, FractionAndTurnMatchFmodBitForBit) {
    std::vector<double> inputs = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 1e-300, -1e-300,
                                  4503599627370495.5, 4503599627370496.0, -4503599627370497.0, 1e300,
                                  kTwoPi, -kTwoPi, 2 * kTwoPi, std::nextafter(kTwoPi, 0.0),
                                  std::nextafter(2 * kTwoPi, 0.0), 3 * kTwoPi, 123.456,
                                  std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> near(-30.0, 30.0);
    for (int i = 0; i < 20000; ++i) inputs.push_back(near(random));
    for (int i = 0; i < 2000; ++i) inputs.push_back(std::bit_cast<double>(random()));  // any bit pattern
    for (double x : inputs) {
        const double byFmod = std::fmod(x, 1.0);
        if (std::isnan(byFmod)) {
            EXPECT_TRUE(std::isnan(fractionOf(x)));
            EXPECT_TRUE(std::isnan(wrapTwoPi(x)));
            continue;
        }
        ASSERT_EQ(bitsOf(fractionOf(x)), bitsOf(byFmod)) << x;
        ASSERT_EQ(bitsOf(wrapTwoPi(x)), bitsOf(wrapByFmod(x))) << x;
    }
}

// Models share one window bound among neurons whose modulations are the same
// function of time, and take a candidate's modulation value and its bound
// from one evaluation of the phases: both must give exactly the bits of the
// direct computation.
TEST(PhaseModulation, SharedAndPointwiseBoundsEqualTheDirectOnes) {
    // Oscillators 0 and 1 agree in everything but their id; 2 is shifted.
    OscillatorBank bank({{0, 10.0, kPi, 1.0}, {1, 10.0, kPi, 1.0}, {2, 10.0, kPi, 1.0}, {3, 10.0, 0.0, 1.0}});
    bank.shiftPhase(2, 0.25);
    std::vector<PhaseModulation> modulations;
    for (std::uint32_t id = 0; id < 4; ++id) {
        PhaseModulation m(bank);
        m.addTerm({id, 0, 1.5, 0.0});
        modulations.push_back(m);
    }
    EXPECT_TRUE(modulations[0].sameFunctionAs(modulations[1]));
    EXPECT_FALSE(modulations[0].sameFunctionAs(modulations[2]));  // shift
    EXPECT_FALSE(modulations[0].sameFunctionAs(modulations[3]));  // initial phase
    PhaseModulation weaker(bank);
    weaker.addTerm({0, 0, 1.25, 0.0});
    EXPECT_FALSE(modulations[0].sameFunctionAs(weaker));
    PhaseModulation scaled = modulations[1];
    scaled.setGain(0.5);
    EXPECT_FALSE(modulations[0].sameFunctionAs(scaled));

    // Mixed polarities, a term that contributes nothing, and more terms than
    // a point keeps.
    PhaseModulation mixed(bank);
    mixed.addTerm({0, 0, 1.5, 0.3});
    mixed.addTerm({2, 1, 0.7, 0.0});
    mixed.addTerm({3, 2, 9.0, 0.0});
    PhaseModulation many = mixed;
    for (std::uint32_t id = 0; id < 4; ++id) many.addTerm({id, 1, 0.1 * id, 1.0});

    std::mt19937_64 random(3);
    for (int i = 0; i < 2000; ++i) {
        const ModelTime t0 = static_cast<ModelTime>(random() % 3'000'000'000) - 1'000'000'000;
        const ModelTime t1 = t0 + static_cast<ModelTime>(random() % 120'000'000);
        ASSERT_EQ(bitsOf(modulations[0].upperBound(t0, t1)), bitsOf(modulations[1].upperBound(t0, t1)));
        for (const PhaseModulation* m : {&modulations[2], &mixed, &many, &scaled}) {
            PhaseModulation::Point point;
            m->pointAt(t0, point);
            ASSERT_EQ(bitsOf(point.value), bitsOf(m->valueAt(t0))) << t0;
            ASSERT_EQ(bitsOf(m->upperBoundFrom(point, t1)), bitsOf(m->upperBound(t0, t1))) << t0 << " " << t1;
        }
    }
    PhaseModulation::Point point;
    mixed.pointAt(10, point);
    EXPECT_THROW(mixed.upperBoundFrom(point, 5), InvalidPhaseModulation);
}
