#include "machine/clock.h"

namespace machine {

VirtualClock::EventId VirtualClock::schedule_at(Nanoseconds when, Action action) {
    if (when < now_) when = now_;
    const EventId id = next_id_++;
    events_.emplace(Key{when, id}, std::move(action));
    when_of_.emplace(id, when);
    return id;
}

bool VirtualClock::cancel(EventId id) {
    auto it = when_of_.find(id);
    if (it == when_of_.end()) return false;
    events_.erase(Key{it->second, id});
    when_of_.erase(it);
    return true;
}

bool VirtualClock::pending(EventId id) const {
    return when_of_.contains(id);
}

void VirtualClock::run_until(Nanoseconds deadline) {
    // An event may schedule or cancel others, so look the queue up afresh
    // after every action instead of holding iterators across it.
    while (!events_.empty() && events_.begin()->first.when <= deadline) {
        auto node = events_.extract(events_.begin());
        when_of_.erase(node.key().id);
        now_ = node.key().when;
        node.mapped()();
    }
    if (deadline > now_) now_ = deadline;
}

bool VirtualClock::run_next() {
    if (events_.empty()) return false;
    run_until(events_.begin()->first.when);
    return true;
}

std::optional<Nanoseconds> VirtualClock::next_event_time() const {
    if (events_.empty()) return std::nullopt;
    return events_.begin()->first.when;
}

}  // namespace machine
