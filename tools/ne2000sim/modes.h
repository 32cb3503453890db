#pragma once
// What ne2000sim can do once the adapter is up: each mode an entry of one
// table, each in its own file. main() brings the adapter up, runs the mode,
// halts the adapter and reports.

#include <csignal>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rig/rig.h"
#include "tools/ne2000sim/options.h"
#include "tools/ne2000sim/reporters.h"
#include "tools/ne2000sim/run_report.h"

namespace sim {

struct RunContext {
    const Options& options;
    rig::Rig& rig;
    RunReport& report;
    Reporter& reporter;

    // Runs one step: times it in virtual and host time, shows it and records
    // it. The body fills the detail and figures and says whether it passed.
    bool step(const std::string& name, const std::string& title,
              const std::function<bool(StepResult&)>& body);
    // Halts the adapter, once; main() does it when the mode has not (a mode
    // halts itself to see what was still in flight come back to its pools).
    void halt();
    bool halted = false;
};

// Set by SIGINT/SIGTERM: the real-time modes end their run and halt cleanly.
extern volatile std::sig_atomic_t stop_requested;

struct Mode {
    const char* name;
    const char* summary;
    // With the adapter running; false when the mode failed. It must leave
    // nothing bound to the adapter when it returns.
    bool (*run)(RunContext& context);
};

const std::vector<Mode>& modes();
const Mode* find_mode(std::string_view name);

class Guest;
// The last step of a mode with a guest: it lets the guest's last frames go,
// halts the adapter and checks that every packet the protocol sent came back.
bool halt_and_check_given_back(RunContext& context, Guest& guest);

// The modes themselves (self_check.cpp, serve.cpp, tap.cpp).
bool run_self_check(RunContext& context);
bool run_serve(RunContext& context);
bool run_tap(RunContext& context);

}  // namespace sim
