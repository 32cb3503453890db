// --serve PORT: the guest's web server on this host's 127.0.0.1:PORT.

#include "tools/ne2000sim/modes.h"

namespace sim {

bool run_serve(RunContext& c) {
    c.reporter.note("serve: not built yet");
    return false;
}

}  // namespace sim
