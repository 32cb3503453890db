#pragma once
// Real traffic through the running adapter: lwIP bound to it as a protocol,
// the user-mode virtual network on the wire, an address by DHCP, and a TCP
// echo exchange with a server on this host's loopback that the guest reaches
// through the virtual network's NAT (10.0.2.2 is the host's 127.0.0.1).

#include <cstdint>
#include <memory>

#include "net/slirp/loopback_echo_server.h"
#include "net/slirp/slirp_network.h"
#include "net/stack/dhcp_client.h"
#include "net/stack/lwip_stack.h"
#include "net/stack/ndis_netif.h"
#include "net/stack/tcp_echo_client.h"
#include "platform/host/ndis_library.h"

namespace sim {

struct SessionOptions {
    std::uint64_t echo_bytes = 100 * 1024;
    // Let the guest's traffic leave this host (the virtual network's NAT to
    // the real network). Off: only the host's loopback is reachable.
    bool open_network = false;
};

class NetworkSession {
public:
    NetworkSession(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, net::EthernetWire& wire,
                   SessionOptions options);
    ~NetworkSession();
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;

    // Binds, leases, exchanges, prints as it goes, and unbinds. True when the
    // lease was had and every byte came back.
    bool run();
    // After the adapter was halted: everything this protocol took from its
    // pools is back. Prints what is not.
    bool check_given_back();

private:
    bool lease();
    bool exchange();
    void print_counters();
    // Runs virtual time until `done` or `limit` of it has passed, and at most
    // `wall_seconds` of real time.
    template <typename Done>
    bool run_until(Done done, machine::Nanoseconds limit, int wall_seconds);

    host::NdisLibrary& ndis_;
    host::MiniportAdapter& adapter_;
    machine::VirtualClock& clock_;
    SessionOptions options_;
    net::LoopbackEchoServer echo_;
    net::SlirpNetwork network_;
    net::LwipStack stack_;
    net::NdisNetif netif_;
    std::unique_ptr<net::DhcpClient> dhcp_;
};

}  // namespace sim
