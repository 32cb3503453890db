// lwIP bound to the adapter through the NDIS stand-in, the driver running the
// card model, the wire, and the virtual network behind it: real DHCP and TCP
// through every layer, with the stand-in's rule checks and leak accounting.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "net/slirp/loopback_echo_server.h"
#include "net/slirp/slirp_network.h"
#include "net/stack/dhcp_client.h"
#include "net/stack/lwip_stack.h"
#include "net/stack/ndis_netif.h"
#include "net/stack/tcp_echo_client.h"
#include "net/stack/tcp_echo_service.h"
#include "tests/support/testbed.h"

namespace {

using machine::kMillisecond;
using machine::kSecond;
using net::Ipv4Address;

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// The whole guest: driver on the card model, lwIP bound to it, the virtual
// network on the wire (confined to this host), and a DHCP client.
struct Guest {
    testbed::Testbed tb{{.trace = false}};
    net::HostLoop loop{tb.pc().clock()};
    std::unique_ptr<net::SlirpNetwork> network;
    std::unique_ptr<net::LwipStack> stack;
    std::unique_ptr<net::NdisNetif> netif;
    std::unique_ptr<net::DhcpClient> dhcp;

    explicit Guest(bool with_network = true, net::NdisNetifOptions options = {}) {
        EXPECT_EQ(tb.load_driver(), STATUS_SUCCESS);
        EXPECT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
        tb.ndis().record_events(false);
        if (with_network)
            network = std::make_unique<net::SlirpNetwork>(tb.wire(), loop,
                                                          net::SlirpNetworkOptions{.confine_to_host = true});
        stack = std::make_unique<net::LwipStack>(tb.pc().clock());
        netif = std::make_unique<net::NdisNetif>(*stack, tb.ndis(), tb.adapter(), options);
        EXPECT_EQ(netif->open(), NDIS_STATUS_SUCCESS);
        dhcp = std::make_unique<net::DhcpClient>(*netif, tb.pc().clock());
    }

    // Runs virtual time until `done` or `limit` has passed; also stops after a
    // wall-clock bound so a broken exchange cannot hang the suite.
    bool run_until(const std::function<bool()>& done, machine::Nanoseconds limit) {
        const machine::Nanoseconds deadline = tb.now() + limit;
        const auto wall_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && tb.now() < deadline && std::chrono::steady_clock::now() < wall_deadline)
            tb.run_for(2 * kMillisecond);
        return done();
    }

    bool lease() {
        dhcp->start();
        return run_until([&] { return dhcp->bound(); }, 10 * kSecond);
    }

    ULONG oid(NDIS_OID which) {
        ULONG value = 0;
        ULONG written = 0;
        ULONG needed = 0;
        EXPECT_EQ(tb.protocol().query(which, &value, sizeof value, &written, &needed), NDIS_STATUS_SUCCESS);
        return value;
    }

    // Unbinds, lets the last frames go, halts: what the stand-in and our pools
    // still hold afterwards is a leak.
    void shut_down() {
        dhcp.reset();
        netif->close();
        tb.run_for(20 * kMillisecond);
        tb.halt();
    }
};

