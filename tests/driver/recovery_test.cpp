// Recovery: the tally counters, the register steps that bracket a receive
// ring overflow and decide whether an interrupted transmission is repeated,
// and the restart after a transmit error that sends the same frame again.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/driver/fixture.h"

namespace {

using namespace fixture;
using Bytes = std::vector<std::uint8_t>;

TEST(Recovery, TallyCountersAreAddedAndClearedByReading) {
    RunningCard c(Quiet());
    c.a.AlignmentErrorCount = 100;
    c.a.CrcErrorCount = 200;
    c.a.MissedPacketCount = 300;

    // 3 misaligned frames, 5 with a bad FCS, then 7 the chip only monitors.
    c.tb.nic().faults().alignment_errors = 3;
    c.tb.nic().faults().crc_errors = 5;
    c.a.ReceiveConfigValue = RCR_MON;
    c.tb.call([&] { SyncCardSetReceiveConfig(&c.a); });
    for (int i = 0; i < 15; ++i) c.tb.peer().send(Frame(64, static_cast<unsigned>(i)));
    c.tb.run_for(10 * kMs);

    std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_FALSE(SyncCardUpdateCounters(&c.a)); });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark), {"CNTR0 -> 0x03", "CNTR1 -> 0x05", "CNTR2 -> 0x07"}));
    EXPECT_EQ(c.a.AlignmentErrorCount, 103u);
    EXPECT_EQ(c.a.CrcErrorCount, 205u);
    EXPECT_EQ(c.a.MissedPacketCount, 307u);

    c.tb.call([&] { SyncCardUpdateCounters(&c.a); });
    EXPECT_EQ(c.a.AlignmentErrorCount, 103u);
    EXPECT_EQ(c.a.CrcErrorCount, 205u);
    EXPECT_EQ(c.a.MissedPacketCount, 307u);

    // The end of overflow recovery reads them again only for a pending RXE.
    c.tb.nic().faults().crc_errors = 2;
    c.tb.peer().send(Frame(64, 0));
    c.tb.peer().send(Frame(64, 0));
    c.tb.run_for(2 * kMs);
    mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_FALSE(SyncCardAcknowledgeOverflow(&c.a)); });
    EXPECT_TRUE(c.lines_since(mark).empty());
    c.a.InterruptStatus = ISR_RXE;
    c.tb.call([&] { SyncCardAcknowledgeOverflow(&c.a); });
    EXPECT_EQ(c.a.CrcErrorCount, 207u);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(Recovery, OverflowStopRepeatsATransmissionWhoseEndWasNotSeen) {
    struct Case {
        const char* what;
        UCHAR interrupt_status;
        bool transmit_pending;
        bool restart_before;
        bool reads_isr;
        bool restart_after;
    };
    const Case cases[] = {
        {"frame waiting for the medium", 0, true, false, true, true},
        {"nothing under way", 0, false, true, true, false},
        {"PTX already taken", ISR_PTX, true, false, false, false},
        {"TXE already taken", ISR_TXE, true, true, false, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunningCard c(Quiet());
        const bool waiting = k.transmit_pending && k.interrupt_status == 0;
        if (waiting) {
            // The peer holds the medium, so the frame has not started when
            // the stop comes: the chip drops it and reports nothing for it.
            c.tb.peer().send(Frame(1514, 1));
            c.tb.run_for(10 * machine::kMicrosecond);
            c.a.TransmitActivePage = 0;
            c.a.TransmitPageLength[0] = 60;
            c.tb.call([&] { CardStartXmit(&c.a); });
            ASSERT_TRUE(c.tb.nic().transmit_deferred());
        }
        c.a.InterruptStatus = k.interrupt_status;
        c.a.TransmitInterruptPending = k.transmit_pending;
        c.a.TransmitRestartPending = k.restart_before;
        const std::size_t mark = c.tb.trace().mark();
        c.tb.call([&] { EXPECT_FALSE(SyncCardHandleOverflow(&c.a)); });

        std::vector<std::string> expected = {"CR <- 0x21", "stall 2000us"};
        if (k.reads_isr) expected.push_back("ISR -> *");
        for (const char* line : {"RBCR1 <- 0x00", "RBCR0 <- 0x00", "TCR <- 0x02", "CR <- 0x22"})
            expected.push_back(line);
        EXPECT_TRUE(LinesMatch(c.lines_since(mark), expected));
        EXPECT_EQ(bool(c.a.TransmitRestartPending), k.restart_after);
        EXPECT_FALSE(c.a.TransmitInterruptPending);
        EXPECT_TRUE(c.tb.nic().started());
        // Without the resend the dropped frame would never leave.
        c.tb.run_for(5 * kMs);
        EXPECT_FALSE(c.tb.nic().transmitting());
        EXPECT_TRUE(c.tb.peer().received().empty());
        ExpectClean(c.tb);
    }
}

TEST(Recovery, OverflowStopSeesACompletionStillInIsr) {
    // The frame ended while the handler was busy elsewhere: ISR has PTX that
    // the handler has not taken yet. No repeat is owed.
    RunningCard c(Quiet());
    c.a.TransmitActivePage = 0;
    c.a.TransmitPageLength[0] = 60;
    c.a.TransmitInterruptPending = TRUE;
    c.tb.call([&] { CardStartXmit(&c.a); });
    c.tb.run_for(1 * kMs);
    ASSERT_TRUE(c.tb.nic().isr() & ISR_PTX);

    c.tb.call([&] { SyncCardHandleOverflow(&c.a); });
    EXPECT_FALSE(c.a.TransmitRestartPending);
    EXPECT_FALSE(c.a.TransmitInterruptPending);

    // And the chip is now in loopback: a frame started now stays off the wire.
    c.tb.call([&] { CardStartXmit(&c.a); });
    c.tb.run_for(1 * kMs);
    EXPECT_EQ(c.tb.peer().received().size(), 1u);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(Recovery, TransmitErrorRestartsTheChipAndSendsTheSameFrameAgain) {
    RunningCard c;
    c.tb.nic().faults().abort_transmissions = 2;
    const Bytes frame = Frame(100, 0x5A, kPeer);
    const std::size_t mark = c.tb.trace().mark();
    const auto id = c.tb.protocol().send(frame);
    c.tb.run_for(200 * kMs);

    EXPECT_EQ(c.tb.protocol().completion_of(id), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(c.tb.peer().received().size(), 1u);
    EXPECT_EQ(c.tb.peer().received()[0].frame, frame);
    // Aborted twice, each time acknowledged, stopped, restarted through
    // loopback and started again from the same page.
    const std::vector<std::string> restart = {"ISR <- 0x08",   "CR <- 0x21",  "stall 2000us", "TCR <- 0x02",
                                              "CR <- 0x22",    "TCR <- 0x00", "TPSR <- 0x40", "TBCR1 <- 0x00",
                                              "TBCR0 <- 0x64", "CR -> 0x22",  "CR <- 0x26"};
    const auto lines = c.lines_since(mark);
    const auto first = FindRun(lines, restart);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(FindRun(lines, restart, *first + 1).has_value());
    EXPECT_EQ(CountLines(lines, "CR <- 0x26"), 3u);
    // The failed attempts are not counted: the frame went out in the end.
    EXPECT_EQ(c.a.TransmitGoodCount, 1u);
    EXPECT_EQ(c.a.TransmitErrorCount, 0u);
    EXPECT_EQ(c.a.TransmitActivePage, -1);
    EXPECT_TRUE(c.tb.error_log().empty());
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(Recovery, AFrameThatKeepsFailingIsGivenUpAndTheFramesBehindItGo) {
    RunningCard c;
    // Every attempt at the first frame aborts, sixteen times in a row; a
    // network that does that will never let it through.
    c.tb.nic().faults().abort_transmissions = kTransmitErrorLimit;
    // Six pages each: the doomed frame and the first behind it fill the
    // transmit area, the second waits in the queue.
    const Bytes doomed = Frame(1514, 1, kPeer);
    const Bytes behind[] = {Frame(1514, 2, kPeer), Frame(1514, 3, kPeer)};
    c.tb.protocol().send(doomed);
    for (const Bytes& f : behind) c.tb.protocol().send(f);
    c.tb.run_for(2000 * kMs);  // each abort follows sixteen collisions and their back-offs

    // Sixteen attempts (fifteen restarts), then the frame is dropped as a
    // transmit error and the two frames queued behind it go out.
    const auto lines = c.lines_since();
    EXPECT_EQ(CountLines(lines, "stall 2000us"), kTransmitErrorLimit);  // one stop per error
    EXPECT_EQ(CountLines(lines, "CR <- 0x26"), kTransmitErrorLimit + 2);
    ASSERT_EQ(c.tb.peer().received().size(), 2u);
    EXPECT_EQ(c.tb.peer().received()[0].frame, behind[0]);
    EXPECT_EQ(c.tb.peer().received()[1].frame, behind[1]);
    EXPECT_EQ(c.a.TransmitErrorCount, 1u);
    EXPECT_EQ(c.a.TransmitGoodCount, 2u);
    EXPECT_EQ(c.a.TransmitActivePage, -1);
    EXPECT_EQ(c.a.TransmitErrorRetries, 0u);
    for (ULONG page = 0; page < kTransmitPages; ++page) EXPECT_EQ(c.a.TransmitPageState[page], 0u);
    ASSERT_EQ(c.tb.error_log().entries().size(), 1u);
    EXPECT_EQ(c.tb.error_log().entries()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(c.tb.error_log().entries()[0].values, std::vector<ULONG>({5}));
    // The freed pages were refilled from the queue at once, in the same
    // deferred handler run, as after any completion.
    const auto& events = c.tb.ndis().events();
    const auto given_up = std::find_if(events.begin(), events.end(),
                                       [](const auto& e) { return e.what.rfind("error log", 0) == 0; });
    const auto refilled = std::find_if(given_up, events.end(),
                                       [](const auto& e) { return e.what.rfind("SendComplete", 0) == 0; });
    ASSERT_NE(refilled, events.end());
    EXPECT_TRUE(std::none_of(given_up, refilled, [](const auto& e) { return e.what == "HandleInterrupt"; }));
    ExpectClean(c.tb);
}

TEST(Recovery, TransmitErrorWithNothingActiveOnlyRestartsTheChip) {
    RunningCard c(Quiet());
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { OctogmetusceratorRevisited(&c.a); });
    EXPECT_TRUE(LinesMatch(c.lines_since(mark), {"ISR <- 0x08", "CR <- 0x21", "stall 2000us", "TCR <- 0x02",
                                                 "CR <- 0x22", "TCR <- 0x00"}));
    EXPECT_FALSE(c.a.TransmitInterruptPending);
    c.tb.run_for(5 * kMs);
    EXPECT_TRUE(c.tb.peer().received().empty());
}

TEST(Recovery, CompletionWithNoActiveTransmissionIsLoggedOnce) {
    RunningCard c;
    // A transmission the driver's bookkeeping does not know about.
    c.tb.call([&] {
        c.a.TransmitActivePage = 0;
        c.a.TransmitPageLength[0] = 60;
        CardStartXmit(&c.a);
        c.a.TransmitActivePage = -1;
    });
    c.tb.run_for(50 * kMs);

    ASSERT_EQ(c.tb.error_log().entries().size(), 1u);
    const auto& entry = c.tb.error_log().entries()[0];
    EXPECT_EQ(entry.code, NDIS_ERROR_CODE_DRIVER_FAILURE);
    EXPECT_EQ(entry.values, std::vector<ULONG>({4}));
    EXPECT_EQ(c.a.TransmitGoodCount, 0u);
    EXPECT_EQ(c.a.TransmitErrorCount, 0u);
    EXPECT_EQ(c.a.TransmitActivePage, -1);
    EXPECT_TRUE(c.tb.errors().empty());

    // Nothing else happens on that path: a packet in the queue stays there,
    // untouched, until something else serves the queue.
    NDIS_PACKET waiting{};
    c.a.SendQueueHead = c.a.SendQueueTail = &waiting;
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { Ne2000XmitDpc(&c.a); });
    EXPECT_TRUE(c.lines_since(mark).empty());
    EXPECT_EQ(c.a.SendQueueHead, &waiting);
    EXPECT_EQ(c.tb.error_log().entries().size(), 2u);
    c.a.SendQueueHead = c.a.SendQueueTail = nullptr;
}

}  // namespace
