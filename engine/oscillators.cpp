#include "engine/oscillators.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"
#include "engine/portable_math.hpp"
#include "runtime/random_context.hpp"

namespace Core::Kvrn {
namespace {

constexpr std::string_view kMagic = "KVRNOSC2";
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// Widens every bound interval a little so rounding in the phase cannot move a
// crest just outside it.
constexpr double kBoundWidening = 1e-12;
constexpr double kTwoTo52 = 4503599627370496.0;

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

[[noreturn]] void unknownOscillator() { throw InvalidOscillator("unknown KVRN oscillator id"); }

bool validOscillator(const Oscillator& o) {
    return std::isfinite(o.frequency) && o.frequency >= 0 && std::isfinite(o.initialPhase) &&
           std::isfinite(o.amplitude) && o.amplitude >= 0;
}

// The phase at t of an oscillator of `frequency` whose fractional frequency
// and initial phase plus shift are given.
double phaseFrom(double frequency, double frequencyFraction, double phaseBase, ModelTime t) {
    // Split t into whole seconds and a remainder of the same sign, so the
    // whole seconds contribute frac(f) x n cycles computed exactly modulo 1.
    const std::int64_t seconds = t / kNanosPerSecond;
    const std::int64_t remainder = t - seconds * kNanosPerSecond;
    const std::uint64_t magnitude =
        seconds < 0 ? 0 - static_cast<std::uint64_t>(seconds) : static_cast<std::uint64_t>(seconds);
    // Inside the first second there are no whole cycles (fracMulMod1 of 0 is 0).
    double wholeCycles = magnitude == 0 ? 0.0 : fracMulMod1(frequencyFraction, magnitude);
    if (seconds < 0) wholeCycles = -wholeCycles;
    const double cycles = static_cast<double>(remainder) / 1e9 * frequency + wholeCycles;
    return wrapTwoPi(fractionOf(cycles) * kTwoPi + phaseBase);
}

}  // namespace

double fractionOf(double x) {
    // Below 2^52 in magnitude the whole part is exact and so is the
    // subtraction; only the sign of a zero result needs fmod's rule.
    if (std::fabs(x) < kTwoTo52) {
        // trunc(x) by an integer conversion, exact in this range; a zero
        // whole part of either sign gives the same difference.
        const double fraction = x - static_cast<double>(static_cast<std::int64_t>(x));
        return fraction == 0 ? std::copysign(0.0, x) : fraction;
    }
    return std::fmod(x, 1.0);
}

double wrapTwoPi(double a) {
    // fmod returns a itself below one turn, and a - 2pi exactly (the two are
    // within a factor of two) below two turns; only larger or negative
    // arguments go through fmod.
    double m;
    if (std::fabs(a) < kTwoPi)
        m = a;
    else if (a >= kTwoPi && a < 2 * kTwoPi)
        m = a - kTwoPi;
    else
        m = std::fmod(a, kTwoPi);
    return m < 0 ? m + kTwoPi : m;
}

double fracMulMod1(double x, std::uint64_t m) {
    x = fractionOf(x);
    double acc = 0;
    while (m > 0) {
        if (m & 1) acc = fractionOf(acc + x);
        x = fractionOf(2 * x);
        m >>= 1;
    }
    return acc;
}

double sinMaxOver(double phi, double w) {
    if (w >= kTwoPi) return 1.0;
    const double nextCrest = std::ceil((phi - kHalfPi) / kTwoPi) * kTwoPi + kHalfPi;
    const double end = (w + kBoundWidening) + phi;
    if (end >= nextCrest) return 1.0;
    // No crest inside: sin is monotone or has only a trough, so the larger end wins.
    return std::max(portableSin(end), portableSin(phi));
}

double sinMaxOver(double phi, double w, double sinPhi) {
    if (w >= kTwoPi) return 1.0;
    const double nextCrest = std::ceil((phi - kHalfPi) / kTwoPi) * kTwoPi + kHalfPi;
    const double end = (w + kBoundWidening) + phi;
    if (end >= nextCrest) return 1.0;
    return std::max(portableSin(end), sinPhi);
}

double sinMinOver(double phi, double w) { return -sinMaxOver(phi + kPi, w); }

OscillatorBank::OscillatorBank(std::vector<Oscillator> oscillators) : oscillators_(std::move(oscillators)) {
    shifts_.assign(oscillators_.size(), 0.0);
    derived_.resize(oscillators_.size());
    // Ids 0, 1, 2, ... in order (the usual numbering) are unique and need no map.
    for (std::size_t i = 0; i < oscillators_.size(); ++i)
        positional_ = positional_ && oscillators_[i].id == i;
    for (std::size_t i = 0; i < oscillators_.size(); ++i) {
        // Definitions never change afterwards and shifts stay finite (shiftPhase
        // wraps finite sums, restore refuses others), so this one check covers
        // every later phase evaluation.
        if (!validOscillator(oscillators_[i])) throw InvalidOscillator("invalid KVRN oscillator parameters");
        if (!positional_ && !positions_.emplace(oscillators_[i].id, i).second)
            throw InvalidOscillator("duplicate KVRN oscillator id");
        derive(i);
    }
}

void OscillatorBank::derive(std::size_t i) {
    derived_[i] = {fractionOf(oscillators_[i].frequency), oscillators_[i].initialPhase + shifts_[i]};
}

std::size_t OscillatorBank::lookUpPosition(std::uint32_t id) const {
    if (positional_) unknownOscillator();  // positionOf found every known id already
    auto found = positions_.find(id);
    if (found == positions_.end()) unknownOscillator();
    return found->second;
}

double OscillatorBank::phaseAt(std::uint32_t id, ModelTime t) const {
    const std::size_t i = positionOf(id);
    return phaseFrom(oscillators_[i].frequency, derived_[i].frequencyFraction, derived_[i].phaseBase, t);
}

bool OscillatorBank::sameOscillator(std::uint32_t id, const OscillatorBank& other, std::uint32_t otherId) const {
    const std::size_t i = positionOf(id);
    const std::size_t j = other.positionOf(otherId);
    if (this == &other && i == j) return true;
    const Oscillator& a = oscillators_[i];
    const Oscillator& b = other.oscillators_[j];
    return sameBits(shifts_[i], other.shifts_[j]) && sameBits(a.initialPhase, b.initialPhase) &&
           sameBits(a.frequency, b.frequency) && sameBits(a.amplitude, b.amplitude);
}

void OscillatorBank::shiftPhase(std::uint32_t id, double delta) {
    if (!std::isfinite(delta)) throw InvalidOscillator("oscillator phase shift must be finite");
    const std::size_t i = positionOf(id);
    shifts_[i] = wrapTwoPi(delta + shifts_[i]);
    derive(i);
}

std::vector<std::uint8_t> OscillatorBank::snapshot() const {
    ByteWriter out;
    out.raw(kMagic);
    out.u64(oscillators_.size());
    out.i64(carriedStep_);
    out.u64(carriedCount_);
    out.u8(carriedFlag_ ? 1 : 0);
    for (std::size_t i = 0; i < oscillators_.size(); ++i) {
        const Oscillator& o = oscillators_[i];
        out.u32(o.id);
        out.f64(o.frequency);
        out.f64(o.initialPhase);
        out.f64(o.amplitude);
        out.f64(shifts_[i]);
    }
    return std::move(out).take();
}

bool OscillatorBank::restore(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (!in.match(kMagic)) return false;
    const std::uint64_t count = in.u64();
    const std::int64_t step = in.i64();
    const std::uint64_t carriedCount = in.u64();
    const std::uint8_t flag = in.u8();
    if (!in.ok() || count != oscillators_.size() || flag > 1) return false;

    std::vector<double> shifts(oscillators_.size());
    for (std::size_t i = 0; i < oscillators_.size(); ++i) {
        const Oscillator& own = oscillators_[i];
        const std::uint32_t id = in.u32();
        const double frequency = in.f64();
        const double initialPhase = in.f64();
        const double amplitude = in.f64();
        shifts[i] = in.f64();
        // Plain == on purpose: a NaN never matches, so a NaN definition is refused.
        if (!in.ok() || id != own.id || !(frequency == own.frequency) ||
            !(initialPhase == own.initialPhase) || !(amplitude == own.amplitude) || !std::isfinite(shifts[i]))
            return false;
    }
    if (!in.finished() || step < 0 || step != carriedStep_) return false;
    if (step > 0 && carriedCount > static_cast<std::uint64_t>(INT64_MAX / step)) return false;

    shifts_ = std::move(shifts);
    for (std::size_t i = 0; i < oscillators_.size(); ++i) derive(i);
    carriedCount_ = carriedCount;
    carriedFlag_ = flag == 1;
    return true;
}

void PhaseModulation::addTerm(const PhaseTerm& term) {
    if (!bank_->contains(term.oscillatorId)) unknownOscillator();
    if (!std::isfinite(term.weight) || !std::isfinite(term.phaseOffset))
        throw InvalidPhaseModulation("phase modulation must be finite");
    terms_.push_back(term);
}

void PhaseModulation::setGain(double g) {
    if (!std::isfinite(g) || g < 0) throw InvalidPhaseModulation("oscillator gain must be finite and >= 0");
    gain_ = g;
}

double PhaseModulation::valueAt(ModelTime t) const {
    double sum = 0.0;
    for (const PhaseTerm& term : terms_) {
        const double c = coefficient(term);
        if (c != 0) sum += c * portableSin(bank_->phaseAt(term.oscillatorId, t) + term.phaseOffset);
    }
    return sum;
}

double PhaseModulation::upperBound(ModelTime t0, ModelTime t1) const {
    if (t1 < t0) throw InvalidPhaseModulation("phase bound interval runs backwards");
    const double seconds = (static_cast<double>(t1) - static_cast<double>(t0)) / 1e9;
    double sum = 0.0;
    for (const PhaseTerm& term : terms_) {
        const double c = coefficient(term);
        if (c == 0) continue;
        const double phi = bank_->phaseAt(term.oscillatorId, t0) + term.phaseOffset;
        const double width = bank_->oscillator(term.oscillatorId).frequency * kTwoPi * seconds;  // [rad]
        sum += c > 0 ? c * sinMaxOver(phi, width) : c * sinMinOver(phi, width);
    }
    return sum;
}

// Flattened: the phase and sine of each term are computed inline.
[[gnu::flatten]] void PhaseModulation::pointAt(ModelTime t, Point& point) const {
    point.time = t;
    point.kept = false;
    if (terms_.size() > Point::kKeptTerms) {
        point.value = valueAt(t);
        return;
    }
    // valueAt, keeping each phase and sine on the way.
    double sum = 0.0;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
        const PhaseTerm& term = terms_[i];
        const double c = coefficient(term);
        if (c == 0) continue;
        point.phase[i] = bank_->phaseAt(term.oscillatorId, t) + term.phaseOffset;
        point.sine[i] = portableSin(point.phase[i]);
        sum += c * point.sine[i];
    }
    point.value = sum;
    point.kept = true;
}

