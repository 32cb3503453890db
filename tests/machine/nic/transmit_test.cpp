#include <gtest/gtest.h>

#include <tuple>

#include "chip.h"

using namespace nictest;
using machine::Dp8390;
using machine::Nanoseconds;

namespace {
struct Transmit : ::testing::Test {
    Chip c;
    std::vector<std::pair<Nanoseconds, std::vector<std::uint8_t>>> sent;
    void SetUp() override {
        c.bring_up();
        c.nic.set_transmit_hook([this](std::span<const std::uint8_t> f) {
            sent.emplace_back(c.clock.now(), std::vector<std::uint8_t>(f.begin(), f.end()));
            return c.clock.now() + Dp8390::wire_time(f.size());
        });
    }
    std::vector<std::uint8_t> load(std::size_t length) {
        auto frame = frame_to({0x02, 0, 0, 0, 0, 7}, length);
        c.load_frame(frame);
        return frame;
    }
};
}  // namespace

TEST_F(Transmit, SendsExactlyTbcrBytesAndCompletesAfterTheWireTime) {
    const auto frame = load(42);  // the chip does not pad
    c.out(kCommand, 0x26);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].second, frame);
    EXPECT_EQ(c.in(kCommand), 0x26);
    const Nanoseconds done = Dp8390::wire_time(42);
    EXPECT_EQ(done, (42 + 4 + 8 + 12) * 800u);
    c.clock.advance(done - 1);
    EXPECT_EQ(c.in(ISR)&0x02, 0);
    c.out(kCommand, 0x26);  // TXP again while busy: still one frame
    EXPECT_EQ(c.nic.violations(), std::vector<std::string>{"TXP while a frame is still going out"});
    c.clock.advance(1);
    EXPECT_EQ(c.in(ISR), 0x02);
    EXPECT_EQ(c.in(TSR), 0x01);
    EXPECT_EQ(c.in(kCommand), 0x22);
    EXPECT_TRUE(c.nic.interrupt());
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(Transmit, CompletesWhenTheMediumSaysSo) {
    c.nic.set_transmit_hook([this](std::span<const std::uint8_t>) { return c.clock.now() + 1000000; });
    load(60);
    c.out(kCommand, 0x26);
    c.clock.advance(999999);
    EXPECT_TRUE(c.nic.transmitting());
    c.clock.advance(1);
    EXPECT_EQ(c.in(ISR), 0x02);
}

TEST_F(Transmit, InternalLoopbackCompletesWithoutTouchingTheWire) {
    load(60);
    c.out(TCR, 0x02);
    c.out(kCommand, 0x26);
    c.clock.advance(Dp8390::wire_time(60));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(c.in(ISR), 0x02);
    EXPECT_EQ(c.in(TSR), 0x01);
}

TEST_F(Transmit, AbortAndCollisionFaults) {
    load(60);
    c.nic.faults().abort_transmissions = 1;
    c.nic.faults().collide_transmissions = 1;
    c.out(kCommand, 0x26);
    c.clock.advance(Dp8390::wire_time(60));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(c.in(ISR), 0x08);
    EXPECT_EQ(c.in(TSR), 0x08);

    c.out(ISR, 0xFF);
    c.out(kCommand, 0x26);
    c.clock.advance(Dp8390::kSlotTime);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, Dp8390::wire_time(60) + Dp8390::kSlotTime);
    c.clock.advance(Dp8390::wire_time(60));
    EXPECT_EQ(c.in(ISR), 0x02);
    EXPECT_EQ(c.in(TSR), 0x05);  // sent, after a collision
    EXPECT_EQ(c.in(NCR), 1);
}

TEST_F(Transmit, TxpNeedsARunningChipAndAStopLetsTheFrameFinish) {
    load(60);
    c.out(kCommand, 0x21);
    c.out(kCommand, 0x05);  // TXP while stopped
    EXPECT_FALSE(c.nic.transmitting());
    EXPECT_EQ(c.in(kCommand), 0x01);
    EXPECT_EQ(c.nic.violations(), std::vector<std::string>{"TXP while the chip is stopped"});
    c.out(kCommand, 0x26);
    c.out(kCommand, 0x21);
    c.clock.advance(Dp8390::wire_time(60));
    EXPECT_EQ(c.in(ISR), 0x82);
    // The reset port, though, cuts it off.
    c.out(kCommand, 0x26);
    c.in(0x1F);
    c.clock.advance(Dp8390::wire_time(60));
    EXPECT_EQ(c.in(ISR), 0x80);
    EXPECT_EQ(sent.size(), 2u);
}

