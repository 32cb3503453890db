#pragma once
// ICMP echo ("ping") from the guest's lwIP, and the ARP resolution it needs
// first: sends a number of echo requests to one address, one at a time, and
// records each reply's round trip in virtual time. A reply is taken only if
// it carries our identifier, the sequence number asked for and the payload
// sent, so a stale or foreign reply is not counted.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/stack/ipv4_address.h"
#include "net/stack/lwip_stack.h"

struct raw_pcb;
struct pbuf;
struct netif;

namespace net {

class IcmpEchoClient {
public:
    IcmpEchoClient(LwipStack& stack, Ipv4Address target, unsigned count, std::uint16_t identifier = 0x4E32);
    ~IcmpEchoClient();
    IcmpEchoClient(const IcmpEchoClient&) = delete;
    IcmpEchoClient& operator=(const IcmpEchoClient&) = delete;

    // Sends the first request; false (with the reason in error()) when lwIP refuses.
    bool start();
    // Sends the next request once the last was answered or timed out; call it
    // as virtual time passes. A request unanswered after `timeout` is lost.
    void poll(machine::Nanoseconds timeout = 1000 * machine::kMillisecond);
    bool done() const { return sent_ >= count_ && !waiting_; }
    const std::string& error() const { return error_; }

    unsigned sent() const { return sent_; }
    // Round trips of the replies, in virtual time.
    const std::vector<machine::Nanoseconds>& round_trips() const { return round_trips_; }

    // The MAC address lwIP's ARP table holds for the target on `netif`, if any.
    static std::optional<std::string> resolved_mac(struct netif* netif, Ipv4Address target);

private:
    friend struct IcmpClientGlue;  // lwIP's C callback
    // True when `packet` (an IP datagram) was our reply and was taken.
    bool on_packet(pbuf* packet);
    bool send_request();

    LwipStack& stack_;
    Ipv4Address target_;
    unsigned count_;
    std::uint16_t identifier_;
    raw_pcb* pcb_ = nullptr;
    unsigned sent_ = 0;
    bool waiting_ = false;
    machine::Nanoseconds sent_at_ = 0;
    std::string error_;
    std::vector<machine::Nanoseconds> round_trips_;
};

}  // namespace net
