// --tap NAME: the guest as a machine on a LAN whose other station is the host
// kernel, through a Linux TAP device. The host pings it (lwIP answers ARP and
// ICMP echo by itself), talks to its TCP echo on port 7 and fetches its status
// page on port 80; its address is
// the one given with --guest-address, or leased from whatever serves DHCP on
// that network. Runs in real time until Ctrl-C or --for.
//
//   tap      the device opened as the wire's other station
//   address  the static address taken (--guest-address), or
//   dhcp     an address leased from the TAP network
//   run      in step with the wall clock until stopped; frames each way
//   halt     the adapter halted: everything the protocol sent came back

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "net/stack/tcp_echo_service.h"
#include "net/tap/tap_endpoint.h"
#include "tools/ne2000sim/guest.h"
#include "tools/ne2000sim/modes.h"
#include "tools/ne2000sim/status_site.h"

namespace sim {

namespace {

constexpr std::uint16_t kEchoPort = 7;
// How often the status page's snapshot is taken, in virtual time.
constexpr machine::Nanoseconds kRefreshPeriod = 250 * machine::kMillisecond;

struct StaticAddress {
    net::Ipv4Address address;
    net::Ipv4Address netmask;
};

// "A.B.C.D/N" naming a host of its network: not the network's own address
// nor its broadcast address, which the host's stack would not send to.
std::optional<StaticAddress> parse_static_address(const std::string& text) {
    const auto slash = text.find('/');
    if (slash == std::string::npos) return std::nullopt;
    const auto address = net::Ipv4Address::parse(text.substr(0, slash));
    const std::string bits = text.substr(slash + 1);
    if (!address || bits.empty() || bits.size() > 2 ||
        !std::all_of(bits.begin(), bits.end(), [](char d) { return d >= '0' && d <= '9'; }))
        return std::nullopt;
    const unsigned prefix = static_cast<unsigned>(std::stoul(bits));
    if (prefix < 1 || prefix > 32) return std::nullopt;
    const std::uint32_t mask = ~std::uint32_t{0} << (32 - prefix);
    const std::uint32_t host = address->value & ~mask;
    // /31 and /32 have no network or broadcast address to keep clear of.
    if (address->is_any() || (prefix <= 30 && (host == 0 || host == ~mask))) return std::nullopt;
    return StaticAddress{*address, net::Ipv4Address{mask}};
}

// A problem that ends the run before it starts: one line on stderr, as the
// program's other refusals.
void complain(const std::string& line) {
    std::fprintf(stderr, "ne2000sim: %s\n", line.c_str());
}

}  // namespace

bool run_tap(RunContext& c) {
    const Options& o = c.options;
    std::optional<StaticAddress> fixed;
    if (!o.guest_address.empty()) {
        fixed = parse_static_address(o.guest_address);
        if (!fixed) {
            complain("--guest-address needs a host address and prefix length like 192.168.77.2/24");
            return false;
        }
    }

    auto guest = std::make_unique<Guest>(c.rig);
    std::unique_ptr<net::TapEndpoint> tap;
    const bool opened = c.step(
        "tap", "the TAP device " + o.tap_name + " opened as the wire's other station", [&](StepResult& s) {
            try {
                tap = std::make_unique<net::TapEndpoint>(c.rig.wire(), guest->loop(), o.tap_name);
            } catch (const std::runtime_error& e) {
                complain(e.what());
                s.detail = e.what();
                return false;
            }
            s.detail = tap->name() + ", its address and link state left to you (ip addr add, ip link set up)";
            return true;
        });
    if (!opened) return false;

    bool ok = false;
    if (fixed) {
        ok = c.step("address", "the guest takes the static address " + o.guest_address, [&](StepResult& s) {
            if (!guest->open(s)) return false;
            guest->netif().set_address(fixed->address, fixed->netmask, net::Ipv4Address{});
            s.detail = guest->netif().address().to_string() + " netmask " + fixed->netmask.to_string() +
                       ", no gateway";
            return guest->netif().address() == fixed->address;
        });
    } else {
        ok = c.step("dhcp", "the guest takes an address by DHCP from the TAP network",
                    [&](StepResult& s) { return guest->open(s) && guest->lease(s); });
    }

    auto echo = std::make_unique<net::TcpEchoService>();
    if (ok && !echo->listen(kEchoPort)) {
        c.reporter.note("tap: the guest's TCP echo could not listen on port " + std::to_string(kEchoPort));
        ok = false;
    }
    auto site = std::make_unique<StatusSite>(c.rig, c.report);
    if (ok && !site->listen(80)) {
        c.reporter.note("tap: the guest's web server could not listen on port 80");
        ok = false;
    }
    if (ok) {
        char until[64] = "until Ctrl-C";
        if (o.serve_seconds > 0)
            std::snprintf(until, sizeof until, "for %g s or until Ctrl-C", o.serve_seconds);
        c.reporter.note("tap: the guest is " + guest->netif().address().to_string() + " on " + tap->name() +
                        ", TCP echo on port " + std::to_string(kEchoPort) +
                        ", status page on port 80; running " + until);
        ok = c.step("run", "the guest on " + tap->name() + " in real time until stopped", [&](StepResult& s) {
            const auto start = std::chrono::steady_clock::now();
            const std::chrono::duration<double> limit(o.serve_seconds);
            const std::string address = guest->netif().address().to_string();
            machine::Nanoseconds refreshed = c.rig.clock().now();
            site->refresh(address);
            guest->loop().run_in_real_time(
                [&](machine::Nanoseconds d) {
                    guest->run_for(d);
                    if (c.rig.clock().now() - refreshed >= kRefreshPeriod) {
                        site->refresh(address);
                        refreshed = c.rig.clock().now();
                    }
                },
                [&] {
                    return stop_requested != 0 || tap->lost() ||
                           (o.serve_seconds > 0 && std::chrono::steady_clock::now() - start >= limit);
                });
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const auto& n = tap->counters();
            s.figures["seconds"] = seconds;
            s.figures["frames_from_host"] = static_cast<double>(n.frames_from_device);
            s.figures["frames_to_host"] = static_cast<double>(n.frames_to_device);
            s.figures["frames_dropped"] = static_cast<double>(n.dropped_too_long + n.dropped_unwritten);
            s.figures["echo_connections"] = static_cast<double>(echo->connections_accepted());
            s.figures["bytes_echoed"] = static_cast<double>(echo->bytes_echoed());
            char text[200];
            std::snprintf(text, sizeof text, "%.1f s, %llu frames from the host, %llu to it%s", seconds,
                          static_cast<unsigned long long>(n.frames_from_device),
                          static_cast<unsigned long long>(n.frames_to_device),
                          tap->lost() ? "; the device went away" : "");
            s.detail = text;
            return !tap->lost();
        });
    }

    const auto& n = tap->counters();
    c.reporter.note("tap: " + tap->name() + ": " + std::to_string(n.frames_from_device) +
                    " frame(s) from the host onto the wire, " + std::to_string(n.frames_to_device) +
                    " from the wire to the host, dropped " + std::to_string(n.dropped_too_long) +
                    " too long and " + std::to_string(n.dropped_unwritten) + " the device did not take");
    c.reporter.note("tap: echo on port " + std::to_string(kEchoPort) + ": " +
                    std::to_string(echo->connections_accepted()) + " connection(s), " +
                    std::to_string(echo->bytes_echoed()) + " byte(s) echoed");
    // Connections still open are reset while the guest can still send.
    echo.reset();
    site.reset();
    ok = halt_and_check_given_back(c, *guest) && ok;
    return ok;
}

}  // namespace sim