TEST(StackThroughDriver, ObtainsADhcpLeaseAndConfiguresTheInterface) {
    Guest g;
    ASSERT_TRUE(g.lease()) << "state " << net::to_string(g.dhcp->state());
    const net::DhcpLease& lease = *g.dhcp->lease();
    EXPECT_EQ(lease.address, Ipv4Address::of(10, 0, 2, 15));
    EXPECT_EQ(lease.netmask, Ipv4Address::of(255, 255, 255, 0));
    EXPECT_EQ(lease.router, Ipv4Address::of(10, 0, 2, 2));
    ASSERT_FALSE(lease.dns.empty());
    EXPECT_EQ(lease.dns[0], Ipv4Address::of(10, 0, 2, 3));
    EXPECT_EQ(g.netif->address(), lease.address);
    // One round, no retransmission: nothing was lost on the way through the driver.
    EXPECT_EQ(g.dhcp->counters().discovers, 1u);
    EXPECT_EQ(g.dhcp->counters().requests, 1u);

    // The interface took its address from the adapter, and lwIP's all-hosts
    // group went into the adapter's multicast list.
    EXPECT_EQ(g.netif->mac_address(), g.tb.nic().config().station_address);
    const host::MacAddress all_hosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    ASSERT_EQ(g.netif->multicast_list().size(), 1u);
    EXPECT_EQ(g.netif->multicast_list()[0], all_hosts);
    EXPECT_EQ(g.tb.adapter().bindings().back()->filter().multicast, g.netif->multicast_list());

    g.shut_down();
    EXPECT_TRUE(g.tb.errors().empty()) << joined(g.tb.errors());
    EXPECT_TRUE(g.tb.leaks().empty()) << joined(g.tb.leaks());
    EXPECT_EQ(g.netif->pool_outstanding(), 0u);
}

// 100 KB to the host's loopback through NAT and back, with the driver's
// default lookahead and with a short one that sends nearly every byte through
// NdisTransferData.
class EchoThroughNat : public ::testing::TestWithParam<std::optional<ULONG>> {};

