// The default mode: the adapter checked end to end, one step after another,
// each with its result and timings. Exit 0 only if every step passed.
//
//   frames    a broadcast from a peer on the wire to a protocol, a frame from
//             the protocol to the peer
//   dhcp      lwIP bound to the adapter takes an address from the virtual network
//   arp-icmp  the gateway's MAC address by ARP, then ICMP echo requests answered
//   tcp-echo  bytes to an echo server on this host's loopback, through the
//             virtual network's NAT, and back, every byte checked
//   http      the guest's status page and /stats.json, served by lwIP on the
//             guest and fetched from this host through a port forward
//   halt      the adapter halted: everything the protocol sent came back

#include <chrono>
#include <memory>

#include "net/slirp/loopback_echo_server.h"
#include "net/slirp/loopback_http_client.h"
#include "net/slirp/slirp_network.h"
#include "net/stack/icmp_echo_client.h"
#include "net/stack/tcp_echo_client.h"
#include "tools/ne2000sim/guest.h"
#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/modes.h"
#include "tools/ne2000sim/status_site.h"

namespace sim {

namespace {

using machine::kMillisecond;
using machine::kSecond;

// Counts what reaches it; fetches nothing beyond the lookahead.
class CountingProtocol : public host::Protocol {
public:
    int received = 0;
    int completed = 0;
    NDIS_STATUS last_status = NDIS_STATUS_SUCCESS;
    NDIS_STATUS receive(host::Binding&, const host::ReceiveIndication&) override {
        ++received;
        return NDIS_STATUS_SUCCESS;
    }
    void send_complete(host::Binding&, PNDIS_PACKET, NDIS_STATUS status) override {
        ++completed;
        last_status = status;
    }
};

std::vector<std::uint8_t> frame(const host::MacAddress& to, const host::MacAddress& from, std::size_t size) {
    std::vector<std::uint8_t> f(size, 0);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = 0x88;  // local experimental EtherType
    f[13] = 0xB5;
    for (std::size_t i = 14; i < size; ++i) f[i] = static_cast<std::uint8_t>(i);
    return f;
}

// Both directions through the driver without any stack: a broadcast from the
// peer to the protocol, a frame from the protocol to the peer.
bool exchange_frames(rig::Rig& rig, StepResult& step) {
    CountingProtocol protocol;
    host::NdisLibrary& ndis = rig.ndis();
    host::Binding& binding = ndis.bind(rig.adapter(), protocol);
    binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    const host::MacAddress peer_address{0x02, 0x00, 0x00, 0x00, 0x99, 0x01};
    const host::MacAddress broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::size_t before = rig.peer().received().size();
    rig.peer().send_at(rig.clock().now() + kMillisecond, frame(broadcast, peer_address, 60));

    host::PacketPool packets;
    host::BufferPool buffers;
    host::FramePacket out(packets, buffers, frame(peer_address, rig.adapter().station_address(), 100), {14});
    const NDIS_STATUS sent = binding.send(out.packet());
    if (sent != NDIS_STATUS_PENDING) {
        ++protocol.completed;
        protocol.last_status = sent;
    }
    ndis.run_for(50 * kMillisecond);
    ndis.unbind(binding);

    const std::size_t reached = rig.peer().received().size() - before;
    step.detail = std::to_string(protocol.received) + " frame(s) received from the peer, " +
                  std::to_string(reached) + " reached the peer, send " +
                  (protocol.completed ? status_name(protocol.last_status) : std::string("not completed"));
    return protocol.received == 1 && protocol.completed == 1 && protocol.last_status == NDIS_STATUS_SUCCESS &&
           reached == 1;
}

bool echo_through_nat(Guest& guest, net::SlirpNetwork& network, net::LoopbackEchoServer& echo,
                      std::uint64_t bytes, StepResult& step) {
    const auto router = net::Ipv4Address::parse(network.options().host).value_or(net::Ipv4Address{});
    net::TcpEchoClient client(guest.stack(), router, echo.port(), bytes);
    if (!client.start()) {
        step.detail = client.report().error;
        return false;
    }
    guest.run_until([&] { return client.done(); }, 600 * kSecond, std::chrono::seconds(120));
    const auto& r = client.report();
    step.figures["bytes_sent"] = static_cast<double>(r.sent);
    step.figures["bytes_received"] = static_cast<double>(r.received);
    if (!client.succeeded()) {
        step.detail = "to 127.0.0.1:" + std::to_string(echo.port()) + ": " +
                      (r.error.empty() ? std::string("not done in time") : r.error) + " after " +
                      std::to_string(r.received) + " of " + std::to_string(bytes) + " bytes";
        if (r.first_mismatch) step.detail += ", first wrong byte at " + std::to_string(*r.first_mismatch);
        return false;
    }
    const double virtual_ms = milliseconds(r.finished_at - r.started_at);
    const double host_ms = std::chrono::duration<double, std::milli>(r.wall).count();
    const double virtual_kbps = virtual_ms > 0 ? static_cast<double>(r.received) * 8 / virtual_ms : 0;
    const double host_kbps = host_ms > 0 ? static_cast<double>(r.received) * 8 / host_ms : 0;
    step.figures["connect_ms"] = milliseconds(r.connected_at - r.started_at);
    step.figures["kbit_per_s_virtual"] = virtual_kbps;
    step.figures["kbit_per_s_host"] = host_kbps;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%llu bytes each way to 127.0.0.1:%u (as %s) and back intact; %.0f kbit/s each way in "
                  "virtual time, %.0f kbit/s in host time",
                  static_cast<unsigned long long>(r.received), echo.port(), router.to_string().c_str(),
                  virtual_kbps, host_kbps);
    step.detail = text;
    // The server closes once the client has; let that finish.
    guest.run_until([&] { return echo.open_connections() == 0; }, 5 * kSecond, std::chrono::seconds(5));
    return true;
}

bool ping_gateway(Guest& guest, StepResult& step) {
    constexpr unsigned kRequests = 4;
    const net::Ipv4Address gateway = guest.dhcp()->lease()->router;
    net::IcmpEchoClient ping(guest.stack(), gateway, kRequests);
    if (!ping.start()) {
        step.detail = "to " + gateway.to_string() + ": " + ping.error();
        return false;
    }
    guest.run_until(
        [&] {
            ping.poll();
            return ping.done();
        },
        10 * kSecond, std::chrono::seconds(10));
    const auto mac = net::IcmpEchoClient::resolved_mac(guest.netif().lwip_netif(), gateway);
    const auto& trips = ping.round_trips();
    double total_ms = 0;
    for (auto t : trips) total_ms += milliseconds(t);
    const double average = trips.empty() ? 0 : total_ms / static_cast<double>(trips.size());
    step.figures["replies"] = static_cast<double>(trips.size());
    step.figures["round_trip_ms"] = average;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s is at %s; %zu of %u echo requests answered, %.2f ms round trip on average",
                  gateway.to_string().c_str(), mac ? mac->c_str() : "(not in the ARP table)", trips.size(),
                  kRequests, average);
    step.detail = text;
    return mac.has_value() && trips.size() == kRequests;
}