// Carrier sense: a frame waits while another station's frame is on the
// medium. Until it starts, a stop drops it without a trace (no PTX, no TXE),
// and only the host sending it again gets it out.
TEST_F(Transmit, AFrameWaitingForTheMediumGoesWhenItIsFreeOrNotAtAllAfterAStop) {
    for (bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped while waiting" : "left alone");
        c.bring_up();
        sent.clear();
        const Nanoseconds t0 = c.clock.now();
        c.nic.medium_busy(t0, t0 + 500000);
        load(60);
        c.out(kCommand, 0x26);
        EXPECT_TRUE(c.nic.transmit_deferred());
        c.clock.advance(250000);
        EXPECT_TRUE(sent.empty());
        if (stopped) c.out(kCommand, 0x21);
        c.clock.advance(machine::kMillisecond);
        if (stopped) {
            EXPECT_TRUE(sent.empty());
            EXPECT_FALSE(c.nic.transmitting());
            EXPECT_EQ(c.in(ISR), 0x80);  // RST only
            EXPECT_EQ(c.in(kCommand), 0x21);
        } else {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].first, t0 + 500000);
            EXPECT_EQ(c.in(ISR), 0x02);
        }
        EXPECT_FALSE(c.nic.transmit_deferred());
        EXPECT_TRUE(c.nic.violations().empty());
    }
}

// The local DMA sends from card RAM: TPSR and TBCR must name bytes in it.
TEST_F(Transmit, ATransmitAreaOutsideTheRamIsAViolation) {
    load(60);
    for (auto [tpsr, tbcr0, tbcr1] : {std::tuple{0x3F, 0, 2}, {0x7F, 0x2C, 1}, {0x7E, 0, 2}}) {
        c.out(TPSR, static_cast<std::uint8_t>(tpsr));
        c.out(TBCR0, static_cast<std::uint8_t>(tbcr0));
        c.out(TBCR1, static_cast<std::uint8_t>(tbcr1));
        c.out(kCommand, 0x26);
        c.clock.advance(2 * machine::kMillisecond);
    }
    EXPECT_EQ(c.nic.violations(),
              (std::vector<std::string>{"transmit area 0x3F00-0x40FF lies outside the card's RAM",
                                        "transmit area 0x7F00-0x802B lies outside the card's RAM"}));
    // What goes out is what card memory reads there: the undriven bus (0xFF) outside the RAM.
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& [first, k] : {std::pair{0x3F00, 0}, {0x7F00, 1}, {0x7E00, 2}})
        for (std::size_t i = 0; i < sent[k].second.size(); ++i)
            ASSERT_EQ(sent[k].second[i], c.nic.peek_memory(static_cast<std::uint16_t>(first + i)))
                << k << " " << i;
    EXPECT_EQ(sent[0].second.front(), 0xFF);
    EXPECT_EQ(sent[1].second.back(), 0xFF);
}

// A real chip fetches the frame while it sends it, so a driver that reuses a
// frame's pages before its transmission ends would send garbage: the model
// records it, once per remote write, and leaves writes elsewhere alone.
TEST_F(Transmit, RemoteWritesIntoTheFrameBeingSentAreViolations) {
    c.nic.set_transmit_hook([this](std::span<const std::uint8_t>) { return c.clock.now() + 1000000; });
    load(300);
    c.out(kCommand, 0x26);
    const std::vector<std::uint8_t> bytes(64, 0xAB);
    c.write_memory(0x4200, bytes);  // the next pages: fine
    EXPECT_TRUE(c.nic.violations().empty());
    c.write_memory(0x4100, bytes);  // inside the 300 bytes from 0x4000
    ASSERT_EQ(c.nic.violations().size(), 1u);
    EXPECT_NE(c.nic.violations()[0].find("frame being transmitted"), std::string::npos);
    c.nic.clear_violations();
    c.clock.advance(1000000);  // the frame is out; its pages are free again
    c.write_memory(0x4000, bytes);
    EXPECT_TRUE(c.nic.violations().empty());
}