TEST_P(EchoThroughNat, HundredKilobytesComeBackIntact) {
    Guest g(true, {.lookahead = GetParam()});
    net::LoopbackEchoServer echo;
    const auto polled = g.loop.join(echo);
    ASSERT_TRUE(g.lease());

    constexpr std::uint64_t kBytes = 100 * 1024;
    net::TcpEchoClient client(*g.stack, Ipv4Address::of(10, 0, 2, 2), echo.port(), kBytes, 7);
    ASSERT_TRUE(client.start()) << client.report().error;
    ASSERT_TRUE(g.run_until([&] { return client.done(); }, 120 * kSecond));
    const auto& report = client.report();
    EXPECT_TRUE(client.succeeded()) << report.error << " after " << report.received << " bytes";
    EXPECT_EQ(report.sent, kBytes);
    EXPECT_EQ(report.received, kBytes);
    EXPECT_EQ(echo.bytes_echoed(), kBytes);
    EXPECT_EQ(g.netif->counters().transfer_failures, 0u);
    EXPECT_GT(g.netif->counters().transfers, 0u) << "full-size frames exceed any lookahead";
    EXPECT_EQ(g.netif->counters().send_failures, 0u);

    // Let the close handshake finish and the last frames leave the card.
    g.run_until([&] { return echo.open_connections() == 0; }, 2 * kSecond);
    EXPECT_EQ(echo.open_connections(), 0u);
    g.tb.run_for(100 * kMillisecond);

    // The driver sent every frame lwIP gave it (a packet completes once it is
    // on the card, so only now are they all on the wire), and logged nothing.
    EXPECT_EQ(g.oid(OID_GEN_XMIT_OK), g.netif->counters().frames_sent);
    EXPECT_GE(g.oid(OID_GEN_RCV_OK), g.netif->counters().frames_received);
    EXPECT_EQ(g.oid(OID_GEN_XMIT_ERROR), 0u);
    EXPECT_TRUE(g.tb.error_log().entries().empty());
    g.shut_down();
    EXPECT_TRUE(g.tb.errors().empty()) << joined(g.tb.errors());
    EXPECT_TRUE(g.tb.leaks().empty()) << joined(g.tb.leaks());
    EXPECT_EQ(g.netif->pool_outstanding(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lookahead, EchoThroughNat, ::testing::Values(std::nullopt, std::optional<ULONG>(64)),
                         [](const auto& test) { return test.param ? "Short" : "DriverDefault"; });

TEST(StackThroughDriver, AHostProgramReachesTheGuestThroughAHostForward) {
    Guest g;
    ASSERT_TRUE(g.lease());
    net::TcpEchoService service;
    ASSERT_TRUE(service.listen(7));
    const auto port = g.network->add_host_forward(net::SlirpNetwork::Transport::Tcp, 0, "10.0.2.15", 7);
    ASSERT_TRUE(port.has_value());

    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(*port);
    ::connect(sock, reinterpret_cast<sockaddr*>(&where), sizeof where);  // completes in the loop

    std::vector<std::uint8_t> sent(20 * 1024);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = net::TcpEchoClient::pattern(3, i);
    std::vector<std::uint8_t> back;
    std::size_t offset = 0;
    g.run_until(
        [&] {
            if (offset < sent.size()) {
                const ssize_t put = ::send(sock, sent.data() + offset, sent.size() - offset, MSG_NOSIGNAL);
                if (put > 0) offset += static_cast<std::size_t>(put);
            }
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(sock, buffer, sizeof buffer, 0);
            if (got > 0) back.insert(back.end(), buffer, buffer + got);
            return back.size() >= sent.size();
        },
        60 * kSecond);
    ::close(sock);
    EXPECT_EQ(back, sent);
    EXPECT_EQ(service.connections_accepted(), 1u);
    EXPECT_EQ(service.bytes_echoed(), sent.size());
    g.run_until([&] { return service.open_connections() == 0; }, 2 * kSecond);
    g.shut_down();
    EXPECT_TRUE(g.tb.errors().empty()) << joined(g.tb.errors());
    EXPECT_TRUE(g.tb.leaks().empty()) << joined(g.tb.leaks());
}

TEST(DhcpClient, RetransmitsItsDiscoverWithDoublingWaitsWhenNobodyAnswers) {
    Guest g(false);  // no virtual network: the peer station hears everything
    g.tb.peer().clear_received();
    const machine::Nanoseconds start = g.tb.now();
    g.dhcp->start();
    g.tb.run_for(40 * kSecond);
    std::vector<machine::Nanoseconds> discovers;
    for (const auto& arrival : g.tb.peer().received()) {
        // Broadcast IPv4 UDP from port 68 to 67: a client message.
        const auto& f = arrival.frame;
        if (f.size() > 42 && f[12] == 0x08 && f[13] == 0x00 && f[23] == 17 && f[36] == 0 && f[37] == 67)
            discovers.push_back(arrival.time - start);
    }
    ASSERT_EQ(discovers.size(), 4u) << "at 0, 4, 12 and 28 seconds";
    EXPECT_LT(discovers[0], 10 * kMillisecond);
    EXPECT_NEAR(static_cast<double>(discovers[1] - discovers[0]), 4e9, 1e7);
    EXPECT_NEAR(static_cast<double>(discovers[2] - discovers[1]), 8e9, 1e7);
    EXPECT_NEAR(static_cast<double>(discovers[3] - discovers[2]), 16e9, 1e7);
    EXPECT_EQ(g.dhcp->state(), net::DhcpClient::State::Selecting);
    EXPECT_TRUE(g.netif->address().is_any());
    g.shut_down();
    EXPECT_TRUE(g.tb.leaks().empty()) << joined(g.tb.leaks());
}

// A DHCP server scripted on the peer station, for what the virtual network's
// server never does: short leases, NAKs, silence.
struct ScriptedDhcpServer {
    static constexpr Ipv4Address kId = Ipv4Address::of(10, 0, 9, 1);
    static constexpr Ipv4Address kOffered = Ipv4Address::of(10, 0, 9, 50);
    net::PeerStation& peer;
    std::uint32_t lease_seconds = 40;
    std::uint32_t renew_seconds = 10;
    std::uint32_t xid_offset = 0;  // answer with another transaction's id
    // What to answer a client's message with; nothing: stay silent.
    std::function<std::optional<net::DhcpType>(const net::DhcpMessage&)> answer =
        [](const net::DhcpMessage& m) {
            return m.type == net::DhcpType::Discover ? std::optional(net::DhcpType::Offer)
                                                     : std::optional(net::DhcpType::Ack);
        };
    struct Heard {
        machine::Nanoseconds time;
        net::DhcpMessage message;
    };
    std::vector<Heard> heard;

    explicit ScriptedDhcpServer(net::PeerStation& station, machine::VirtualClock& clock) : peer(station) {
        peer.on_receive([this, &clock](std::span<const std::uint8_t> frame) {
            const auto m = net::parse_dhcp_frame(frame, false);
            if (!m) return;
            heard.push_back({clock.now(), *m});
            const auto type = answer(*m);
            if (!type) return;
            net::DhcpMessage r;
            r.reply = true;
            r.xid = m->xid + xid_offset;
            r.hardware = m->hardware;
            r.type = type;
            if (*type != net::DhcpType::Nak) {
                r.yours = kOffered;
                r.netmask = Ipv4Address::of(255, 255, 255, 0);
                r.router = kId;
                r.dns = {kId};
                r.lease_seconds = lease_seconds;
                r.renew_seconds = renew_seconds;
            }
            r.server = kId;
            peer.send(net::build_dhcp_frame(r, {0x02, 0, 0, 0, 0, 0x67}, 1));
        });
    }
    std::vector<net::DhcpType> types() const {
        std::vector<net::DhcpType> out;
        for (const auto& h : heard) out.push_back(h.message.type.value_or(net::DhcpType::Release));
        return out;
    }
};

using enum net::DhcpType;

TEST(DhcpClient, RenewsAtTheRenewalTimeAndKeepsItsAddress) {
    Guest g(false);
    ScriptedDhcpServer server(g.tb.peer(), g.tb.pc().clock());
    g.dhcp->start();
    g.tb.run_for(kSecond);
    ASSERT_TRUE(g.dhcp->bound());
    EXPECT_EQ(g.netif->address(), ScriptedDhcpServer::kOffered);
    EXPECT_EQ(g.dhcp->lease()->router, ScriptedDhcpServer::kId);

    g.tb.run_for(10 * kSecond);
    ASSERT_EQ(server.types(), (std::vector{Discover, Request, Request}));
    const auto& renewal = server.heard[2].message;
    EXPECT_EQ(renewal.client, ScriptedDhcpServer::kOffered) << "a renewal names its address in ciaddr";
    EXPECT_FALSE(renewal.requested.has_value());
    EXPECT_NEAR(static_cast<double>(server.heard[2].time - server.heard[1].time), 10e9, 5e7);
    EXPECT_EQ(g.dhcp->state(), net::DhcpClient::State::Bound);
    EXPECT_EQ(g.dhcp->counters().acks, 2u);
    EXPECT_EQ(g.netif->address(), ScriptedDhcpServer::kOffered);
    g.shut_down();
}

TEST(DhcpClient, ANakAtRenewalDropsTheAddressAndStartsOver) {
    Guest g(false);
    ScriptedDhcpServer server(g.tb.peer(), g.tb.pc().clock());
    server.answer = [](const net::DhcpMessage& m) -> std::optional<net::DhcpType> {
        if (m.type == Discover) return Offer;
        return m.client.is_any() ? Ack : Nak;
    };
    g.dhcp->start();
    g.tb.run_for(kSecond);
    ASSERT_TRUE(g.dhcp->bound());
    const auto first_xid = server.heard[0].message.xid;
    g.tb.run_for(10 * kSecond);
    EXPECT_EQ(server.types(), (std::vector{Discover, Request, Request, Discover, Request}));
    EXPECT_NE(server.heard[3].message.xid, first_xid) << "starting over is a new transaction";
    EXPECT_EQ(g.dhcp->counters().naks, 1u);
    EXPECT_EQ(g.dhcp->counters().leases_lost, 1u);
    EXPECT_TRUE(g.dhcp->bound()) << "and the new round got a lease again";
    g.shut_down();
}

TEST(DhcpClient, GivesTheAddressUpWhenTheLeaseRunsOutUnrenewed) {
    Guest g(false);
    ScriptedDhcpServer server(g.tb.peer(), g.tb.pc().clock());
    bool silent = false;
    server.answer = [&](const net::DhcpMessage& m) -> std::optional<net::DhcpType> {
        if (silent) return std::nullopt;
        return m.type == Discover ? Offer : Ack;
    };
    g.dhcp->start();
    g.tb.run_for(kSecond);
    ASSERT_TRUE(g.dhcp->bound());
    silent = true;
    g.tb.run_for(38 * kSecond);  // a second before the 40-second lease ends
    EXPECT_EQ(g.dhcp->state(), net::DhcpClient::State::Renewing);
    EXPECT_EQ(g.netif->address(), ScriptedDhcpServer::kOffered) << "still ours until the lease ends";
    g.tb.run_for(2 * kSecond);
    EXPECT_EQ(g.dhcp->counters().leases_lost, 1u);
    EXPECT_EQ(g.dhcp->state(), net::DhcpClient::State::Selecting);
    EXPECT_TRUE(g.netif->address().is_any());
    EXPECT_EQ(server.types().back(), Discover);
    g.shut_down();
}

TEST(DhcpClient, IgnoresRepliesToOtherTransactions) {
    Guest g(false);
    ScriptedDhcpServer server(g.tb.peer(), g.tb.pc().clock());
    server.xid_offset = 1;
    g.dhcp->start();
    g.tb.run_for(5 * kSecond);
    EXPECT_EQ(g.dhcp->state(), net::DhcpClient::State::Selecting);
    EXPECT_EQ(g.dhcp->counters().offers, 0u);
    EXPECT_EQ(server.types(), (std::vector{Discover, Discover}))
        << "the first one timed out and was sent again";
    g.shut_down();
}

TEST(StackThroughDriver, PacketsInFlightAtHaltComeBackAbortedToTheirPools) {
    Guest g;
    net::LoopbackEchoServer echo;
    const auto polled = g.loop.join(echo);
    ASSERT_TRUE(g.lease());
    net::TcpEchoClient client(*g.stack, Ipv4Address::of(10, 0, 2, 2), echo.port(), 1024 * 1024);
    ASSERT_TRUE(client.start());
    // Mid-transfer: the driver's queue holds frames lwIP has sent.
    ASSERT_TRUE(g.run_until([&] { return g.netif->in_flight() >= 3; }, 5 * kSecond));
    // Closing resets the connection (lwIP sends its RST), so count after it.
    g.netif->close();
    const std::size_t in_flight = g.netif->in_flight();
    const auto sent_before = g.netif->counters().frames_sent;
    const auto failures_before = g.netif->counters().send_failures;
    g.tb.halt();
    EXPECT_EQ(g.netif->in_flight(), 0u);
    EXPECT_EQ((g.netif->counters().frames_sent - sent_before) +
                  (g.netif->counters().send_failures - failures_before),
              in_flight)
        << "every one came back, completed or aborted";
    EXPECT_GT(g.netif->counters().send_failures, failures_before) << "the ones still queued were aborted";
    EXPECT_EQ(g.netif->pool_outstanding(), 0u);
    EXPECT_TRUE(g.tb.errors().empty()) << joined(g.tb.errors());
    EXPECT_TRUE(g.tb.leaks().empty()) << joined(g.tb.leaks());
}

TEST(Ipv4Address, ParsesDottedQuadsOnly) {
    EXPECT_EQ(Ipv4Address::parse("10.0.2.15"), Ipv4Address::of(10, 0, 2, 15));
    EXPECT_EQ(Ipv4Address::parse("255.255.255.255"), Ipv4Address{0xFFFFFFFF});
    EXPECT_EQ(Ipv4Address::of(10, 0, 2, 15).to_string(), "10.0.2.15");
    for (const char* bad :
         {"", "10.0.2", "10.0.2.15.1", "10.0.2.256", "10..2.15", "10.0.2.15 ", "a.b.c.d", "1000.0.0.1"})
        EXPECT_FALSE(Ipv4Address::parse(bad).has_value()) << bad;
}

}  // namespace