// One GET from this host through the forward; the answer, or a failure in `step`.
std::optional<net::LoopbackHttpClient::Result> fetch(Guest& guest, std::uint16_t port,
                                                     const std::string& path, StepResult& step) {
    net::LoopbackHttpClient client;
    net::PolledService polled([&] { client.poll(); });
    const auto joined = guest.loop().join(polled);
    if (!client.start(port, path)) {
        step.detail = "GET " + path + ": " + client.result().error;
        return std::nullopt;
    }
    guest.run_until([&] { return client.done(); }, 30 * kSecond, std::chrono::seconds(30));
    if (!client.succeeded() || client.result().status != 200) {
        step.detail = "GET " + path + ": " +
                      (client.result().error.empty()
                           ? client.done() ? "status " + std::to_string(client.result().status)
                                           : std::string("no answer in time")
                           : client.result().error);
        return std::nullopt;
    }
    step.figures["bytes"] += static_cast<double>(client.result().bytes);
    return client.result();
}

bool serve_page(RunContext& c, Guest& guest, net::SlirpNetwork& network, StepResult& step) {
    StatusSite site(c.rig, c.report);
    const std::string address = guest.dhcp()->lease()->address.to_string();
    if (!site.listen(80)) {
        step.detail = "the guest cannot listen on port 80";
        return false;
    }
    const auto port = network.add_host_forward(net::SlirpNetwork::Transport::Tcp, 0, address, 80);
    if (!port) {
        step.detail = "no host port to forward";
        return false;
    }
    site.refresh(address);
    const auto page = fetch(guest, *port, "/", step);
    if (!page) return false;
    const std::string station = site.snapshot().value("station_address", std::string());
    if (page->body.find(station) == std::string::npos) {
        step.detail = "the page does not show the station address " + station;
        return false;
    }
    site.refresh(address);
    const auto stats = fetch(guest, *port, "/stats.json", step);
    if (!stats) return false;
    const auto document = nlohmann::json::parse(stats->body, nullptr, false);
    if (document.is_discarded() || document.value("station_address", std::string()) != station ||
        document["statistics"].value("received", 0u) == 0) {
        step.detail = "/stats.json is not the adapter's state";
        return false;
    }
    step.detail = "GET http://127.0.0.1:" + std::to_string(*port) + "/ (as " + address +
                  ":80) and /stats.json: " + std::to_string(static_cast<long long>(step.figures["bytes"])) +
                  " bytes, the station address " + station + " and counters that the driver answered";
    network.remove_host_forward(net::SlirpNetwork::Transport::Tcp, *port);
    // Let the server's side of both connections close before it goes.
    guest.run_until([&] { return site.service().open_connections() == 0; }, 5 * kSecond,
                    std::chrono::seconds(5));
    return true;
}

}  // namespace

