#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>

#include "engine/event_queue.hpp"
#include "engine/model_time.hpp"
#include "runtime/random_context.hpp"

// Hazard-firing neurons. A neuron is a stochastic point process whose rate
// (hazard) is an exponential function of a decaying drive, a decaying
// adaptation, an oscillatory modulation and a threshold, capped at a maximum.
// Spikes are drawn on the nanosecond grid by thinning: a candidate is drawn at
// an upper bound of the hazard and accepted with probability hazard / bound.
// All randomness comes from the neuron's ("spontaneous", drawIndex) stream.
namespace Core::Kvrn {

struct NeuronState {
    double drive = 0;
    double adaptation = 0;
    ModelTime lastUpdate = 0;                         // drive and adaptation are current at this time
    ModelTime refractoryEnd = 0;                      // end of the absolute refractory window
    double candidateBound = 0;                        // [1/s] bound of the pending candidate, 0 when none
    std::uint64_t drawIndex = 0;                      // index of the neuron's "spontaneous" stream
    std::uint64_t pendingRefractoryEvent = kNoEvent;  // sequence of the scheduled RefractoryEnd
    std::uint64_t pendingCandidate = kNoEvent;        // sequence of the scheduled SpikeCandidate
};

// The state of neuron `index` after a reset.
inline NeuronState initialNeuronState(std::uint64_t index) {
    NeuronState state;
    state.drawIndex = index;
    return state;
}

struct NeuronParameters {
    ModelTime driveTimeConstant = 1;       // [ns], > 0
    ModelTime adaptationTimeConstant = 1;  // [ns], > 0
    ModelTime refractoryDuration = 0;      // [ns]
    double adaptationIncrement = 0;        // added to the adaptation at each spike
    double resetDrive = 0;                 // the drive after a spike
    double flushEpsilon = 0;               // decayed values smaller in magnitude become 0
    bool absoluteRefractory = false;       // no hazard and no spike inside the window
    bool frozenDrive = false;              // the drive does not decay
};

struct FiringParameters {
    double baselineRate = 0;        // r0 [1/s], finite, >= 0
    double beta = 0;                // finite, >= 0
    double threshold = 0;           // finite
    double adaptationCoupling = 0;  // k, finite, >= 0
    double gain = 0;                // g, finite, >= 0
    double maxHazard = 1;           // [1/s], finite, > 0, <= 1e6
    bool disabled = false;          // never propose candidates
};

// Largest accepted maximum hazard [1/s]: it keeps the mean waiting time at or
// above 1000 ns, so rounding waiting times to whole nanoseconds does not bias
// the rate.
inline constexpr double kMaxHazardLimit = 1'000'000.0;

enum class CandidateStatus : std::uint8_t {
    Scheduled = 0,
    FiringDisabled = 1,
    ZeroBound = 2,
    NoneBeforeHorizon = 3,
};

struct CandidatePlan {
    std::uint64_t sequence = kNoEvent;  // of the scheduled candidate; kNoEvent unless Scheduled
    CandidateStatus status = CandidateStatus::NoneBeforeHorizon;
    ModelTime time = 0;  // candidate time when scheduled, else the start (disabled) or the horizon
    double bound = 0;    // [1/s]
};

struct CandidateOutcome {
    bool fired = false;
    double hazard = 0;  // [1/s] at the candidate time
    double bound = 0;   // [1/s] the candidate was drawn at
    CandidatePlan next;
};

// Maps a model time to a modulation value; may be empty (modulation 0).
using ModulationFunction = std::function<double(ModelTime)>;

// Throws InvalidFiringParameters unless every field is within its range.
void validateFiringParameters(const FiringParameters& firing);

// Firing parameters that the first operation needing them valid validates
// and later ones trust: for a driver that runs many candidates under
// parameters that do not change in between. Validation happens exactly where
// it would happen on every call, so a bad set fails at the same point.
class CheckedFiring {
  public:
    explicit CheckedFiring(const FiringParameters& firing) : firing_(&firing) {}
    const FiringParameters& parameters() const { return *firing_; }
    void ensureValid() {
        if (!valid_) {
            validateFiringParameters(*firing_);
            exponentCap_ = exponentCapOf(*firing_);
            valid_ = true;
        }
    }
    // True once ensureValid() has passed.
    bool valid() const { return valid_; }
    // log(maximum hazard / (gain x baseline)), the cap of the hazard's
    // exponent; known once ensureValid() has passed.
    double exponentCap() const { return exponentCap_; }

  private:
    static double exponentCapOf(const FiringParameters& firing);

