#include "engine/neuron.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"
#include "engine/portable_math.hpp"
#include "population.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

using namespace Core::Kvrn;
using Core::Runtime::RandomContext;

namespace {

NeuronParameters neuronParams() { return {15'000'000, 150'000'000, 3'000'000, 0.1, 0.0, 1e-15, true, false}; }
FiringParameters firingParams() { return {60.0, 2.0, 0.0, 1.0, 1.0, 1'000'000, false}; }

// A context whose ("spontaneous", 0) stream replays `values`.
RandomContext replaying(std::vector<std::uint64_t> values) {
    Core::ByteWriter out;
    out.raw(std::string_view("RNDCTX1\0", 8));
    out.u64(0);
    out.u32(1);
    out.u32(11);
    out.raw("spontaneous");
    out.u64(0);
    out.u64(0);
    out.u8(2);
    out.u64(0);
    out.u64(values.size());
    for (std::uint64_t v : values) out.u64(v);
    RandomContext context(0);
    EXPECT_TRUE(context.restore(out.bytes()));
    return context;
}

// Firing parameters with a random slope, threshold, adaptation coupling and gain.
FiringParameters randomFiring(std::mt19937_64& random) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    FiringParameters f = firingParams();
    f.beta = unit(random) * 5;
    f.threshold = unit(random) * 4 - 2;
    f.adaptationCoupling = unit(random) * 3;
    f.gain = unit(random) * 3;
    return f;
}

constexpr std::uint64_t kUniformNearOne = ~0ULL;  // uniform 1 - 2^-53: a waiting time of ~1e-16 / rate
constexpr std::uint64_t kUniformZero = 0;         // uniform 0: the longest possible waiting time

}  // namespace

TEST(Neuron, FiringParametersAreCheckedInOrder) {
    const NeuronState state;
    const NeuronParameters params = neuronParams();
    auto hazard = [&](FiringParameters f) { return hazardAt(state, params, f, 0, 0.0); };
    EXPECT_EQ(hazard({500, 2, 0, 1, 2, 1000, false}), 1000.0);  // r0 g exactly the maximum
    EXPECT_NO_THROW(hazard({60, 2, 0, 1, 1, 1'000'000, false}));
    EXPECT_THROW_MSG(
        hazard({60, 2, 0, 1, 1, 1'000'000.5, false}), InvalidFiringParameters,
        "KVRN maximum hazard exceeds what the nanosecond time grid can sample without biasing the rate");
    EXPECT_THROW_MSG(hazard({500, 2, 0, 1, 2, 999, false}), InvalidFiringParameters,
                     "KVRN baseline exceeds maximum hazard");
    const FiringParameters broken[] = {
        {60, 2, 0, 1, 1, 0, false},           // zero maximum
        {60, 2, 0, 1, 1, NAN, false},         // NaN maximum
        {60, -1, 0, 1, 1, 100, false},        // negative beta
        {60, 2, INFINITY, 1, 1, 100, false},  // infinite threshold
        {60, 2, 0, -0.5, 1, 100, false},      // negative coupling
        {NAN, 2, 0, 1, 1, 100, false},        // NaN baseline
        {60, 2, 0, 1, -1, 2e6, false},        // negative gain: reported before the maximum's limit
    };
    for (const FiringParameters& f : broken) {
        EXPECT_THROW_MSG(hazard(f), InvalidFiringParameters, "invalid KVRN firing parameters");
        EXPECT_THROW_MSG(hazardBound(state, params, f, 0, 1, 0.0), InvalidFiringParameters,
                         "invalid KVRN firing parameters");
    }
    EXPECT_THROW_MSG(hazardAt(state, params, firingParams(), 0, NAN), InvalidFiringParameters,
                     "non-finite KVRN hazard modulation");
    EXPECT_THROW_MSG(hazardBound(state, params, firingParams(), 0, 1, INFINITY), InvalidFiringParameters,
                     "non-finite KVRN modulation bound");
    EXPECT_THROW_MSG(hazardBound(state, params, firingParams(), 2, 1, 0.0), NeuronCausalityViolation,
                     "KVRN hazard interval runs backwards");
}