bool run_self_check(RunContext& c) {
    bool ok = c.step("frames", "a frame each way between a protocol and a peer on the wire",
                     [&](StepResult& s) { return exchange_frames(c.rig, s); });

    auto guest = std::make_unique<Guest>(c.rig);
    net::LoopbackEchoServer echo;
    const auto echo_polled = guest->loop().join(echo);
    auto network = std::make_unique<net::SlirpNetwork>(
        c.rig.wire(), guest->loop(), net::SlirpNetworkOptions{.confine_to_host = !c.options.open_network});
    const auto& n = network->options();
    c.reporter.note("network: virtual network " + n.network + "/" + std::to_string(n.prefix_length) +
                    ", router " + n.host + ", nameserver " + n.nameserver + ", " +
                    (n.confine_to_host ? "confined to this host" : "open to the real network"));

    const bool leased = c.step("dhcp", "lwIP bound to the adapter takes an address by DHCP",
                               [&](StepResult& s) { return guest->open(s) && guest->lease(s); });
    ok = leased && ok;
    if (leased) {
        ok = c.step("arp-icmp", "ARP and ICMP echo to the gateway", [&](StepResult& s) {
            return ping_gateway(*guest, s);
        }) && ok;
        ok = c.step("tcp-echo", "TCP echo through the virtual network to this host and back",
                    [&](StepResult& s) {
                        return echo_through_nat(*guest, *network, echo, c.options.echo_bytes, s);
                    }) &&
             ok;
    }
    if (leased)
        ok = c.step("http", "a page the guest serves, fetched from this host through a port forward",
                    [&](StepResult& s) { return serve_page(c, *guest, *network, s); }) &&
             ok;
    for (const auto& e : network->guest_errors()) c.reporter.note("virtual network complained: " + e);
    ok = network->guest_errors().empty() && ok;

    ok = halt_and_check_given_back(c, *guest) && ok;
    return ok;
}

}  // namespace sim
