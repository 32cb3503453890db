// The transmit path end to end: packets sent by a protocol through the
// wrapper, copied into the card's 12 transmit pages, started one at a time,
// completed by the card's interrupts, and arriving at a peer on the wire.
// The page bookkeeping is checked through the wrap cases, where a frame that
// does not fit below page 12 goes to page 0 and the empty tail is skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/driver/fixture.h"

namespace {

using fixture::CardOptions;
using fixture::FindRun;
using fixture::Instant;
using fixture::kMs;
using fixture::RunningCard;
using Bytes = std::vector<std::uint8_t>;

// A frame whose bytes say which frame it is.
Bytes Frame(std::size_t length, std::uint8_t tag) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(tag * 31 + i * 7);
    if (length > 0) b[0] = tag;
    return b;
}

// What the peer must hear: the frame, filled with spaces up to 60 bytes.
Bytes OnTheWire(Bytes frame) {
    if (frame.size() < 60) frame.resize(60, 0x20);
    return frame;
}

std::vector<Bytes> Heard(RunningCard& c) {
    std::vector<Bytes> out;
    for (const auto& arrival : c.tb.peer().received()) out.push_back(arrival.frame);
    return out;
}

// The pages marked full. The record holds only 0 (empty) and 2 (full), never
// 1, whatever the constants say.
std::vector<ULONG> FullPages(const Ne2000Adapter& a) {
    std::vector<ULONG> out;
    for (ULONG i = 0; i < kTransmitPages; ++i) {
        EXPECT_TRUE(a.TransmitPageState[i] == 0 || a.TransmitPageState[i] == 2) << "page " << i;
        if (a.TransmitPageState[i] == 2) out.push_back(i);
    }
    return out;
}

// The first transmit pages the chip was told to send from, in order.
std::vector<std::string> StartedPages(RunningCard& c, std::size_t from) {
    std::vector<std::string> out;
    for (const auto& line : c.lines_since(from))
        if (line.rfind("TPSR <- ", 0) == 0) out.push_back(line.substr(8));
    return out;
}

void ExpectIdle(const Ne2000Adapter& a) {
    EXPECT_EQ(a.TransmitActivePage, -1);
    EXPECT_TRUE(FullPages(a).empty());
    EXPECT_EQ(a.SendQueueHead, nullptr);
    EXPECT_EQ(a.SendQueueTail, nullptr);
}

