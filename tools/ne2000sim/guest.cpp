#include "tools/ne2000sim/guest.h"

#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/modes.h"

namespace sim {

using machine::kMillisecond;
using machine::kSecond;

Guest::Guest(rig::Rig& rig)
    : rig_(rig), loop_(rig.clock()), stack_(rig.clock()), netif_(stack_, rig.ndis(), rig.adapter()) {}

Guest::~Guest() {
    close();
}

bool Guest::open(StepResult& step) {
    // A long run would otherwise keep a record of every wrapper action.
    rig_.ndis().record_events(false);
    const NDIS_STATUS opened = netif_.open();
    if (opened != NDIS_STATUS_SUCCESS) {
        step.detail = "binding lwIP to the adapter failed: " + status_name(opened);
        return false;
    }
    open_ = true;
    return true;
}

bool Guest::lease(StepResult& step) {
    dhcp_ = std::make_unique<net::DhcpClient>(netif_, clock());
    const machine::Nanoseconds start = clock().now();
    dhcp_->start();
    const bool bound = run_until([&] { return dhcp_->bound(); }, 60 * kSecond, std::chrono::seconds(20));
    const auto& c = dhcp_->counters();
    step.figures["discovers"] = static_cast<double>(c.discovers);
    step.figures["requests"] = static_cast<double>(c.requests);
    if (!bound) {
        step.detail = "no lease after " + std::to_string(milliseconds(clock().now() - start)) + " ms (" +
                      net::to_string(dhcp_->state()) + ", " + std::to_string(c.offers) + " OFFER)";
        return false;
    }
    const net::DhcpLease& l = *dhcp_->lease();
    std::string dns;
    for (const auto& d : l.dns) dns += (dns.empty() ? "" : ", ") + d.to_string();
    step.detail = l.address.to_string() + " netmask " + l.netmask.to_string() + " router " +
                  l.router.to_string() + " dns " + (dns.empty() ? "none" : dns) + " from " +
                  l.server.to_string() + " for " + std::to_string(l.lease_seconds) + " s";
    step.figures["lease_seconds"] = l.lease_seconds;
    return true;
}

void Guest::close() {
    if (!open_) return;
    open_ = false;
    // Let the last frames (the close handshake, ACKs) leave the card.
    run_for(200 * kMillisecond);
    dhcp_.reset();
    netif_.close();
    run_for(10 * kMillisecond);
}

bool halt_and_check_given_back(RunContext& c, Guest& guest) {
    guest.close();
    return c.step(
        "halt", "the adapter halted and every packet the protocol sent came back", [&](StepResult& s) {
            c.halt();
            s.figures["outstanding"] = static_cast<double>(guest.outstanding());
            s.detail = guest.outstanding() == 0
                           ? "all given back"
                           : std::to_string(guest.outstanding()) + " packet(s) or buffer(s) never given back";
            return guest.outstanding() == 0;
        });
}

}  // namespace sim
