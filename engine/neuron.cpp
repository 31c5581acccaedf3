#include "engine/neuron.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/errors.hpp"
#include "engine/portable_math.hpp"

namespace Core::Kvrn {
namespace {

constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kLargestFinite = std::numeric_limits<double>::max();
// Relative slack for the bound check: the hazard and its bound are computed
// along different roundings, so equality may be missed by an ulp or two.
constexpr double kBoundTolerance = 1.000000000001;
// Waiting times at or beyond this many nanoseconds cannot land on the grid.
constexpr double kLongestWait = 9e18;

[[noreturn]] void movedIntoThePast() { throw NeuronCausalityViolation("KVRN neuron advanced into the past"); }

// Comparisons alone (a NaN fails both), which is all the check costs.
bool finiteAtLeastZero(double x) { return x >= 0 && x <= kLargestFinite; }
bool finite(double x) { return std::fabs(x) <= kLargestFinite; }

struct Decayed {
    double drive;
    double adaptation;
};

// x == 0 (either sign) by its bits, which is cheaper than a floating-point
// comparison; NaN is not zero either way.
[[gnu::always_inline]] inline bool isZero(double x) { return (std::bit_cast<std::uint64_t>(x) << 1) == 0; }

// e^x with the last argument and its value kept: decays over one
// refractory window have the same length spike after spike, so the decay to
// a refractory window's end repeats its argument. The value depends on the
// argument's bits alone, so keeping it changes no result.
struct RememberedExp {
    std::uint64_t argument = std::bit_cast<std::uint64_t>(0.0);
    double value = 1.0;  // e^0
    double operator()(double x) {
        if (std::bit_cast<std::uint64_t>(x) != argument) {
            value = portableExp(x);
            argument = std::bit_cast<std::uint64_t>(x);
        }
        return value;
    }
};
// One for each decaying quantity, per thread.
struct RememberedDecays {
    RememberedExp drive;
    RememberedExp adaptation;
};
// For the decays to where a neuron's hazard may start again: the bound
// computed at a spike and the refractory end (or any advance) after it.
thread_local RememberedDecays refractoryDecays;
// For the decay from a candidate to its window's horizon, which the bound of
// the neuron's next candidate needs: worked out ahead, before the candidate
// is weighed, so that it overlaps with the weighing instead of following
// the unpredictable accept-or-reject branch.
thread_local RememberedDecays horizonDecays;

struct PlainExp {
    double operator()(double x) const { return portableExp(x); }
};
struct PlainDecays {
    PlainExp drive;
    PlainExp adaptation;
};

// decayValue, inline where the neuron code needs it; `exp` is portableExp,
// a remembering form of it, or a factor taken beforehand.
template <class Exp>
[[gnu::always_inline]] inline double decayed(double x, double dt, ModelTime tau, double epsilon, Exp&& exp) {
    if (isZero(x) || isZero(dt)) return x;
    const double y = exp(-dt / static_cast<double>(tau)) * x;
    return std::fabs(y) < epsilon ? 0.0 : y;
}

// Drive and adaptation decayed from the last update to t, without storing
// them, through `exps` (PlainDecays or RememberedDecays).
template <class Decays = PlainDecays>
[[gnu::always_inline]] inline Decayed decayedTo(const NeuronState& state, const NeuronParameters& params,
                                                ModelTime t, Decays&& exps = Decays{}) {
    const double dt = static_cast<double>(t) - static_cast<double>(state.lastUpdate);
    const double drive = params.frozenDrive ? state.drive
                                            : decayed(state.drive, dt, params.driveTimeConstant,
                                                      params.flushEpsilon, exps.drive);
    const double adaptation =
        decayed(state.adaptation, dt, params.adaptationTimeConstant, params.flushEpsilon, exps.adaptation);
    return {drive, adaptation};
}

// The hazard's exponent before the threshold: drive net of adaptation.
// Adding +0.0 turns a -0 into +0.
double netOf(const Decayed& v, double coupling) { return (v.drive - coupling * v.adaptation) + 0.0; }

[[gnu::always_inline]] inline double netDrive(const NeuronState& state, const NeuronParameters& params,
                                              double coupling, ModelTime t) {
    return netOf(decayedTo(state, params, t), coupling);
}

// log(maximum hazard / rate), the cap of the hazard's exponent. Every
// candidate needs it and the firing parameters rarely change, so the last
// quotient and its logarithm are kept (per thread; the value depends on the
// quotient's bits alone).
double exponentCap(double maxHazard, double rate) {
    thread_local std::uint64_t lastQuotient = std::bit_cast<std::uint64_t>(1.0);
    thread_local double lastCap = 0.0;  // log(1)
    const double quotient = maxHazard / rate;
    if (std::bit_cast<std::uint64_t>(quotient) != lastQuotient) {
        lastCap = portableLog(quotient);
        lastQuotient = std::bit_cast<std::uint64_t>(quotient);
    }
    return lastCap;
}

// One uniform from the neuron's stream.
double spontaneousDraw(Runtime::RandomContext& context, std::uint64_t drawIndex) {
    return Runtime::uniformFor(context, "spontaneous", drawIndex);
}

// uniform() can return exactly 0; the logarithm needs a positive argument.
double drawnOrSmallest(double u) { return u == 0 ? kSmallestNormal : u; }

double waitingTimeFor(double bound, double u) { return -portableLog(drawnOrSmallest(u)) / bound; }

// std::round(x) as an integer, halves away from zero, for 0 <= x < 2^63:
// below 2^53 the fraction x - trunc(x) is exact, above it x is whole.
ModelTime nearestWhole(double x) {
    if (!(x >= 0)) return static_cast<ModelTime>(std::round(x));
    const auto whole = static_cast<ModelTime>(x);
    return x - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}

// The grid time a candidate drawn at `start` lands at after waiting `wait`
// nanoseconds, or kNoLanding when the wait is infinite or too long for the
// grid. Throws TimeOverflow past the end of model time.
ModelTime landingAfter(ModelTime start, double wait) {
    if (!(std::isfinite(wait) && wait < kLongestWait)) return detail::kNoLanding;
    // At least one nanosecond, so a candidate never lands on the time it was drawn at.
    const ModelTime steps = std::max<ModelTime>(nearestWhole(wait), 1);
    return addTime(start, steps);
}

ModelTime hazardStart(const NeuronState& state, const NeuronParameters& params, ModelTime t) {
    return params.absoluteRefractory ? std::max(t, state.refractoryEnd) : t;
}

CandidatePlan noCandidate(CandidateStatus status, ModelTime time, double bound) {
    return {kNoEvent, status, time, bound};
}

}  // namespace

void validateFiringParameters(const FiringParameters& f) {
    const bool valid = finiteAtLeastZero(f.baselineRate) && finiteAtLeastZero(f.beta) &&
                       finite(f.threshold) && finiteAtLeastZero(f.adaptationCoupling) &&
                       finiteAtLeastZero(f.gain) && finite(f.maxHazard) && f.maxHazard > 0;
    if (!valid) throw InvalidFiringParameters("invalid KVRN firing parameters");
    if (f.maxHazard > kMaxHazardLimit)
        throw InvalidFiringParameters(
            "KVRN maximum hazard exceeds what the nanosecond time grid can sample without biasing the rate");
    if (f.baselineRate * f.gain > f.maxHazard)
        throw InvalidFiringParameters("KVRN baseline exceeds maximum hazard");
}

double decayValue(double x, double dt, ModelTime tau, double epsilon) {
    return decayed(x, dt, tau, epsilon, PlainExp());
}

namespace {

// advanceNeuron with the values at t already computed by decayedTo.
void advanceWith(NeuronState& state, const NeuronParameters& params, ModelTime t, const Decayed& v) {
    if (params.driveTimeConstant <= 0 || params.adaptationTimeConstant <= 0)
        throw InvalidNeuronParameters("KVRN neuron time constants must be positive");
    if (t < state.lastUpdate) movedIntoThePast();
    state.drive = v.drive;
    state.adaptation = v.adaptation;
    state.lastUpdate = t;
}

// hazardAt after its checks, from the values decayed to t; `cap` is
// log(maximum hazard / rate).
double hazardFrom(const Decayed& v, const NeuronState& state, const NeuronParameters& params,
                  const FiringParameters& firing, ModelTime t, double m, double cap) {
    if (params.absoluteRefractory && t < state.refractoryEnd) return 0.0;
    if (isZero(firing.baselineRate) || isZero(firing.gain)) return 0.0;
    const double rate = firing.gain * firing.baselineRate;
    const double x =
        (((v.drive - firing.adaptationCoupling * v.adaptation) + m) - firing.threshold) * firing.beta;
    // Capping the exponent at log(max / rate) caps the hazard at the maximum.
    return portableExp(std::min(x, cap)) * rate;
}

double capOf(const FiringParameters& firing) {
    return exponentCap(firing.maxHazard, firing.gain * firing.baselineRate);
}

void checkHazardArguments(const NeuronState& state, const FiringParameters& firing, ModelTime t, double m) {
    validateFiringParameters(firing);
    if (!std::isfinite(m)) throw InvalidFiringParameters("non-finite KVRN hazard modulation");
    if (t < state.lastUpdate) movedIntoThePast();
}

}  // namespace

void advanceNeuron(NeuronState& state, const NeuronParameters& params, ModelTime t) {
    // decayedTo has no effects, so the checks may come after it.
    advanceWith(state, params, t, decayedTo(state, params, t, refractoryDecays));
}

void onNeuronEvent(NeuronState& state, const NeuronParameters& params, const Event& event) {
    advanceNeuron(state, params, event.time);
    switch (event.kind) {
        case EventKind::Input:
        case EventKind::Input3:
        case EventKind::Input4:
            state.drive += event.value;
            break;
        case EventKind::RefractoryEnd:
            state.pendingRefractoryEvent = kNoEvent;
            break;
        case EventKind::SpikeCandidate:
        case EventKind::Inert:
            break;
    }
}

void fireNeuron(NeuronState& state, const NeuronParameters& params, ModelTime t, std::uint64_t index,
                EventQueue& queue) {
    if (params.absoluteRefractory && t < state.refractoryEnd)
        throw NeuronRefractoryViolation("KVRN neuron fired inside its absolute refractory window");
    advanceNeuron(state, params, t);
    state.drive = params.resetDrive;
    state.adaptation += params.adaptationIncrement;
    state.refractoryEnd = addTime(t, params.refractoryDuration);
    if (state.pendingRefractoryEvent != kNoEvent) {
        queue.cancel(state.pendingRefractoryEvent);
        state.pendingRefractoryEvent = kNoEvent;
    }
    state.pendingRefractoryEvent =
        queue.schedule(state.refractoryEnd, EventKind::RefractoryEnd, index, index, 0.0);
}

double hazardAt(const NeuronState& state, const NeuronParameters& params, const FiringParameters& firing,
                ModelTime t, double m) {
    checkHazardArguments(state, firing, t, m);
    return hazardFrom(decayedTo(state, params, t), state, params, firing, t, m, capOf(firing));
}

namespace {

// hazardBound once the firing parameters are known to be valid.
double boundOfValid(const NeuronState& state, const NeuronParameters& params, const FiringParameters& firing,
                    double cap, ModelTime t0, ModelTime t1, double modulationBound) {
    if (t1 < t0) throw NeuronCausalityViolation("KVRN hazard interval runs backwards");
    if (!std::isfinite(modulationBound)) throw InvalidFiringParameters("non-finite KVRN modulation bound");
    const ModelTime s = hazardStart(state, params, t0);
    if (s > t1) return 0.0;

    // D(u) = d(u) - k a(u) is a difference of two decaying exponentials, so on
    // [s, t1] its maximum is at an end or at the one point where D' = 0.
    const double k = firing.adaptationCoupling;
    const Decayed atStart = decayedTo(state, params, s, refractoryDecays);
    const double atEnd = netOf(decayedTo(state, params, t1, horizonDecays), k);
    double highest = std::max(netOf(atStart, k), atEnd);
    const double couplingAtStart = k * atStart.adaptation;
    if (!params.frozenDrive && !isZero(atStart.drive) && !isZero(couplingAtStart)) {
        const double alpha = 1.0 / static_cast<double>(params.driveTimeConstant);       // [1/ns]
        const double gamma = 1.0 / static_cast<double>(params.adaptationTimeConstant);  // [1/ns]
        if (alpha != gamma) {
            const double ratio = (atStart.drive * alpha) / (couplingAtStart * gamma);
            if (ratio > 0) {
                const double offset = portableLog(ratio) / (alpha - gamma);  // [ns] after s
                if (std::isfinite(offset) && offset > 0) {
                    const double extremum = static_cast<double>(s) + offset;
                    if (static_cast<double>(s) < extremum && extremum < static_cast<double>(t1)) {
                        // The extremum lies between two grid points; check both.
                        // At s or t1 the value is known already.
                        const auto before = static_cast<ModelTime>(extremum);
                        if (before != s) highest = std::max(highest, netDrive(state, params, k, before));
                        if (before < t1 && before + 1 != t1)
                            highest = std::max(highest, netDrive(state, params, k, before + 1));
                    }
                }
            }
        }
    }

    // Each decayed value may have been flushed by up to epsilon; allow for it.
    const double x = ((2 * (k + 1)) * params.flushEpsilon + highest + modulationBound) - firing.threshold;
    if (isZero(firing.baselineRate) || isZero(firing.gain)) return 0.0;
    const double rate = firing.baselineRate * firing.gain;
    return portableExp(std::min(x * firing.beta, cap)) * rate;
}

}  // namespace

double hazardBound(const NeuronState& state, const NeuronParameters& params, const FiringParameters& firing,
                   ModelTime t0, ModelTime t1, double modulationBound) {
    validateFiringParameters(firing);
    return boundOfValid(state, params, firing, capOf(firing), t0, t1, modulationBound);
}

double waitingTime(double bound, Runtime::RandomContext& context, std::uint64_t drawIndex) {
    return waitingTimeFor(bound, spontaneousDraw(context, drawIndex));
}

double CheckedFiring::exponentCapOf(const FiringParameters& firing) { return capOf(firing); }

namespace detail {

void prepareHorizonDecay(const NeuronParameters& params, ModelTime from, ModelTime horizon) {
    const double dt = static_cast<double>(horizon) - static_cast<double>(from);
    if (!isZero(dt)) horizonDecays.adaptation(-dt / static_cast<double>(params.adaptationTimeConstant));
}

void cancelCandidate(NeuronState& state, EventQueue& queue) {
    queue.cancel(state.pendingCandidate);
    state.pendingCandidate = kNoEvent;
}

double candidateBound(const NeuronState& state, const NeuronParameters& params, const CheckedFiring& firing,
                      ModelTime start, ModelTime horizon, double modulationBound) {
    return boundOfValid(state, params, firing.parameters(), firing.exponentCap(), start, horizon,
                        modulationBound);
}

void candidateBounds(std::span<BoundRequest> requests, const NeuronParameters& params,
                     const CheckedFiring& firing, ModelTime horizon) {
    const FiringParameters& f = firing.parameters();
    const auto oneByOne = [&](BoundRequest& request) {
        request.bound = boundOfValid(*request.state, params, f, firing.exponentCap(), request.start, horizon,
                                     request.modulationBound);
    };
    if (isZero(f.baselineRate) || isZero(f.gain)) {
        for (BoundRequest& request : requests) oneByOne(request);
        return;
    }
    // boundOfValid, for neurons whose drive is zero or frozen: the drive is
    // then the same at both ends and its decay needs no exponential; the
    // adaptation's decay to the start and to the horizon does, and the
    // hazard's bound one more. The three are taken in two batches, a group
    // of requests at a time.
    constexpr std::size_t kGroup = 64;
    const double k = f.adaptationCoupling;
    const double tau = static_cast<double>(params.adaptationTimeConstant);
    const double epsilon = params.flushEpsilon;
    const double slack = (2 * (k + 1)) * epsilon;
    const double rate = f.baselineRate * f.gain;
    // decayed() of the adaptation with its factor taken in the batch.
    const auto decayedAdaptation = [&](double a, double dt, double factor) {
        return decayed(a, dt, params.adaptationTimeConstant, epsilon, [factor](double) { return factor; });
    };
    std::array<double, 2 * kGroup> decay;
    std::array<double, kGroup> hazard;
    std::array<std::size_t, kGroup> lane;
    std::array<ModelTime, kGroup> starts;
    for (std::size_t first = 0; first < requests.size(); first += kGroup) {
        const std::size_t end = std::min(requests.size(), first + kGroup);
        std::size_t count = 0;
        for (std::size_t i = first; i < end; ++i) {
            BoundRequest& request = requests[i];
            const NeuronState& state = *request.state;
            // A drive that decays may give the difference of the two decays
            // a maximum inside the window, and a request out of order throws:
            // both are left to the one-by-one code.
            const ModelTime start = hazardStart(state, params, request.start);
            if ((!params.frozenDrive && !isZero(state.drive)) || horizon < request.start ||
                !std::isfinite(request.modulationBound) || start > horizon) {
                oneByOne(request);
                continue;
            }
            const double last = static_cast<double>(state.lastUpdate);
            decay[2 * count] = -(static_cast<double>(start) - last) / tau;
            decay[2 * count + 1] = -(static_cast<double>(horizon) - last) / tau;
            starts[count] = start;
            lane[count++] = i;
        }
        portableExpEach(std::span<const double>(decay.data(), 2 * count), decay);
        for (std::size_t j = 0; j < count; ++j) {
            const BoundRequest& request = requests[lane[j]];
            const NeuronState& state = *request.state;
            const double last = static_cast<double>(state.lastUpdate);
            const double atStart =
                decayedAdaptation(state.adaptation, static_cast<double>(starts[j]) - last, decay[2 * j]);
            const double atEnd =
                decayedAdaptation(state.adaptation, static_cast<double>(horizon) - last, decay[2 * j + 1]);
            const double highest = std::max(netOf({state.drive, atStart}, k), netOf({state.drive, atEnd}, k));
            const double x = (slack + highest + request.modulationBound) - f.threshold;
            hazard[j] = std::min(x * f.beta, firing.exponentCap());
        }
        portableExpEach(std::span<const double>(hazard.data(), count), hazard);
        for (std::size_t j = 0; j < count; ++j) requests[lane[j]].bound = hazard[j] * rate;
    }
}

ModelTime candidateLanding(ModelTime start, double bound, double u) {
    return landingAfter(start, waitingTimeFor(bound, u) * 1e9);
}

void candidateLandings(std::span<LandingRequest> requests) {
    constexpr std::size_t kGroup = 64;
    std::array<double, kGroup> logs;
    for (std::size_t first = 0; first < requests.size(); first += kGroup) {
        const std::size_t count = std::min(requests.size() - first, kGroup);
        for (std::size_t j = 0; j < count; ++j) logs[j] = drawnOrSmallest(requests[first + j].u);
        portableLogEach(std::span<const double>(logs.data(), count), logs);
        for (std::size_t j = 0; j < count; ++j) {
            LandingRequest& request = requests[first + j];
            request.landing = landingAfter(request.start, (-logs[j] / request.bound) * 1e9);
        }
    }
}

CandidatePlan scheduleCandidateAt(NeuronState& state, std::uint64_t index, ModelTime time, double bound,
                                  EventQueue& queue) {
    state.candidateBound = bound;
    state.pendingCandidate = queue.schedule(time, EventKind::SpikeCandidate, index, index, bound);
    return {state.pendingCandidate, CandidateStatus::Scheduled, time, bound};
}

CandidatePlan placeCandidate(NeuronState& state, std::uint64_t index, ModelTime start, ModelTime horizon,
                             double bound, double u, EventQueue& queue) {
    // A landing of kNoLanding is never before the horizon.
    const ModelTime landing = candidateLanding(start, bound, u);
    if (landing < horizon) return scheduleCandidateAt(state, index, landing, bound, queue);
    state.candidateBound = 0;
    return noCandidate(CandidateStatus::NoneBeforeHorizon, horizon, bound);
}

void claimCandidate(NeuronState& state, std::uint64_t index, const Event& event) {
    if (event.kind != EventKind::SpikeCandidate || event.target != index ||
        event.sequence != state.pendingCandidate)
        throw NeuronRoutingViolation("stale or misrouted KVRN spike candidate");
    state.pendingCandidate = kNoEvent;
}

Weighed weighCandidate(NeuronState& state, const NeuronParameters& params, CheckedFiring& firing,
                       const Event& event, double m) {
    // hazardAt and advanceNeuron, decaying the state to the candidate once.
    firing.ensureValid();
    if (!std::isfinite(m)) throw InvalidFiringParameters("non-finite KVRN hazard modulation");
    if (event.time < state.lastUpdate) movedIntoThePast();
    const Decayed atCandidate = decayedTo(state, params, event.time);
    const double hazard =
        hazardFrom(atCandidate, state, params, firing.parameters(), event.time, m, firing.exponentCap());
    const double bound = event.value;
    if (hazard > bound * kBoundTolerance)
        throw HazardBoundViolation("KVRN hazard upper bound underestimated lambda");
    advanceWith(state, params, event.time, atCandidate);
    return {hazard, bound, bound == 0 ? 0.0 : hazard / bound};
}

}  // namespace detail

CandidatePlan scheduleCandidate(NeuronState& state, const NeuronParameters& params,
                                const FiringParameters& firing, std::uint64_t index, ModelTime t,
                                ModelTime horizon, double modulationBound, EventQueue& queue,
                                Runtime::RandomContext& context) {
    CheckedFiring checked(firing);
    return scheduleCandidateWith(
        state, params, checked, index, t, horizon, [modulationBound] { return modulationBound; }, queue,
        [&] { return spontaneousDraw(context, state.drawIndex); });
}

CandidateOutcome acceptCandidate(NeuronState& state, const NeuronParameters& params,
                                 const FiringParameters& firing, std::uint64_t index, const Event& event,
                                 ModelTime horizon, double modulationBound, EventQueue& queue,
                                 Runtime::RandomContext& context, const ModulationFunction& modulation) {
    CheckedFiring checked(firing);
    // The acceptance draw and the next candidate's draw come from one stream,
    // looked up at the first draw.
    std::optional<Runtime::RandomStream> stream;
    return acceptCandidateWith(
        state, params, checked, index, event, horizon,
        [&](ModelTime t) { return modulation ? modulation(t) : 0.0; },
        [modulationBound] { return modulationBound; }, queue,
        [&] {
            if (!stream) stream = context.stream("spontaneous", state.drawIndex);
            return Runtime::uniform(*stream);
        });
}

}  // namespace Core::Kvrn
