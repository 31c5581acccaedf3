#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/hash.hpp"
#include "engine/errors.hpp"
#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/experiment_spec.hpp"
#include "experiment/trajectory.hpp"
#include "support/expect_throws.hpp"
#include "support/golden.hpp"

namespace {

using Core::Kvrn::Intervention;
using Core::Kvrn::InvalidExperiment;
using Core::Kvrn::ModelTime;
using Core::Kvrn::StimulusEvent;
using Core::Kvrn::Testing::OscillatoryPopulations;
using Bytes = std::vector<std::uint8_t>;

constexpr ModelTime kMs = 1'000'000;

StimulusEvent onset(ModelTime t, const std::string& segment) { return {t, segment, true, 0}; }
StimulusEvent offset(ModelTime t, const std::string& segment) { return {t, segment, false, 0}; }

// The probe experiment's stimulus as the runner plays it: "A" over 0-75 ms,
// "blank" over 75-150 ms, the offset of a segment before the next onset.
const std::vector<StimulusEvent> kProbeSchedule = {onset(0, "A"), offset(75 * kMs, "A"),
                                                   onset(75 * kMs, "blank"), offset(150 * kMs, "blank")};
constexpr ModelTime kFork = 25 * kMs;
constexpr ModelTime kEnd = 150 * kMs;

// Plays the schedule's events in [from, to) and then runs on to `to`.
void play(OscillatoryPopulations& model, ModelTime from, ModelTime to) {
    for (const StimulusEvent& e : kProbeSchedule) {
        if (e.time_ns < from || e.time_ns >= to) continue;
        model.advanceTo(e.time_ns);
        model.applyStimulus(e);
    }
    model.advanceTo(to);
}

// The last event (the final offset at the end time) belongs to the branch too.
void playToEnd(OscillatoryPopulations& model, ModelTime from) {
    play(model, from, kEnd);
    model.applyStimulus(kProbeSchedule.back());
}

Intervention intervention(const std::string& kind, std::vector<std::string> targets = {},
                          std::optional<double> parameter = std::nullopt) {
    return {kind, std::move(targets), parameter};
}

TEST(OscillatoryPopulations, AdvanceSamplesEveryFiveMillisecondsOnTheWay) {
    OscillatoryPopulations model(1.5);
    model.reset(7);
    model.advanceTo(12'000'000);
    ASSERT_EQ(model.samples().size(), 2u);
    EXPECT_EQ(std::tuple(model.samples()[0].time, model.samples()[1].time, model.now(), model.nextSample()),
              std::tuple(5'000'000, 10'000'000, 12'000'000, 15'000'000));

    // Standing still changes nothing; going back is refused.
    const Bytes before = model.snapshot();
    model.advanceTo(12'000'000);
    EXPECT_EQ(model.snapshot(), before);
    EXPECT_THROW_MSG(model.advanceTo(11'999'999), std::runtime_error,
                     "experiment: the runner moved model time back");

    // Landing exactly on a sample time takes that sample.
    model.advanceTo(15'000'000);
    EXPECT_EQ(model.samples().size(), 3u);
    EXPECT_EQ(model.nextSample(), 20'000'000);

    // Reset starts the clock and the records over.
    model.reset(7);
    EXPECT_EQ(std::tuple(model.now(), model.nextSample(), model.samples().size(), model.spikeLog().size()),
              std::tuple(0, 5'000'000, 0u, 0u));
}

TEST(OscillatoryPopulations, WithoutSpikesEveryShareIsZero) {
    OscillatoryPopulations model(1.5);
    model.setParameter("stochasticity", 0.0);  // gain 0: no hazard at all
    model.reset(11);
    play(model, 0, 30 * kMs);
    EXPECT_TRUE(model.spikes().empty());
    const Core::Kvrn::Trajectory t = model.trajectory();
    ASSERT_EQ(t.times.size(), 6u);
    for (const auto& state : t.states) EXPECT_EQ(state, (std::vector<double>{0.0, 0.0}));
}

TEST(OscillatoryPopulations, StimulusSetsTheDrive) {
    OscillatoryPopulations model(1.5);
    model.reset(1);
    model.applyStimulus(onset(0, "A"));
    EXPECT_EQ(model.drive(), 0.6);
    model.applyStimulus(onset(0, "X"));
    EXPECT_EQ(model.drive(), 0.35);
    model.applyStimulus(offset(0, "blank"));  // any offset, even of another segment
    EXPECT_EQ(model.drive(), 0.0);
    model.applyStimulus(onset(0, "A"));
    model.applyStimulus(onset(0, "a"));  // names are case-sensitive
    EXPECT_EQ(model.drive(), 0.0);
}

TEST(OscillatoryPopulations, OneSeedGivesOneRunAndAnotherSeedAnother) {
    OscillatoryPopulations first(1.5), second(1.5), other(1.5);
    for (auto [model, seed] : {std::pair{&first, 500}, {&second, 500}, {&other, 501}}) {
        model->reset(seed);
        playToEnd(*model, 0);
    }
    EXPECT_FALSE(first.spikeLog().empty());
    EXPECT_EQ(first.spikeLog(), second.spikeLog());
    EXPECT_EQ(first.samples(), second.samples());
    EXPECT_EQ(first.snapshot(), second.snapshot());
    EXPECT_NE(first.spikeLog(), other.spikeLog());
}

TEST(OscillatoryPopulations, RestoringASnapshotRewindsTheRunExactly) {
    OscillatoryPopulations model(1.5);
    model.reset(42);
    play(model, 0, kFork + 1'234'567);  // fork between samples, with candidates pending
    const Bytes fork = model.snapshot();
    playToEnd(model, kFork + 1'234'567);
    const auto spikes = model.spikeLog();
    const auto samples = model.samples();
    const Bytes endState = model.snapshot();

    model.restore(fork);
    EXPECT_EQ(model.snapshot(), fork);
    playToEnd(model, kFork + 1'234'567);
    EXPECT_EQ(model.spikeLog(), spikes);
    EXPECT_EQ(model.samples(), samples);
    EXPECT_EQ(model.snapshot(), endState);

    // A fresh model reset with another seed takes the whole state over.
    OscillatoryPopulations elsewhere(1.5);
    elsewhere.reset(9);
    elsewhere.advanceTo(60 * kMs);
    elsewhere.restore(fork);
    playToEnd(elsewhere, kFork + 1'234'567);
    EXPECT_EQ(elsewhere.spikeLog(), spikes);
    EXPECT_EQ(elsewhere.samples(), samples);
    EXPECT_EQ(elsewhere.snapshot(), endState);
}

// Offsets of the three component blocks (each behind its 8-byte length).
struct Blocks {
    std::size_t queue, bank, random;
};

std::uint64_t u64At(const Bytes& bytes, std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v |= std::uint64_t{bytes.at(at + i)} << (8 * i);
    return v;
}

Blocks blocksOf(const Bytes& bytes) {
    const std::size_t samplesAt = 2680 + 24 * u64At(bytes, 2672);
    Blocks b{};
    b.queue = samplesAt + 8 + 24 * u64At(bytes, samplesAt);
    b.bank = b.queue + 8 + u64At(bytes, b.queue);
    b.random = b.bank + 8 + u64At(bytes, b.bank);
    return b;
}

std::string magicAt(const Bytes& bytes, std::size_t block) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(block + 8),
                       bytes.begin() + static_cast<std::ptrdiff_t>(block + 16));
}

