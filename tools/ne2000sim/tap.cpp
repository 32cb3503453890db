// --tap NAME: the guest on a Linux TAP device.

#include "tools/ne2000sim/modes.h"

namespace sim {

bool run_tap(RunContext& c) {
    c.reporter.note("tap: not built yet");
    return false;
}

}  // namespace sim
