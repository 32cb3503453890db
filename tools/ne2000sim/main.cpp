// ne2000sim: runs the driver on the emulated PC through the NDIS stand-in and
// puts real traffic through it. It brings the adapter up as NT would (the
// configuration as the registry holds it, DriverEntry, the initialise
// handler), runs the mode asked for (modes.h), halts the adapter and reports
// what it found, as text or as one JSON document. The 32-bit build can run the
// NT image ne2000.sys (--driver) in place of the driver linked into it.

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/driver_image.h"
#include "rig/rig.h"
#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/modes.h"
#include "tools/ne2000sim/options.h"
#include "tools/ne2000sim/reporters.h"
#ifdef NE2000SIM_LOADS_IMAGES
#include "platform/host/image/loaded_driver.h"
#endif

namespace {

void on_stop_signal(int) {
    sim::stop_requested = 1;
}

// The registry as the options describe it: the usual card first, then what
// was set, so a --set of the same keyword wins.
void configure(const sim::Options& o, host::Configuration& config) {
    config.set("IoBaseAddress", 0x300)
        .set("InterruptNumber", 5)
        .set("Slot", o.socket)
        .set("ComPort", 2)
        .set("ComIRQ", 3);
    for (const auto& [keyword, value] : o.settings) config.set(keyword, value);
    if (o.network_address) config.set_network_address(*o.network_address);
    if (o.pos_data) {
        const auto& p = *o.pos_data;
        NDIS_MCA_POS_DATA pos{};
        pos.AdapterId = static_cast<USHORT>(p[0] << 8 | p[1]);
        pos.PosData1 = p[2];
        pos.PosData2 = p[3];
        pos.PosData3 = p[4];
        pos.PosData4 = p[5];
        config.set_pos_data(pos);
    }
}

bool write_trace(const std::string& path, const std::string& text) {
    if (path == "-") {
        std::fputs(text.c_str(), stdout);
        return true;
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool written = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options o;
    if (auto problem = sim::parse(std::vector<std::string>(argv + 1, argv + argc), o)) {
        std::fprintf(stderr, "ne2000sim: %s (--help lists the options)\n", problem->c_str());
        return 2;
    }
    if (o.help) {
        std::printf("%s", sim::usage().c_str());
        return 0;
    }
    const sim::Mode* mode = sim::find_mode(o.mode);
#ifndef NE2000SIM_LOADS_IMAGES
    // Only a 32-bit program with NT's structure layouts can call into the image.
    if (!o.driver_path.empty()) {
        std::fprintf(stderr, "ne2000sim: --driver needs the 32-bit build's program, %s\n",
                     NE2000SIM_IMAGE_PROGRAM);
        return 2;
    }
#endif
    if (!o.trace_path.empty() && o.trace_path != "-") {
        // Refused before the run, not after it: the file is written at the end.
        std::FILE* f = std::fopen(o.trace_path.c_str(), "w");
        if (f == nullptr) {
            std::fprintf(stderr, "ne2000sim: cannot write the trace to %s\n", o.trace_path.c_str());
            return 1;
        }
        std::fclose(f);
    }

    machine::EmulatedPcOptions pc_options;
    pc_options.socket = o.socket;
    if (o.eight_bit) pc_options.nic = machine::Dp8390Config::eight_bit_card();
    std::unique_ptr<rig::Rig> rig;
    try {
        rig = std::make_unique<rig::Rig>(
            rig::RigOptions{.pc = pc_options, .trace = !o.trace_path.empty(), .pcap_path = o.pcap_path});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ne2000sim: %s\n", e.what());
        return 1;
    }
    configure(o, rig->config());
    rig->ndis().set_processor_count(o.processors);

    std::unique_ptr<sim::Reporter> reporter =
        o.json ? sim::json_reporter(stdout, sim::text_reporter(stderr)) : sim::text_reporter(stdout);
    sim::RunReport report;
    report.mode = mode->name;
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    host::LinkedDriver linked;
    host::DriverImage* driver = &linked;
#ifdef NE2000SIM_LOADS_IMAGES
    std::optional<host::image::LoadedDriver> image;
    if (!o.driver_path.empty()) driver = &image.emplace(o.driver_path);
#endif
    report.driver = driver == &linked ? "linked" : o.driver_path;
    // Taken before DriverEntry: the image initialises the adapter inside it
    // (the linked driver's DriverEntry itself takes no virtual time).
    const auto start = rig->clock().now();
    const NTSTATUS entry = rig->load(*driver);
#ifdef NE2000SIM_LOADS_IMAGES
    if (image && !image->load_error().empty()) {
        std::string reason = image->load_error();
        if (reason.starts_with(o.driver_path + ": "))
            reason.erase(0, o.driver_path.size() + 2);  // named below
        std::fprintf(stderr, "ne2000sim: cannot load %s: %s\n", o.driver_path.c_str(), reason.c_str());
        return 1;
    }
#endif
    report.entry_status = entry == STATUS_SUCCESS ? "STATUS_SUCCESS" : "STATUS_UNSUCCESSFUL";
    reporter->note("driver (" + driver->name() + "): DriverEntry returned " + report.entry_status);
    bool ok = entry == STATUS_SUCCESS;
    if (ok) {
        const NDIS_STATUS init = rig->initialize(*driver);
        report.initialize_status = init;
        report.initialize_name = sim::status_name(init);
        report.bring_up_ms = sim::milliseconds(rig->clock().now() - start);
        char line[160];
        std::snprintf(line, sizeof line, "adapter: Initialize returned %s after %.1f ms of virtual time",
                      report.initialize_name.c_str(), report.bring_up_ms);
        reporter->note(line);
        ok = init == NDIS_STATUS_SUCCESS;
    }
    sim::record_machine(rig->pc(), report);
    sim::RunContext context{o, *rig, report, *reporter};
    if (ok) {
        sim::record_adapter(rig->ndis(), rig->adapter(), report);
        try {
            ok = mode->run(context);
        } catch (const std::exception& e) {
            reporter->note(std::string(mode->name) + ": " + e.what());
            ok = false;
        }
        sim::record_card_memory(rig->pc(), report);
        context.halt();
    }
    sim::record_records(rig->ndis(), rig->pc(), report);
    ok = ok && report.rules_broken.empty() && report.not_given_back.empty() && report.violations.empty();
    if (!o.trace_path.empty() && !write_trace(o.trace_path, rig->pc().trace().dump())) {
        std::fprintf(stderr, "ne2000sim: cannot write the trace to %s\n", o.trace_path.c_str());
        ok = false;
    }
    rig->close_capture();
    report.exit_status = ok ? 0 : 1;
    reporter->finish(report);
    return report.exit_status;
}