TEST(OscillatoryPopulations, SnapshotLayout) {
    OscillatoryPopulations model(1.5);
    model.reset(0x0102030405060708ULL);
    play(model, 0, 12 * kMs);
    const Bytes bytes = model.snapshot();
    EXPECT_EQ(u64At(bytes, 0), 0x0102030405060708ULL);
    EXPECT_EQ(u64At(bytes, 8), 12'000'000u);
    EXPECT_EQ(u64At(bytes, 16), 15'000'000u);
    EXPECT_EQ(u64At(bytes, 24), Testing::bitsOf(0.6));   // drive
    EXPECT_EQ(u64At(bytes, 40), Testing::bitsOf(1.5));   // modulation
    EXPECT_EQ(u64At(bytes, 64), Testing::bitsOf(10.0));  // frequency
    EXPECT_EQ(u64At(bytes, 80 + 64 * 39 + 40), 39u);     // last neuron's draw index
    EXPECT_EQ(u64At(bytes, 2640), Testing::bitsOf(model.samples()[1].traces[0]));
    ASSERT_EQ(u64At(bytes, 2672), model.spikeLog().size());
    ASSERT_GT(model.spikeLog().size(), 0u);
    EXPECT_EQ(u64At(bytes, 2688), model.spikeLog().front().neuron);
    EXPECT_EQ(u64At(bytes, 2680 + 24 * model.spikeLog().size()), 2u);  // samples

    const Blocks b = blocksOf(bytes);
    EXPECT_EQ(magicAt(bytes, b.queue), "KVRNEVQ1");
    EXPECT_EQ(magicAt(bytes, b.bank), "KVRNOSC2");
    EXPECT_EQ(magicAt(bytes, b.random), std::string("RNDCTX1\0", 8));
    EXPECT_EQ(b.random + 8 + u64At(bytes, b.random), bytes.size());
}

