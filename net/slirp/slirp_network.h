#pragma once
// The user-mode virtual network as a station on the wire: libslirp plays the
// router 10.0.2.2, the DHCP server that leases 10.0.2.15 on, the DNS relay at
// 10.0.2.3, and NATs the guest's TCP and UDP onto sockets of this host (the
// router's own address reaches the host's loopback).
//
// Time. libslirp keeps two clocks. Its protocol timers (TCP delayed ACK and
// retransmission, ARP retries, the lease book) read the clock we give it, and
// that is the wire's virtual clock, so everything between the guest and the
// virtual network is as deterministic as the rest of the machine. Its host
// sockets live in real time: data from the host is there when the kernel has
// it. They are polled without waiting in each round of the host loop (every
// millisecond of virtual time by default), with the host-side services that
// share the loop. On loopback the kernel hands data across inside the send
// call, so a request and its answer cross in consecutive rounds, and what the
// guest sees depends on virtual time only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/clock.h"
#include "net/loop/host_loop.h"
#include "net/wire/ethernet_wire.h"

struct Slirp;

namespace net {

struct SlirpGlue;

struct SlirpNetworkOptions {
    // The usual user-mode network. Addresses in dotted form.
    std::string network = "10.0.2.0";
    unsigned prefix_length = 24;
    std::string host = "10.0.2.2";         // router, DHCP server; reaches the host's loopback
    std::string nameserver = "10.0.2.3";   // DNS relay to the host's resolver
    std::string dhcp_start = "10.0.2.15";  // first address leased
    std::string hostname = "ne2000sim";
    // Keeps the guest's traffic on this machine: IPv4 packets from the guest
    // are passed on only when addressed to the router (the host's loopback) or
    // to a broadcast address. Everything else is dropped and counted, so
    // nothing the guest sends can reach a real network.
    bool confine_to_host = false;
};

class SlirpNetwork : public WireEndpoint, public HostLoop::Participant {
public:
    enum class Transport { Tcp, Udp };

    struct Counters {
        std::uint64_t frames_from_guest = 0;  // passed to the virtual network
        std::uint64_t frames_to_guest = 0;    // put on the wire
        std::uint64_t frames_refused = 0;     // dropped by the confinement or as malformed
        std::uint64_t polls = 0;              // rounds of the host loop that looked at its sockets
    };

    // Throws std::runtime_error when an address is malformed or libslirp refuses the setup.
    SlirpNetwork(EthernetWire& wire, HostLoop& loop, SlirpNetworkOptions options = {});
    ~SlirpNetwork() override;
    SlirpNetwork(const SlirpNetwork&) = delete;
    SlirpNetwork& operator=(const SlirpNetwork&) = delete;

    void receive_frame(std::span<const std::uint8_t> frame) override;

    // Forwards connections to `host_address`:`host_port` on this machine to the
    // guest's `guest_address`:`guest_port`. Port 0 picks a free port. Returns the
    // host port, or nothing when it could not be opened.
    std::optional<std::uint16_t> add_host_forward(Transport transport, std::uint16_t host_port,
                                                  const std::string& guest_address, std::uint16_t guest_port,
                                                  const std::string& host_address = "127.0.0.1");
    bool remove_host_forward(Transport transport, std::uint16_t host_port,
                             const std::string& host_address = "127.0.0.1");

    // Its turn in the host loop: the sockets libslirp waits on, then what they allow.
    void prepare(HostLoop& loop) override;
    void dispatch(HostLoop& loop) override;

    const SlirpNetworkOptions& options() const { return options_; }
    const Counters& counters() const { return counters_; }
    // What libslirp complained about in the guest's behaviour.
    const std::vector<std::string>& guest_errors() const { return guest_errors_; }
    // libslirp's table of connections, for diagnostics.
    std::string connection_info() const;

private:
    struct Timer;
    friend struct SlirpGlue;  // libslirp's C callbacks

    // libslirp's callbacks.
    void send_to_guest(const std::uint8_t* frame, std::size_t length);
    std::int64_t clock_ns() const;
    Timer* new_timer(int id, void* cb_opaque);
    void free_timer(Timer* timer);
    void arm_timer(Timer* timer, std::int64_t expire_ms);
    bool admitted(std::span<const std::uint8_t> frame) const;

    EthernetWire& wire_;
    HostLoop& loop_;
    SlirpNetworkOptions options_;
    std::uint32_t network_ = 0;  // host byte order
    std::uint32_t netmask_ = 0;
    std::uint32_t router_ = 0;
    Slirp* slirp_ = nullptr;
    std::vector<std::unique_ptr<Timer>> timers_;
    Counters counters_;
    std::vector<std::string> guest_errors_;
};

}  // namespace net
