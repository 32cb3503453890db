#include <gtest/gtest.h>

#include "chip.h"
#include "machine/nic/ethernet_crc.h"

using namespace nictest;

namespace {
struct Receive : ::testing::Test {
    Chip c;
    machine::MacAddress me = c.nic.config().station_address;
    void SetUp() override { c.bring_up(); }
    std::uint8_t page1(std::uint16_t reg) {
        c.out(kCommand, 0x62);
        const std::uint8_t v = c.in(reg);
        c.out(kCommand, 0x22);
        return v;
    }
    void set_page1(std::uint16_t reg, std::uint8_t value) {
        c.out(kCommand, 0x62);
        c.out(reg, value);
        c.out(kCommand, 0x22);
    }
};
}  // namespace

TEST_F(Receive, MinimumFrameIsStoredWithHeaderAndFcsAndARuntIsDropped) {
    const auto frame = frame_to(me, 60);
    c.nic.receive_frame(frame);
    EXPECT_EQ(c.in(ISR)&0x01, 0x01);
    EXPECT_TRUE(c.nic.interrupt());
    EXPECT_EQ(page1(CURR), 0x4E);
    const auto stored = c.read_memory(0x4D00, 4 + 64);
    EXPECT_EQ(stored[0], 0x01);  // RSR
    EXPECT_EQ(stored[1], 0x4E);  // next page
    EXPECT_EQ(stored[2], 64);    // count includes the FCS
    EXPECT_EQ(stored[3], 0);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), stored.begin() + 4));
    EXPECT_EQ(machine::ethernet::crc32(std::span(stored).subspan(4)), machine::ethernet::kFcsResidue);

    c.out(ISR, 0xFF);
    c.nic.receive_frame(frame_to(me, 59));
    EXPECT_EQ(c.in(ISR), 0x00);
    EXPECT_EQ(page1(CURR), 0x4E);
    EXPECT_EQ(c.in(CNTR2), 0);
}

TEST_F(Receive, AddressFilterFollowsParRcrAndTheMulticastHash) {
    const machine::MacAddress other{0x02, 0, 0, 0, 0, 0x99}, bcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    struct Case {
        machine::MacAddress to;
        std::uint8_t rcr, mar3, mar7;
        std::uint8_t rsr;  // 0: not stored
    } cases[] = {
        {me, 0x00, 0, 0, 0x01},       {other, 0x00, 0, 0, 0},    {other, 0x10, 0, 0, 0x01},
        {bcast, 0x00, 0, 0, 0},       {bcast, 0x04, 0, 0, 0x21}, {bcast, 0x08, 0, 0x80, 0},
        {group, 0x08, 0x80, 0, 0x21}, {group, 0x08, 0x7F, 0, 0}, {group, 0x14, 0x80, 0, 0},
    };
    for (const Case& k : cases) {
        c.out(RCR, k.rcr);
        set_page1(MAR0 + 3, k.mar3);
        set_page1(MAR0 + 7, k.mar7);
        const std::uint8_t before = page1(CURR);
        c.nic.receive_frame(frame_to(k.to, 64));
        const bool stored = page1(CURR) != before;
        EXPECT_EQ(stored, k.rsr != 0) << "rcr " << int(k.rcr) << " to " << int(k.to[0]);
        if (stored) {
            EXPECT_EQ(c.nic.peek_memory(static_cast<std::uint16_t>(before << 8)), k.rsr);
        }
    }
}

TEST_F(Receive, NothingIsStoredWhileStoppedInLoopbackOrMonitoring) {
    c.out(kCommand, 0x21);
    c.nic.receive_frame(frame_to(me, 100));
    c.out(kCommand, 0x22);
    c.out(TCR, 0x02);
    c.nic.receive_frame(frame_to(me, 100));
    c.out(TCR, 0x00);
    c.out(RCR, 0x20);
    c.nic.receive_frame(frame_to(me, 100));
    EXPECT_EQ(page1(CURR), 0x4D);
    EXPECT_EQ(c.in(ISR)&0x01, 0);
    EXPECT_EQ(c.in(CNTR2), 1);  // monitor mode counts what it saw
}

TEST_F(Receive, FrameCrossingPstopContinuesAtPstart) {
    c.out(BNRY, 0x60);
    set_page1(CURR, 0x7F);
    const auto frame = frame_to(me, 300);  // 308 bytes with header and FCS: two pages
    c.nic.receive_frame(frame);
    EXPECT_EQ(page1(CURR), 0x4D);
    EXPECT_EQ(c.nic.peek_memory(0x7F01), 0x4D);
    EXPECT_EQ(c.read_memory(0x7F04, 300), frame);  // the remote read wraps the same way
}

TEST_F(Receive, OverflowDropsCountsAndBlocksUntilBoundaryMoves) {
    for (int i = 0; i < 8; ++i) c.nic.receive_frame(frame_to(me, 1514));  // 6 pages each
    EXPECT_EQ(page1(CURR), 0x4D + 48);
    c.out(ISR, 0xFF);
    c.nic.receive_frame(frame_to(me, 1514));  // would need 0x4C = BNRY
    EXPECT_EQ(c.in(ISR), 0x90);               // OVW + RST
    EXPECT_TRUE(c.nic.interrupt());
    c.out(BNRY, 0x4C);  // rewriting the same page frees nothing
    EXPECT_EQ(c.in(ISR), 0x90);
    set_page1(CURR, 0x7D);                  // and neither does rewriting CURR
    EXPECT_EQ(c.in(ISR), 0x10);             // the start command in it clears RST all the same
    c.nic.receive_frame(frame_to(me, 60));  // would fit, but the ring is still blocked
    EXPECT_EQ(page1(CURR), 0x7D);
    EXPECT_EQ(c.in(CNTR2), 2);
    EXPECT_EQ(c.in(CNTR2), 0);  // cleared by reading
    c.out(BNRY, 0x5E);
    EXPECT_EQ(c.in(ISR)&0x80, 0);
    c.nic.receive_frame(frame_to(me, 60));
    EXPECT_EQ(page1(CURR), 0x7E);
}