TEST(OscillatoryPopulations, DamagedOrForeignSnapshotsAreRefused) {
    OscillatoryPopulations model(1.5);
    model.reset(5);
    play(model, 0, kFork);
    const Bytes bytes = model.snapshot();

    OscillatoryPopulations target(1.5);
    target.reset(5);
    for (std::size_t length = 0; length < bytes.size(); ++length)
        ASSERT_TRUE(Testing::throwsWith<std::runtime_error>(
            [&] { target.restore(std::span(bytes).first(length)); }, "experiment: truncated model snapshot"))
            << "cut at " << length << " of " << bytes.size();

    // A spike count far beyond the bytes is a truncation, not an allocation.
    Bytes huge = bytes;
    for (std::size_t i = 0; i < 8; ++i) huge[2672 + i] = 0xff;
    EXPECT_THROW_MSG(target.restore(huge), std::runtime_error, "experiment: truncated model snapshot");

    // Bytes after the last block are ignored.
    Bytes longer = bytes;
    longer.push_back(0xff);
    target.restore(longer);
    EXPECT_EQ(target.snapshot(), bytes);

    // Each component block goes to its own parser, queue first.
    const Blocks b = blocksOf(bytes);
    for (const auto& [block, message] : {std::pair{b.queue, "experiment: queue snapshot rejected"},
                                         std::pair{b.bank, "experiment: oscillator snapshot rejected"},
                                         std::pair{b.random, "experiment: random snapshot rejected"}}) {
        Bytes damaged = bytes;
        damaged.at(block + 8) ^= 0xff;  // the block's magic
        EXPECT_THROW_MSG(target.restore(damaged), std::runtime_error, message);
    }

    // A model reset with another frequency has another oscillator bank.
    OscillatoryPopulations faster(1.5);
    faster.setParameter("frequency", 12.0);
    faster.reset(5);
    EXPECT_THROW_MSG(faster.restore(bytes), std::runtime_error, "experiment: oscillator snapshot rejected");
}

