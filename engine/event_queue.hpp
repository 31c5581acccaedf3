#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/model_time.hpp"

namespace Core::Kvrn {

// What an event does is decided by its handler; the queue only checks that the
// kind is one of these six. Input, Input3 and Input4 add the event's value to
// a neuron's drive; Inert is valid but no neuron handler acts on it.
enum class EventKind : std::uint8_t {
    Input = 0,
    SpikeCandidate = 1,
    RefractoryEnd = 2,
    Input3 = 3,
    Input4 = 4,
    Inert = 5,
};
inline constexpr std::uint8_t kEventKindCount = 6;

// Sequence value meaning "no event"; the queue never hands it out.
inline constexpr std::uint64_t kNoEvent = UINT64_MAX;

struct Event {
    ModelTime time = 0;
    std::uint64_t sequence = 0;  // assigned by the queue; unique within it
    EventKind kind = EventKind::Input;
    std::uint64_t source = 0;        // originating element (neuron events: the neuron index)
    std::uint64_t target = 0;        // handling element (neuron events: the neuron index)
    std::uint64_t spareInteger = 0;  // carried and serialised, otherwise unused
    double value = 0;                // candidate: hazard bound [1/s]; inputs: drive increment
    std::uint64_t spareWord = 0;     // carried and serialised, otherwise unused
};

// Where new events go. The firing code schedules through this interface and
// removes superseded events with EventQueue::cancel.
class IEventSink {
  public:
    virtual ~IEventSink() = default;
    // Stores a copy of `event` under a fresh sequence number and returns it;
    // the caller's sequence field is ignored.
    virtual std::uint64_t schedule(const Event& event) = 0;

  protected:
    IEventSink() = default;
    IEventSink(const IEventSink&) = default;
    IEventSink(IEventSink&&) = default;
    IEventSink& operator=(const IEventSink&) = default;
    IEventSink& operator=(IEventSink&&) = default;
};

// Pending events handed out in strict (time, sequence) order, so events at the
// same time fire in the order they were scheduled.
class EventQueue final : public IEventSink {
  public:
    EventQueue();

    // Throws CausalityViolation for a time before currentTime() and
    // TimeOverflow once every sequence number is used up; nothing changes then.
    std::uint64_t schedule(const Event& event) override;
    // schedule() of the event with these fields and zero spare words. The
    // fields go straight into the queue's storage: an Event built just
    // before the call would be read back before its stores have settled.
    std::uint64_t schedule(ModelTime time, EventKind kind, std::uint64_t source, std::uint64_t target,
                           double value);
    // Removes a pending event; false when `sequence` is not pending (unknown,
    // already popped or already cancelled).
    bool cancel(std::uint64_t sequence);
    // Time of the next pending event; throws EmptyEventQueue when none is.
    ModelTime peekNextTime() {
        purge();
        if (heap_.empty()) throwEmpty("peekNextTime on empty KVRN event queue");
        return heap_.front().time;
    }
    // Removes and returns the next pending event and moves the current time to
    // it; throws EmptyEventQueue when none is pending.
    Event popNext();
    // The pending events in (time, sequence) order; valid until the next change.
    std::span<const Event> pendingEvents() const;

    ModelTime currentTime() const { return currentTime_; }
    std::uint64_t nextSequence() const { return nextSequence_; }
    std::size_t size() const { return events_.size(); }
    bool empty() const { return events_.empty(); }

    // KVRNEVQ1 bytes: next sequence, current time and the pending events.
    std::vector<std::uint8_t> snapshot() const;
    // Replaces the whole queue with the one in `bytes` and answers true, or
    // answers false on malformed input and leaves the queue unchanged.
    bool restore(std::span<const std::uint8_t> bytes);

