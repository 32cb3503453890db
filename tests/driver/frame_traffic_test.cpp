// The driver's bus traffic for each frame it moves, held access for access to
// what its register sequences call for: an extra register read, a missing
// stall or a copy split one call too many shows up here as a count that
// differs. Random sequences of sends and receives walk the receive ring round
// its end, so frames that wrap are among them, on both card widths.

#include <gtest/gtest.h>

#include <random>

#include "bench/frame_traffic.h"

namespace {

using bench::Direction;

struct TrafficRun {
    const char* name;
    machine::Dp8390Config nic;
    unsigned seed;
};

class FrameTrafficTest : public testing::TestWithParam<TrafficRun> {};

TEST_P(FrameTrafficTest, EveryFrameMakesExactlyTheAccessesItsSequencesCallFor) {
    bench::BenchRig rig({.pc = {.nic = GetParam().nic}, .trace = true});
    std::mt19937 random(GetParam().seed);
    // The lengths where the copies change shape: the shortest frame, odd
    // lengths, the lookahead's edge (252/253) and the largest frame.
    const std::size_t edges[] = {60, 61, 252, 253, 254, 1513, 1514};
    std::uniform_int_distribution<std::size_t> any_length(60, 1514);
    bool wrapped = false;
    for (int frame = 0; frame < 40; ++frame) {
        const Direction direction = random() % 3 == 0 ? Direction::Send : Direction::Receive;
        const std::size_t length = random() % 2 ? edges[random() % std::size(edges)] : any_length(random);
        const std::uint8_t page_before = rig.record().NextPacketPage;
        const bench::FrameTraffic t = bench::account_frame(rig, direction, length);
        EXPECT_EQ(bench::differences(t.measured, t.prescribed), std::vector<std::string>{})
            << (direction == Direction::Send ? "send " : "receive ") << length << " bytes, frame " << frame;
        wrapped = wrapped || rig.record().NextPacketPage < page_before;
        rig.trace().clear();
    }
    EXPECT_TRUE(wrapped) << "no frame went round the end of the ring";
    EXPECT_EQ(rig.rig().errors(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cards, FrameTrafficTest,
    testing::Values(TrafficRun{"SixteenBit", machine::Dp8390Config::sixteen_bit_card(), 1},
                    TrafficRun{"SixteenBitAgain", machine::Dp8390Config::sixteen_bit_card(), 7},
                    TrafficRun{"EightBit", machine::Dp8390Config::eight_bit_card(), 3}),
    [](const auto& run) { return std::string(run.param.name); });

}  // namespace