// The end of a test: the peer heard exactly these frames, in order, the
// transmit side is idle again and nothing broke a rule.
void ExpectAllSent(RunningCard& c, const std::vector<Bytes>& frames) {
    EXPECT_EQ(Heard(c), frames);
    ExpectIdle(c.a);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(Transmit, ShortFramesGoOutPaddedWithSpacesToSixtyBytes) {
    for (bool eight_bit : {false, true}) {
        SCOPED_TRACE(eight_bit ? "8-bit card" : "16-bit card");
        CardOptions o = Instant();
        o.eight_bit = eight_bit;
        RunningCard c(o);
        // Leave an earlier frame's bytes in the pages first, so padding that
        // is not written (or a merge that loses the frame's last odd byte)
        // shows on the wire instead of hiding behind zeroed RAM.
        std::vector<Bytes> earlier;
        for (std::uint8_t tag = 0xE0; tag < 0xE5; ++tag) earlier.push_back(Frame(256, tag));
        for (const auto& f : earlier) c.tb.protocol().send(f);
        c.tb.run_for(100 * kMs);
        ASSERT_EQ(Heard(c), earlier);
        c.a.TransmitFillPage = c.a.TransmitNextPage = 0;

        std::vector<Bytes> frames;
        for (std::size_t length : {57u, 58u, 59u, 60u, 61u})
            frames.push_back(Frame(length, static_cast<std::uint8_t>(length)));
        for (const auto& f : frames) c.tb.protocol().send(f);
        // The page keeps the length as copied, not the padded one.
        for (ULONG i = 0; i < frames.size(); ++i) EXPECT_EQ(c.a.TransmitPageLength[i], frames[i].size());

        c.tb.run_for(200 * kMs);
        std::vector<Bytes> expected = earlier;
        for (const auto& f : frames) expected.push_back(OnTheWire(f));
        EXPECT_EQ(c.a.TransmitGoodCount, expected.size());
        ExpectAllSent(c, expected);
    }
}

TEST(Transmit, FramesTakeWholePagesAndAreCompletedAsSoonAsTheyAreOnTheCard) {
    RunningCard c(Instant());
    const Bytes a = Frame(256, 1), b = Frame(257, 2), d = Frame(1514, 3);
    const auto ia = c.tb.protocol().send(a, {14, 242});
    EXPECT_EQ(c.a.TransmitFillPage, 1u);
    const auto ib = c.tb.protocol().send(b, {1, 0, 255, 1});
    EXPECT_EQ(c.a.TransmitFillPage, 3u);
    const auto id = c.tb.protocol().send(d, {13, 1, 99});
    EXPECT_EQ(c.a.TransmitFillPage, 9u);
    EXPECT_EQ(FullPages(c.a), std::vector<ULONG>({0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(c.a.TransmitActivePage, 0);

    // All three are back with their protocol before the first has left.
    for (auto i : {ia, ib, id}) EXPECT_EQ(c.tb.protocol().completion_of(i), NDIS_STATUS_SUCCESS);
    for (const auto& done : c.tb.protocol().completions()) EXPECT_FALSE(done.synchronous);
    EXPECT_TRUE(c.tb.peer().received().empty());

    c.tb.run_for(200 * kMs);
    EXPECT_EQ(c.a.TransmitNextPage, 9u);
    ExpectAllSent(c, {a, b, d});
}

TEST(Transmit, FrameThatDoesNotFitBelowPageTwelveGoesToPageZero) {
    RunningCard c(Instant());
    c.a.TransmitFillPage = c.a.TransmitNextPage = 8;
    const Bytes first = Frame(300, 1), second = Frame(600, 2);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.protocol().send(first);   // pages 8-9, on the wire
    c.tb.protocol().send(second);  // 10 + 3 > 12: pages 0-2
    EXPECT_EQ(c.a.TransmitFillPage, 3u);
    EXPECT_EQ(FullPages(c.a), std::vector<ULONG>({0, 1, 2, 8, 9}));
    EXPECT_EQ(c.a.TransmitActivePage, 8);

    // When the frame at 8 is done, page 10 is empty: the next frame is at 0.
    c.tb.run_for(100 * kMs);
    EXPECT_EQ(StartedPages(c, mark), std::vector<std::string>({"0x48", "0x40"}));
    EXPECT_EQ(c.a.TransmitNextPage, 3u);
    ExpectAllSent(c, {first, second});
}

TEST(Transmit, IdleTransmitterWrapsAnEmptyAreaToPageZero) {
    RunningCard c(Instant());
    c.a.TransmitFillPage = c.a.TransmitNextPage = 10;
    const Bytes frame = Frame(700, 5);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.protocol().send(frame);
    EXPECT_EQ(c.a.TransmitNextPage, 0u);
    EXPECT_EQ(c.a.TransmitActivePage, 0);
    EXPECT_EQ(c.a.TransmitFillPage, 3u);

    c.tb.run_for(50 * kMs);
    EXPECT_EQ(StartedPages(c, mark), std::vector<std::string>({"0x40"}));
    ExpectAllSent(c, {frame});
}

TEST(Transmit, PacketThatFitsNowhereWaitsWithTheFillPageAlreadyAtZero) {
    RunningCard c(Instant());
    c.a.TransmitFillPage = c.a.TransmitNextPage = 3;
    const Bytes on_wire = Frame(600, 1), waiting = Frame(1000, 2), late = Frame(900, 3);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.protocol().send(on_wire);                    // pages 3-5
    c.tb.protocol().send(waiting);                    // pages 6-9
    const auto late_id = c.tb.protocol().send(late);  // 4 pages: not at 10, not below 3
    EXPECT_EQ(c.a.TransmitFillPage, 0u);
    EXPECT_FALSE(c.tb.protocol().completion_of(late_id).has_value());
    EXPECT_NE(c.a.SendQueueHead, nullptr);
    EXPECT_EQ(FullPages(c.a), std::vector<ULONG>({3, 4, 5, 6, 7, 8, 9}));

    c.tb.run_for(100 * kMs);
    EXPECT_EQ(c.tb.protocol().completion_of(late_id), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(StartedPages(c, mark), std::vector<std::string>({"0x43", "0x46", "0x40"}));
    ExpectAllSent(c, {on_wire, waiting, late});
}

TEST(Transmit, FullAreaQueuesThePacketAndSendStillPends) {
    RunningCard c(Instant());
    c.a.TransmitFillPage = c.a.TransmitNextPage = 6;
    const Bytes a = Frame(1514, 1), b = Frame(1514, 2), d = Frame(100, 3);
    c.tb.protocol().send(a);  // pages 6-11, on the wire; filling wraps to 0
    c.tb.protocol().send(b);  // pages 0-5: exactly up to the frame on the wire
    EXPECT_EQ(FullPages(c.a).size(), 12u);
    EXPECT_EQ(c.a.TransmitFillPage, 6u);
    EXPECT_EQ(c.a.TransmitActivePage, 6);

    const std::size_t mark = c.tb.trace().mark();
    const auto id = c.tb.protocol().send(d);
    EXPECT_TRUE(c.lines_since(mark).empty());  // nothing touched the card
    EXPECT_FALSE(c.tb.protocol().completion_of(id).has_value());
    EXPECT_EQ(c.tb.adapter().sends_outstanding(), 1u);  // handed over and pending

    c.tb.run_for(100 * kMs);
    EXPECT_EQ(c.tb.protocol().completion_of(id), NDIS_STATUS_SUCCESS);
    ExpectAllSent(c, {a, b, d});
}

TEST(Transmit, FailedCopyCompletesThatPacketAndTheNextOneTakesItsPages) {
    RunningCard c(Instant());
    const Bytes a = Frame(1514, 1), b = Frame(1514, 2), lost = Frame(600, 3), next = Frame(700, 4);
    c.tb.protocol().send(a);
    c.tb.protocol().send(b);
    const auto lost_id = c.tb.protocol().send(lost);
    const auto next_id = c.tb.protocol().send(next);

    // The next dummy read sees an address that never moves.
    fixture::BusTap tap(c.tb);
    int stuck_polls = 65535;
    tap.on_read = [&](std::uint16_t port, std::uint8_t value) {
        const bool page0 = (c.tb.ndis().last_port_write(c.port(NIC_CR)) & 0xC0) == 0;
        if (stuck_polls == 0 || !page0) return value;
        if (port == c.port(NIC_CRDA0)) return c.tb.ndis().last_port_write(c.port(NIC_RSAR0));
        if (port == c.port(NIC_CRDA1)) {
            --stuck_polls;
            return c.tb.ndis().last_port_write(c.port(NIC_RSAR1));
        }
        return value;
    };

    const std::size_t mark = c.tb.trace().mark();
    c.tb.run_for(300 * kMs);
    EXPECT_EQ(c.tb.protocol().completion_of(lost_id), NDIS_STATUS_FAILURE);
    EXPECT_EQ(c.tb.protocol().completion_of(next_id), NDIS_STATUS_SUCCESS);
    // The next packet was tried at once: its dummy read follows the last
    // poll of the failed one, before the handler looks at ISR again.
    const auto lines = c.lines_since(mark);
    const auto last_poll = std::find(lines.rbegin(), lines.rend(), "stall 1us");
    ASSERT_NE(last_poll, lines.rend());
    const std::size_t after = static_cast<std::size_t>(lines.rend() - last_poll);
    ASSERT_LE(after + 6, lines.size());
    EXPECT_TRUE(fixture::LinesMatch(
        {lines.begin() + after, lines.begin() + after + 6},
        {"CR <- 0x00", "RSAR0 <- 0x00", "RSAR1 <- 0x40", "RBCR0 <- 0x02", "RBCR1 <- 0x00", "CR <- 0x0A"}));
    EXPECT_EQ(StartedPages(c, mark), std::vector<std::string>({"0x46", "0x40"}));
    ASSERT_EQ(c.tb.error_log().entries().size(), 1u);
    EXPECT_EQ(c.tb.error_log().entries()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(c.tb.error_log().entries()[0].values, std::vector<ULONG>({1, 0x4000}));
    ExpectAllSent(c, {a, b, next});
}

TEST(Transmit, SendDuringRingOverflowRecoveryIsCopiedButNotStarted) {
    RunningCard c(Instant());
    c.a.RingOverflowPending = TRUE;
    const Bytes frame = Frame(100, 7);
    const std::size_t mark = c.tb.trace().mark();
    const auto id = c.tb.protocol().send(frame);

    EXPECT_EQ(c.tb.protocol().completion_of(id), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(c.a.TransmitActivePage, 0);
    EXPECT_TRUE(c.a.TransmitRestartPending);
    EXPECT_FALSE(c.a.TransmitInterruptPending);
    EXPECT_FALSE(FindRun(c.lines_since(mark), {"CR <- 0x26"}).has_value());
    c.tb.run_for(20 * kMs);
    EXPECT_TRUE(c.tb.peer().received().empty());

    // When the recovery starts it, the frame on the card is intact.
    c.tb.call([&] {
        c.a.RingOverflowPending = FALSE;
        c.a.TransmitRestartPending = FALSE;
        c.a.TransmitInterruptPending = TRUE;
        CardStartXmit(&c.a);
    });
    c.tb.run_for(50 * kMs);
    ExpectAllSent(c, {frame});
}

TEST(Transmit, EmptyAndOversizedPacketsAreRefusedAtOnceWithoutStoppingTheQueue) {
    RunningCard c(Instant());
    const Bytes a = Frame(1514, 1), b = Frame(1514, 2), good = Frame(80, 3);
    c.tb.protocol().send(a);
    c.tb.protocol().send(b);

    // The area is full, yet the refusals come at once and touch no port.
    const std::size_t mark = c.tb.trace().mark();
    const auto empty = c.tb.protocol().send(Bytes{}, {0});
    const auto huge = c.tb.protocol().send(Frame(3073, 9));
    const auto giant = c.tb.protocol().send(Frame(1515, 9));  // one byte past an Ethernet frame
    EXPECT_TRUE(c.lines_since(mark).empty());
    for (auto id : {empty, huge, giant})
        EXPECT_EQ(c.tb.protocol().completion_of(id), NDIS_STATUS_INVALID_PACKET);
    const auto good_id = c.tb.protocol().send(good);

    c.tb.run_for(100 * kMs);
    EXPECT_EQ(c.tb.protocol().completion_of(good_id), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(c.tb.error_log().empty());
    ExpectAllSent(c, {a, b, good});
}

// Six pages is the most the wrap rules can place safely: a seven-page frame
// wrapped from page 7 would end at page 7 again, where the next-frame test
// would not see that it was moved to page 0.
TEST(Transmit, SixPageFrameWrapsCleanlyAtTheLimit) {
    RunningCard c(Instant());
    c.a.TransmitFillPage = c.a.TransmitNextPage = 7;
    const Bytes largest = Frame(1514, 4);
    const auto refused = c.tb.protocol().send(Frame(1515, 5));
    c.tb.protocol().send(largest);
    EXPECT_EQ(c.tb.protocol().completion_of(refused), NDIS_STATUS_INVALID_PACKET);
    EXPECT_EQ(c.a.TransmitActivePage, 0);
    EXPECT_EQ(c.a.TransmitFillPage, 6u);

    c.tb.run_for(50 * kMs);
    ExpectAllSent(c, {largest});
}

TEST(Transmit, OutcomeOfEachTransmissionIsCounted) {
    RunningCard c(Instant());
    c.tb.nic().faults().collide_transmissions = 1;  // TSR PTX | COL: still good
    c.tb.protocol().send(Frame(100, 1));
    c.tb.run_for(50 * kMs);
    EXPECT_EQ(c.a.TransmitGoodCount, 1u);
    EXPECT_EQ(c.a.TransmitErrorCount, 0u);

    // A completion whose status lacks PTX counts as an error; the pages are
    // freed all the same.
    c.tb.call([&] {
        c.a.TransmitActivePage = 0;
        c.a.TransmitNextPage = 0;
        c.a.TransmitPageLength[0] = 300;
        c.a.TransmitPageState[0] = c.a.TransmitPageState[1] = kTransmitPageFull;
        c.a.TransmitFillPage = 2;
        c.a.TransmitStatus = 0x08;
        Ne2000CompleteTransmission(&c.a);
    });
    EXPECT_EQ(c.a.TransmitGoodCount, 1u);
    EXPECT_EQ(c.a.TransmitErrorCount, 1u);
    EXPECT_EQ(c.a.TransmitNextPage, 2u);
    ExpectIdle(c.a);
}

// Bursts of random frames, in random buffer pieces, on a bus with real access
// costs: every frame reaches the peer once, in order, intact.
TEST(Transmit, RandomTrafficArrivesInOrderAndIntact) {
    for (bool eight_bit : {false, true}) {
        CardOptions o;
        o.eight_bit = eight_bit;
        o.trace = false;
        RunningCard c(o);
        std::mt19937 rng(eight_bit ? 81 : 82);
        std::vector<Bytes> sent;
        for (int burst = 0; burst < 25; ++burst) {
            const int n = 1 + static_cast<int>(rng() % 5);
            for (int i = 0; i < n; ++i) {
                const std::size_t length = rng() % 4 == 0 ? 1 + rng() % 80 : 1 + rng() % 1514;
                Bytes f = Frame(length, static_cast<std::uint8_t>(sent.size()));
                std::vector<std::size_t> split;
                for (std::size_t left = length; left > 0;) {
                    const std::size_t piece =
                        std::min<std::size_t>(left, rng() % 3 == 0 ? rng() % 3 : rng() % 700);
                    split.push_back(piece);
                    left -= piece;
                }
                c.tb.protocol().send(f, split);
                sent.push_back(OnTheWire(f));
            }
            c.tb.run_for(static_cast<machine::Nanoseconds>(rng() % 40) * kMs);
        }
        c.tb.run_for(2000 * kMs);
        EXPECT_EQ(Heard(c), sent) << (eight_bit ? "8-bit" : "16-bit");
        for (const auto& done : c.tb.protocol().completions()) EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(c.tb.protocol().sends_pending(), 0u);
        EXPECT_EQ(c.a.TransmitGoodCount, sent.size());
        ExpectIdle(c.a);
        EXPECT_TRUE(c.tb.errors().empty());
    }
}

}  // namespace
