// Writes seed corpora for the snapshot fuzz targets: snapshots taken from
// live components in typical and corner states, one file each, under
// OUT/<target>/. The text targets are seeded from the repository's own files
// by scripts/fuzz.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/event_queue.hpp"
#include "engine/oscillators.hpp"
#include "fixtures.hpp"
#include "runtime/random_context.hpp"
#ifdef VOSTEL_SEED_MODEL
#include "engine/testing/oscillatory_populations.hpp"
#include "experiment/experiment_spec.hpp"
#endif

namespace fs = std::filesystem;
using namespace Core::Kvrn;
using Core::Runtime::RandomContext;
using Core::Runtime::StreamMode;

namespace {

void save(const fs::path& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void randomContexts(const fs::path& dir) {
    RandomContext empty(0);
    save(dir, "empty", empty.snapshot());

    RandomContext context(500);
    for (std::uint64_t i = 0; i < 3; ++i) Core::Runtime::uniform(context.stream("spontaneous", i));
    Core::Runtime::standardNormal(context.stream("phase_jitter", 0));
    save(dir, "live", context.snapshot());

    auto recording = context.stream("recorded", 1);
    recording.setMode(StreamMode::Record);
    for (int i = 0; i < 3; ++i) Core::Runtime::nextU64(recording);
    auto replaying = context.stream("", 7);
    replaying.setMode(StreamMode::Record);
    Core::Runtime::nextU64(replaying);
    Core::Runtime::nextU64(replaying);
    replaying.setMode(StreamMode::Replay);
    Core::Runtime::nextU64(replaying);
    save(dir, "record-replay", context.snapshot());
}

void eventQueues(const fs::path& dir) {
    EventQueue queue;
    save(dir, "empty", queue.snapshot());

    Event e;
    e.kind = EventKind::SpikeCandidate;
    e.value = 61.5;
    for (ModelTime t : {300, 100, 100, 200, 5'000'000}) {
        e.time = t;
        e.target = static_cast<std::uint64_t>(t) % 40;
        queue.schedule(e);
    }
    queue.cancel(2);
    save(dir, "pending", queue.snapshot());

    queue.popNext();
    e.kind = EventKind::RefractoryEnd;
    e.time = kTimeBeforeAll + 1;
    EventQueue early;
    early.schedule(e);
    save(dir, "earliest", early.snapshot());
    save(dir, "popped", queue.snapshot());
}

void oscillatorBanks(const fs::path& dir) {
    OscillatorBank bank = Fuzz::fixtureBank();
    save(dir, "fresh", bank.snapshot());
    bank.shiftPhase(7, 2.5);
    bank.shiftPhase(9, -0.5);
    save(dir, "shifted", bank.snapshot());
}

#ifdef VOSTEL_SEED_MODEL
void models(const fs::path& dir) {
    using Testing::OscillatoryPopulations;
    OscillatoryPopulations model(Fuzz::kModelModulation);
    model.reset(Fuzz::kModelSeed);
    save(dir, "reset", model.snapshot());

    model.advanceTo(12'000'000);
    save(dir, "running", model.snapshot());

    model.applyStimulus({12'000'000, "A", true, 0});
    model.advanceTo(60'000'000);
    model.applyIntervention({"phase_jitter", {}, 0.25});
    model.applyIntervention({"scale_drive", {}, 2.0});
    save(dir, "driven", model.snapshot());

    model.applyIntervention({"ablate", {"oscillators"}, std::nullopt});
    model.advanceTo(75'000'000);
    save(dir, "ablated", model.snapshot());
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTPUT-DIRECTORY\n");
        return 2;
    }
    const fs::path out = argv[1];
    randomContexts(out / "fuzz_random_context");
    eventQueues(out / "fuzz_event_queue");
    oscillatorBanks(out / "fuzz_oscillator_bank");
#ifdef VOSTEL_SEED_MODEL
    models(out / "fuzz_model");
#endif
    return 0;
}
