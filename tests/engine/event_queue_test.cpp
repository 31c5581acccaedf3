#include "engine/event_queue.hpp"

#include <algorithm>
#include <random>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"
#include "support/expect_throws.hpp"

using namespace Core::Kvrn;

namespace {

Event at(ModelTime time, std::uint64_t target = 0, EventKind kind = EventKind::Input) {
    Event e;
    e.time = time;
    e.kind = kind;
    e.target = target;
    return e;
}

struct RawEvent {
    ModelTime time;
    std::uint64_t sequence;
    std::uint8_t kind;
};

std::vector<std::uint8_t> queueBytes(std::uint64_t next, ModelTime now, const std::vector<RawEvent>& events) {
    Core::ByteWriter out;
    out.raw("KVRNEVQ1");
    out.u64(next);
    out.i64(now);
    out.u64(events.size());
    for (const RawEvent& e : events) {
        out.i64(e.time);
        out.u64(e.sequence);
        out.u8(e.kind);
        for (int i = 0; i < 5; ++i) out.u64(0);  // source, target, spare integer, value, spare word
    }
    return std::move(out).take();
}

}  // namespace

TEST(EventQueue, HandsOutEventsByTimeThenSchedulingOrder) {
    EventQueue queue;
    EXPECT_EQ(queue.schedule(at(50, 1)), 0u);
    EXPECT_EQ(queue.schedule(at(10, 2)), 1u);
    EXPECT_EQ(queue.schedule(at(50, 3)), 2u);
    EXPECT_EQ(queue.schedule(at(-5, 4)), 3u);  // a fresh queue accepts any time
    std::vector<std::uint64_t> targets;
    while (!queue.empty()) targets.push_back(queue.popNext().target);
    EXPECT_EQ(targets, (std::vector<std::uint64_t>{4, 2, 1, 3}));
    EXPECT_EQ(queue.currentTime(), 50);
    EXPECT_EQ(queue.schedule(at(50)), 4u);  // exactly the current time is accepted
}

TEST(EventQueue, RefusesThePastAndAnEmptyQueue) {
    EventQueue queue;
    EXPECT_THROW_MSG(queue.peekNextTime(), EmptyEventQueue, "peekNextTime on empty KVRN event queue");
    EXPECT_THROW_MSG(queue.popNext(), EmptyEventQueue, "popNext on empty KVRN event queue");
    queue.schedule(at(100));
    queue.popNext();
    EXPECT_THROW_MSG(queue.schedule(at(99)), CausalityViolation,
                     "KVRN event scheduled before the current model time");
    EXPECT_EQ(queue.nextSequence(), 1u);  // the refused event used no sequence
    EXPECT_EQ(queue.currentTime(), 100);
}

TEST(EventQueue, CancelledEventsNeverSurface) {
    EventQueue queue;
    const std::uint64_t first = queue.schedule(at(10));
    const std::uint64_t second = queue.schedule(at(20));
    EXPECT_TRUE(queue.cancel(first));
    EXPECT_FALSE(queue.cancel(first));
    EXPECT_FALSE(queue.cancel(77));
    EXPECT_EQ(queue.peekNextTime(), 20);
    EXPECT_EQ(queue.popNext().sequence, second);
    EXPECT_FALSE(queue.cancel(second));  // already popped
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.schedule(at(30)), 2u);  // sequences are never reused
}

