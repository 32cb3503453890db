// The interrupt path as the machine drives it: the DP8390's INT through the
// card's STSCHG# to the socket controller's status-change interrupt, the
// stand-in's ISR dispatch, and the deferred handler sorting the causes.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "tests/driver/fixture.h"

namespace {

using namespace fixture;

TEST(InterruptDispatch, AFrameRunsTheIsrThenTheDeferredHandlerToAQuietIsr) {
    RunningCard c;
    c.tb.peer().send(Frame(60, 1));
    c.tb.run_for(40 * kMs);
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 1u);

    const auto lines = c.lines_since();
    const std::size_t isr = IndexOf(lines, "ISR -> 0x01");
    ASSERT_LT(isr, lines.size());
    // The ISR masks the card and leaves ISR alone; the deferred handler first
    // clears both sockets' status changes, then finds PRX still set,
    // acknowledges exactly it and reads CURR on page 1.
    EXPECT_TRUE(LinesMatchFrom(
        lines, isr,
        {"ISR -> 0x01", "IMR <- 0x00", "I365 index <- 0x04", "stall 4096us", "I365 data [0x04] -> *",
         "stall 4096us", "I365 index <- 0x44", "stall 4096us", "I365 data [0x44] -> *", "stall 4096us",
         "ISR -> 0x01", "ISR <- 0x01", "CR <- 0x62", "CURR -> 0x4E", "CR <- 0x22"}));
    // It ends when a reading shows no cause (only RDC from its own copies),
    // and the wrapper unmasks the card.
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"ISR -> 0x40", "ISR <- 0x40", "IMR <- 0x1B"}));
    EXPECT_EQ(c.tb.adapter().counters().deferred_calls, 1u);
    EXPECT_EQ(c.a.InterruptStatus & ISR_CAUSES, 0);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

