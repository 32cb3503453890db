// Throughput of the driver on the emulated machine, in wall time (how fast the
// simulation runs) and in virtual time (what the card and driver would do on
// the real bus at 1 us per port access).

#include <benchmark/benchmark.h>

#include <vector>

#include "tests/support/testbed.h"

namespace {

using machine::kMillisecond;

std::vector<std::uint8_t> Frame(const std::array<UCHAR, 6>& destination, std::size_t length) {
    std::vector<std::uint8_t> frame(length);
    for (std::size_t i = 0; i < 6; ++i) frame[i] = destination[i];
    const UCHAR source[6] = {0x02, 0, 0, 0, 0, 0x99};
    for (std::size_t i = 0; i < 6; ++i) frame[6 + i] = source[i];
    frame[12] = 0x08;
    frame[13] = 0x00;
    for (std::size_t i = 14; i < length; ++i) frame[i] = static_cast<std::uint8_t>(i);
    return frame;
}

struct RunningAdapter {
    testbed::Testbed tb{testbed::TestbedOptions{.trace = false}};
    std::array<UCHAR, 6> station{};

    RunningAdapter() {
        tb.load_driver();
        if (tb.initialize() != NDIS_STATUS_SUCCESS) throw std::runtime_error("adapter did not come up");
        tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
        for (int i = 0; i < 6; ++i) station[i] = tb.record()->CurrentAddress[i];
    }
};

// Protocol -> driver -> card -> wire -> peer, one maximum-size frame at a time.
void BM_TransmitFullFrames(benchmark::State& state) {
    RunningAdapter a;
    const auto frame = Frame({0x02, 0, 0, 0, 0, 0x99}, 1514);
    const auto start = a.tb.now();
    std::size_t frames = 0;
    for (auto _ : state) {
        a.tb.protocol().send(frame);
        while (a.tb.peer().received().empty()) a.tb.run_for(kMillisecond);
        a.tb.peer().clear_received();
        ++frames;
    }
    const double virtual_seconds = static_cast<double>(a.tb.now() - start) / 1e9;
    state.SetBytesProcessed(static_cast<std::int64_t>(frames * frame.size()));
    state.counters["virtual_us_per_frame"] = virtual_seconds * 1e6 / static_cast<double>(frames);
    state.counters["virtual_Mbit_s"] = static_cast<double>(frames * frame.size() * 8) / virtual_seconds / 1e6;
}
BENCHMARK(BM_TransmitFullFrames)->Unit(benchmark::kMicrosecond);

// Peer -> wire -> card -> interrupt -> receive path -> protocol, in bursts of
// `range(0)` frames sent back to back.
void BM_ReceiveBursts(benchmark::State& state) {
    RunningAdapter a;
    const auto burst = static_cast<std::size_t>(state.range(0));
    const auto frame = Frame(a.station, 1514);
    const auto start = a.tb.now();
    std::size_t frames = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < burst; ++i) a.tb.peer().send(frame);
        while (a.tb.protocol().received_frames().size() < burst) a.tb.run_for(kMillisecond);
        a.tb.protocol().clear_received();
        frames += burst;
    }
    const double virtual_seconds = static_cast<double>(a.tb.now() - start) / 1e9;
    state.SetBytesProcessed(static_cast<std::int64_t>(frames * frame.size()));
    state.counters["virtual_us_per_frame"] = virtual_seconds * 1e6 / static_cast<double>(frames);
    state.counters["virtual_Mbit_s"] = static_cast<double>(frames * frame.size() * 8) / virtual_seconds / 1e6;
}
BENCHMARK(BM_ReceiveBursts)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// Bring-up from DriverEntry to a running adapter.
void BM_BringUp(benchmark::State& state) {
    for (auto _ : state) {
        RunningAdapter a;
        state.counters["virtual_ms"] = static_cast<double>(a.tb.now()) / 1e6;
        state.counters["adapter_record_bytes"] = sizeof(Ne2000Adapter);
        a.tb.halt();
    }
}
BENCHMARK(BM_BringUp)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
