// The small register operations, checked on the bus trace: the exact port
// accesses and values the controller gets, and that every page-1 sequence
// leaves it on page 0 where the interrupt service routine expects it.

#include <gtest/gtest.h>

#include "tests/driver/fixture.h"

namespace {

using fixture::LinesMatch;
using fixture::Quiet;
using fixture::RunningCard;

TEST(CardRegisters, StartXmitPointsTheChipAtTheFrameAndPadsTheCountTo60) {
    RunningCard c(Quiet());
    c.a.TransmitActivePage = 6;
    c.a.TransmitPageLength[6] = 42;

    std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { CardStartXmit(&c.a); });
    // TPSR is the page number (0x40 + 6); the count goes high byte first.
    EXPECT_TRUE(LinesMatch(c.lines_since(mark),
                           {"TPSR <- 0x46", "TBCR1 <- 0x00", "TBCR0 <- 0x3C", "CR -> 0x22", "CR <- 0x26"}));

    c.tb.run_for(2 * machine::kMillisecond);
    c.a.TransmitActivePage = 0;
    c.a.TransmitPageLength[0] = 1514;
    mark = c.tb.trace().mark();
    c.tb.call([&] { CardStartXmit(&c.a); });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark),
                           {"TPSR <- 0x40", "TBCR1 <- 0x05", "TBCR0 <- 0xEA", "CR -> 0x22", "CR <- 0x26"}));

    // Both frames left with the lengths the chip was given.
    c.tb.run_for(5 * machine::kMillisecond);
    ASSERT_EQ(c.tb.peer().received().size(), 2u);
    EXPECT_EQ(c.tb.peer().received()[0].frame.size(), 60u);
    EXPECT_EQ(c.tb.peer().received()[1].frame.size(), 1514u);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardRegisters, BoundaryStaysOnePageBehindAndWrapsAtTheRingStart) {
    RunningCard c(Quiet());
    ASSERT_EQ(c.a.RingStartPage, 0x4C);
    ASSERT_EQ(c.a.RingStopPage, 0x80);

    const std::pair<UCHAR, const char*> cases[] = {
        {0x4C, "BNRY <- 0x7F"}, {0x50, "BNRY <- 0x4F"}, {0x80, "BNRY <- 0x7F"}, {0x4D, "BNRY <- 0x4C"}};
    for (const auto& [next, expected] : cases) {
        c.a.NextPacketPage = next;
        const std::size_t mark = c.tb.trace().mark();
        c.tb.call([&] { CardSetBoundary(&c.a); });
        EXPECT_TRUE(LinesMatch(c.lines_since(mark), {expected})) << "next page " << int(next);
    }
}

TEST(CardRegisters, CurrentPageIsReadOnPageOneAndThePageIsRestored) {
    RunningCard c(Quiet());
    // A frame from the peer moves CURR on by one page.
    c.tb.peer().send(std::vector<std::uint8_t>(c.a.CurrentAddress, c.a.CurrentAddress + 6));
    c.tb.run_for(1 * machine::kMillisecond);

    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_FALSE(SyncCardGetCurrent(&c.a)); });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark), {"CR <- 0x62", "CURR -> 0x4E", "CR <- 0x22"}));
    EXPECT_EQ(c.a.LastCurrentPage, 0x4E);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardRegisters, TransmitStatusAndReceiveConfigAreSinglePageZeroAccesses) {
    RunningCard c(Quiet());
    c.a.ReceiveConfigValue = RCR_AB | RCR_AM;
    c.a.TransmitStatus = 0xEE;
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] {
        EXPECT_FALSE(SyncCardGetXmitStatus(&c.a));
        EXPECT_FALSE(SyncCardSetReceiveConfig(&c.a));
    });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark), {"TSR -> 0x00", "RCR <- 0x0C"}));
    EXPECT_EQ(c.a.TransmitStatus, 0x00);
}