TEST(Neuron, AdvanceDecaysDriveAndAdaptationLazily) {
    NeuronState state;
    state.drive = 1.0;
    state.adaptation = 0.5;
    NeuronParameters params = neuronParams();
    advanceNeuron(state, params, 15'000'000);
    EXPECT_EQ(state.drive, portableExp(-1.0) * 1.0);
    EXPECT_EQ(state.adaptation, portableExp(-0.1) * 0.5);
    EXPECT_THROW_MSG(advanceNeuron(state, params, 14'999'999), NeuronCausalityViolation,
                     "KVRN neuron advanced into the past");
    EXPECT_THROW_MSG(hazardAt(state, params, firingParams(), 0, 0.0), NeuronCausalityViolation,
                     "KVRN neuron advanced into the past");

    EXPECT_EQ(decayValue(2.5, 0.0, 10, 100.0), 2.5);  // dt = 0: unchanged even below epsilon
    EXPECT_EQ(decayValue(-1e-3, 100.0, 10, 1e-6), 0.0);

    params.frozenDrive = true;
    const double drive = state.drive;
    advanceNeuron(state, params, 30'000'000);
    EXPECT_EQ(state.drive, drive);
    EXPECT_LT(state.adaptation, portableExp(-0.1) * 0.5);

    params.adaptationTimeConstant = 0;
    EXPECT_THROW_MSG(advanceNeuron(state, params, 40'000'000), InvalidNeuronParameters,
                     "KVRN neuron time constants must be positive");
    EXPECT_EQ(state.lastUpdate, 30'000'000);
}

// The exponential itself is pinned by the reference spike trains (which run
// at threshold 0); here its anchor, the threshold, the cap, a zero gain and
// the refractory window.
TEST(Neuron, HazardAnchorThresholdCapAndSilence) {
    NeuronState state;
    const NeuronParameters params = neuronParams();
    FiringParameters f = firingParams();
    EXPECT_EQ(hazardAt(state, params, f, 0, 0.0), 60.0);  // net drive 0: the baseline times the gain
    f.threshold = 0.5;                                    // acts as a negative modulation
    EXPECT_DOUBLE_EQ(hazardAt(state, params, f, 0, 0.75), hazardAt(state, params, firingParams(), 0, 0.25));
    state.drive = 0.3;
    f.maxHazard = 100;
    EXPECT_NEAR(hazardAt(state, params, f, 1'000'000, 50.0), 100.0, 1e-12);
    EXPECT_EQ(state.drive, 0.3);  // evaluating the hazard changes no state
    f.gain = 0;
    EXPECT_EQ(hazardAt(state, params, f, 0, 50.0), 0.0);
    state.refractoryEnd = 10;
    EXPECT_EQ(hazardAt(state, params, firingParams(), 9, 50.0), 0.0);
    EXPECT_GT(hazardAt(state, params, firingParams(), 10, 0.0), 0.0);
}

TEST(Neuron, FiringResetsAndKeepsOneRefractoryEndPending) {
    EventQueue queue;
    NeuronState state = initialNeuronState(4);
    state.drive = 2.0;
    NeuronParameters params = neuronParams();
    fireNeuron(state, params, 1000, 4, queue);
    EXPECT_EQ(state.drive, 0.0);
    EXPECT_EQ(state.adaptation, 0.1);
    EXPECT_EQ(state.refractoryEnd, 3'001'000);
    ASSERT_EQ(queue.size(), 1u);
    const Event end = queue.pendingEvents()[0];
    EXPECT_EQ(end.kind, EventKind::RefractoryEnd);
    EXPECT_EQ(std::tie(end.time, end.source, end.target, end.sequence),
              std::tie(state.refractoryEnd, end.target, state.drawIndex, state.pendingRefractoryEvent));

    EXPECT_THROW_MSG(fireNeuron(state, params, 3'000'999, 4, queue), NeuronRefractoryViolation,
                     "KVRN neuron fired inside its absolute refractory window");
    params.absoluteRefractory = false;
    fireNeuron(state, params, 2'000'000, 4, queue);  // inside the window is allowed now
    EXPECT_EQ(queue.size(), 1u);                     // the older RefractoryEnd was cancelled
    EXPECT_EQ(queue.pendingEvents()[0].time, 5'000'000);

    onNeuronEvent(state, params, queue.popNext());
    EXPECT_EQ(state.pendingRefractoryEvent, kNoEvent);
    Event input;
    input.time = 6'000'000;
    input.kind = EventKind::Input4;
    input.value = 0.75;
    onNeuronEvent(state, params, input);
    EXPECT_EQ(state.drive, 0.75);
    EXPECT_EQ(state.lastUpdate, 6'000'000);

    params.refractoryDuration = std::numeric_limits<ModelTime>::max();
    EXPECT_THROW_MSG(fireNeuron(state, params, 7'000'000, 4, queue), TimeOverflow,
                     "KVRN model time overflow");
    EXPECT_EQ(state.drive, 0.0);  // advanced and reset before the overflow
    EXPECT_EQ(state.lastUpdate, 7'000'000);
}

