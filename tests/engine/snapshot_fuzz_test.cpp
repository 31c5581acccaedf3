#include <gtest/gtest.h>

#include <random>

#include "engine/event_queue.hpp"
#include "engine/oscillators.hpp"
#include "runtime/random_context.hpp"

using namespace Core::Kvrn;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Random garbage, garbage behind a valid magic, and valid snapshots with a few
// bytes flipped, cut, duplicated or appended.
Bytes variant(std::mt19937_64& random, const Bytes& valid) {
    Bytes bytes;
    switch (random() % 4) {
        case 0:
            bytes.resize(random() % 120);
            for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
            return bytes;
        case 1:
            bytes.assign(valid.begin(), valid.begin() + 8);
            for (std::size_t i = random() % 200; i > 0; --i)
                bytes.push_back(static_cast<std::uint8_t>(random()));
            return bytes;
        default:
            bytes = valid;
            for (std::size_t edits = 1 + random() % 4; edits > 0 && !bytes.empty(); --edits) {
                const std::size_t at = random() % bytes.size();
                switch (random() % 4) {
                    case 0:
                        bytes[at] = static_cast<std::uint8_t>(random());
                        break;
                    case 1:
                        bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
                        break;
                    case 2:
                        bytes.resize(at);
                        break;
                    default:
                        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                     static_cast<std::uint8_t>(random()));
                }
            }
            return bytes;
    }
}

// Feeds `component` many variants of its own snapshot: a refusal must leave it
// byte-identical, an acceptance must leave a state that snapshots and restores
// again.
template <class Component>
void fuzzRestore(Component& component, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const Bytes valid = component.snapshot();
    for (int i = 0; i < 4000; ++i) {
        const Bytes before = component.snapshot();
        const Bytes input = variant(random, valid);
        if (component.restore(input)) {
            const Bytes after = component.snapshot();
            ASSERT_TRUE(component.restore(after)) << "iteration " << i;
            ASSERT_EQ(component.snapshot(), after) << "iteration " << i;
            ASSERT_TRUE(component.restore(valid));
        } else {
            ASSERT_EQ(component.snapshot(), before) << "iteration " << i;
        }
    }
}

}  // namespace

TEST(SnapshotFuzz, EventQueueRestoreNeverCrashesOrHalfChanges) {
    EventQueue queue;
    for (int i = 0; i < 5; ++i) {
        Event e;
        e.time = 10 * i;
        e.kind = static_cast<EventKind>(i);
        e.value = i * 0.5;
        queue.schedule(e);
    }
    fuzzRestore(queue, 1);
}

TEST(SnapshotFuzz, OscillatorBankRestoreNeverCrashesOrHalfChanges) {
    OscillatorBank bank({{0, 10, 0, 1}, {7, 12.5, 1, 0.5}});
    bank.shiftPhase(7, 2.0);
    fuzzRestore(bank, 2);
}

TEST(SnapshotFuzz, RandomContextRestoreNeverCrashesOrHalfChanges) {
    Core::Runtime::RandomContext context(9);
    Core::Runtime::nextU64(context.stream("spontaneous", 3));
    const auto recording = context.stream("phase_jitter", 0);
    recording.setMode(Core::Runtime::StreamMode::Record);
    Core::Runtime::nextU64(recording);
    Core::Runtime::nextU64(recording);
    fuzzRestore(context, 3);
}
