#include "tools/ne2000sim/network_session.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace sim {

namespace {

using machine::kMillisecond;
using machine::kSecond;

double ms(machine::Nanoseconds t) {
    return static_cast<double>(t) / kMillisecond;
}

std::string mac(const host::MacAddress& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

net::SlirpNetworkOptions network_options(const SessionOptions& o) {
    net::SlirpNetworkOptions n;
    n.confine_to_host = !o.open_network;
    return n;
}

}  // namespace

NetworkSession::NetworkSession(host::NdisLibrary& ndis, host::MiniportAdapter& adapter,
                               net::EthernetWire& wire, SessionOptions options)
    : ndis_(ndis),
      adapter_(adapter),
      clock_(wire.clock()),
      options_(options),
      network_(wire, network_options(options)),
      stack_(wire.clock()),
      netif_(stack_, ndis, adapter) {
    network_.add_tick_hook([this] { echo_.poll(); });
}

NetworkSession::~NetworkSession() = default;

template <typename Done>
bool NetworkSession::run_until(Done done, machine::Nanoseconds limit, int wall_seconds) {
    const machine::Nanoseconds deadline = clock_.now() + limit;
    const auto wall_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wall_seconds);
    while (!done() && clock_.now() < deadline && std::chrono::steady_clock::now() < wall_deadline)
        ndis_.run_for(kMillisecond);
    return done();
}

bool NetworkSession::run() {
    // A long exchange would otherwise keep a record of every wrapper action.
    ndis_.record_events(false);
    const NDIS_STATUS opened = netif_.open();
    if (opened != NDIS_STATUS_SUCCESS) {
        std::printf("network: binding lwIP to the adapter failed (0x%08X)\n", static_cast<unsigned>(opened));
        return false;
    }
    const auto& n = network_.options();
    std::printf("network: lwIP bound to the adapter, station %s, MTU %u\n", mac(netif_.mac_address()).c_str(),
                netif_.mtu());
    std::printf("network: virtual network %s/%u, router %s, nameserver %s, %s\n", n.network.c_str(),
                n.prefix_length, n.host.c_str(), n.nameserver.c_str(),
                n.confine_to_host ? "confined to this host" : "open to the real network");

    bool ok = lease() && exchange();
    // Let the last frames (the close handshake, ACKs) leave the card before counting.
    ndis_.run_for(200 * kMillisecond);
    print_counters();
    dhcp_.reset();
    netif_.close();
    ndis_.run_for(10 * kMillisecond);
    if (!network_.guest_errors().empty()) {
        std::printf("virtual network complained about the guest:\n");
        for (const auto& e : network_.guest_errors()) std::printf("  %s\n", e.c_str());
        ok = false;
    }
    return ok;
}

bool NetworkSession::lease() {
    dhcp_ = std::make_unique<net::DhcpClient>(netif_, clock_);
    const machine::Nanoseconds start = clock_.now();
    dhcp_->start();
    if (!run_until([&] { return dhcp_->bound(); }, 60 * kSecond, 20)) {
        std::printf(
            "dhcp: no lease after %.1f ms of virtual time (%s; %llu DISCOVER, %llu REQUEST, %llu OFFER)\n",
            ms(clock_.now() - start), net::to_string(dhcp_->state()),
            static_cast<unsigned long long>(dhcp_->counters().discovers),
            static_cast<unsigned long long>(dhcp_->counters().requests),
            static_cast<unsigned long long>(dhcp_->counters().offers));
        return false;
    }
    const net::DhcpLease& l = *dhcp_->lease();
    std::string dns;
    for (const auto& d : l.dns) dns += (dns.empty() ? "" : ", ") + d.to_string();
    std::printf("dhcp: lease %s netmask %s router %s dns %s from %s for %u s\n",
                l.address.to_string().c_str(), l.netmask.to_string().c_str(), l.router.to_string().c_str(),
                dns.empty() ? "none" : dns.c_str(), l.server.to_string().c_str(), l.lease_seconds);
    std::printf("dhcp: bound after %.2f ms of virtual time (%llu DISCOVER, %llu REQUEST)\n",
                ms(clock_.now() - start), static_cast<unsigned long long>(dhcp_->counters().discovers),
                static_cast<unsigned long long>(dhcp_->counters().requests));
    return true;
}