// Random schedules and cancellations against a sorted reference, enough of
// them to exercise the heap rebuild after many cancellations. One event in
// forty stays pending far longer than the rest, while thousands of younger
// ones come and go around it.
TEST(EventQueue, MatchesASortedReferenceUnderRandomCancellation) {
    std::mt19937_64 random(5);
    EventQueue queue;
    std::vector<Event> reference;
    for (int round = 0; round < 6000; ++round) {
        const auto action = random() % 10;
        if (action < 5) {
            const ModelTime later = random() % 40 == 0 ? 1'000'000 : static_cast<ModelTime>(random() % 50);
            Event e = at(queue.currentTime() + later, random() % 8);
            e.value = static_cast<double>(round);
            e.sequence = queue.schedule(e);
            reference.push_back(e);
        } else if (action < 8 && !reference.empty()) {
            const auto victim = reference.begin() + static_cast<std::ptrdiff_t>(random() % reference.size());
            ASSERT_TRUE(queue.cancel(victim->sequence));
            reference.erase(victim);
        } else if (!reference.empty()) {
            auto next =
                std::min_element(reference.begin(), reference.end(), [](const Event& a, const Event& b) {
                    return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
                });
            ASSERT_EQ(queue.peekNextTime(), next->time);
            const Event popped = queue.popNext();
            ASSERT_EQ(popped.sequence, next->sequence);
            ASSERT_EQ(popped.value, next->value);
            reference.erase(next);
        }
        ASSERT_EQ(queue.size(), reference.size());
    }
    const auto pending = queue.pendingEvents();
    ASSERT_EQ(pending.size(), reference.size());
    EXPECT_TRUE(std::is_sorted(pending.begin(), pending.end(), [](const Event& a, const Event& b) {
        return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    }));
    EventQueue restored;
    ASSERT_TRUE(restored.restore(queue.snapshot()));
    EXPECT_EQ(restored.snapshot(), queue.snapshot());
}

TEST(EventQueue, RestoreRebuildsTheQueueByteForByte) {
    EXPECT_EQ(EventQueue().snapshot(), queueBytes(0, kTimeBeforeAll, {}));  // a fresh queue: header only
    EventQueue original;
    for (int i = 0; i < 6; ++i) {
        Event e = at(100 - i * 7, static_cast<std::uint64_t>(i), static_cast<EventKind>(i));
        e.source = 1000 + static_cast<std::uint64_t>(i);
        e.spareInteger = 0xabcdef;
        e.value = 0.1 * i;
        e.spareWord = 0x0123456789abcdefULL;
        original.schedule(e);
    }
    original.cancel(2);
    original.popNext();
    const std::vector<std::uint8_t> bytes = original.snapshot();
    EXPECT_EQ(bytes.size(), 32u + 4 * 57);

    EventQueue restored;
    restored.schedule(at(5));
    ASSERT_TRUE(restored.restore(bytes));
    EXPECT_EQ(restored.snapshot(), bytes);
    EXPECT_EQ(restored.currentTime(), original.currentTime());
    EXPECT_EQ(restored.schedule(at(200)), original.schedule(at(200)));
    while (!original.empty()) {
        const Event a = original.popNext(), b = restored.popNext();
        EXPECT_EQ(
            std::tie(a.time, a.sequence, a.kind, a.source, a.target, a.spareInteger, a.value, a.spareWord),
            std::tie(b.time, b.sequence, b.kind, b.source, b.target, b.spareInteger, b.value, b.spareWord));
    }
    EXPECT_TRUE(restored.empty());
}

TEST(EventQueue, RestoreRefusesMalformedBytesAndChangesNothing) {
    EventQueue queue;
    queue.schedule(at(40, 9));
    const std::vector<std::uint8_t> before = queue.snapshot();

    const std::vector<std::uint8_t> valid = queueBytes(5, 10, {{10, 0, 1}, {30, 4, 5}});
    std::vector<std::vector<std::uint8_t>> refused = {
        queueBytes(5, 10, {{10, 5, 1}}),              // sequence equal to the next sequence
        queueBytes(5, 10, {{10, 0, 6}}),              // kind 6
        queueBytes(5, 10, {{9, 0, 1}}),               // before the current time
        queueBytes(5, 10, {{10, 1, 1}, {20, 1, 2}}),  // two events share a sequence
    };
    std::vector<std::uint8_t> wrongMagic = valid;
    wrongMagic[7] = '2';
    refused.push_back(wrongMagic);
    std::vector<std::uint8_t> trailing = valid;
    trailing.push_back(0);
    refused.push_back(trailing);
    std::vector<std::uint8_t> hugeCount = valid;
    hugeCount[31] = 0x80;  // event count 2^63 + 2
    refused.push_back(hugeCount);
    for (std::size_t cut = 0; cut < valid.size(); ++cut)
        refused.emplace_back(valid.begin(), valid.begin() + cut);

    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(queue.restore(refused[i])) << "variant " << i;
        EXPECT_EQ(queue.snapshot(), before) << "variant " << i;
    }
    EXPECT_TRUE(queue.restore(valid));
}

