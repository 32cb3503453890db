// The driver's cost per frame, on one page:
//   1. its bus traffic per frame, by kind, against what its register sequences
//      call for (they must agree to the access);
//   2. the virtual-time ceiling: back-to-back sends, and the fastest stream of
//      received frames the ring takes without overflowing, with the share of
//      each spent in the deferred handler's fixed socket-controller waits;
//   3. host time per frame and for bring-up, against the floor of moving the
//      same bytes in memory, with heap allocations per frame;
// then a one-line summary. scripts/bench.sh adds callgrind's instruction counts
// per frame, from `driver_bench --count WORKLOAD N`, which runs only N frames
// of the workload with callgrind's collection switched on around them.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/bench_rig.h"
#include "bench/bus_account.h"
#include "bench/frame_traffic.h"
#include "bench/memory_floor.h"
#include "bench/virtual_ceiling.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

using bench::BenchRig;
using bench::BusAccount;

constexpr std::size_t kLengths[] = {bench::kSmallestFrame, bench::kLargestFrame};

// ---------------------------------------------------------------------------
// 1. Bus traffic per frame

struct TrafficCase {
    const char* name;
    bench::FrameTraffic traffic;
};

TrafficCase account_one(bench::Direction direction, std::size_t length) {
    BenchRig r({.trace = true});
    // One frame first, so that the one counted finds the adapter as it is in steady use.
    direction == bench::Direction::Send ? r.send_one(length) : r.receive_one(length);
    return {direction == bench::Direction::Send ? "send" : "receive",
            bench::account_frame(r, direction, length)};
}

bool print_traffic(const std::vector<TrafficCase>& cases) {
    std::printf("Bus traffic per frame, measured / what the register sequences call for (16-bit card)\n");
    std::printf("  %-26s", "");
    for (const auto& c : cases) std::printf(" %8s %4zu B", c.name, c.traffic.length);
    std::printf("\n");
    for (const bench::NamedFigure& f : bench::account_figures()) {
        std::printf("  %-26s", f.name);
        for (const auto& c : cases)
            std::printf(" %7llu/%-7llu", static_cast<unsigned long long>(c.traffic.measured.*f.field),
                        static_cast<unsigned long long>(c.traffic.prescribed.*f.field));
        std::printf("\n");
    }
    const double access_us = static_cast<double>(machine::EmulatedPcOptions{}.access_cost) / 1e3;
    std::printf("  %-26s", "bus time (us)");
    for (const auto& c : cases)
        std::printf(" %15.0f", static_cast<double>(c.traffic.measured.bus_cycles()) * access_us);
    std::printf("\n  %-26s", "virtual time per frame (us)");
    for (const auto& c : cases) std::printf(" %15.0f", static_cast<double>(c.traffic.virtual_time) / 1e3);
    std::printf("\n");
    bool all_agree = true;
    for (const auto& c : cases) {
        const auto diff = bench::differences(c.traffic.measured, c.traffic.prescribed);
        all_agree = all_agree && diff.empty();
        for (const auto& d : diff)
            std::printf("  MISMATCH %s %zu: %s\n", c.name, c.traffic.length, d.c_str());
    }
    std::printf("  %s\n\n", all_agree ? "every access as the register sequences call for"
                                      : "the driver's traffic differs from its register sequences");
    return all_agree;
}

// ---------------------------------------------------------------------------
// 2. Virtual-time ceiling

void print_ceilings() {
    std::printf("Virtual-time ceiling, 1514-byte frames (10 Mbit/s carries %.1f a second)\n",
                bench::line_rate_frames_per_second(1514));
    const auto send = bench::measure_send_ceiling(1514, 200);
    std::printf(
        "  back-to-back sends: %.1f frames/s, %.1f%% of line rate; socket-controller waits take %.1f%% of "
        "the time\n",
        send.frames_per_second, 100 * send.share_of_line_rate, 100 * send.socket_wait_share);
    const auto receive = bench::measure_receive_ceiling(1514, 100);
    std::printf(
        "  receive without ring overflow: at most one frame every %.0f us, %.1f frames/s, %.1f%% of line "
        "rate; socket-controller waits take %.1f%% of the time (%zu trials)\n\n",
        static_cast<double>(receive.interval) / 1e3, receive.frames_per_second,
        100 * receive.share_of_line_rate, 100 * receive.socket_wait_share, receive.trials);
}

// ---------------------------------------------------------------------------
// 3. Host time

void set_frame_counters(benchmark::State& state, std::uint64_t allocations_before) {
    const auto frames = static_cast<double>(state.iterations());
    state.counters["frames_per_s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["allocs_per_frame"] =
        static_cast<double>(bench::allocations_so_far() - allocations_before) / frames;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * state.range(0)));
}

