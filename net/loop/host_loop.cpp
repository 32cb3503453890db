#include "net/loop/host_loop.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace net {

namespace {

// The slice of virtual time run between two looks at the wall clock: short
// enough that a request waits little, long enough to keep the overhead low.
constexpr machine::Nanoseconds kRealTimeSlice = 2 * machine::kMillisecond;
constexpr int kLongestWaitMs = 10;

}  // namespace

HostLoop::HostLoop(machine::VirtualClock& clock, machine::Nanoseconds period)
    : clock_(clock), period_(period) {
    if (period_ == 0) throw std::invalid_argument("host loop: the period must not be zero");
    schedule_tick();
}

HostLoop::~HostLoop() {
    clock_.cancel(tick_event_);
}

void HostLoop::add(Participant& participant) {
    if (std::find(participants_.begin(), participants_.end(), &participant) == participants_.end())
        participants_.push_back(&participant);
}

void HostLoop::remove(Participant& participant) {
    std::erase(participants_, &participant);
}

int HostLoop::watch(int fd, short events) {
    descriptors_.push_back(pollfd{fd, events, 0});
    return static_cast<int>(descriptors_.size() - 1);
}

short HostLoop::ready(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= descriptors_.size()) return 0;
    return descriptors_[static_cast<std::size_t>(index)].revents;
}

void HostLoop::round(int wait_ms) {
    ++rounds_;
    descriptors_.clear();
    // A participant may leave during its turn (a client that finished).
    const std::vector<Participant*> turn = participants_;
    for (Participant* p : turn) p->prepare(*this);
    const int result = ::poll(descriptors_.data(), descriptors_.size(), std::max(wait_ms, 0));
    // Interrupted by a signal (Ctrl-C), or failed: nothing is ready this round.
    if (result < 0)
        for (pollfd& d : descriptors_) d.revents = 0;
    for (Participant* p : turn)
        if (std::find(participants_.begin(), participants_.end(), p) != participants_.end())
            p->dispatch(*this);
}

void HostLoop::schedule_tick() {
    tick_event_ = clock_.schedule_in(period_, [this] {
        round(0);
        schedule_tick();
    });
}

void HostLoop::run_in_real_time(const std::function<void(machine::Nanoseconds)>& advance,
                                const std::function<bool()>& stop) {
    const auto wall_start = std::chrono::steady_clock::now();
    const machine::Nanoseconds virtual_start = clock_.now();
    while (!stop()) {
        const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - wall_start)
                              .count();
        const machine::Nanoseconds due = virtual_start + static_cast<machine::Nanoseconds>(wall);
        if (clock_.now() < due) {
            advance(std::min(due - clock_.now(), kRealTimeSlice));
        } else {
            // Ahead of the wall clock: wait for the host instead of sleeping.
            const auto ahead_ms = static_cast<int>((clock_.now() - due) / machine::kMillisecond);
            round(std::clamp(ahead_ms, 1, kLongestWaitMs));
        }
    }
}

}  // namespace net
