#pragma once
// A DHCP client for the lwIP interface (the packaged lwIP is built without
// one). It speaks through the interface's raw frame path, since lwIP will not
// send or accept IP traffic before the interface has an address, and sets the
// interface's address, mask and gateway when the server acknowledges.
//
// The exchange follows the usual client: DISCOVER, take the first OFFER,
// REQUEST it, and on ACK configure the interface. Messages that go unanswered
// are sent again after 4, 8, 16, 32 and then every 64 seconds of virtual time;
// a REQUEST unanswered four times starts over with a DISCOVER. At half the
// lease (or the server's renewal time) the lease is renewed with a broadcast
// REQUEST, and if it runs out the address is given up and the client starts
// over. A NAK does the same at once. Retransmissions are not randomised, so a
// run repeats exactly.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "machine/clock.h"
#include "net/stack/dhcp_message.h"
#include "net/stack/ndis_netif.h"

namespace net {

struct DhcpLease {
    Ipv4Address address;
    Ipv4Address netmask;
    Ipv4Address router;
    Ipv4Address server;
    std::vector<Ipv4Address> dns;
    std::uint32_t lease_seconds = 0;  // 0xFFFFFFFF: does not run out
    machine::Nanoseconds obtained_at = 0;
};

class DhcpClient {
public:
    enum class State { Stopped, Selecting, Requesting, Bound, Renewing };

    struct Counters {
        std::uint64_t discovers = 0;
        std::uint64_t requests = 0;
        std::uint64_t offers = 0;
        std::uint64_t acks = 0;
        std::uint64_t naks = 0;
        std::uint64_t leases_lost = 0;  // ran out or refused by NAK
    };

    DhcpClient(NdisNetif& netif, machine::VirtualClock& clock);
    ~DhcpClient();
    DhcpClient(const DhcpClient&) = delete;
    DhcpClient& operator=(const DhcpClient&) = delete;

    void start();
    // Stops sending; the interface keeps whatever address it has.
    void stop();

    State state() const { return state_; }
    bool bound() const { return state_ == State::Bound || state_ == State::Renewing; }
    const std::optional<DhcpLease>& lease() const { return lease_; }
    const Counters& counters() const { return counters_; }

private:
    // The interface's frame tap: true for a reply to us, which is then ours.
    bool take(std::span<const std::uint8_t> frame);
    void on_offer(const DhcpMessage& offer);
    void on_ack(const DhcpMessage& ack);
    void on_nak();

    void begin_selecting();
    void send_discover();
    void send_request();
    void send(DhcpMessage message);
    DhcpMessage client_message(DhcpType type) const;
    void arm(machine::Nanoseconds delay, void (DhcpClient::*action)());
    void retransmit();
    void renew();
    void lease_ran_out();
    void drop_lease();
    machine::Nanoseconds backoff() const;

    NdisNetif& netif_;
    machine::VirtualClock& clock_;
    State state_ = State::Stopped;
    std::uint32_t xid_ = 0;
    std::uint32_t xid_state_;  // generator of transaction ids, seeded from the MAC address
    unsigned attempts_ = 0;    // messages sent in the current state
    std::uint16_t ip_id_ = 0;
    machine::Nanoseconds started_at_ = 0;
    std::optional<DhcpMessage> offer_;
    std::optional<DhcpLease> lease_;
    machine::Nanoseconds lease_ends_ = 0;
    machine::VirtualClock::EventId timer_ = 0;
    Counters counters_;
};

const char* to_string(DhcpClient::State state);

}  // namespace net
