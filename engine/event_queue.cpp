#include "engine/event_queue.hpp"

#include <algorithm>
#include <utility>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"

namespace Core::Kvrn {
namespace {

constexpr std::string_view kMagic = "KVRNEVQ1";
constexpr std::size_t kEventRecordSize = 57;

// Heap comparator: true when a fires after b, which makes the std heap
// algorithms keep the earliest (time, sequence) on top.
template <class A, class B>
bool firesAfter(const A& a, const B& b) {
    return a.time != b.time ? a.time > b.time : a.sequence > b.sequence;
}

}  // namespace

EventQueue::EventMap EventQueue::emptyMap() {
    EventMap map(8);
    map.max_load_factor(1.0f);
    return map;
}

EventQueue::EventQueue() : events_(emptyMap()) {}

std::uint64_t EventQueue::schedule(const Event& event) {
    if (event.time < currentTime_)
        throw CausalityViolation("KVRN event scheduled before the current model time");
    if (nextSequence_ == kNoEvent) throw TimeOverflow("KVRN event sequence exhausted");
    Event stored = event;
    stored.sequence = nextSequence_++;
    events_.emplace(stored.sequence, stored);
    heap_.push_back({stored.time, stored.sequence});
    std::push_heap(heap_.begin(), heap_.end(), firesAfter<Slot, Slot>);
    dirty_ = true;
    return stored.sequence;
}

bool EventQueue::cancel(std::uint64_t sequence) {
    if (events_.erase(sequence) == 0) return false;
    dirty_ = true;
    compact();
    return true;
}

ModelTime EventQueue::peekNextTime() {
    purge();
    if (heap_.empty()) throw EmptyEventQueue("peekNextTime on empty KVRN event queue");
    return heap_.front().time;
}

Event EventQueue::popNext() {
    purge();
    if (heap_.empty()) throw EmptyEventQueue("popNext on empty KVRN event queue");
    std::pop_heap(heap_.begin(), heap_.end(), firesAfter<Slot, Slot>);
    const std::uint64_t sequence = heap_.back().sequence;
    heap_.pop_back();
    auto found = events_.find(sequence);
    Event event = found->second;
    events_.erase(found);
    currentTime_ = event.time;
    dirty_ = true;
    compact();
    return event;
}

std::span<const Event> EventQueue::pendingEvents() const {
    if (dirty_) {
        sorted_.clear();
        sorted_.reserve(events_.size());
        for (const auto& entry : events_) sorted_.push_back(entry.second);
        std::sort(sorted_.begin(), sorted_.end(),
                  [](const Event& a, const Event& b) { return firesAfter(b, a); });
        dirty_ = false;
    }
    return sorted_;
}

// Drops slots of cancelled events from the top, so the top is live.
void EventQueue::purge() {
    while (!heap_.empty() && !events_.contains(heap_.front().sequence)) {
        std::pop_heap(heap_.begin(), heap_.end(), firesAfter<Slot, Slot>);
        heap_.pop_back();
    }
}

// Cancelled slots stay in the heap until they surface. Rebuilding once they
// make up more than half of it keeps the heap within twice the live count at
// an amortised O(1) per cancellation.
void EventQueue::compact() {
    if (heap_.size() > 2 * events_.size()) rebuildHeap();
}

void EventQueue::rebuildHeap() {
    heap_.clear();
    heap_.reserve(events_.size());
    for (const auto& entry : events_) heap_.push_back({entry.second.time, entry.first});
    std::make_heap(heap_.begin(), heap_.end(), firesAfter<Slot, Slot>);
}

std::vector<std::uint8_t> EventQueue::snapshot() const {
    const std::span<const Event> pending = pendingEvents();
    ByteWriter out;
    out.raw(kMagic);
    out.u64(nextSequence_);
    out.i64(currentTime_);
    out.u64(pending.size());
    for (const Event& e : pending) {
        out.i64(e.time);
        out.u64(e.sequence);
        out.u8(static_cast<std::uint8_t>(e.kind));
        out.u64(e.source);
        out.u64(e.target);
        out.u64(e.spareInteger);
        out.f64(e.value);
        out.u64(e.spareWord);
    }
    return std::move(out).take();
}

bool EventQueue::restore(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (!in.match(kMagic)) return false;
    EventQueue fresh;
    fresh.nextSequence_ = in.u64();
    fresh.currentTime_ = in.i64();
    const std::uint64_t count = in.u64();
    if (!in.ok() || count > in.remaining() / kEventRecordSize) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        Event e;
        e.time = in.i64();
        e.sequence = in.u64();
        const std::uint8_t kind = in.u8();
        e.source = in.u64();
        e.target = in.u64();
        e.spareInteger = in.u64();
        e.value = in.f64();
        e.spareWord = in.u64();
        if (!in.ok() || kind >= kEventKindCount || e.sequence >= fresh.nextSequence_ ||
            e.time < fresh.currentTime_)
            return false;
        e.kind = static_cast<EventKind>(kind);
        if (!fresh.events_.emplace(e.sequence, e).second) return false;  // shared sequence
    }
    if (!in.finished()) return false;
    fresh.rebuildHeap();
    fresh.dirty_ = true;
    *this = std::move(fresh);
    return true;
}

}  // namespace Core::Kvrn
