#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/model_time.hpp"

// Background oscillations that modulate neuron firing. Phases are computed
// directly from model time, never accumulated step by step, so a phase at any
// time is exact up to one rounding and independent of how time was reached.
namespace Core::Kvrn {

inline constexpr double kTwoPi = 6.283185307179586;

struct Oscillator {
    std::uint32_t id = 0;     // unique within a bank
    double frequency = 0;     // [Hz], finite and >= 0
    double initialPhase = 0;  // [rad], finite
    double amplitude = 0;     // finite and >= 0
};

class OscillatorBank {
  public:
    OscillatorBank() = default;
    // Takes the oscillators in order. Throws InvalidOscillator for invalid
    // parameters or a repeated id.
    explicit OscillatorBank(std::vector<Oscillator> oscillators);

    // Phase [rad] in [0, 2pi) of oscillator `id` at time t, shift included.
    // Throws InvalidOscillator for an unknown id or invalid parameters.
    double phaseAt(std::uint32_t id, ModelTime t) const;
    // Adds `delta` [rad] to the oscillator's phase shift, kept in [0, 2pi).
    // Throws InvalidOscillator for a non-finite delta or an unknown id.
    void shiftPhase(std::uint32_t id, double delta);

    const Oscillator& oscillator(std::uint32_t id) const { return oscillators_[positionOf(id)]; }
    double phaseShift(std::uint32_t id) const { return shifts_[positionOf(id)]; }
    // True when oscillator `id` here and `otherId` of `other` have the same
    // definition (id aside) and shift, bit for bit. Throws InvalidOscillator
    // for an unknown id.
    bool sameOscillator(std::uint32_t id, const OscillatorBank& other, std::uint32_t otherId) const;
    std::size_t size() const { return oscillators_.size(); }
    bool contains(std::uint32_t id) const {
        return positional_ ? id < oscillators_.size() : positions_.contains(id);
    }

    // KVRNOSC2 bytes: the definitions with their shifts.
    std::vector<std::uint8_t> snapshot() const;
    // Checks the stored definitions against this bank and takes over only the
    // shifts (and the carried values). Answers false, changing nothing, on
    // malformed input or when the definitions differ.
    bool restore(std::span<const std::uint8_t> bytes);

  private:
    // Throws InvalidOscillator for an unknown id.
    std::size_t positionOf(std::uint32_t id) const {
        // Banks usually number their oscillators 0, 1, 2, ... in order; ids
        // are unique, so an oscillator found at position id is the one.
        if (id < oscillators_.size() && oscillators_[id].id == id) return id;
        return lookUpPosition(id);
    }
    std::size_t lookUpPosition(std::uint32_t id) const;

    // Values every phase evaluation of one oscillator needs, computed when
    // its definition or shift is set (bit for bit what each evaluation
    // would compute itself).
    struct Derived {
        double frequencyFraction;  // fmod(frequency, 1)
        double phaseBase;          // initial phase + shift [rad]
    };
    void derive(std::size_t i);

    std::vector<Oscillator> oscillators_;
    // Position by id; left empty when every oscillator's id is its position.
    std::unordered_map<std::uint32_t, std::size_t> positions_;
    bool positional_ = true;
    std::vector<double> shifts_;  // [rad], one per oscillator, in [0, 2pi)
    std::vector<Derived> derived_;
    // Carried through snapshots unchanged; no operation reads them.
    std::int64_t carriedStep_ = 0;
    std::uint64_t carriedCount_ = 0;
    bool carriedFlag_ = false;
};

struct PhaseTerm {
    std::uint32_t oscillatorId = 0;
    std::uint8_t polarity = 0;  // 0 excitatory, 1 inhibitory; any other value contributes nothing
    double weight = 0;
    double phaseOffset = 0;  // [rad]
};

// One neuron's modulation: a gain-scaled sum of sines of oscillator phases.
// Borrows the bank, which must outlive it.
class PhaseModulation {
  public:
    explicit PhaseModulation(const OscillatorBank& bank) : bank_(&bank) {}