[[gnu::flatten]] double PhaseModulation::upperBoundFrom(const Point& point, ModelTime t1) const {
    if (!point.kept) return upperBound(point.time, t1);
    if (t1 < point.time) throw InvalidPhaseModulation("phase bound interval runs backwards");
    const double seconds = (static_cast<double>(t1) - static_cast<double>(point.time)) / 1e9;
    double sum = 0.0;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
        const PhaseTerm& term = terms_[i];
        const double c = coefficient(term);
        if (c == 0) continue;
        const double phi = point.phase[i];
        const double width = bank_->oscillator(term.oscillatorId).frequency * kTwoPi * seconds;  // [rad]
        sum += c > 0 ? c * sinMaxOver(phi, width, point.sine[i]) : c * sinMinOver(phi, width);
    }
    return sum;
}

bool PhaseModulation::sameFunctionAs(const PhaseModulation& other) const {
    if (terms_.size() != other.terms_.size() || !sameBits(gain_, other.gain_)) return false;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
        const PhaseTerm& a = terms_[i];
        const PhaseTerm& b = other.terms_[i];
        if (!bank_->sameOscillator(a.oscillatorId, *other.bank_, b.oscillatorId) || a.polarity != b.polarity ||
            !sameBits(a.weight, b.weight) || !sameBits(a.phaseOffset, b.phaseOffset))
            return false;
    }
    return true;
}

