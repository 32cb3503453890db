// The virtual network on the wire, seen from a scripted station standing in
// for the guest: its DHCP server, its NAT to the host's loopback, the
// confinement that keeps guest traffic on this machine, and the loopback echo
// server the main program talks to.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "machine/clock.h"
#include "net/slirp/loopback_echo_server.h"
#include "net/slirp/slirp_network.h"
#include "net/stack/dhcp_message.h"
#include "net/wire/ethernet_wire.h"
#include "net/wire/peer_station.h"

namespace {

using machine::kMillisecond;
using net::Ipv4Address;

const host::MacAddress kGuestMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x15};
const Ipv4Address kGuestIp = Ipv4Address::of(10, 0, 2, 15);

// An IPv4/UDP frame from the guest; `good_checksum` false spoils the IP header checksum.
std::vector<std::uint8_t> udp_frame(Ipv4Address to, std::uint16_t port, const std::string& payload,
                                    const host::MacAddress& router_mac, bool good_checksum = true) {
    const std::size_t ip_length = 20 + 8 + payload.size();
    std::vector<std::uint8_t> f(14 + ip_length, 0);
    std::copy(router_mac.begin(), router_mac.end(), f.begin());
    std::copy(kGuestMac.begin(), kGuestMac.end(), f.begin() + 6);
    f[12] = 0x08;
    f[14] = 0x45;
    f[16] = static_cast<std::uint8_t>(ip_length >> 8);
    f[17] = static_cast<std::uint8_t>(ip_length);
    f[22] = 64;
    f[23] = 17;
    for (int i = 0; i < 4; ++i) {
        f[26 + i] = static_cast<std::uint8_t>(kGuestIp.value >> (24 - 8 * i));
        f[30 + i] = static_cast<std::uint8_t>(to.value >> (24 - 8 * i));
    }
    const std::uint16_t sum = net::internet_checksum(std::span(f).subspan(14, 20));
    f[24] = static_cast<std::uint8_t>(sum >> 8);
    f[25] = static_cast<std::uint8_t>(sum ^ (good_checksum ? 0 : 0x5A));
    f[34] = 0x30;  // source port 12345
    f[35] = 0x39;
    f[36] = static_cast<std::uint8_t>(port >> 8);
    f[37] = static_cast<std::uint8_t>(port);
    f[38] = static_cast<std::uint8_t>((8 + payload.size()) >> 8);
    f[39] = static_cast<std::uint8_t>(8 + payload.size());
    std::copy(payload.begin(), payload.end(), f.begin() + 42);
    return f;
}

struct Network {
    machine::VirtualClock clock;
    net::EthernetWire wire{clock};
    net::PeerStation guest{wire};
    net::HostLoop loop{clock};
    net::SlirpNetwork slirp;
    host::MacAddress router_mac{};  // learnt from the DHCP server's replies

    explicit Network(net::SlirpNetworkOptions options = {}) : slirp(wire, loop, std::move(options)) {}

    std::optional<net::DhcpMessage> dhcp(net::DhcpType type, std::uint32_t xid,
                                         std::optional<Ipv4Address> requested = {}) {
        net::DhcpMessage m;
        m.xid = xid;
        m.type = type;
        m.broadcast = true;
        m.hardware = kGuestMac;
        m.requested = requested;
        if (requested) m.server = Ipv4Address::of(10, 0, 2, 2);
        guest.clear_received();
        guest.send(net::build_dhcp_frame(m, kGuestMac, 1));
        clock.advance(20 * kMillisecond);
        for (const auto& arrival : guest.received()) {
            if (auto reply = net::parse_dhcp_reply_frame(arrival.frame)) {
                std::copy_n(arrival.frame.begin() + 6, 6, router_mac.begin());
                return reply;
            }
        }
        return std::nullopt;
    }
};

