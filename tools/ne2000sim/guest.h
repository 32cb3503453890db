#pragma once
// The guest's side of a run: lwIP bound to the adapter as an NDIS protocol,
// and the host loop that whatever sits on this host's sockets (the virtual
// network, servers, clients, a TAP device) shares. A mode puts its network on
// the wire after the guest exists and takes it off before the guest goes.

#include <chrono>
#include <memory>
#include <optional>

#include "net/loop/host_loop.h"
#include "net/stack/dhcp_client.h"
#include "net/stack/lwip_stack.h"
#include "net/stack/ndis_netif.h"
#include "rig/rig.h"
#include "tools/ne2000sim/run_report.h"

namespace sim {

class Guest {
public:
    explicit Guest(rig::Rig& rig);
    ~Guest();
    Guest(const Guest&) = delete;
    Guest& operator=(const Guest&) = delete;

    net::HostLoop& loop() { return loop_; }
    net::LwipStack& stack() { return stack_; }
    net::NdisNetif& netif() { return netif_; }
    machine::VirtualClock& clock() { return rig_.clock(); }

    // Binds lwIP to the adapter; false (with the status in `step`) when the driver refuses.
    bool open(StepResult& step);
    // Takes an address by DHCP on whatever network is on the wire.
    bool lease(StepResult& step);
    const net::DhcpClient* dhcp() const { return dhcp_.get(); }
    // Lets the last frames leave, then unbinds.
    void close();
    // What the protocol took from its pools and has not had back.
    std::size_t outstanding() const { return netif_.pool_outstanding(); }

    void run_for(machine::Nanoseconds duration) { rig_.ndis().run_for(duration); }
    // Runs virtual time until `done`, or `limit` of it, or `wall` of real time, has passed.
    template <typename Done>
    bool run_until(Done done, machine::Nanoseconds limit, std::chrono::seconds wall) {
        const machine::Nanoseconds deadline = clock().now() + limit;
        const auto wall_deadline = std::chrono::steady_clock::now() + wall;
        while (!done() && clock().now() < deadline && std::chrono::steady_clock::now() < wall_deadline)
            run_for(machine::kMillisecond);
        return done();
    }

private:
    rig::Rig& rig_;
    net::HostLoop loop_;
    net::LwipStack stack_;
    net::NdisNetif netif_;
    std::unique_ptr<net::DhcpClient> dhcp_;
    bool open_ = false;
};

}  // namespace sim