TEST(EventQueue, TheLastSequenceIsOneBelowTheMaximum) {
    EventQueue queue;
    ASSERT_TRUE(queue.restore(queueBytes(kNoEvent - 1, 0, {})));
    EXPECT_EQ(queue.schedule(at(1)), kNoEvent - 1);
    EXPECT_THROW_MSG(queue.schedule(at(1)), TimeOverflow, "KVRN event sequence exhausted");
    EXPECT_EQ(queue.size(), 1u);
}

// Thousands pending at once (the pending table grows several times), then
// drained through cancellations of live and dead sequences and pops: every
// pending event is found, every dead one is refused, the order holds.
TEST(EventQueue, ManyPendingEventsSurviveGrowthAndScatteredRemoval) {
    std::mt19937_64 random(11);
    EventQueue queue;
    std::vector<Event> live;
    std::vector<std::uint64_t> dead;
    for (int i = 0; i < 5000; ++i) {
        Event e = at(static_cast<ModelTime>(random() % 100000), 0);
        e.value = static_cast<double>(i);
        e.sequence = queue.schedule(e);
        live.push_back(e);
    }
    for (int i = 0; i < 2500; ++i) {
        const std::size_t victim = random() % live.size();
        ASSERT_TRUE(queue.cancel(live[victim].sequence));
        dead.push_back(live[victim].sequence);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(victim));
    }
    for (std::uint64_t sequence : dead) ASSERT_FALSE(queue.cancel(sequence));
    ASSERT_EQ(queue.size(), live.size());
    std::sort(live.begin(), live.end(), [](const Event& a, const Event& b) {
        return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    });
    for (const Event& expected : live) {
        const Event popped = queue.popNext();
        ASSERT_EQ(popped.sequence, expected.sequence);
        ASSERT_EQ(popped.value, expected.value);
        ASSERT_FALSE(queue.cancel(popped.sequence));
    }
    EXPECT_TRUE(queue.empty());
}

// Scheduling by fields is scheduling the event those fields make (spare
// words zero), whether its entry is free or a long-lived event holds it and
// the queue has to grow or set one aside: two queues fed the same events the
// two ways write the same bytes, and the field-built events come back whole.
TEST(EventQueue, SchedulingByFieldsIsSchedulingTheEvent) {
    std::mt19937_64 random(12);
    EventQueue byEvent;
    EventQueue byFields;
    for (int i = 0; i < 3000; ++i) {
        // Every 50th event lives long, so younger ones meet it in the ring.
        const ModelTime now = std::max<ModelTime>(byEvent.currentTime(), 0);
        const ModelTime time = now + (i % 50 == 0 ? 1'000'000 : static_cast<ModelTime>(random() % 20));
        const auto kind = static_cast<EventKind>(random() % kEventKindCount);
        const std::uint64_t source = random() % 40;
        const std::uint64_t target = random() % 40;
        const double value = static_cast<double>(random() % 1000) / 7.0;
        Event e = at(time, target, kind);
        e.source = source;
        e.value = value;
        ASSERT_EQ(byEvent.schedule(e), byFields.schedule(time, kind, source, target, value));
        if (i % 3 == 0) {
            const Event a = byEvent.popNext();
            const Event b = byFields.popNext();
            ASSERT_EQ(a.sequence, b.sequence);
            ASSERT_EQ(a.value, b.value);
            ASSERT_EQ(a.source, b.source);
            ASSERT_EQ(b.spareInteger, 0u);
            ASSERT_EQ(b.spareWord, 0u);
        }
    }
    EXPECT_EQ(byEvent.snapshot(), byFields.snapshot());
}