TEST(SlirpNetwork, LeasesTheFirstAddressWithRouterMaskAndNameserver) {
    Network n;
    const auto offer = n.dhcp(net::DhcpType::Discover, 0x1234);
    ASSERT_TRUE(offer.has_value()) << "no DHCP offer from the virtual network";
    EXPECT_EQ(offer->type, net::DhcpType::Offer);
    EXPECT_EQ(offer->xid, 0x1234u);
    EXPECT_EQ(offer->yours, kGuestIp);
    EXPECT_EQ(offer->server, Ipv4Address::of(10, 0, 2, 2));

    const auto ack = n.dhcp(net::DhcpType::Request, 0x1235, offer->yours);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->type, net::DhcpType::Ack);
    EXPECT_EQ(ack->yours, kGuestIp);
    EXPECT_EQ(ack->netmask, Ipv4Address::of(255, 255, 255, 0));
    EXPECT_EQ(ack->router, Ipv4Address::of(10, 0, 2, 2));
    ASSERT_FALSE(ack->dns.empty());
    EXPECT_EQ(ack->dns[0], Ipv4Address::of(10, 0, 2, 3));
    EXPECT_GT(ack->lease_seconds.value_or(0), 0u);
    // Every frame it put on the wire was padded to the Ethernet minimum.
    for (const auto& arrival : n.guest.received()) EXPECT_GE(arrival.frame.size(), 60u);
    EXPECT_TRUE(n.slirp.guest_errors().empty());
}

TEST(SlirpNetwork, TimersAndPollsFollowVirtualTime) {
    Network n;
    n.clock.advance(100 * kMillisecond);
    // One poll per virtual millisecond, whatever the real time took.
    EXPECT_EQ(n.slirp.counters().polls, 100u);
}

TEST(SlirpNetwork, CarriesUdpToTheHostLoopbackAndConfinesEverythingElse) {
    // A UDP socket on the host's loopback, reached as the router 10.0.2.2.
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(::getsockname(sock, reinterpret_cast<sockaddr*>(&where), &length), 0);
    const std::uint16_t port = ntohs(where.sin_port);

    Network n({.confine_to_host = true});
    ASSERT_TRUE(n.dhcp(net::DhcpType::Discover, 7).has_value()) << "DHCP broadcasts pass the confinement";
    const host::MacAddress router_mac = n.router_mac;

    // Bad IP checksum: were the confinement to let it through, the virtual
    // network would still drop it, so nothing can leave this machine.
    const auto before = n.slirp.counters();
    n.guest.send(udp_frame(Ipv4Address::of(192, 0, 2, 1), 9, "outside", router_mac, false));
    n.clock.advance(5 * kMillisecond);
    EXPECT_EQ(n.slirp.counters().frames_refused, before.frames_refused + 1);
    EXPECT_EQ(n.slirp.counters().frames_from_guest, before.frames_from_guest);

    n.guest.send(udp_frame(Ipv4Address::of(10, 0, 2, 2), port, "hello host", router_mac));
    std::string got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
        n.clock.advance(kMillisecond);
        char buffer[64];
        const ssize_t size = ::recv(sock, buffer, sizeof buffer, 0);
        if (size > 0)
            got.assign(buffer, static_cast<std::size_t>(size));
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(sock);
    EXPECT_EQ(got, "hello host");
    EXPECT_EQ(n.slirp.counters().frames_refused, before.frames_refused + 1);
}

TEST(SlirpNetwork, RefusesAMalformedSetup) {
    machine::VirtualClock clock;
    net::EthernetWire wire(clock);
    net::HostLoop loop(clock);
    EXPECT_THROW(net::SlirpNetwork(wire, loop, {.network = "10.0.2"}), std::runtime_error);
    EXPECT_THROW(net::SlirpNetwork(wire, loop, {.prefix_length = 31}), std::runtime_error);
    EXPECT_THROW(net::HostLoop(clock, 0), std::invalid_argument);
}