// The card drives its line only for the causes IMR enables and only while the
// driver has not masked it; whatever else ISR shows, another device on the
// shared line raised the interrupt. Claiming it would steal that device's
// interrupts (and, on a latched line dispatched until no ISR claims, never end).
TEST(InterruptDispatch, TheIsrClaimsOnlyWhatTheCardCanHaveRaised) {
    struct Case {
        const char* what;
        std::function<void(RunningCard&)> arrange;  // runs as a handler, so no deferred handler gets in
        UCHAR isr;
        bool claimed;
    };
    const Case cases[] = {
        {"reset alone (stopped)", [](RunningCard& c) { CardWriteRegister(&c.a, NIC_CR, 0x21); }, ISR_RST,
         false},
        {"remote DMA complete alone",
         [](RunningCard& c) {
             CardWriteRegister(&c.a, NIC_RBCR0, 0);
             CardWriteRegister(&c.a, NIC_RBCR1, 0);
             CardWriteRegister(&c.a, NIC_CR, 0x0A);  // a zero-length remote read completes at once
             CardWriteRegister(&c.a, NIC_CR, 0x22);
         },
         ISR_RDC, false},
        {"receive error of a refused frame (not enabled)",
         [](RunningCard& c) {
             c.tb.nic().faults().crc_errors = 1;
             c.tb.peer().send(Frame(60, 1));
             KeStallExecutionProcessor(1000);
         },
         ISR_RXE, false},
        {"frame received while the ISR's own claim masks the card",
         [](RunningCard& c) {
             c.tb.peer().send(Frame(60, 2));
             KeStallExecutionProcessor(1000);
         },
         ISR_PRX, false},
        {"frame received while the disable handler masks the card",
         [](RunningCard& c) {
             Ne2000DisableInterrupt(&c.a);
             c.tb.peer().send(Frame(60, 3));
             KeStallExecutionProcessor(1000);
         },
         ISR_PRX, false},
        {"frame received after a reset unmasked a masked card",
         [](RunningCard& c) {
             Ne2000DisableInterrupt(&c.a);
             EXPECT_TRUE(CardReset(&c.a));
             CardWriteRegister(&c.a, NIC_IMR, 0x00);  // keep the stand-in's ISR out of it
             c.tb.peer().send(Frame(60, 5));
             KeStallExecutionProcessor(1000);
         },
         ISR_PRX, true},
        {"frame received, card enabled",
         [](RunningCard& c) {
             CardWriteRegister(&c.a, NIC_IMR, 0x00);  // keep the stand-in's ISR out of it
             c.tb.peer().send(Frame(60, 4));
             KeStallExecutionProcessor(1000);
         },
         ISR_PRX, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunningCard c;
        c.tb.call([&] {
            k.arrange(c);
            ASSERT_EQ(c.tb.nic().isr(), k.isr);
            // The wrapper's flags hold garbage until the ISR writes them.
            BOOLEAN recognized = 0x5A, queue = 0x5A;
            const std::size_t mark = c.tb.trace().mark();
            Ne2000Isr(&recognized, &queue, &c.a);
            EXPECT_EQ(recognized, k.claimed ? TRUE : FALSE);
            EXPECT_EQ(queue, k.claimed ? TRUE : FALSE);
            char isr_line[16];
            std::snprintf(isr_line, sizeof isr_line, "ISR -> 0x%02X", k.isr);
            std::vector<std::string> expected = {isr_line};
            if (k.claimed) expected.push_back("IMR <- 0x00");
            EXPECT_TRUE(LinesMatch(c.lines_since(mark), expected));
            if (k.claimed) Ne2000EnableInterrupt(&c.a);  // as the wrapper would after its deferred handler
        });
        EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
    }
}

// A cause that came while the card was masked raises the line the moment the
// enable handler writes IMR, and the ISR runs right then: it must already
// know the card is unmasked, or that interrupt is lost and the frame waits.
TEST(InterruptDispatch, ACauseWaitingWhenTheCardIsUnmaskedIsClaimedAtOnce) {
    RunningCard c;
    c.tb.call([&] {
        Ne2000DisableInterrupt(&c.a);
        c.tb.peer().send(Frame(60, 1));
        KeStallExecutionProcessor(1000);
        ASSERT_EQ(c.tb.nic().isr(), ISR_PRX);
        Ne2000EnableInterrupt(&c.a);
    });
    EXPECT_EQ(c.tb.adapter().counters().isr_claimed, 1u);
    EXPECT_EQ(c.tb.adapter().counters().deferred_calls, 1u);
    EXPECT_EQ(c.tb.protocol().received_frames().size(), 1u);
    ExpectClean(c.tb);
}

TEST(InterruptDispatch, TransmitErrorRecoveryRunsBeforeTheCompletionSeenWithIt) {
    RunningCard c;
    c.tb.nic().faults().abort_transmissions = 1;
    c.tb.protocol().send(Frame(60, 5, kPeer));
    std::size_t mark = 0;
    c.tb.call([&] {
        // The frame aborts (TXE); the ISR claims it while this code keeps the
        // deferred handler waiting. Then the chip sends it once more by itself
        // and that transmission ends well (PTX): both bits wait in ISR.
        KeStallExecutionProcessor(1000);
        CardWriteRegister(&c.a, NIC_TPSR, 0x40);
        CardWriteRegister(&c.a, NIC_TBCR1, 0x00);
        CardWriteRegister(&c.a, NIC_TBCR0, 0x3C);
        CardWriteRegister(&c.a, NIC_CR, 0x26);
        KeStallExecutionProcessor(1000);
        mark = c.tb.trace().mark();
    });
    ASSERT_EQ(c.tb.adapter().counters().deferred_calls, 1u);

    const auto lines = c.lines_since(mark);
    const std::size_t first_tsr = IndexOf(lines, "TSR -> 0x01");
    ASSERT_LT(first_tsr, lines.size());
    // One TSR reading, then the restart of the failed frame from its pages,
    // then the completion step (which reads TSR again itself).
    EXPECT_TRUE(LinesMatchFrom(lines, first_tsr,
                               {"TSR -> 0x01", "ISR <- 0x08", "CR <- 0x21", "stall 2000us", "TCR <- 0x02",
                                "CR <- 0x22", "TCR <- 0x00", "TPSR <- 0x40", "TBCR1 <- 0x00", "TBCR0 <- 0x3C",
                                "CR -> *", "CR <- 0x26", "TSR -> *"}));
    const std::size_t acknowledge = IndexOf(lines, "ISR <- 0x4A");
    EXPECT_LT(acknowledge, first_tsr);
    EXPECT_EQ(c.a.InterruptStatus & (ISR_PTX | ISR_TXE), 0);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(InterruptDispatch, FullTallyCountersAreReadInTheirOwnPassBeforeReceive) {
    RunningCard c;
    // 128 frames with a bad FCS fill CNTR1 to half its range (CNT) and raise
    // RXE, neither of which interrupts; a good frame then brings them in.
    c.tb.nic().faults().crc_errors = 128;
    for (unsigned i = 0; i < 128; ++i) c.tb.peer().send(Frame(60, i));
    c.tb.peer().send(Frame(60, 200));
    c.tb.run_for(60 * kMs);

    const auto lines = c.lines_since();
    const std::size_t counters = IndexOf(lines, "CNTR0 -> 0x00");
    ASSERT_LT(counters, lines.size());
    EXPECT_TRUE(LinesMatchFrom(lines, counters - 2,
                               {"ISR -> 0x25", "ISR <- 0x25", "CNTR0 -> 0x00", "CNTR1 -> 0x80",
                                "CNTR2 -> 0x00", "ISR -> *", "CR <- 0x62", "CURR -> 0x4E", "CR <- 0x22"}));
    EXPECT_EQ(CountLines(lines, "CNTR1 -> *"), 1u);
    EXPECT_EQ(c.a.CrcErrorCount, 128u);
    // The chip refused the errored frames, so the ring held only the good one:
    // the receive error costs it nothing, and receive goes on as before.
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(c.tb.protocol().received_frames()[0].frame, Frame(60, 200));
    EXPECT_EQ(c.a.NextPacketPage, 0x4E);
    const auto later = Frame(80, 201);
    c.tb.peer().send(later);
    c.tb.run_for(40 * kMs);
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 2u);
    EXPECT_EQ(c.tb.protocol().received_frames()[1].frame, later);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(InterruptDispatch, ForeignInterruptsNeverFindTheControllerOnPage1) {
    RunningCard c;
    c.tb.ndis().set_foreign_interrupts(true);
    c.tb.ndis().clear_records();
    const auto sent = SendSpaced(c.tb, {60, 600, 1514}, 25 * kMs);
    c.tb.run_for(120 * kMs);

    const auto& got = c.tb.protocol().received_frames();
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].frame, sent[i]);
    // The page-1 windows were there to break into, and no ISR run found one open.
    EXPECT_GE(CountLines(c.lines_since(), "CURR -> *"), 6u);
    std::size_t foreign = 0;
    for (const auto& r : c.tb.ndis().isr_runs()) foreign += r.foreign;
    EXPECT_GT(foreign, 50u);
    EXPECT_TRUE(c.tb.isr_runs_off_page_zero().empty());
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(InterruptDispatch, AVanishedCardIsLoggedOnceAndLeftQuiet) {
    RunningCard c;
    c.tb.peer().send(Frame(60, 1));
    c.tb.run_for(40 * kMs);
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 1u);
    const auto calls_before = c.tb.adapter().counters().deferred_calls;
    c.tb.trace().clear();

    // Pulled out: the socket controller reports the card-detect change on the
    // shared line, and every port of the card now reads 0xFF.
    c.tb.socket_controller().remove(0);
    c.tb.run_for(100 * kMs);

    EXPECT_EQ(c.tb.adapter().counters().deferred_calls, calls_before + 1);
    // The ISR's reading claimed it; the handler then gave up after sixteen
    // readings of 0xFF in a row (the card's ports no longer decode, so the
    // trace shows the bare port).
    EXPECT_EQ(CountLines(c.lines_since(), "port 0x307 -> 0xFF"), 1u + 16u);
    ASSERT_EQ(c.tb.error_log().entries().size(), 1u);
    EXPECT_EQ(c.tb.error_log().entries()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(c.tb.error_log().entries()[0].values, std::vector<ULONG>({3}));
    EXPECT_EQ(c.a.InterruptStatus & ISR_CAUSES, 0);

    // From now on it claims no interrupt on the shared line, whatever ISR reads.
    c.tb.ndis().set_foreign_interrupts(true);
    c.tb.ndis().clear_records();
    c.tb.protocol().send(Frame(60, 2, kPeer));
    c.tb.run_for(20 * kMs);
    ASSERT_FALSE(c.tb.ndis().isr_runs().empty());
    for (const auto& r : c.tb.ndis().isr_runs()) EXPECT_FALSE(r.recognized);
    EXPECT_EQ(c.tb.adapter().counters().deferred_calls, calls_before + 1);
    EXPECT_EQ(c.tb.error_log().entries().size(), 1u);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

}  // namespace
