#include "tools/ne2000sim/modes.h"

#include <chrono>

#include "tools/ne2000sim/machine_state.h"

namespace sim {

volatile std::sig_atomic_t stop_requested = 0;

const std::vector<Mode>& modes() {
    static const std::vector<Mode> table = {
        {"self-check",
         "(default) a frame each way, ARP and ICMP echo to the\n"
         "gateway, a DHCP lease, a TCP echo to this host and back,\n"
         "and the guest's page fetched from this host",
         run_self_check},
        {"serve", "(--serve PORT) the guest's status page on\n127.0.0.1:PORT, in real time", run_serve},
        {"tap", "(--tap NAME) the guest on a Linux TAP device, for the\nhost's own stack", run_tap},
    };
    return table;
}

const Mode* find_mode(std::string_view name) {
    for (const Mode& m : modes())
        if (name == m.name) return &m;
    return nullptr;
}

void RunContext::halt() {
    if (halted) return;
    halted = true;
    // The counters through the OIDs, while the driver still answers.
    record_statistics(rig.ndis(), rig.adapter(), report);
    rig.ndis().halt(rig.adapter());
    reporter.note("adapter: halted");
}

bool RunContext::step(const std::string& name, const std::string& title,
                      const std::function<bool(StepResult&)>& body) {
    StepResult result{.name = name, .title = title};
    reporter.step_started(title);
    const machine::Nanoseconds virtual_start = rig.clock().now();
    const auto host_start = std::chrono::steady_clock::now();
    result.passed = body(result);
    result.virtual_ms = static_cast<double>(rig.clock().now() - virtual_start) / machine::kMillisecond;
    result.host_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - host_start).count();
    reporter.step_finished(result);
    report.steps.push_back(std::move(result));
    return report.steps.back().passed;
}

}  // namespace sim