    const FiringParameters* firing_;
    bool valid_ = false;
    double exponentCap_ = 0;
};

// x decayed by exp(-dt / tau) (dt and tau in ns), flushed to 0 below epsilon
// in magnitude. x is returned unchanged when x or dt is 0.
double decayValue(double x, double dt, ModelTime tau, double epsilon);

// Brings drive and adaptation up to time t. Throws InvalidNeuronParameters for
// a time constant <= 0 and NeuronCausalityViolation when t is before the last
// update.
void advanceNeuron(NeuronState& state, const NeuronParameters& params, ModelTime t);

// Advances to the event's time, then reacts to its kind: inputs add the
// event's value to the drive, RefractoryEnd clears the pending refractory event.
void onNeuronEvent(NeuronState& state, const NeuronParameters& params, const Event& event);

// Emits a spike at t: resets the drive, increments the adaptation, starts the
// refractory window and schedules its RefractoryEnd (cancelling an older one).
// Throws NeuronRefractoryViolation inside an absolute refractory window.
void fireNeuron(NeuronState& state, const NeuronParameters& params, ModelTime t, std::uint64_t index,
                EventQueue& queue);

// The hazard [1/s] at t under modulation m, at most the maximum hazard. Does
// not change the state.
double hazardAt(const NeuronState& state, const NeuronParameters& params, const FiringParameters& firing,
                ModelTime t, double m);

// An upper bound [1/s] of hazardAt over [t0, t1] for every modulation at most
// `modulationBound`. Does not change the state.
double hazardBound(const NeuronState& state, const NeuronParameters& params, const FiringParameters& firing,
                   ModelTime t0, ModelTime t1, double modulationBound);

// An exponential waiting time [s] at rate `bound` [1/s], from one draw of
// stream ("spontaneous", drawIndex).
double waitingTime(double bound, Runtime::RandomContext& context, std::uint64_t drawIndex);

// Replaces the neuron's candidate: cancels a pending one, then draws the next
// candidate after t (or after the refractory window) and schedules it when it
// falls before `horizon`.
CandidatePlan scheduleCandidate(NeuronState& state, const NeuronParameters& params,
                                const FiringParameters& firing, std::uint64_t index, ModelTime t,
                                ModelTime horizon, double modulationBound, EventQueue& queue,
                                Runtime::RandomContext& context);

// Decides a popped candidate: accepts it with probability hazard / bound,
// fires when accepted, and plans the next candidate from the candidate's time.
// Throws NeuronRoutingViolation for an event that is not this neuron's pending
// candidate and HazardBoundViolation when the hazard exceeds the bound.
CandidateOutcome acceptCandidate(NeuronState& state, const NeuronParameters& params,
                                 const FiringParameters& firing, std::uint64_t index, const Event& event,
                                 ModelTime horizon, double modulationBound, EventQueue& queue,
                                 Runtime::RandomContext& context, const ModulationFunction& modulation);

// The steps of scheduleCandidate and acceptCandidate, for the templates below.
namespace detail {

// Where a candidate drawn at t starts: after the refractory window when it
// is absolute, since there is no hazard inside it.
inline ModelTime candidateStart(const NeuronState& state, const NeuronParameters& params, ModelTime t) {
    return params.absoluteRefractory && state.refractoryEnd > t ? state.refractoryEnd : t;
}
// Works out the adaptation's decay factor from `from` to `horizon` ahead of
// the bound that will need it (the bound of a candidate drawn at `from`).
// Changes no result; only when the work is done.
void prepareHorizonDecay(const NeuronParameters& params, ModelTime from, ModelTime horizon);
// Cancels the pending candidate.
void cancelCandidate(NeuronState& state, EventQueue& queue);
// hazardBound over [start, horizon] for firing parameters found valid.
double candidateBound(const NeuronState& state, const NeuronParameters& params, const CheckedFiring& firing,
                      ModelTime start, ModelTime horizon, double modulationBound);
// candidateBound for many neurons over one window: each request's bound is
// what candidateBound(*state, params, firing, start, horizon,
// modulationBound) gives, bit for bit, and a request it would throw for
// throws the same. The exponentials of neurons whose drive is zero or
// frozen (the common case) are taken together, several per instruction
// where the processor allows.
struct BoundRequest {
    const NeuronState* state = nullptr;
    ModelTime start = 0;
    double modulationBound = 0;
    double bound = 0;  // the answer
};
void candidateBounds(std::span<BoundRequest> requests, const NeuronParameters& params,
                     const CheckedFiring& firing, ModelTime horizon);
// Schedules the candidate that the uniform u gives at rate `bound` (> 0),
// when it falls before the horizon.
CandidatePlan placeCandidate(NeuronState& state, std::uint64_t index, ModelTime start, ModelTime horizon,
                             double bound, double u, EventQueue& queue);
// The two halves of placeCandidate, for drivers that work out many
// candidates before scheduling any. candidateLanding is the time the
// candidate lands at, or kNoLanding when its wait is infinite or too long
// for the time grid; it throws TimeOverflow as placeCandidate does.
inline constexpr ModelTime kNoLanding = std::numeric_limits<ModelTime>::max();
ModelTime candidateLanding(ModelTime start, double bound, double u);
// candidateLanding for many candidates: each request's landing is what
// candidateLanding(start, bound, u) gives, bit for bit, and a request it
// would throw for throws the same (after the requests before it are
// answered). The logarithms are taken together, several per instruction
// where the processor allows.
struct LandingRequest {
    ModelTime start = 0;
    double bound = 0;       // [1/s], > 0
    double u = 0;           // the candidate's uniform
    ModelTime landing = 0;  // the answer
};
void candidateLandings(std::span<LandingRequest> requests);
// Schedules the candidate landing at `time` (before the horizon) and makes
// it the neuron's pending candidate with bound `bound`.
CandidatePlan scheduleCandidateAt(NeuronState& state, std::uint64_t index, ModelTime time, double bound,
                                  EventQueue& queue);

// Throws NeuronRoutingViolation unless `event` is the neuron's pending
// candidate, then clears the pending candidate.
void claimCandidate(NeuronState& state, std::uint64_t index, const Event& event);
struct Weighed {
    double hazard;      // [1/s] at the candidate
    double bound;       // [1/s] the candidate was drawn at
    double acceptance;  // hazard / bound
};
// The hazard at a claimed candidate under modulation m, checked against the
// candidate's bound; the neuron is advanced to the candidate.
Weighed weighCandidate(NeuronState& state, const NeuronParameters& params, CheckedFiring& firing,
                       const Event& event, double m);

}  // namespace detail

// scheduleCandidate for drivers: the modulation bound is a callable asked
// only when a bound is computed, `draw` returns the neuron's next uniform
// (from its "spontaneous" stream) and is called only for a draw.
template <class ModulationBound, class Draw>
CandidatePlan scheduleCandidateWith(NeuronState& state, const NeuronParameters& params, CheckedFiring& firing,
                                    std::uint64_t index, ModelTime t, ModelTime horizon,
                                    ModulationBound&& modulationBound, EventQueue& queue, Draw&& draw) {
    if (state.pendingCandidate != kNoEvent) detail::cancelCandidate(state, queue);
    state.candidateBound = 0;
    if (firing.parameters().disabled) return {kNoEvent, CandidateStatus::FiringDisabled, t, 0};
    const ModelTime start = detail::candidateStart(state, params, t);
    if (start >= horizon) return {kNoEvent, CandidateStatus::NoneBeforeHorizon, horizon, 0};
    firing.ensureValid();
    const double bound = detail::candidateBound(state, params, firing, start, horizon, modulationBound());
    if (bound == 0) return {kNoEvent, CandidateStatus::ZeroBound, horizon, 0};
    state.candidateBound = bound;
    return detail::placeCandidate(state, index, start, horizon, bound, draw(), queue);
}

// acceptCandidate for drivers: `modulation` maps the candidate time to the
// modulation, the modulation bound and the draws are as for
// scheduleCandidateWith.
template <class Modulation, class ModulationBound, class Draw>
CandidateOutcome acceptCandidateWith(NeuronState& state, const NeuronParameters& params,
                                     CheckedFiring& firing, std::uint64_t index, const Event& event,
                                     ModelTime horizon, Modulation&& modulation,
                                     ModulationBound&& modulationBound, EventQueue& queue, Draw&& draw) {
    detail::claimCandidate(state, index, event);
    detail::prepareHorizonDecay(params, event.time, horizon);
    const double m = modulation(event.time);
    const detail::Weighed weighed = detail::weighCandidate(state, params, firing, event, m);
    const bool fired = weighed.acceptance > draw();
    if (fired) fireNeuron(state, params, event.time, index, queue);
    const CandidatePlan next = scheduleCandidateWith(state, params, firing, index, event.time, horizon,
                                                     modulationBound, queue, draw);
    return {fired, weighed.hazard, weighed.bound, next};
}

}  // namespace Core::Kvrn
