// EventQueue::restore over arbitrary bytes: restore accepts exactly the
// well-formed KVRNEVQ1 inputs, a refusal changes nothing, and an accepted
// queue snapshots stably, hands its events out in (time, sequence) order and
// continues the sequence counter it restored.

#include <set>
#include <string_view>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"
#include "engine/event_queue.hpp"
#include "fuzz_support.hpp"

using namespace Core::Kvrn;

namespace {

// An independent reading of the format: the event count of a well-formed
// input, or -1.
long long wellFormed(std::span<const std::uint8_t> bytes) {
    Core::ByteReader in(bytes);
    if (!in.match("KVRNEVQ1")) return -1;
    const std::uint64_t next = in.u64();
    const std::int64_t now = in.i64();
    const std::uint64_t count = in.u64();
    if (!in.ok() || count > in.remaining() / 57) return -1;
    std::set<std::uint64_t> sequences;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::int64_t time = in.i64();
        const std::uint64_t sequence = in.u64();
        const std::uint8_t kind = in.u8();
        in.raw(40);
        if (!in.ok() || kind > 5 || sequence >= next || time < now || !sequences.insert(sequence).second)
            return -1;
    }
    return in.finished() ? static_cast<long long>(count) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = Fuzz::input(data, size);

    EventQueue queue;
    Event e;
    e.time = 100;
    queue.schedule(e);
    e.time = 50;
    queue.cancel(queue.schedule(e));
    const Fuzz::Bytes before = queue.snapshot();

    const long long expected = wellFormed(bytes);
    const bool accepted = queue.restore(bytes);
    Fuzz::require(accepted == (expected >= 0), "restore disagrees with the format");
    if (!accepted) {
        Fuzz::require(queue.snapshot() == before, "a refused restore changed the queue");
        return 0;
    }

    Fuzz::require(queue.size() == static_cast<std::size_t>(expected), "event count after restore");
    const Fuzz::Bytes first = queue.snapshot();
    EventQueue again;
    Fuzz::require(again.restore(first), "a queue's own snapshot was refused");
    Fuzz::require(again.snapshot() == first, "snapshot is not stable across restore");

    const std::uint64_t next = queue.nextSequence();
    ModelTime lastTime = queue.currentTime();
    std::uint64_t lastSequence = 0;
    bool firstPop = true;
    while (!queue.empty()) {
        const ModelTime peeked = queue.peekNextTime();
        const Event popped = queue.popNext();
        Fuzz::require(popped.time == peeked, "peek and pop disagree");
        Fuzz::require(popped.time > lastTime ||
                          (popped.time == lastTime && (firstPop || popped.sequence > lastSequence)),
                      "events out of (time, sequence) order");
        lastTime = popped.time;
        lastSequence = popped.sequence;
        firstPop = false;
    }
    Event later;
    later.time = queue.currentTime();
    try {
        Fuzz::require(queue.schedule(later) == next, "the sequence counter did not carry over");
    } catch (const TimeOverflow&) {
        Fuzz::require(next == kNoEvent, "sequence exhausted too early");
    }
    return 0;
}
