#pragma once
// One frame's bus traffic as the trace shows it, next to what the driver's
// register sequences call for at the ring position and card width of the
// moment: the comparison the benchmark prints and the driver test holds.

#include <cstddef>

#include "bench/bench_rig.h"
#include "bench/bus_account.h"

namespace bench {

enum class Direction { Send, Receive };

struct FrameTraffic {
    Direction direction = Direction::Send;
    std::size_t length = 0;
    BusAccount measured;
    BusAccount prescribed;
    machine::Nanoseconds virtual_time = 0;  // from the hand-over until the machine is quiet
};

// Moves one frame through `rig` (which must record its trace) and accounts for it.
FrameTraffic account_frame(BenchRig& rig, Direction direction, std::size_t length);

}  // namespace bench
