#pragma once
// Virtual time for the emulated PC. Nothing on the host sleeps: time moves only
// when a bus access is charged or the HAL stalls, and device events (a frame
// finishing on the wire, a peer sending) run when the clock passes them.
//
// The queue is a binary heap of small records over a pool of action slots,
// both reused, so scheduling, cancelling and running events allocate nothing
// once the machine has reached its steady state.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace machine {

using Nanoseconds = std::uint64_t;

constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

class VirtualClock {
public:
    // Never 0, so holders may use 0 for "no event".
    using EventId = std::uint64_t;
    using Action = std::function<void()>;

    Nanoseconds now() const { return now_; }

    // Events due at the same instant run in the order they were scheduled.
    EventId schedule_at(Nanoseconds when, Action action);
    EventId schedule_in(Nanoseconds delay, Action action) {
        return schedule_at(now_ + delay, std::move(action));
    }
    // Returns false when the event already ran or was cancelled.
    bool cancel(EventId id);
    bool pending(EventId id) const;

    // Moves time forward by `delta`, running every event that falls due on the
    // way with the clock set to that event's own time.
    void advance(Nanoseconds delta) { run_until(now_ + delta); }
    void run_until(Nanoseconds deadline) {
        // Most advances (one port access) pass no event at all.
        if (!heap_.empty() && heap_.front().when <= deadline) run_due(deadline);
        if (deadline > now_) now_ = deadline;
    }
    // Jumps to the next event and runs everything due then; false when idle.
    bool run_next();
    std::optional<Nanoseconds> next_event_time() const;

private:
    // An id is the event's sequence number above the index of its slot: ids
    // grow in scheduling order, which breaks ties between equal times, and
    // the slot is found without a search.
    static constexpr unsigned kSlotBits = 24;
    static constexpr EventId kSlotMask = (EventId{1} << kSlotBits) - 1;

    struct Queued {
        Nanoseconds when;
        EventId id;
        bool before(const Queued& other) const {
            return when != other.when ? when < other.when : id < other.id;
        }
    };
    struct Slot {
        Action action;
        EventId id = 0;            // 0 while the slot is free
        std::size_t position = 0;  // index in heap_
    };

    void run_due(Nanoseconds deadline);
    const Slot* slot_of(EventId id) const;
    void place(std::size_t position, const Queued& entry);
    void sift_up(std::size_t position);
    void sift_down(std::size_t position);
    void remove_at(std::size_t position);
    Action release(EventId id);

    Nanoseconds now_ = 0;
    EventId next_sequence_ = 1;
    std::vector<Queued> heap_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_slots_;
};

}  // namespace machine