TEST(Neuron, ScheduleCandidateReportsWhyNothingWasScheduled) {
    EventQueue queue;
    RandomContext context(1);
    NeuronState state = initialNeuronState(0);
    const NeuronParameters params = neuronParams();
    FiringParameters f = firingParams();

    f.disabled = true;
    CandidatePlan plan = scheduleCandidate(state, params, f, 0, 100, 1000, 0.0, queue, context);
    EXPECT_EQ(std::tuple(plan.sequence, plan.status, plan.time, plan.bound),
              std::tuple(kNoEvent, CandidateStatus::FiringDisabled, ModelTime{100}, 0.0));
    f.disabled = false;
    f.baselineRate = 0;
    plan = scheduleCandidate(state, params, f, 0, 100, 1000, 0.0, queue, context);
    EXPECT_EQ(std::tuple(plan.status, plan.time), std::tuple(CandidateStatus::ZeroBound, ModelTime{1000}));
    state.refractoryEnd = 1000;
    plan = scheduleCandidate(state, params, firingParams(), 0, 100, 1000, 0.0, queue, context);
    EXPECT_EQ(std::tuple(plan.status, plan.time, plan.bound),
              std::tuple(CandidateStatus::NoneBeforeHorizon, ModelTime{1000}, 0.0));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(context.streamCount(), 0u);  // nothing was drawn
}

TEST(Neuron, CandidatesLandOnTheGridAfterTheirStart) {
    EventQueue queue;
    NeuronState state = initialNeuronState(0);
    state.refractoryEnd = 500;
    const NeuronParameters params = neuronParams();
    const FiringParameters f = firingParams();

    // A waiting time far below half a nanosecond still moves the candidate one
    // nanosecond past the refractory end, where the hazard starts.
    RandomContext soon = replaying({kUniformNearOne, kUniformZero, kUniformZero});
    CandidatePlan plan = scheduleCandidate(state, params, f, 0, 100, 1'000'000, 0.0, queue, soon);
    ASSERT_EQ(plan.status, CandidateStatus::Scheduled);
    EXPECT_EQ(plan.time, 501);
    EXPECT_EQ(plan.bound, hazardBound(state, params, f, 500, 1'000'000, 0.0));
    EXPECT_EQ(state.pendingCandidate, plan.sequence);
    EXPECT_EQ(state.candidateBound, plan.bound);
    const Event candidate = queue.pendingEvents()[0];
    EXPECT_EQ(std::tuple(candidate.kind, candidate.target, candidate.source, candidate.value),
              std::tuple(EventKind::SpikeCandidate, 0u, 0u, plan.bound));

    // Redrawing cancels the pending candidate; this one falls beyond the horizon.
    plan = scheduleCandidate(state, params, f, 0, 100, 1'000'000, 0.0, queue, soon);
    EXPECT_EQ(std::tuple(plan.status, plan.time),
              std::tuple(CandidateStatus::NoneBeforeHorizon, ModelTime{1'000'000}));
    EXPECT_GT(plan.bound, 0.0);
    EXPECT_EQ(state.pendingCandidate, kNoEvent);
    EXPECT_EQ(state.candidateBound, 0.0);
    EXPECT_TRUE(queue.empty());
}

