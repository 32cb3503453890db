#include "machine/clock.h"

#include <cassert>

namespace machine {

VirtualClock::EventId VirtualClock::schedule_at(Nanoseconds when, Action action) {
    if (when < now_) when = now_;
    std::uint32_t slot;
    if (free_slots_.empty()) {
        slot = static_cast<std::uint32_t>(slots_.size());
        assert(slot <= kSlotMask);
        slots_.emplace_back();
    } else {
        slot = free_slots_.back();
        free_slots_.pop_back();
    }
    const EventId id = next_sequence_++ << kSlotBits | slot;
    Slot& s = slots_[slot];
    s.action = std::move(action);
    s.id = id;
    heap_.push_back({when, id});
    s.position = heap_.size() - 1;
    sift_up(s.position);
    return id;
}

const VirtualClock::Slot* VirtualClock::slot_of(EventId id) const {
    const EventId slot = id & kSlotMask;
    if (id == 0 || slot >= slots_.size() || slots_[slot].id != id) return nullptr;
    return &slots_[slot];
}

bool VirtualClock::cancel(EventId id) {
    const Slot* s = slot_of(id);
    if (s == nullptr) return false;
    remove_at(s->position);
    release(id);
    return true;
}

bool VirtualClock::pending(EventId id) const {
    return slot_of(id) != nullptr;
}

// Frees the slot and hands back its action (moving a std::function allocates nothing).
VirtualClock::Action VirtualClock::release(EventId id) {
    Slot& s = slots_[id & kSlotMask];
    Action action = std::move(s.action);
    s.action = nullptr;
    s.id = 0;
    free_slots_.push_back(static_cast<std::uint32_t>(id & kSlotMask));
    return action;
}

void VirtualClock::place(std::size_t position, const Queued& entry) {
    heap_[position] = entry;
    slots_[entry.id & kSlotMask].position = position;
}

void VirtualClock::sift_up(std::size_t position) {
    const Queued entry = heap_[position];
    while (position > 0) {
        const std::size_t parent = (position - 1) / 2;
        if (!entry.before(heap_[parent])) break;
        place(position, heap_[parent]);
        position = parent;
    }
    place(position, entry);
}

void VirtualClock::sift_down(std::size_t position) {
    const Queued entry = heap_[position];
    const std::size_t size = heap_.size();
    for (;;) {
        std::size_t child = 2 * position + 1;
        if (child >= size) break;
        if (child + 1 < size && heap_[child + 1].before(heap_[child])) ++child;
        if (!heap_[child].before(entry)) break;
        place(position, heap_[child]);
        position = child;
    }
    place(position, entry);
}

void VirtualClock::remove_at(std::size_t position) {
    const Queued last = heap_.back();
    heap_.pop_back();
    if (position == heap_.size()) return;
    place(position, last);
    sift_up(position);
    sift_down(slots_[last.id & kSlotMask].position);
}

void VirtualClock::run_due(Nanoseconds deadline) {
    // An event may schedule or cancel others, or advance the clock itself, so
    // it is taken off the queue before it runs and the queue looked at afresh.
    while (!heap_.empty() && heap_.front().when <= deadline) {
        const Queued due = heap_.front();
        remove_at(0);
        Action action = release(due.id);
        now_ = due.when;
        action();
    }
}

bool VirtualClock::run_next() {
    if (heap_.empty()) return false;
    run_until(heap_.front().when);
    return true;
}

std::optional<Nanoseconds> VirtualClock::next_event_time() const {
    if (heap_.empty()) return std::nullopt;
    return heap_.front().when;
}

}  // namespace machine
