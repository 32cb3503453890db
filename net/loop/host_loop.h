#pragma once
// What lives on this host's descriptors -- the virtual network's NAT sockets,
// host-side servers and clients on the loopback, a TAP device -- shares one
// loop, driven from the machine's virtual clock. Every `period` of virtual
// time the loop asks each participant which descriptors it waits on, polls
// them all once without waiting, and lets each do what its ready descriptors
// allow. Whatever a participant does is therefore paced by virtual time; a
// host program that takes real time to answer is seen later in virtual time,
// as a slow peer would be.
//
// For a run with people and real programs at the other end, run_in_real_time()
// keeps virtual time in step with the wall clock: it advances the machine in
// small slices and, when virtual time is ahead, waits in poll() for the
// descriptors instead of sleeping, so an arriving request is taken at once.
//
// Because the tick repeats, a clock with a loop attached is never idle:
// advance it by a duration rather than waiting for it to run dry.

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include <poll.h>

#include "machine/clock.h"

namespace net {

class HostLoop {
public:
    class Participant {
    public:
        virtual ~Participant() = default;
        // Names the descriptors to wait on this round (HostLoop::watch).
        virtual void prepare(HostLoop& loop) = 0;
        // Does what this round's ready descriptors (HostLoop::ready) allow.
        virtual void dispatch(HostLoop& loop) = 0;
    };

    // Throws std::invalid_argument for a zero period.
    explicit HostLoop(machine::VirtualClock& clock, machine::Nanoseconds period = machine::kMillisecond);
    ~HostLoop();
    HostLoop(const HostLoop&) = delete;
    HostLoop& operator=(const HostLoop&) = delete;

    // Participants take their turns in the order they were added.
    void add(Participant& participant);
    void remove(Participant& participant);
    // Added for as long as the returned object lives: declare it after the
    // participant, so that it leaves the loop before it is destroyed.
    class Membership {
    public:
        Membership(HostLoop& loop, Participant& participant) : loop_(&loop), participant_(&participant) {
            loop.add(participant);
        }
        ~Membership() {
            if (loop_) loop_->remove(*participant_);
        }
        Membership(Membership&& other) noexcept
            : loop_(std::exchange(other.loop_, nullptr)), participant_(other.participant_) {}
        Membership(const Membership&) = delete;
        Membership& operator=(const Membership&) = delete;
        Membership& operator=(Membership&&) = delete;

    private:
        HostLoop* loop_;
        Participant* participant_;
    };
    [[nodiscard]] Membership join(Participant& participant) { return Membership(*this, participant); }

    // During prepare: wait on `fd` for `events` (POLLIN, POLLOUT). Returns the
    // index to ask ready() with during dispatch.
    int watch(int fd, short events);
    // During dispatch: what poll() reported for a watched descriptor (0 for an
    // index not handed out this round).
    short ready(int index) const;

    // One round, waiting at most `wait_ms` of real time for a descriptor.
    void round(int wait_ms = 0);

    // Runs the machine in step with the wall clock until `stop()` says so:
    // `advance(d)` moves virtual time on by `d` (the stand-in's run_for).
    void run_in_real_time(const std::function<void(machine::Nanoseconds)>& advance,
                          const std::function<bool()>& stop);

    machine::VirtualClock& clock() { return clock_; }
    std::uint64_t rounds() const { return rounds_; }

private:
    void schedule_tick();

    machine::VirtualClock& clock_;
    machine::Nanoseconds period_;
    std::vector<Participant*> participants_;
    std::vector<pollfd> descriptors_;
    machine::VirtualClock::EventId tick_event_ = 0;
    std::uint64_t rounds_ = 0;
};

// A participant that waits on nothing and runs `work` every round: for
// host-side services that poll their own non-blocking sockets.
class PolledService : public HostLoop::Participant {
public:
    explicit PolledService(std::function<void()> work) : work_(std::move(work)) {}
    void prepare(HostLoop&) override {}
    void dispatch(HostLoop&) override { work_(); }

private:
    std::function<void()> work_;
};

}  // namespace net
