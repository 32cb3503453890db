#pragma once
// DHCP messages as they travel on Ethernet: a client's request built into a
// whole frame (Ethernet, IPv4 and UDP headers included, since the client
// speaks before its interface has an address), and a server's reply taken
// apart from a received frame. The parser trusts nothing in the frame: every
// length is checked against what arrived, and both checksums are verified.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "net/stack/ipv4_address.h"
#include "platform/host/ethernet_filter.h"

namespace net {

enum class DhcpType : std::uint8_t {
    Discover = 1,
    Offer = 2,
    Request = 3,
    Decline = 4,
    Ack = 5,
    Nak = 6,
    Release = 7,
};

struct DhcpMessage {
    bool reply = false;  // BOOTP op: 1 request, 2 reply
    std::uint32_t xid = 0;
    std::uint16_t seconds = 0;
    bool broadcast = false;  // ask the server to broadcast its reply
    Ipv4Address client;      // ciaddr
    Ipv4Address yours;       // yiaddr
    host::MacAddress hardware{};
    std::optional<DhcpType> type;
    std::optional<Ipv4Address> requested;         // option 50
    std::optional<Ipv4Address> server;            // option 54
    std::optional<Ipv4Address> netmask;           // option 1
    std::optional<Ipv4Address> router;            // option 3, the first one
    std::vector<Ipv4Address> dns;                 // option 6
    std::optional<std::uint32_t> lease_seconds;   // option 51
    std::optional<std::uint32_t> renew_seconds;   // option 58 (T1)
    std::optional<std::uint32_t> rebind_seconds;  // option 59 (T2)
};

constexpr std::uint16_t kDhcpServerPort = 67;
constexpr std::uint16_t kDhcpClientPort = 68;

// A message as a broadcast frame from `source` to 255.255.255.255. A client's
// (reply false) goes from port 68, its IP source 0.0.0.0 or `message.client`
// once it has an address, to port 67, and asks for the parameters it needs. A
// server's (reply true) goes from `message.server`:67 to port 68 and carries
// the lease's mask, router, nameservers and times.
std::vector<std::uint8_t> build_dhcp_frame(const DhcpMessage& message, const host::MacAddress& source,
                                           std::uint16_t ip_id);

// A server's reply to a client (UDP to port 68, BOOTP op 2, the DHCP cookie),
// or with `reply` false a client's message to a server (port 67, op 1); nothing
// when the frame is anything else or malformed.
std::optional<DhcpMessage> parse_dhcp_frame(std::span<const std::uint8_t> frame, bool reply = true);
inline std::optional<DhcpMessage> parse_dhcp_reply_frame(std::span<const std::uint8_t> frame) {
    return parse_dhcp_frame(frame, true);
}

// The one's-complement sum of IP, folded and inverted.
std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes, std::uint32_t initial = 0);

}  // namespace net