    // Throws InvalidOscillator for an unknown oscillator (checked first) and
    // InvalidPhaseModulation for a non-finite weight or offset.
    void addTerm(const PhaseTerm& term);
    // Throws InvalidPhaseModulation unless g is finite and >= 0.
    void setGain(double g);

    double gain() const { return gain_; }
    std::span<const PhaseTerm> terms() const { return terms_; }
    // Signed amplitude of a term: gain x weight x oscillator amplitude,
    // negated when inhibitory.
    double coefficient(const PhaseTerm& term) const {
        const double amplitude = bank_->oscillator(term.oscillatorId).amplitude;
        if (term.polarity == 0) return gain_ * term.weight * amplitude;
        if (term.polarity == 1) return -gain_ * term.weight * amplitude;
        return 0.0;
    }

    // The modulation value at time t.
    double valueAt(ModelTime t) const;
    // A value never below valueAt(t) for any t in [t0, t1]. Throws
    // InvalidPhaseModulation when t1 < t0.
    double upperBound(ModelTime t0, ModelTime t1) const;

    // The modulation at one time together with each term's phase and its
    // sine there, so that a bound from the same time reuses them.
    struct Point {
        static constexpr std::size_t kKeptTerms = 4;
        ModelTime time = 0;
        double value = 0;                        // valueAt(time)
        bool kept = false;                       // false for modulations with more terms than are kept
        std::array<double, kKeptTerms> phase{};  // phaseAt + offset, per term with a non-zero coefficient
        std::array<double, kKeptTerms> sine{};   // portableSin(phase)
    };
    void pointAt(ModelTime t, Point& point) const;
    // upperBound(point.time, t1), bit for bit, from the phases kept in `point`
    // (taken at this modulation with its current gain and bank).
    double upperBoundFrom(const Point& point, ModelTime t1) const;
    // True when this and `other` are the same function of time: equal gains
    // and, term by term, equal polarities, weights, offsets, oscillator
    // definitions and shifts (compared bit for bit). Then valueAt and
    // upperBound give identical results for both.
    bool sameFunctionAs(const PhaseModulation& other) const;

  private:
    const OscillatorBank* bank_;
    std::vector<PhaseTerm> terms_;
    double gain_ = 1.0;
};

// a reduced into [0, 2pi) by fmod (a result of exactly 2pi is possible when
// a is a tiny negative number).
double wrapTwoPi(double a);

// fmod(x, 1.0), bit for bit, without the general division loop for the
// arguments a phase computation meets.
double fractionOf(double x);

// (x x m) mod 1 by binary doubling. The product itself is never formed: for a
// large m it would carry no fractional digits at all.
double fracMulMod1(double x, std::uint64_t m);

// Upper bound of sin on [phi, phi + w]; w >= 0.
double sinMaxOver(double phi, double w);
// sinMaxOver with portableSin(phi) already known.
double sinMaxOver(double phi, double w, double sinPhi);
// Lower bound of sin on [phi, phi + w]; w >= 0.
double sinMinOver(double phi, double w);

// Adds standardNormal x sigma [rad] to the shift of each oscillator of `ids`,
// in order, from stream ("phase_jitter", 0) of a fresh context seeded with
// `seed`. Throws InvalidMatchedControl unless sigma is finite and >= 0, and
// InvalidOscillator for an unknown id; the bank is unchanged then.
void phaseJitter(OscillatorBank& bank, std::span<const std::uint32_t> ids, double sigma, std::uint64_t seed);

// Adds uniform x 2pi to the shift of each oscillator of `ids`, in order, from
// stream ("phase_scramble", 0) of a fresh context seeded with `seed`.
// Frequencies are untouched. Throws InvalidOscillator for an unknown id; the
// bank is unchanged then.
void phaseScramble(OscillatorBank& bank, std::span<const std::uint32_t> ids, std::uint64_t seed);

}  // namespace Core::Kvrn
