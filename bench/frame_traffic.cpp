#include "bench/frame_traffic.h"

#include "bench/prescribed_traffic.h"

namespace bench {

FrameTraffic account_frame(BenchRig& rig, Direction direction, std::size_t length) {
    const Ne2000Adapter& a = rig.record();
    const CardShape card{.word_wide = a.ByteWideTransfers == FALSE};
    FrameTraffic t{direction, length, {}, {}};
    if (direction == Direction::Send) {
        t.prescribed = prescribed_send(length, card);
    } else {
        const std::uint32_t page = a.RingStartAddress + (a.NextPacketPage - a.RingStartPage) * 256u;
        t.prescribed = prescribed_receive(length, card, a.CurrentLookahead,
                                          {page, a.RingStartAddress, a.RingEndAddress, a.ReceivePacketCount});
    }
    const auto& counters = rig.rig().adapter().counters();
    const std::uint64_t isr = counters.isr_calls, deferred = counters.deferred_calls;
    const std::size_t mark = rig.trace().mark();
    const machine::Nanoseconds start = rig.now();
    direction == Direction::Send ? rig.send_one(length) : rig.receive_one(length);
    t.virtual_time = rig.now() - start;
    t.measured = account_trace(rig.trace(), mark, rig.io_base());
    t.measured.isr_calls = counters.isr_calls - isr;
    t.measured.deferred_runs = counters.deferred_calls - deferred;
    return t;
}

}  // namespace bench