bool NetworkSession::exchange() {
    const auto router = net::Ipv4Address::parse(network_.options().host).value_or(net::Ipv4Address{});
    std::printf("echo: server on 127.0.0.1:%u, reached from the guest as %s:%u\n", echo_.port(),
                router.to_string().c_str(), echo_.port());
    net::TcpEchoClient client(stack_, router, echo_.port(), options_.echo_bytes);
    if (!client.start()) {
        std::printf("echo: %s\n", client.report().error.c_str());
        return false;
    }
    run_until([&] { return client.done(); }, 600 * kSecond, 60);
    const auto& r = client.report();
    std::printf("echo: %llu bytes sent, %llu bytes received%s\n", static_cast<unsigned long long>(r.sent),
                static_cast<unsigned long long>(r.received),
                client.succeeded() ? ", every byte intact and in order" : "");
    if (r.connected) {
        std::printf("echo: connected after %.2f ms, first echo %.2f ms after that (virtual time)\n",
                    ms(r.connected_at - r.started_at),
                    r.received ? ms(r.first_echo_at - r.connected_at) : 0.0);
    }
    if (client.succeeded()) {
        const double virtual_ms = ms(r.finished_at - r.started_at);
        const double wall_ms = std::chrono::duration<double, std::milli>(r.wall).count();
        std::printf(
            "echo: round trip of all data %.2f ms virtual, %.2f ms wall; %.0f kbit/s each way in virtual "
            "time\n",
            virtual_ms, wall_ms, virtual_ms > 0 ? static_cast<double>(r.received) * 8 / virtual_ms : 0.0);
        // The server closes once the client has; let that finish.
        run_until([&] { return echo_.open_connections() == 0; }, 5 * kSecond, 5);
        return true;
    }
    if (!r.error.empty())
        std::printf("echo: failed: %s\n", r.error.c_str());
    else
        std::printf("echo: failed: not done in time\n");
    if (r.first_mismatch)
        std::printf("echo: first wrong byte at offset %llu\n",
                    static_cast<unsigned long long>(*r.first_mismatch));
    return false;
}

void NetworkSession::print_counters() {
    auto oid = [&](NDIS_OID which) {
        const auto v = netif_.query_ulong(which);
        return v ? std::to_string(*v) : std::string("?");
    };
    std::printf(
        "driver counters: transmitted %s, received %s, transmit errors %s, receive errors %s, "
        "no buffer %s, alignment errors %s, one collision %s, more collisions %s\n",
        oid(OID_GEN_XMIT_OK).c_str(), oid(OID_GEN_RCV_OK).c_str(), oid(OID_GEN_XMIT_ERROR).c_str(),
        oid(OID_GEN_RCV_ERROR).c_str(), oid(OID_GEN_RCV_NO_BUFFER).c_str(),
        oid(OID_802_3_RCV_ERROR_ALIGNMENT).c_str(), oid(OID_802_3_XMIT_ONE_COLLISION).c_str(),
        oid(OID_802_3_XMIT_MORE_COLLISIONS).c_str());
    const auto& c = netif_.counters();
    std::printf(
        "protocol: %llu frames (%llu bytes) sent, %llu frames (%llu bytes) received, %llu fetched with "
        "transfer-data, %llu refused, %llu send failures\n",
        static_cast<unsigned long long>(c.frames_sent), static_cast<unsigned long long>(c.bytes_sent),
        static_cast<unsigned long long>(c.frames_received), static_cast<unsigned long long>(c.bytes_received),
        static_cast<unsigned long long>(c.transfers), static_cast<unsigned long long>(c.frames_refused),
        static_cast<unsigned long long>(c.send_failures + c.sends_dropped));
    const auto& w = network_.counters();
    std::printf("virtual network: %llu frames from the guest, %llu to it, %llu refused\n",
                static_cast<unsigned long long>(w.frames_from_guest),
                static_cast<unsigned long long>(w.frames_to_guest),
                static_cast<unsigned long long>(w.frames_refused));
}

bool NetworkSession::check_given_back() {
    if (netif_.pool_outstanding() == 0) return true;
    std::printf("protocol: %zu packet(s) or buffer(s) never given back\n", netif_.pool_outstanding());
    return false;
}

}  // namespace sim
