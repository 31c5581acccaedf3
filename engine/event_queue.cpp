#include "engine/event_queue.hpp"

#include <algorithm>
#include <utility>

#include "common/byte_io.hpp"
#include "engine/errors.hpp"

namespace Core::Kvrn {
namespace {

constexpr std::string_view kMagic = "KVRNEVQ1";
constexpr std::size_t kEventRecordSize = 57;

// The (time, sequence) order as one unsigned 128-bit number (the time's
// sign bit flipped, so that unsigned order is signed order): a comparison of
// two keys is a compare and a subtract with borrow, without a branch. The
// heap walks compare times that are random, and a branch on them would be
// mispredicted about every other time.
__extension__ typedef unsigned __int128 OrderKey;

template <class Slot>
OrderKey orderKey(const Slot& slot) {
    constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
    return (OrderKey{static_cast<std::uint64_t>(slot.time) ^ kSignBit} << 64) | slot.sequence;
}

// True when a fires before b.
template <class Slot>
bool firesBefore(const Slot& a, const Slot& b) {
    return orderKey(a) < orderKey(b);
}

// True when a fires after b: as a heap comparator it keeps the earliest
// (time, sequence) on top; as a sort comparator it orders latest first.
template <class Slot>
bool firesAfter(const Slot& a, const Slot& b) {
    return firesBefore(b, a);
}

// The same as an object, so the heap algorithms inline it.
struct FiresAfter {
    template <class Slot>
    bool operator()(const Slot& a, const Slot& b) const {
        return firesAfter(a, b);
    }
};

// Moves the slot at `hole` of the binary min-heap up to its place.
template <class Slot>
void siftUp(std::vector<Slot>& heap, std::size_t hole, Slot slot) {
    while (hole > 0) {
        const std::size_t parent = (hole - 1) / 2;
        if (!firesBefore(slot, heap[parent])) break;
        heap[hole] = heap[parent];
        hole = parent;
    }
    heap[hole] = slot;
}

// Removes the top of the binary min-heap: the hole left at the top walks
// down along the earlier child to a leaf (picking the child without a
// branch), and the last slot moves up from there. Walking to a leaf first
// costs one comparison per level instead of two.
template <class Slot>
void removeTop(std::vector<Slot>& heap) {
    const Slot last = heap.back();
    heap.pop_back();
    const std::size_t size = heap.size();
    if (size == 0) return;
    std::size_t hole = 0;
    for (;;) {
        std::size_t child = 2 * hole + 1;
        if (child + 1 < size)
            child += static_cast<std::size_t>(firesBefore(heap[child + 1], heap[child]));
        else if (child >= size)
            break;
        heap[hole] = heap[child];
        hole = child;
    }
    siftUp(heap, hole, last);
}

}  // namespace

bool EventQueue::EventStore::insert(const Event& event) {
    if (!far_.empty() && far_.contains(event.sequence)) return false;
    if (ring_.empty()) grow();
    for (;;) {
        Event& entry = ring_[event.sequence & mask_];
        if (entry.sequence == event.sequence) return false;
        if (entry.sequence != kNoEvent) {
            // Another pending event holds the entry.
            if (ring_.size() < 4 * (size_ + 1)) {
                grow();
                continue;
            }
            far_.emplace(entry.sequence, entry);
        }
        entry = event;
        ++size_;
        return true;
    }
}

bool EventQueue::EventStore::erase(std::uint64_t sequence, Event* removed) {
    if (!ring_.empty()) {
        Event& entry = ring_[sequence & mask_];
        if (entry.sequence == sequence) {
            if (removed != nullptr) *removed = entry;
            entry.sequence = kNoEvent;
            --size_;
            return true;
        }
    }
    if (far_.empty()) return false;
    auto found = far_.find(sequence);
    if (found == far_.end()) return false;
    if (removed != nullptr) *removed = found->second;
    far_.erase(found);
    --size_;
    return true;
}

void EventQueue::EventStore::grow() {
    std::vector<Event> old = std::move(ring_);
    Event free;
    free.sequence = kNoEvent;
    ring_.assign(old.empty() ? 16 : 2 * old.size(), free);
    mask_ = ring_.size() - 1;
    // Two sequences apart from each other in the larger ring were apart in
    // the smaller one too, so nothing collides here.
    for (const Event& e : old)
        if (e.sequence != kNoEvent) ring_[e.sequence & mask_] = e;
}

EventQueue::EventQueue() = default;

std::uint64_t EventQueue::schedule(const Event& event) {
    const std::uint64_t sequence = claimSequence(event.time);
    events_.add(event, sequence);
    enqueue(event.time, sequence);
    return sequence;
}

std::uint64_t EventQueue::schedule(ModelTime time, EventKind kind, std::uint64_t source, std::uint64_t target,
                                   double value) {
    const std::uint64_t sequence = claimSequence(time);
    events_.add(sequence, time, kind, source, target, value);
    enqueue(time, sequence);
    return sequence;
}

std::uint64_t EventQueue::claimSequence(ModelTime time) {
    if (time < currentTime_) throw CausalityViolation("KVRN event scheduled before the current model time");
    if (nextSequence_ == kNoEvent) throw TimeOverflow("KVRN event sequence exhausted");
    return nextSequence_++;
}

void EventQueue::enqueue(ModelTime time, std::uint64_t sequence) {
    heap_.push_back({time, sequence});
    siftUp(heap_, heap_.size() - 1, heap_.back());
    topIsLive_ = false;
    dirty_ = true;
}

bool EventQueue::cancel(std::uint64_t sequence) {
    if (!events_.erase(sequence, nullptr)) return false;
    topIsLive_ = false;
    dirty_ = true;
    compact();
    return true;
}

void EventQueue::throwEmpty(const char* message) { throw EmptyEventQueue(message); }

Event EventQueue::popNext() {
    purge();
    if (heap_.empty()) throwEmpty("popNext on empty KVRN event queue");
    const std::uint64_t sequence = heap_.front().sequence;
    removeTop(heap_);
    topIsLive_ = false;
    const Event event = events_.take(sequence);
    currentTime_ = event.time;
    dirty_ = true;
    compact();
    return event;
}

std::span<const Event> EventQueue::pendingEvents() const {
    if (dirty_) {
        sorted_.clear();
        sorted_.reserve(events_.size());
        events_.forEach([this](const Event& e) { sorted_.push_back(e); });
        std::sort(sorted_.begin(), sorted_.end(),
                  [](const Event& a, const Event& b) { return firesAfter(b, a); });
        dirty_ = false;
    }
    return sorted_;
}

void EventQueue::dropCancelledTop() {
    while (!heap_.empty() && !events_.contains(heap_.front().sequence)) removeTop(heap_);
    topIsLive_ = !heap_.empty();
}

// Cancelled slots stay in the heap until they surface. Rebuilding once they
// make up more than half of it keeps the heap within twice the live count at
// an amortised O(1) per cancellation.
void EventQueue::compact() {
    if (heap_.size() > 2 * events_.size()) rebuildHeap();
}

void EventQueue::rebuildHeap() {
    topIsLive_ = false;
    heap_.clear();
    heap_.reserve(events_.size());
    events_.forEach([this](const Event& e) { heap_.push_back({e.time, e.sequence}); });
    std::make_heap(heap_.begin(), heap_.end(), FiresAfter{});
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
        if (!fresh.events_.insert(e)) return false;  // shared sequence
    }
    if (!in.finished()) return false;
    fresh.rebuildHeap();
    fresh.dirty_ = true;
    *this = std::move(fresh);
    return true;
}

}  // namespace Core::Kvrn
