#pragma once
// How much the driver can carry in virtual time, the time an NT machine would
// see: back-to-back sends, and the fastest steady stream of received frames
// the ring absorbs without overflowing. Next to each, the share of that time
// the deferred handler spends in its fixed socket-controller waits.

#include <cstddef>
#include <cstdint>

#include "machine/clock.h"
#include "machine/emulated_pc.h"

namespace bench {

// Full-size frames per second a 10 Mbit/s medium carries: each holds it for
// its bytes, FCS, preamble and inter-frame gap.
double line_rate_frames_per_second(std::size_t frame_length);

struct SendCeiling {
    std::size_t frames = 0;
    machine::Nanoseconds elapsed = 0;  // first send to the last frame heard
    double frames_per_second = 0;
    double share_of_line_rate = 0;
    double socket_wait_share = 0;  // of `elapsed`, in the deferred handler's socket-controller waits
};

struct ReceiveCeiling {
    machine::Nanoseconds interval = 0;  // between frame starts at the highest rate without overflow
    double frames_per_second = 0;
    double share_of_line_rate = 0;
    double socket_wait_share = 0;  // of the run's time, at that rate
    std::size_t trials = 0;
};

SendCeiling measure_send_ceiling(std::size_t frame_length, std::size_t frames,
                                 const machine::EmulatedPcOptions& pc = {});
ReceiveCeiling measure_receive_ceiling(std::size_t frame_length, std::size_t frames,
                                       const machine::EmulatedPcOptions& pc = {});

}  // namespace bench