TEST(OscillatoryPopulations, InterventionsAndTheirRecords) {
    OscillatoryPopulations model(1.5);
    model.reset(77);
    model.advanceTo(10 * kMs);

    const std::pair<Intervention, std::string> refused[] = {
        {intervention("ablate", {"neurons"}), "this model can only ablate oscillators"},
        {intervention("ablate", {"oscillators", "oscillators"}), "this model can only ablate oscillators"},
        {intervention("ablate"), "this model can only ablate oscillators"},
        {intervention("scale_drive", {"A"}), "scale_drive needs a factor"},
        {intervention("silence", {}, 1.0), "this model does not implement silence"},
    };
    for (const auto& row : refused)
        EXPECT_THROW_MSG(model.applyIntervention(row.first), InvalidExperiment, row.second);
    EXPECT_THROW_MSG(model.applyIntervention(intervention("phase_jitter", {}, -1.0)),
                     Core::Kvrn::InvalidMatchedControl, "phase jitter sigma must be finite and >= 0");
    EXPECT_TRUE(model.parameters().empty());

    const Core::Kvrn::OscillatorBank before = model.oscillators();
    model.applyIntervention(intervention("phase_scramble", {"A"}));
    model.applyIntervention(intervention("phase_jitter"));
    model.applyIntervention(intervention("scale_drive", {}, 2.0));
    model.applyIntervention(intervention("scale_drive", {}, 0.25));  // replaces the record
    model.applyIntervention(intervention("ablate", {"oscillators"}));
    const std::map<std::string, std::string> expected = {
        {"ablate", "oscillators"},
        {"phase_jitter", "0.500000"},
        {"phase_scramble", "all oscillators, frequency preserved"},
        {"scale_drive", "0.250000"}};
    EXPECT_EQ(model.parameters(), expected);
    EXPECT_EQ(model.driveScale(), 0.25);
    EXPECT_EQ(model.oscillatorGain(), 0.0);
    for (std::uint32_t id = 0; id < 40; ++id) {
        EXPECT_NE(model.oscillators().phaseShift(id), before.phaseShift(id)) << id;
        EXPECT_EQ(model.oscillators().oscillator(id).frequency, 10.0);
    }

    // The ablated gain and the drive scale travel in the snapshot; the records do not.
    const Bytes fork = model.snapshot();
    playToEnd(model, 10 * kMs);
    OscillatoryPopulations restored(1.5);
    restored.reset(77);
    restored.applyIntervention(intervention("scale_drive", {}, 3.0));
    restored.restore(fork);
    EXPECT_TRUE(restored.parameters().empty());
    EXPECT_EQ(restored.oscillatorGain(), 0.0);
    playToEnd(restored, 10 * kMs);
    EXPECT_EQ(restored.spikeLog(), model.spikeLog());

    restored.applyIntervention(intervention("scale_drive", {}, 1.0));
    restored.reset(77);
    EXPECT_TRUE(restored.parameters().empty());
    EXPECT_EQ(restored.driveScale(), 1.0);
}

TEST(OscillatoryPopulations, SweptParametersEnterTheArchitecture) {
    OscillatoryPopulations model(1.5);
    // The hashes stored with the reference runs.
    EXPECT_EQ(model.architectureHash(), 10158463793610102059ULL);
    model.setParameter("stochasticity", 0.25);
    EXPECT_EQ(model.architectureHash(), 8511715517530882285ULL);

    EXPECT_THROW_MSG(model.setParameter("sigma", 1.0), InvalidExperiment,
                     "this model has no parameter sigma");
    model.setParameter("modulation", 2.5);
    model.setParameter("frequency", 8.0);
    model.setParameter("phase_jitter", 1e6);
    EXPECT_EQ(model.architectureDescription(),
              "oscillatory-populations n=40 g=2 f=8 jitter=1e+06 sigma=0.25 modulation=2.5 baseline=60 "
              "beta=2 tauM=15000000 refractory=3000000");

    // A timing jitter of 1 ms at 8 Hz shifts each oscillator by a normal
    // variate of 0.008 cycles, drawn from the model's seed at reset.
    model.reset(3);
    std::vector<Core::Kvrn::Oscillator> oscillators;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 40; ++i) {
        oscillators.push_back({i, 8.0, i < 20 ? 0.0 : 3.141592653589793, 1.0});
        ids.push_back(i);
    }
    Core::Kvrn::OscillatorBank reference(oscillators);
    Core::Kvrn::phaseJitter(reference, ids, 8.0 * Core::Kvrn::kTwoPi * 1e6 * 1e-9, 3 ^ 0x5c8a11ed00000003ULL);
    EXPECT_EQ(model.oscillators().snapshot(), reference.snapshot());
}

TEST(OscillatoryPopulations, TheDefaultArchitectureIsTheFixedTestModel) {
    OscillatoryPopulations fixed(1.5);
    OscillatoryPopulations declared(Core::Kvrn::ModelArchitecture{});
    EXPECT_EQ(declared.architectureDescription(), fixed.architectureDescription());
    EXPECT_EQ(declared.architectureHash(), 10158463793610102059ULL);
    for (OscillatoryPopulations* model : {&fixed, &declared}) {
        model->reset(7);
        playToEnd(*model, 0);
    }
    EXPECT_EQ(declared.spikeLog(), fixed.spikeLog());
    EXPECT_EQ(declared.snapshot(), fixed.snapshot());
    EXPECT_EQ(declared.architecture(), Core::Kvrn::ModelArchitecture{});
}