TEST(Neuron, AcceptCandidateRefusesAnythingButThePendingCandidate) {
    EventQueue queue;
    RandomContext context(8);
    NeuronState state = initialNeuronState(3);
    const NeuronParameters params = neuronParams();
    const FiringParameters f = firingParams();
    CandidatePlan first = scheduleCandidate(state, params, f, 3, 0, 1'000'000'000, 0.0, queue, context);
    ASSERT_EQ(first.status, CandidateStatus::Scheduled);
    const Event stale = queue.pendingEvents()[0];
    scheduleCandidate(state, params, f, 3, 0, 1'000'000'000, 0.0, queue, context);
    const Event current = queue.popNext();

    auto accept = [&](const Event& e, std::uint64_t index) {
        return acceptCandidate(state, params, f, index, e, 1'000'000'000, 0.0, queue, context, {});
    };
    EXPECT_THROW_MSG(accept(stale, 3), NeuronRoutingViolation, "stale or misrouted KVRN spike candidate");
    EXPECT_THROW_MSG(accept(current, 2), NeuronRoutingViolation, "stale or misrouted KVRN spike candidate");
    Event wrongKind = current;
    wrongKind.kind = EventKind::Inert;
    EXPECT_THROW_MSG(accept(wrongKind, 3), NeuronRoutingViolation, "stale or misrouted KVRN spike candidate");
    EXPECT_EQ(state.pendingCandidate, current.sequence);  // the refused calls changed nothing

    Event underestimated = current;
    underestimated.value = current.value * 1e-3;
    EXPECT_THROW_MSG(accept(underestimated, 3), HazardBoundViolation,
                     "KVRN hazard upper bound underestimated lambda");
    EXPECT_EQ(state.pendingCandidate, kNoEvent);
}

// hazardBound against hazardAt on a fine grid, over random states and
// parameters that put the extremum of drive minus adaptation inside the
// interval (drive decaying slower than adaptation) as often as not.
TEST(Neuron, HazardBoundCoversTheHazardOnEveryGridPoint) {
    std::mt19937_64 random(404);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 3000; ++trial) {
        NeuronParameters params = neuronParams();
        params.driveTimeConstant = 1'000'000 + static_cast<ModelTime>(random() % 100'000'000);
        params.adaptationTimeConstant = trial % 7 == 0
                                            ? params.driveTimeConstant
                                            : 1'000'000 + static_cast<ModelTime>(random() % 100'000'000);
        params.frozenDrive = trial % 11 == 0;
        params.absoluteRefractory = trial % 2 == 0;
        params.flushEpsilon = trial % 3 == 0 ? 1e-3 : 1e-15;
        const FiringParameters f = randomFiring(random);
        NeuronState state;
        const double sign = unit(random) < 0.8 ? 1.0 : -1.0;
        state.drive = sign * unit(random) * 3;
        state.adaptation = sign * unit(random) * 3;
        state.lastUpdate = static_cast<ModelTime>(random() % 1000);
        state.refractoryEnd = static_cast<ModelTime>(random() % 2'000'000);
        const ModelTime t0 = state.lastUpdate + static_cast<ModelTime>(random() % 1'000'000);
        const ModelTime t1 = t0 + static_cast<ModelTime>(random() % 200'000'000);
        const double mBar = unit(random) * 2 - 1;
        const double bound = hazardBound(state, params, f, t0, t1, mBar);
        for (int i = 0; i <= 200; ++i) {
            const ModelTime t = t0 + (t1 - t0) * i / 200;
            ASSERT_LE(hazardAt(state, params, f, t, mBar), bound * 1.000000000001)
                << "trial " << trial << " t " << t;
        }
    }
}

// The real check of hazardBound: full thinning runs with random parameters,
// modulations, windows and input events; a bound that is ever too low throws.
// Half the trials have no modulation at all, so the bound has no slack from
// the oscillators, and half let the drive decay slower than the adaptation, so
// drive minus adaptation peaks inside a window after each spike.
TEST(Neuron, ThinningNeverUnderestimatesTheHazard) {
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uint64_t totalSpikes = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const bool modulated = trial % 2 == 0;
        Testing::Population p;
        Testing::buildAntiphasePopulation(p, random(), 6, unit(random) * 40,
                                          modulated ? unit(random) * 3 : 0.0, 0.2 + unit(random) * 3);
        const ModelTime tauA = 1'000'000 + static_cast<ModelTime>(random() % 100'000'000);
        p.params.adaptationTimeConstant = tauA;
        p.params.driveTimeConstant = trial % 4 < 2
                                         ? tauA + static_cast<ModelTime>(random() % 200'000'000)
                                         : 1'000'000 + static_cast<ModelTime>(random() % 60'000'000);
        p.params.refractoryDuration = static_cast<ModelTime>(random() % 5'000'000);
        p.params.adaptationIncrement = unit(random) * 2 - 0.3;
        p.params.resetDrive = unit(random) * 2 - 0.5;
        p.params.absoluteRefractory = trial % 3 != 0;
        p.params.frozenDrive = trial % 7 == 0;
        p.firing.beta = unit(random) * 4;
        p.firing.threshold = unit(random) * 2 - 1;
        p.firing.adaptationCoupling = unit(random) * 3;
        p.firing.maxHazard = 3000;
        if (modulated) {
            p.drive = unit(random) * 2 - 1;
            for (std::uint32_t i = 0; i < 6; ++i)
                p.modulations[i].addTerm(
                    {(i + 1) % 6, static_cast<std::uint8_t>(random() % 3), unit(random), unit(random) * 6});
        }
        for (int k = 0; k < 30; ++k) {
            Event input;
            input.time = static_cast<ModelTime>(random() % 500'000'000);
            input.kind = static_cast<EventKind>(std::array{0, 3, 4}[random() % 3]);
            input.target = random() % 6;
            input.value = unit(random) * 3 - 1;
            p.queue.schedule(input);
        }
        const ModelTime window = 1'000'000 + static_cast<ModelTime>(random() % 60'000'000);
        ASSERT_NO_THROW(p.advanceTo(500'000'000, window)) << "trial " << trial;
        totalSpikes += p.spikes.size();
    }
    EXPECT_GT(totalSpikes, 1000u);
}

// With no refractoriness or adaptation the spikes form a Poisson process of
// rate r exp(beta m(t)); for m = sin at a whole number of cycles the mean
// count is r I0(1) T.
TEST(Neuron, ThinningReproducesTheModulatedRate) {
    Testing::Population p;
    Testing::buildAntiphasePopulation(p, 77, 2, 5.0, 1.0, 1.0);
    p.params.absoluteRefractory = false;
    p.params.adaptationIncrement = 0;
    p.firing = {20.0, 1.0, 0.0, 0.0, 1.0, 1000, false};
    p.advanceTo(100'000'000'000, 5'000'000);
    const double expected = 2 * 20.0 * 1.2660658777520082 * 100;  // two neurons, 100 s
    EXPECT_NEAR(static_cast<double>(p.spikes.size()), expected, 4 * std::sqrt(expected));
    EXPECT_GT(p.candidates, p.spikes.size());  // thinning did reject candidates
}

// Rewinding through snapshots is checked on the whole model.
TEST(Neuron, SameSeedSameSpikes) {
    Testing::Population a, b, other;
    Testing::buildAntiphasePopulation(a, 500, 40, 10.0, 1.5, 1.0);
    Testing::buildAntiphasePopulation(b, 500, 40, 10.0, 1.5, 1.0);
    Testing::buildAntiphasePopulation(other, 501, 40, 10.0, 1.5, 1.0);
    for (Testing::Population* p : {&a, &b, &other}) p->advanceTo(300'000'000, 5'000'000);
    ASSERT_GT(a.spikes.size(), 50u);
    EXPECT_EQ(a.spikes, b.spikes);
    EXPECT_NE(other.spikes, a.spikes);
}

// The reference registry holds the spike trains of the oscillatory test model
// from an independent implementation: drive 0.6 for the first 75 ms, then 0,
// 5 ms windows, 40 neurons at 10 Hz in antiphase with depth 1.5.
TEST(Neuron, ReproducesTheReferenceSpikeTrains) {
    for (auto [directory, seed, stochasticity] : {std::tuple{"stochasticity_1_seed_500", 500, 1.0},
                                                  {"stochasticity_1_seed_501", 501, 1.0},
                                                  {"stochasticity_0_25_seed_500", 500, 0.25},
                                                  {"stochasticity_0_25_seed_501", 501, 0.25}}) {
        Testing::Population p;
        Testing::buildAntiphasePopulation(p, static_cast<std::uint64_t>(seed), 40, 10.0, 1.5, stochasticity);
        p.drive = 0.6;
        p.advanceTo(75'000'000, 5'000'000);
        p.drive = 0.0;
        p.advanceTo(150'000'000, 5'000'000);
        std::string csv = "time_ns,neuron,group,cause\n";
        for (auto [time, neuron] : p.spikes)
            csv += std::to_string(time) + "," + std::to_string(neuron) + "," + (neuron < 20 ? "0" : "1") +
                   ",spontaneous\n";
        EXPECT_EQ(csv, Testing::readFile(Testing::dataPath(std::string("golden/registry-resume/Resume/") +
                                                           directory + "/baseline/events.csv")))
            << directory;
    }
}

// The batched bounds must be the one-by-one bounds bit for bit in every
// request, whichever way it is computed: zero, negative, tiny (flushed) and
// frozen drives and adaptations, starts at the last update, inside the
// refractory window and at the horizon, windows long enough to underflow
// the decay, and batches longer than one group. A zero rate and a request
// that one-by-one throws for behave as they do there.
TEST(Neuron, BatchedBoundsAreTheOneByOneBounds) {
    std::mt19937_64 random(909);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        NeuronParameters params = neuronParams();
        params.adaptationTimeConstant = 1'000 + static_cast<ModelTime>(random() % 200'000'000);
        params.frozenDrive = trial % 5 == 0;
        params.absoluteRefractory = trial % 2 == 0;
        params.flushEpsilon = trial % 3 == 0 ? 1e-3 : 1e-15;
        FiringParameters f = randomFiring(random);
        if (trial % 17 == 0) f.gain = 0.0;
        CheckedFiring checked(f);
        checked.ensureValid();

        const ModelTime horizon = 10'000'000 + static_cast<ModelTime>(random() % 100'000'000);
        const std::size_t count = 1 + random() % 80;
        std::vector<NeuronState> states(count);
        std::vector<detail::BoundRequest> requests(count);
        for (std::size_t i = 0; i < count; ++i) {
            NeuronState& state = states[i];
            const auto value = [&] {
                switch (random() % 5) {
                    case 0:
                        return 0.0;
                    case 1:
                        return -0.0;
                    case 2:
                        return 1e-16 * unit(random);
                    default:
                        return (unit(random) < 0.8 ? 1.0 : -1.0) * unit(random) * 3;
                }
            };
            state.drive = random() % 3 == 0 ? value() : 0.0;
            state.adaptation = value();
            state.lastUpdate = static_cast<ModelTime>(random() % 10'000'000);
            state.refractoryEnd = state.lastUpdate + static_cast<ModelTime>(random() % 3'000'000);
            ModelTime start =
                state.lastUpdate + (random() % 4 == 0 ? 0 : static_cast<ModelTime>(random() % 5'000'000));
            if (random() % 10 == 0 || start > horizon) start = horizon;
            requests[i] = {&state, start, unit(random) * 2 - 1, -1.0};
        }
        detail::candidateBounds(requests, params, checked, horizon);
        for (std::size_t i = 0; i < count; ++i) {
            const double expected = detail::candidateBound(states[i], params, checked, requests[i].start,
                                                           horizon, requests[i].modulationBound);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(requests[i].bound), std::bit_cast<std::uint64_t>(expected))
                << "trial " << trial << " request " << i;
        }
    }

    const NeuronParameters params = neuronParams();
    const FiringParameters f = firingParams();
    CheckedFiring checked(f);
    checked.ensureValid();
    const NeuronState state;
    std::vector<detail::BoundRequest> backwards{{&state, 0, 0.0, 0}, {&state, 20, 0.0, 0}};
    EXPECT_THROW(detail::candidateBounds(backwards, params, checked, 10), NeuronCausalityViolation);
    std::vector<detail::BoundRequest> infinite{{&state, 0, std::numeric_limits<double>::infinity(), 0}};
    EXPECT_THROW(detail::candidateBounds(infinite, params, checked, 10), InvalidFiringParameters);
}