namespace {

// Applies one delta per id, drawn in id order. Every id is looked up before any
// shift, so an unknown id leaves the bank unchanged.
template <class Draw>
void shiftEach(OscillatorBank& bank, std::span<const std::uint32_t> ids, Draw draw) {
    for (std::uint32_t id : ids)
        if (!bank.contains(id)) unknownOscillator();
    for (std::uint32_t id : ids) bank.shiftPhase(id, draw());
}

}  // namespace

void phaseJitter(OscillatorBank& bank, std::span<const std::uint32_t> ids, double sigma, std::uint64_t seed) {
    if (!std::isfinite(sigma) || sigma < 0)
        throw InvalidMatchedControl("phase jitter sigma must be finite and >= 0");
    Runtime::RandomContext context(seed);
    const Runtime::RandomStream stream = context.stream("phase_jitter", 0);
    shiftEach(bank, ids, [&] { return Runtime::standardNormal(stream) * sigma; });
}

void phaseScramble(OscillatorBank& bank, std::span<const std::uint32_t> ids, std::uint64_t seed) {
    Runtime::RandomContext context(seed);
    const Runtime::RandomStream stream = context.stream("phase_scramble", 0);
    shiftEach(bank, ids, [&] { return Runtime::uniform(stream) * kTwoPi; });
}

}  // namespace Core::Kvrn