TEST(OscillatoryPopulations, EveryArchitectureQuantityChangesTheArchitectureText) {
    using Core::Kvrn::ModelArchitecture;
    std::vector<ModelArchitecture> variants(12);
    variants[1].groupSizes = {20, 20, 20};
    variants[2].groupSizes = {10, 30};   // the same total and count as the default
    variants[3].frequency = 10.0000001;  // equal to the default in six digits
    variants[4].phaseOffset = 2.0;
    variants[5].modulation = 1.2;
    variants[6].driveTimeConstant = 10'000'000;
    variants[7].adaptationTimeConstant = 100'000'000;
    variants[8].refractoryDuration = 2'000'000;
    variants[9].threshold = 0.5;
    variants[10].baselineRate = 40.0;
    variants[11].beta = 1.5;
    std::set<std::string> texts;
    for (const ModelArchitecture& a : variants)
        texts.insert(OscillatoryPopulations(a).architectureDescription());
    EXPECT_EQ(texts.size(), variants.size());

    // A parameter set by name lands where the declared value would.
    OscillatoryPopulations named(1.5);
    named.setParameter("tau_a", 100'000'000.4);
    named.setParameter("threshold", 0.5);
    ModelArchitecture expected;
    expected.adaptationTimeConstant = 100'000'000;
    expected.threshold = 0.5;
    EXPECT_EQ(named.architecture(), expected);
    EXPECT_EQ(named.architectureDescription(), OscillatoryPopulations(expected).architectureDescription());

    ModelArchitecture empty;
    empty.groupSizes = {20, 0};
    EXPECT_THROW_MSG(OscillatoryPopulations{empty}, InvalidExperiment,
                     "every population of the model needs at least one neuron");
    empty.groupSizes = {};
    EXPECT_THROW_MSG(OscillatoryPopulations{empty}, InvalidExperiment,
                     "the model needs at least one population");
}

TEST(OscillatoryPopulations, ThreePopulationsTakeTurnsAndRewindExactly) {
    Core::Kvrn::ModelArchitecture three;
    three.groupSizes = {10, 12, 14};
    three.phaseOffset = 2.0 * 3.141592653589793 / 3.0;
    three.frequency = 6.0;
    OscillatoryPopulations model(three);
    EXPECT_EQ(model.neuronCount(), 36u);
    model.reset(11);
    // Population p's oscillators start p phase offsets in.
    std::vector<Core::Kvrn::Oscillator> oscillators;
    for (std::uint32_t i = 0; i < 36; ++i) {
        const double group = i < 10 ? 0 : i < 22 ? 1 : 2;
        oscillators.push_back({i, 6.0, group == 0 ? 0.0 : group * three.phaseOffset, 1.0});
    }
    EXPECT_EQ(model.oscillators().snapshot(), Core::Kvrn::OscillatorBank(oscillators).snapshot());

    play(model, 0, kFork);
    const Bytes fork = model.snapshot();
    playToEnd(model, kFork);
    const auto spikes = model.spikeLog();
    ASSERT_FALSE(spikes.empty());
    for (const auto& spike : spikes)
        EXPECT_EQ(spike.group, spike.neuron < 10 ? 0u : spike.neuron < 22 ? 1u : 2u);
    const Core::Kvrn::Trajectory trajectory = model.trajectory();
    EXPECT_EQ(trajectory.dimensionNames, (std::vector<std::string>{"share0", "share1", "share2"}));
    EXPECT_EQ(trajectory.states.back().size(), 3u);
    const Bytes end = model.snapshot();
    model.restore(fork);
    playToEnd(model, kFork);
    EXPECT_EQ(model.spikeLog(), spikes);
    EXPECT_EQ(model.snapshot(), end);
    // Every cut of the snapshot is refused.
    for (std::size_t cut = 0; cut < fork.size(); cut += 97) {
        OscillatoryPopulations other(three);
        other.reset(11);
        EXPECT_THROW(other.restore(std::span<const std::uint8_t>(fork.data(), cut)), std::runtime_error)
            << cut;
    }
}

