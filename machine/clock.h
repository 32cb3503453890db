#pragma once
// Virtual time for the emulated PC. Nothing on the host sleeps: time moves only
// when a bus access is charged or the HAL stalls, and device events (a frame
// finishing on the wire, a peer sending) run when the clock passes them.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace machine {

using Nanoseconds = std::uint64_t;

constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

class VirtualClock {
public:
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
    void run_until(Nanoseconds deadline);
    // Jumps to the next event and runs everything due then; false when idle.
    bool run_next();
    std::optional<Nanoseconds> next_event_time() const;

private:
    struct Key {
        Nanoseconds when;
        EventId id;
        auto operator<=>(const Key&) const = default;
    };
    Nanoseconds now_ = 0;
    EventId next_id_ = 1;
    std::map<Key, Action> events_;
    std::map<EventId, Nanoseconds> when_of_;
};

}  // namespace machine