// After an overflow the host owes the chip its recovery: stop, wait 1.6 ms,
// clear RBCR0 and RBCR1, internal loopback, start, empty the ring (BNRY
// moves), leave loopback. Every step a restart skips is named, and the ring
// stores again only once BNRY has moved.
TEST(OverflowRecovery, EveryStepARestartSkipsIsNamed) {
    const std::string late = "overflow recovery restarted the chip ";
    const std::string rbcr = "overflow recovery restarted the chip without clearing RBCR0 and RBCR1";
    const std::string loop = "overflow recovery restarted the chip without internal loopback (TCR LB0)";
    const std::string undrained =
        "overflow recovery left loopback before draining the ring (BNRY has not moved)";
    struct Case {
        const char* what;
        machine::Nanoseconds wait;
        bool clear_low, clear_high, loopback, drain;
        std::vector<std::string> violations;
    };
    const Case cases[] = {
        {"every step", 1600000, true, true, true, true, {}},
        {"too short a wait",
         1599999,
         true,
         true,
         true,
         true,
         {late + "1599 us after the stop, without the 1.6 ms wait"}},
        {"RBCR1 left", 1600000, true, false, true, true, {rbcr}},
        {"RBCR0 left", 1600000, false, true, true, true, {rbcr}},
        {"no loopback", 1600000, true, true, false, true, {loop}},
        {"loopback left with the ring full", 1600000, true, true, true, false, {undrained}},
        {"stop and start alone",
         0,
         false,
         false,
         false,
         true,
         {late + "0 us after the stop, without the 1.6 ms wait", rbcr, loop}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Chip c;
        c.bring_up();
        const machine::MacAddress me = c.nic.config().station_address;
        for (int i = 0; i < 9; ++i) c.nic.receive_frame(frame_to(me, 1514));  // the ninth overflows
        c.out(kCommand, 0x21);
        c.clock.advance(k.wait);
        if (k.clear_low) c.out(RBCR0, 0);
        if (k.clear_high) c.out(RBCR1, 0);
        if (k.loopback) c.out(TCR, 0x02);
        c.out(kCommand, 0x22);
        c.nic.receive_frame(frame_to(me, 60));  // in loopback, or the ring still blocked
        if (k.drain) c.out(BNRY, 0x52);         // the first frame taken
        c.out(TCR, 0x00);
        c.nic.receive_frame(frame_to(me, 60));
        c.out(kCommand, 0x62);
        EXPECT_EQ(c.in(CURR), k.drain ? 0x7E : 0x7D);
        EXPECT_EQ(c.nic.violations(), k.violations);
    }
}

TEST_F(Receive, RingBoundsChangeOnlyWhileStoppedAndTheRingMustLieInRam) {
    c.out(PSTART, 0x4C);  // while running, even the same value
    c.out(kCommand, 0x21);
    c.out(PSTOP, 0x90);  // stopped: accepted, but past the end of the RAM
    c.out(kCommand, 0x22);
    c.nic.receive_frame(frame_to(me, 60));
    c.nic.receive_frame(frame_to(me, 60));  // recorded once per placement
    EXPECT_EQ(page1(CURR), 0x4F);
    EXPECT_EQ(
        c.nic.violations(),
        (std::vector<std::string>{"PSTART <- 0x4C while the chip runs",
                                  "frame stored into ring PSTART 0x4C PSTOP 0x90 outside the card's RAM"}));
}

TEST_F(Receive, ErrorFaultsAreCountedNotStoredAndCntComesAtHalfRange) {
    c.nic.faults().crc_errors = 1;
    c.nic.faults().alignment_errors = 1;
    c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.in(RSR), 0x02);
    c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.in(ISR), 0x04);  // RXE only
    EXPECT_EQ(c.in(CNTR0), 1);
    EXPECT_EQ(c.in(CNTR1), 1);
    EXPECT_EQ(page1(CURR), 0x4D);

    c.nic.faults().crc_errors = 300;
    for (int i = 0; i < 127; ++i) c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.in(ISR)&0x20, 0);
    c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.in(ISR)&0x20, 0x20);
    for (int i = 0; i < 150; ++i) c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.in(CNTR1), 0xFF);  // saturates
}

TEST_F(Receive, CorruptedHeaderFaultHitsOneByteOfTheNextFrameOnly) {
    c.nic.faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{3, 0x77};
    c.nic.receive_frame(frame_to(me, 64));
    c.nic.receive_frame(frame_to(me, 64));
    EXPECT_EQ(c.read_memory(0x4D00, 4), (std::vector<std::uint8_t>{0x01, 0x4E, 68, 0x77}));
    EXPECT_EQ(c.read_memory(0x4E00, 4), (std::vector<std::uint8_t>{0x01, 0x4F, 68, 0x00}));
}