// The reference runs: the probe experiment driven the way the experiment
// runner drives it, compared spike by spike and sample by sample with the
// files stored in the reference registry.
struct GoldenRun {
    const char* directory;
    double stochasticity;
    std::uint64_t seed;
};

void PrintTo(const GoldenRun& run, std::ostream* out) { *out << run.directory; }

class GoldenProbe : public ::testing::TestWithParam<GoldenRun> {};

TEST_P(GoldenProbe, ReproducesTheStoredSpikesAndStates) {
    const GoldenRun run = GetParam();
    OscillatoryPopulations model(1.5);
    model.setParameter("stochasticity", run.stochasticity);
    model.reset(run.seed);
    play(model, 0, kFork);
    const Bytes fork = model.snapshot();
    model.restore(fork);
    model.beginBranch("baseline");
    playToEnd(model, kFork);
    model.endBranch("baseline");

    const std::string dir = "golden/registry-resume/Resume/" + std::string(run.directory) + "/baseline/";
    std::string events = "time_ns,neuron,group,cause\n";
    for (const Core::Kvrn::SpikeRecord& s : model.spikes()) {
        EXPECT_TRUE(s.inputs.empty());
        EXPECT_FALSE(s.cause.has_value());
        events += std::to_string(s.time_ns) + "," + std::to_string(s.neuron) + "," + std::to_string(s.group) +
                  ",spontaneous\n";
    }
    EXPECT_EQ(events, Testing::readFile(Testing::dataPath(dir + "events.csv")));

    EXPECT_EQ(Core::Kvrn::trajectoryCsv(model.trajectory()),
              Testing::readFile(Testing::dataPath(dir + "states.csv")));
    EXPECT_EQ(model.synapseLog(), Testing::readFile(Testing::dataPath(dir + "synapses.csv")));
    const std::string metadata = Testing::readFile(Testing::dataPath(dir + "metadata.json"));
    EXPECT_NE(metadata.find("\"architecture_hash\":" + std::to_string(model.architectureHash()) + ","),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RegistryResume, GoldenProbe,
                         ::testing::Values(GoldenRun{"stochasticity_0_25_seed_500", 0.25, 500},
                                           GoldenRun{"stochasticity_0_25_seed_501", 0.25, 501},
                                           GoldenRun{"stochasticity_1_seed_500", 1.0, 500},
                                           GoldenRun{"stochasticity_1_seed_501", 1.0, 501}),
                         [](const auto& info) { return std::string(info.param.directory); });

}  // namespace

namespace {

// The whole state a branch forks from and ends with, byte for byte: the
// neurons' states, the pending events with their sequence numbers, the
// random streams. Spikes and samples can agree while these differ (a stray
// candidate bound, one sequence number too many), and a registry built by
// one build forks from the bytes another build wrote. Pinned for two seeds
// of the probe run at the values earlier builds of the model gave.
TEST(OscillatoryPopulations, ProbeSnapshotsKeepTheirBytes) {
    struct Pinned {
        std::uint64_t seed;
        std::uint64_t fork;
        std::uint64_t end;
    };
    for (const Pinned& pinned : {Pinned{500, 8070172323873786798ULL, 1621121519103644529ULL},
                                 Pinned{501, 13633248570297919352ULL, 419679485168162059ULL}}) {
        OscillatoryPopulations model(1.5);
        model.reset(pinned.seed);
        play(model, 0, kFork);
        const Bytes fork = model.snapshot();
        playToEnd(model, kFork);
        const Bytes end = model.snapshot();
        const auto hash = [](const Bytes& bytes) {
            return Core::stableHash64(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        };
        EXPECT_EQ(hash(fork), pinned.fork) << pinned.seed;
        EXPECT_EQ(hash(end), pinned.end) << pinned.seed;
    }
}

}  // namespace