// The batched landings must be the one-by-one landings: uniforms of 0 (the
// smallest normal stands in), near 1 (the shortest waits, rounded up to one
// nanosecond), bounds so small that the wait is too long for the grid, and
// more requests than one group. One that overflows model time throws as
// one-by-one does, once the requests before it are answered.
TEST(Neuron, BatchedLandingsAreTheOneByOneLandings) {
    std::mt19937_64 random(1701);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<detail::LandingRequest> requests;
    for (int i = 0; i < 5000; ++i) {
        const double u = i % 50 == 0 ? 0.0 : i % 50 == 1 ? 1.0 - 0x1p-53 : unit(random);
        const double bound =
            i % 70 == 0 ? 1e-12 : std::ldexp(unit(random) + 0.01, static_cast<int>(random() % 30));
        requests.push_back({static_cast<ModelTime>(random() % 1'000'000'000), bound, u, -1});
    }
    detail::candidateLandings(requests);
    for (const detail::LandingRequest& request : requests)
        ASSERT_EQ(request.landing, detail::candidateLanding(request.start, request.bound, request.u))
            << request.start << " " << request.bound << " " << request.u;

    std::vector<detail::LandingRequest> overflowing{
        {0, 1000.0, 0.5, -1}, {std::numeric_limits<ModelTime>::max() - 10, 1.0, 0.5, -1}};
    EXPECT_THROW(detail::candidateLandings(overflowing), TimeOverflow);
    EXPECT_EQ(overflowing[0].landing, detail::candidateLanding(0, 1000.0, 0.5));
}