  private:
    struct Slot {
        ModelTime time;
        std::uint64_t sequence;
    };
    // The pending events by sequence. Sequences are handed out one after
    // another and events live briefly, so the pending ones cover a short run
    // of sequences: each sits at ring_[sequence & mask], found without
    // hashing. The ring doubles while it is less than four times fuller than
    // needed; an event still pending when a much younger one needs its entry
    // moves to far_ instead, so memory stays proportional to the pending
    // count. An entry whose sequence is kNoEvent is free.
    class EventStore {
      public:
        std::size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        bool contains(std::uint64_t sequence) const {
            if (!ring_.empty() && ring_[sequence & mask_].sequence == sequence) return true;
            return !far_.empty() && far_.contains(sequence);
        }
        // Adds a copy of `event` under its sequence; false when one is there.
        bool insert(const Event& event);
        // Adds a copy of `event` under `sequence`, one never stored before.
        void add(const Event& event, std::uint64_t sequence) {
            if (!ring_.empty()) {
                Event& entry = ring_[sequence & mask_];
                if (entry.sequence == kNoEvent) {
                    entry = event;
                    entry.sequence = sequence;
                    ++size_;
                    return;
                }
            }
            Event stored = event;
            stored.sequence = sequence;
            insert(stored);
        }
        // add() of the event with these fields and zero spare words.
        void add(std::uint64_t sequence, ModelTime time, EventKind kind, std::uint64_t source,
                 std::uint64_t target, double value) {
            if (!ring_.empty()) {
                Event& entry = ring_[sequence & mask_];
                if (entry.sequence == kNoEvent) {
                    entry.time = time;
                    entry.sequence = sequence;
                    entry.kind = kind;
                    entry.source = source;
                    entry.target = target;
                    entry.spareInteger = 0;
                    entry.value = value;
                    entry.spareWord = 0;
                    ++size_;
                    return;
                }
            }
            Event event;
            event.time = time;
            event.kind = kind;
            event.source = source;
            event.target = target;
            event.value = value;
            add(event, sequence);
        }
        // Removes and returns the pending event of `sequence`.
        Event take(std::uint64_t sequence) {
            Event& entry = ring_[sequence & mask_];
            if (entry.sequence == sequence) {
                const Event event = entry;
                entry.sequence = kNoEvent;
                --size_;
                return event;
            }
            Event event;
            erase(sequence, &event);
            return event;
        }
        // Removes the event of `sequence` into *removed (when not null);
        // false when there is none.
        bool erase(std::uint64_t sequence, Event* removed);
        // The stored events, in no particular order.
        template <class Visit>
        void forEach(Visit visit) const {
            for (const Event& e : ring_)
                if (e.sequence != kNoEvent) visit(e);
            for (const auto& entry : far_) visit(entry.second);
        }

      private:
        void grow();

        std::vector<Event> ring_;
        std::uint64_t mask_ = 0;  // ring_.size() - 1
        std::unordered_map<std::uint64_t, Event> far_;
        std::size_t size_ = 0;  // events in ring_ and far_
    };

    // Drops slots of cancelled events from the top, so the top is live.
    // Without cancelled slots (the heap holds exactly the pending events)
    // the top is live as it is.
    void purge() {
        if (!topIsLive_ && heap_.size() != events_.size()) dropCancelledTop();
    }
    void dropCancelledTop();
    // The two halves of scheduling around storing the event: the next
    // sequence number (after the checks schedule() documents), and the
    // event's place in the heap.
    std::uint64_t claimSequence(ModelTime time);
    void enqueue(ModelTime time, std::uint64_t sequence);
    [[noreturn]] static void throwEmpty(const char* message);
    void compact();
    void rebuildHeap();

    // Min-heap on (time, sequence); may hold slots of cancelled events, which
    // are skipped when they reach the top.
    std::vector<Slot> heap_;
    EventStore events_;  // exactly the pending events, by sequence
    mutable std::vector<Event> sorted_;
    mutable bool dirty_ = true;
    bool topIsLive_ = false;  // the top slot was checked and nothing changed since
    std::uint64_t nextSequence_ = 0;
    ModelTime currentTime_ = kTimeBeforeAll;
};

}  // namespace Core::Kvrn
