#pragma once
// The guest's lwIP, run on the machine's virtual clock.
//
// lwIP keeps its whole state in globals, so there is one stack per process:
// constructing an LwipStack makes it the current one (a second at the same
// time is refused), destroying it aborts every connection still open so the
// next one starts clean. lwIP itself is initialised once per process.
//
// The packaged lwIP (Debian's liblwip) is built for a threaded system: its
// options header says NO_SYS 0 and it ships the tcpip thread, mailboxes and a
// sys_now() on the real clock. We use it the way a NO_SYS build is used
// instead: lwip_init() rather than tcpip_init(), so no thread is ever started;
// every lwIP call is made from this one thread (the core-locking check of its
// port passes while no tcpip thread exists); timers run by calling
// sys_check_timeouts() from an event on the virtual clock. lwIP reads time
// only through sys_now(), which the library calls through its PLT, so the
// definition in lwip_stack.cpp takes its place for the whole process and
// answers with virtual milliseconds. Two things of that build must not be used
// here: the netconn/socket API (it needs the tcpip thread), and sending to the
// stack's own address (its loopback path posts to the tcpip thread's mailbox).
// The build also leaves DHCP out, so the DHCP client is ours (dhcp_client.h).

#include <cstdint>

#include "machine/clock.h"

namespace net {

class LwipStack {
public:
    // Timers are checked every `tick` of virtual time; lwIP's finest is 250 ms.
    explicit LwipStack(machine::VirtualClock& clock, machine::Nanoseconds tick = 10 * machine::kMillisecond);
    ~LwipStack();
    LwipStack(const LwipStack&) = delete;
    LwipStack& operator=(const LwipStack&) = delete;

    // The installed stack, or null.
    static LwipStack* current();

    machine::VirtualClock& clock() { return clock_; }
    // lwIP's idea of now: virtual milliseconds.
    std::uint32_t now_ms() const { return static_cast<std::uint32_t>(clock_.now() / machine::kMillisecond); }
    // Runs lwIP's timers that are due.
    void run_timers();

    // TCP connections still known to lwIP (any state but CLOSED), listeners included.
    std::size_t tcp_connections() const;

private:
    void schedule_tick();

    machine::VirtualClock& clock_;
    machine::Nanoseconds tick_;
    machine::VirtualClock::EventId tick_event_ = 0;
};

}  // namespace net
