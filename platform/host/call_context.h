#pragma once
// Where the miniport's code runs when it calls the library or the HAL: which
// adapter's handler, and at which processor level. NT 3.5-4.0 calls a
// serialised miniport's initialise and halt handlers at passive level, its
// send, request, reset, transfer-data, deferred and enable/disable handlers at
// dispatch level, and its ISR and synchronised routines at device level. What a
// routine may do depends on that: nothing that waits for, allocates from or
// completes through the system at device level, and the resource and
// configuration calls only while the adapter is being set up or taken down.

#include <string>

namespace host {

class MiniportAdapter;

enum class RunLevel { Passive, Dispatch, Device };

struct CallContext {
    MiniportAdapter* adapter = nullptr;
    const char* name = "";  // "Initialize", "Send", "ISR", "synchronised routine", "test code", ...
    RunLevel level = RunLevel::Dispatch;
    bool setup = false;  // the initialise or halt handler: resource and configuration calls allowed
};

// "in its Send handler", "in its ISR", ...; null is code outside any handler.
std::string describe(const CallContext* context);

}  // namespace host
