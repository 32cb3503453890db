#include "bench/virtual_ceiling.h"

#include "bench/bench_rig.h"
#include "bench/bus_account.h"
#include "net/wire/ethernet_wire.h"

namespace bench {

namespace {

constexpr std::uint8_t kIsrOverwrite = 0x10;

// Stalls that come straight after an access to the socket controller: the
// deferred handler's waits around its status-change reads.
machine::Nanoseconds socket_wait_time(const machine::BusTrace& trace, std::size_t from) {
    machine::Nanoseconds total = 0;
    bool after_socket_access = false;
    const auto& entries = trace.entries();
    for (std::size_t i = from; i < entries.size(); ++i) {
        const machine::TraceEntry& e = entries[i];
        if (e.kind == machine::TraceKind::Stall) {
            if (after_socket_access)
                total += static_cast<machine::Nanoseconds>(e.value) * machine::kMicrosecond;
            continue;
        }
        after_socket_access = is_socket_controller_port(e.port);
    }
    return total;
}

// Whether the driver found OVW in ISR at any of its reads. Offset 7 is CURR
// on register page 1, so the register's decoded name tells them apart.
bool ring_overflowed(const machine::BusTrace& trace, std::size_t from) {
    const auto& entries = trace.entries();
    for (std::size_t i = from; i < entries.size(); ++i) {
        const machine::TraceEntry& e = entries[i];
        if (e.kind == machine::TraceKind::In8 && e.name == "ISR" && (e.value & kIsrOverwrite)) return true;
    }
    return false;
}

}  // namespace

double line_rate_frames_per_second(std::size_t frame_length) {
    return 1e9 / static_cast<double>(net::EthernetWire::frame_time(frame_length));
}

SendCeiling measure_send_ceiling(std::size_t frame_length, std::size_t frames,
                                 const machine::EmulatedPcOptions& pc) {
    BenchRig r({.pc = pc, .trace = true});
    const std::size_t mark = r.trace().mark();
    const machine::Nanoseconds start = r.now();
    r.send_burst(frame_length, frames);
    SendCeiling c;
    c.frames = frames;
    c.elapsed = r.station().last_heard_at() - start;
    c.frames_per_second = static_cast<double>(frames) * 1e9 / static_cast<double>(c.elapsed);
    c.share_of_line_rate = c.frames_per_second / line_rate_frames_per_second(frame_length);
    c.socket_wait_share =
        static_cast<double>(socket_wait_time(r.trace(), mark)) / static_cast<double>(c.elapsed);
    return c;
}

ReceiveCeiling measure_receive_ceiling(std::size_t frame_length, std::size_t frames,
                                       const machine::EmulatedPcOptions& pc) {
    ReceiveCeiling c;
    struct Trial {
        bool clean = false;
        double socket_wait_share = 0;
    };
    auto trial = [&](machine::Nanoseconds interval) {
        ++c.trials;
        BenchRig r({.pc = pc, .trace = true});
        const std::size_t mark = r.trace().mark();
        const machine::Nanoseconds start = r.now();
        const std::uint64_t taken = r.receive_paced(frame_length, frames, interval);
        Trial t;
        t.clean = taken == frames && !ring_overflowed(r.trace(), mark);
        const machine::Nanoseconds elapsed = r.protocol().last_taken_at() - start;
        if (elapsed != 0)
            t.socket_wait_share =
                static_cast<double>(socket_wait_time(r.trace(), mark)) / static_cast<double>(elapsed);
        return t;
    };
    // The shortest interval, to the microsecond, at which every frame arrives
    // and the ring never overflows: between back to back on the wire and a
    // frame every 100 ms.
    machine::Nanoseconds fast = net::EthernetWire::frame_time(frame_length);
    machine::Nanoseconds slow = 100 * machine::kMillisecond;
    Trial at_slow = trial(slow);
    if (!at_slow.clean) return c;
    if (Trial t = trial(fast); t.clean) {
        slow = fast;
        at_slow = t;
    }
    while (slow - fast > machine::kMicrosecond) {
        const machine::Nanoseconds middle = fast + (slow - fast) / 2;
        if (Trial t = trial(middle); t.clean) {
            slow = middle;
            at_slow = t;
        } else {
            fast = middle;
        }
    }
    c.interval = slow;
    c.frames_per_second = 1e9 / static_cast<double>(slow);
    c.share_of_line_rate = c.frames_per_second / line_rate_frames_per_second(frame_length);
    c.socket_wait_share = at_slow.socket_wait_share;
    return c;
}

}  // namespace bench