TEST(LoopbackEchoServer, EchoesEveryByteAndClosesAfterThePeer) {
    net::LoopbackEchoServer server;
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(server.port());
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);

    std::vector<std::uint8_t> sent(300 * 1024);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    std::vector<std::uint8_t> back;
    std::size_t offset = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool shut = false;
    while (back.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        if (offset < sent.size()) {
            const ssize_t put =
                ::send(sock, sent.data() + offset, std::min<std::size_t>(16384, sent.size() - offset),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put > 0) offset += static_cast<std::size_t>(put);
        } else if (!shut) {
            ::shutdown(sock, SHUT_WR);
            shut = true;
        }
        server.poll();
        std::uint8_t buffer[16384];
        const ssize_t got = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) back.insert(back.end(), buffer, buffer + got);
    }
    EXPECT_EQ(back, sent);
    EXPECT_EQ(server.bytes_echoed(), sent.size());
    if (!shut) ::shutdown(sock, SHUT_WR);
    // The peer has shut its side and everything was answered: the server hangs up.
    std::uint8_t byte;
    for (int i = 0; i < 100 && server.open_connections() > 0; ++i) server.poll();
    EXPECT_EQ(server.open_connections(), 0u);
    EXPECT_EQ(::recv(sock, &byte, 1, 0), 0);
    ::close(sock);
}

}  // namespace

namespace {

// A real reply of the virtual network's DHCP server, for the parser to chew on.
std::vector<std::uint8_t> real_offer_frame() {
    Network n;
    net::DhcpMessage m;
    m.xid = 99;
    m.type = net::DhcpType::Discover;
    m.hardware = kGuestMac;
    n.guest.send(net::build_dhcp_frame(m, kGuestMac, 1));
    n.clock.advance(20 * kMillisecond);
    for (const auto& arrival : n.guest.received())
        if (net::parse_dhcp_reply_frame(arrival.frame)) return arrival.frame;
    return {};
}

TEST(DhcpReplyParser, RejectsEveryTruncatedOrAlteredReply) {
    const std::vector<std::uint8_t> frame = real_offer_frame();
    ASSERT_FALSE(frame.empty());
    const std::size_t ip_length = static_cast<std::size_t>(frame[16] << 8 | frame[17]);
    ASSERT_LE(14 + ip_length, frame.size());

    // Cut anywhere inside the datagram: the lengths no longer fit.
    for (std::size_t size = 0; size < 14 + ip_length; ++size)
        EXPECT_FALSE(net::parse_dhcp_reply_frame(std::span(frame).first(size))) << "cut at " << size;
    // Any byte of the datagram changed: a checksum or a check of the headers catches it.
    for (std::size_t at = 14; at < 14 + ip_length; ++at) {
        std::vector<std::uint8_t> altered = frame;
        altered[at] ^= 0x01;
        EXPECT_FALSE(net::parse_dhcp_reply_frame(altered)) << "byte " << at << " altered";
    }
}

TEST(DhcpReplyParser, RejectsAnOptionThatRunsPastTheEnd) {
    std::vector<std::uint8_t> frame = real_offer_frame();
    ASSERT_FALSE(frame.empty());
    // After the message type, one DNS option, and the datagram cut 100 bytes
    // behind its header, with lengths and the IP checksum made right again.
    const std::size_t options = 14 + 20 + 8 + 236 + 4;
    ASSERT_EQ(frame[options], 53);
    const std::size_t dns = options + 3;
    const std::size_t end = dns + 2 + 100;
    frame.resize(end);
    const std::size_t ip_length = end - 14;
    frame[16] = static_cast<std::uint8_t>(ip_length >> 8);
    frame[17] = static_cast<std::uint8_t>(ip_length);
    frame[24] = frame[25] = 0;
    const std::uint16_t sum = net::internet_checksum(std::span(frame).subspan(14, 20));
    frame[24] = static_cast<std::uint8_t>(sum >> 8);
    frame[25] = static_cast<std::uint8_t>(sum);
    frame[38] = static_cast<std::uint8_t>((ip_length - 20) >> 8);
    frame[39] = static_cast<std::uint8_t>(ip_length - 20);
    frame[40] = frame[41] = 0;  // no UDP checksum: allowed for IPv4
    frame[dns] = 6;

    frame[dns + 1] = 101;
    EXPECT_FALSE(net::parse_dhcp_reply_frame(frame)) << "one byte past the end";
    frame[dns + 1] = 100;
    const auto fits = net::parse_dhcp_reply_frame(frame);
    ASSERT_TRUE(fits) << "exactly to the end, without an End option";
    EXPECT_EQ(fits->dns.size(), 25u);
}

}  // namespace
