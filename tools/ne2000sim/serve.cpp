// --serve PORT: the guest's status page on this host's 127.0.0.1:PORT, in real
// time, until Ctrl-C (or --for). Whatever the browser fetches crosses the
// forward, the virtual network, the wire, the card and the driver to lwIP on
// the guest, and back.

#include <chrono>

#include "net/slirp/slirp_network.h"
#include "tools/ne2000sim/guest.h"
#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/modes.h"
#include "tools/ne2000sim/status_site.h"

namespace sim {

namespace {

// How often the page's snapshot is taken, in virtual time.
constexpr machine::Nanoseconds kRefreshPeriod = 250 * machine::kMillisecond;

}  // namespace

bool run_serve(RunContext& c) {
    Guest guest(c.rig);
    net::SlirpNetwork network(c.rig.wire(), guest.loop(),
                              net::SlirpNetworkOptions{.confine_to_host = !c.options.open_network});
    StatusSite site(c.rig, c.report);
    bool ok = c.step("dhcp", "lwIP bound to the adapter takes an address by DHCP",
                     [&](StepResult& s) { return guest.open(s) && guest.lease(s); });
    std::string address;
    if (ok) {
        address = guest.dhcp()->lease()->address.to_string();
        ok = c.step("forward", "the guest's web server forwarded to this host", [&](StepResult& s) {
            if (!site.listen(80)) {
                s.detail = "the guest cannot listen on port 80";
                return false;
            }
            if (!network.add_host_forward(net::SlirpNetwork::Transport::Tcp, c.options.serve_port, address,
                                          80)) {
                s.detail =
                    "cannot listen on 127.0.0.1:" + std::to_string(c.options.serve_port) + " (in use?)";
                return false;
            }
            s.detail = "http://127.0.0.1:" + std::to_string(c.options.serve_port) + "/ is " + address + ":80";
            return true;
        });
    }
    if (ok) {
        c.reporter.note("serve: http://127.0.0.1:" + std::to_string(c.options.serve_port) +
                        "/ (and /stats.json); Ctrl-C to stop");
        ok = c.step("serve", "the status page served in real time until stopped", [&](StepResult& s) {
            const auto started = std::chrono::steady_clock::now();
            const auto limit = std::chrono::duration<double>(c.options.serve_seconds);
            machine::Nanoseconds refreshed = c.rig.clock().now();
            site.refresh(address);
            guest.loop().run_in_real_time(
                [&](machine::Nanoseconds d) {
                    c.rig.ndis().run_for(d);
                    if (c.rig.clock().now() - refreshed >= kRefreshPeriod) {
                        site.refresh(address);
                        refreshed = c.rig.clock().now();
                    }
                },
                [&] {
                    return stop_requested != 0 || (c.options.serve_seconds > 0 &&
                                                   std::chrono::steady_clock::now() - started >= limit);
                });
            const auto& h = site.service().counters();
            s.figures["requests"] = static_cast<double>(h.accepted);
            s.figures["answered_2xx"] = static_cast<double>(h.answered[2]);
            s.figures["bytes_sent"] = static_cast<double>(h.bytes_sent);
            s.detail = std::to_string(h.accepted) + " connection(s), " + std::to_string(h.answered[2]) +
                       " page(s) served, " + std::to_string(h.bytes_sent) + " bytes, " +
                       (stop_requested ? "stopped by a signal" : "for the time asked");
            return true;
        });
    }
    network.remove_host_forward(net::SlirpNetwork::Transport::Tcp, c.options.serve_port);
    for (const auto& e : network.guest_errors()) c.reporter.note("virtual network complained: " + e);
    return halt_and_check_given_back(c, guest) && ok;
}

}  // namespace sim