TEST(CardRegisters, AllMulticastOpensTheFilterAndTheHashComesBack) {
    RunningCard c(Quiet());
    const UCHAR hash[8] = {0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80};
    for (int i = 0; i < 8; ++i) c.a.MulticastHashBytes[i] = hash[i];

    std::size_t mark = c.tb.trace().mark();
    NdisMSynchronizeWithInterrupt(&c.a.Interrupt, SyncCardSetAllMulticast, &c.a);
    EXPECT_TRUE(LinesMatch(c.lines_since(mark),
                           {"CR <- 0x62", "MAR0 <- 0xFF", "MAR1 <- 0xFF", "MAR2 <- 0xFF", "MAR3 <- 0xFF",
                            "MAR4 <- 0xFF", "MAR5 <- 0xFF", "MAR6 <- 0xFF", "MAR7 <- 0xFF", "CR <- 0x22"}));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c.a.MulticastHashBytes[i], hash[i]) << "hash byte " << i;

    mark = c.tb.trace().mark();
    NdisMSynchronizeWithInterrupt(&c.a.Interrupt, SyncCardCopyMulticastRegs, &c.a);
    EXPECT_TRUE(LinesMatch(c.lines_since(mark),
                           {"CR <- 0x62", "MAR0 <- 0x01", "MAR1 <- 0x00", "MAR2 <- 0x00", "MAR3 <- 0x80",
                            "MAR4 <- 0x00", "MAR5 <- 0x00", "MAR6 <- 0x00", "MAR7 <- 0x80", "CR <- 0x22"}));
}

TEST(CardRegisters, PageOneSequencesLeaveTheChipStartedOnPageZero) {
    // Whatever state it was in before, even stopped; and another device's
    // interrupt on the shared line never finds the chip on page 1.
    RunningCard c(Quiet());
    c.tb.ndis().set_foreign_interrupts(true);
    for (auto op : {SyncCardGetCurrent, SyncCardSetAllMulticast, SyncCardCopyMulticastRegs}) {
        c.tb.call([&] {
            SyncCardStop(&c.a);
            EXPECT_FALSE(c.tb.nic().started());
            NdisMSynchronizeWithInterrupt(&c.a.Interrupt, op, &c.a);
        });
        EXPECT_TRUE(c.tb.nic().started());
        EXPECT_EQ(c.tb.ndis().last_port_write(c.port(NIC_CR)), 0x22);
    }
    EXPECT_FALSE(c.tb.ndis().isr_runs().empty());
    EXPECT_TRUE(c.tb.isr_runs_off_page_zero().empty());
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardRegisters, StopIntoLoopbackWaitsForTheResetState) {
    RunningCard c(Quiet());
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { CardStop(&c.a); });
    // The model shows RST as soon as it is stopped: one poll is enough.
    EXPECT_TRUE(LinesMatch(c.lines_since(mark), {"CR <- 0x21", "RBCR1 <- 0x00", "RBCR0 <- 0x00",
                                                 "ISR -> 0x80", "TCR <- 0x02", "CR <- 0x22"}));
    EXPECT_TRUE(c.tb.nic().started());

    // In loopback nothing reaches the wire.
    c.a.TransmitActivePage = 0;
    c.a.TransmitPageLength[0] = 60;
    c.tb.call([&] { CardStartXmit(&c.a); });
    c.tb.run_for(2 * machine::kMillisecond);
    EXPECT_TRUE(c.tb.peer().received().empty());
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardRegisters, StopGoesOnAfterFourPollsWhenRstNeverShows) {
    RunningCard c(Quiet());
    fixture::BusTap tap(c.tb);
    const std::uint16_t isr = c.port(NIC_ISR);
    tap.on_read = [&](std::uint16_t port, std::uint8_t value) {
        const bool page0 = (c.tb.ndis().last_port_write(c.port(NIC_CR)) & 0xC0) == 0;
        return (port == isr && page0) ? static_cast<std::uint8_t>(value & ~ISR_RST) : value;
    };

    const std::size_t mark = c.tb.trace().mark();
    const machine::Nanoseconds start = c.tb.now();
    c.tb.call([&] { CardStop(&c.a); });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark),
                           {"CR <- 0x21", "RBCR1 <- 0x00", "RBCR0 <- 0x00", "ISR -> 0x00", "stall 500us",
                            "ISR -> 0x00", "stall 500us", "ISR -> 0x00", "stall 500us", "ISR -> 0x00",
                            "stall 500us", "TCR <- 0x02", "CR <- 0x22"}));
    EXPECT_GE(c.tb.now() - start, 2 * machine::kMillisecond);
    EXPECT_TRUE(c.tb.errors().empty());
}

}  // namespace