// One frame at a time through the driver, until the machine is quiet again.
void BM_Frames(benchmark::State& state, bench::Direction direction) {
    BenchRig r;
    const auto length = static_cast<std::size_t>(state.range(0));
    auto one = [&] { direction == bench::Direction::Send ? r.send_one(length) : r.receive_one(length); };
    one();
    const std::uint64_t allocations = bench::allocations_so_far();
    for (auto _ : state) one();
    set_frame_counters(state, allocations);
}
BENCHMARK_CAPTURE(BM_Frames, Send, bench::Direction::Send)->Arg(60)->Arg(1514)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Frames, Receive, bench::Direction::Receive)
    ->Arg(60)
    ->Arg(1514)
    ->Unit(benchmark::kMicrosecond);

// The same bytes moved the same number of times with memcpy alone.
void BM_Floor(benchmark::State& state, bench::Direction direction) {
    bench::MemoryFloor floor;
    const auto length = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        direction == bench::Direction::Send ? floor.send(length) : floor.receive(length);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(floor.checksum());
}
BENCHMARK_CAPTURE(BM_Floor, Send, bench::Direction::Send)->Arg(60)->Arg(1514)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Floor, Receive, bench::Direction::Receive)
    ->Arg(60)
    ->Arg(1514)
    ->Unit(benchmark::kMicrosecond);

// DriverEntry to a running adapter with its filter set; the machine is built
// and taken down outside the timed part.
void BM_BringUp(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto r = std::make_unique<BenchRig>();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        r.reset();
    }
}

// Keeps every run's time per iteration, in microseconds, for the summary.
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> microseconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const double to_us = run.time_unit == benchmark::kMillisecond  ? 1e3
                                 : run.time_unit == benchmark::kNanosecond ? 1e-3
                                 : run.time_unit == benchmark::kSecond     ? 1e6
                                                                           : 1.0;
            microseconds[run.benchmark_name()] = run.GetAdjustedRealTime() * to_us;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// ---------------------------------------------------------------------------
// --count WORKLOAD N

int count_instructions(const std::string& workload, long frames) {
    if (workload == "bring-up") {
        for (long i = 0; i < frames; ++i) {
            CALLGRIND_TOGGLE_COLLECT;
            BenchRig r;
            CALLGRIND_TOGGLE_COLLECT;
        }
        return 0;
    }
    const bool send = workload.rfind("send-", 0) == 0;
    const bool receive = workload.rfind("receive-", 0) == 0;
    const std::size_t length = std::strtoul(workload.c_str() + workload.find('-') + 1, nullptr, 10);
    if ((!send && !receive) || length < bench::kSmallestFrame || length > bench::kLargestFrame) {
        std::fprintf(stderr, "driver_bench: no workload %s (send-LENGTH, receive-LENGTH or bring-up)\n",
                     workload.c_str());
        return 2;
    }
    BenchRig r;
    send ? r.send_one(length) : r.receive_one(length);
    CALLGRIND_TOGGLE_COLLECT;
    for (long i = 0; i < frames; ++i) send ? r.send_one(length) : r.receive_one(length);
    CALLGRIND_TOGGLE_COLLECT;
    return 0;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc == 4 && std::strcmp(argv[1], "--count") == 0)
        return count_instructions(argv[2], std::atol(argv[3]));

    std::vector<TrafficCase> cases;
    for (auto direction : {bench::Direction::Send, bench::Direction::Receive})
        for (std::size_t length : kLengths) cases.push_back(account_one(direction, length));
    const bool traffic_agrees = print_traffic(cases);
    print_ceilings();

    benchmark::RegisterBenchmark("BM_BringUp", BM_BringUp)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& us = reporter.microseconds;
    auto figure = [&](const char* what, const std::string& run, const std::string& floor) {
        if (!us.contains(run)) return std::string();
        char line[160];
        std::snprintf(line, sizeof line, "%s %.0f frames/s (%.2f us, %.0fx floor)", what, 1e6 / us[run],
                      us[run], us.contains(floor) && us[floor] > 0 ? us[run] / us[floor] : 0.0);
        return std::string(line);
    };
    std::printf(
        "\nsummary: %s; %s; %s; %s; bring-up %.2f ms; bus traffic %s\n",
        figure("send 1514 B", "BM_Frames/Send/1514", "BM_Floor/Send/1514").c_str(),
        figure("receive 1514 B", "BM_Frames/Receive/1514", "BM_Floor/Receive/1514").c_str(),
        figure("send 60 B", "BM_Frames/Send/60", "BM_Floor/Send/60").c_str(),
        figure("receive 60 B", "BM_Frames/Receive/60", "BM_Floor/Receive/60").c_str(),
        us.contains("BM_BringUp/manual_time") ? us["BM_BringUp/manual_time"] / 1e3 : 0.0,
        traffic_agrees ? "as the register sequences call for" : "DIFFERS from the register sequences");
    return traffic_agrees ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "driver_bench: %s\n", e.what());
    return 1;
}
