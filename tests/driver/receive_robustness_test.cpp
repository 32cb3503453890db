// The receive path against a chip that stores garbage: random receive-header
// corruption, frames of every size, bursts that overflow the ring. Whatever
// the card holds, the driver must not read or write outside its buffers (the
// sanitizers watch), must not indicate more than an Ethernet frame, must not
// spin, and must receive cleanly again once the card behaves.

#include <gtest/gtest.h>

#include <random>

#include "tests/driver/fixture.h"

namespace {

using fixture::Frame;
using fixture::kMs;

class ReceiveRobustness : public ::testing::TestWithParam<unsigned> {};

TEST_P(ReceiveRobustness, CorruptHeadersNeverEscapeTheFrameBounds) {
    testbed::Testbed tb{testbed::TestbedOptions{.trace = false}};
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);

    std::mt19937 rng(GetParam());
    std::uniform_int_distribution<std::size_t> length(60, 1514);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::uniform_int_distribution<unsigned> header_byte(0, 3);
    std::uniform_int_distribution<unsigned> gap_us(100, 30000);
    std::uniform_int_distribution<unsigned> one_in(0, 2);

    machine::Nanoseconds when = tb.now();
    for (unsigned seq = 0; seq < 150; ++seq) {
        when += gap_us(rng) * machine::kMicrosecond;
        tb.run_for(when - tb.now());
        if (one_in(rng) == 0)
            tb.nic().faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{
                header_byte(rng), static_cast<std::uint8_t>(byte(rng))};
        tb.peer().send(Frame(length(rng), seq));
    }
    tb.run_for(200 * kMs);
    tb.nic().faults().corrupt_next_header.reset();

    for (const auto& r : tb.protocol().received_frames()) {
        EXPECT_LE(r.packet_size, kMaximumFramePayload);
        EXPECT_LE(r.lookahead.size(), r.packet_size);
        EXPECT_LE(r.frame.size(), kMaximumFrameSize);
    }
    // Some frames got through the garbage; the rest were dropped, not misread
    // into something longer than the wire can carry.
    EXPECT_GT(tb.protocol().received_frames().size(), 0u);

    // Once the chip stores sound headers again, every frame arrives intact.
    tb.protocol().clear_received();
    std::vector<std::vector<std::uint8_t>> clean;
    for (unsigned seq = 0; seq < 5; ++seq) {
        clean.push_back(Frame(60 + 300 * seq, 1000 + seq));
        tb.peer().send_at(tb.now() + (seq + 1) * 40 * kMs, clean.back());
    }
    tb.run_for(300 * kMs);
    const auto& got = tb.protocol().received_frames();
    ASSERT_EQ(got.size(), clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i) EXPECT_EQ(got[i].frame, clean[i]);

    tb.halt();
    fixture::ExpectClean(tb);
    EXPECT_TRUE(tb.leaks().empty());
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReceiveRobustness, ::testing::Values(1u, 2u, 3u, 4u),
                         [](const auto& seed) { return "Seed" + std::to_string(seed.param); });

}  // namespace

namespace {

// The chip sometimes stores the low count byte in the high one as well; the
// driver then rebuilds the high byte from the distance to the next-frame page.
// For a frame that runs past the ring's end that distance wraps at the ring,
// not at 256 pages, or the frame and everything behind it would be lost.
TEST(ReceiveRobustness, AnEqualCountPairOnAFrameThatWrapsTheRingIsRebuilt) {
    testbed::Testbed tb{testbed::TestbedOptions{.trace = false}};
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.record()->RingStartPage, 0x4C);
    ASSERT_EQ(tb.record()->RingStopPage, 0x80);

    // Full frames take 6 pages each from page 0x4D: the ninth starts at 0x7D
    // and wraps to the ring's start.
    std::vector<std::vector<std::uint8_t>> sent;
    for (unsigned seq = 0; seq < 10; ++seq) {
        sent.push_back(Frame(1514, seq));
        if (seq == 8) {
            const std::uint8_t low = (1514 + 4) & 0xFF;
            tb.nic().faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{3, low};
        }
        tb.peer().send(sent.back());
        tb.run_for(40 * kMs);
    }

    const auto& got = tb.protocol().received_frames();
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].frame, sent[i]) << i;
    fixture::ExpectClean(tb);
}

}  // namespace

namespace {

// A frame whose last page is the ring's last: the chip gives it the ring's
// start as its next page, and the frame behind it begins there.
TEST(ReceiveRobustness, AFrameEndingInTheRingsLastPageHandsOverToTheRingsStart) {
    struct Case {
        const char* what;
        std::size_t length;
    };
    // Eight full frames fill pages 0x4D-0x7C of the ring 0x4C..0x80, leaving
    // three pages (768 bytes) for the frame under test.
    const Case cases[] = {
        // Header, frame and FCS fill the three pages to the last byte.
        {"ending exactly at PSTOP", 768 - 4 - 4},
        // Count 0x01FD: the low byte leaves no room for the header in the
        // frame's last page, so the next page is one more than the high byte
        // says -- PSTOP, which wraps to the ring's start.
        {"a count whose low byte takes one page more", 0x1FD - 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        fixture::RunningCard c;
        ASSERT_EQ(c.a.RingStartPage, 0x4C);
        ASSERT_EQ(c.a.RingStopPage, 0x80);
        std::vector<std::size_t> lengths(8, 1514);
        lengths.insert(lengths.end(), {k.length, 60, 1514, 300});
        const auto sent = fixture::SendSpaced(c.tb, lengths, 5 * kMs);
        c.tb.run_for(150 * kMs);

        const auto& got = c.tb.protocol().received_frames();
        ASSERT_EQ(got.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].frame, sent[i]) << i;
        // BNRY wraps behind the ring's start, and the next header is read there.
        const auto lines = c.lines_since();
        EXPECT_EQ(fixture::CountLines(lines, "BNRY <- 0x7F"), 1u);
        EXPECT_TRUE(fixture::FindRun(lines, {"RSAR0 <- 0x00", "RSAR1 <- 0x4C", "RBCR0 <- 0x06"}));
        fixture::ExpectClean(c.tb);
    }
}

}  // namespace

namespace {

// Frames of an earlier lap stay in the ring with sound headers. With equal
// count bytes the driver rebuilds the count from the next page, so a wrong
// next page there passes every header check; if it points past CURR into a
// closed chain of old frames, following it would walk that chain for ever
// (the stand-in's watchdog would end the run). The frame is dropped instead,
// and the ring is taken up again at CURR.
TEST(ReceiveRobustness, ANextPagePastCurrIsRefusedRatherThanFollowedRoundOldFrames) {
    // Port accesses take no time here, so a walk round old frames shows at
    // once as more frames than the wire could have brought.
    testbed::Testbed tb{testbed::TestbedOptions{.pc = {.access_cost = 0}, .trace = false}};
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.record()->RingStartPage, 0x4C);
    ASSERT_EQ(tb.record()->RingStopPage, 0x80);
    ASSERT_EQ(tb.record()->NextPacketPage, 0x4D);

    // An old lap of 4-page frames at 0x4C, 0x50, ... 0x7C, each pointing to
    // the next and the last back to 0x4C: a closed chain that misses 0x4F.
    const auto station = tb.adapter().station_address();
    for (unsigned page = 0x4C; page < 0x80; page += 4) {
        const auto next = static_cast<std::uint8_t>(page + 4 == 0x80 ? 0x4C : page + 4);
        std::vector<std::uint8_t> old = {0x01, next, 0x10, 0x03};  // count 0x310: 780 bytes
        old.insert(old.end(), station.begin(), station.end());
        tb.nic().poke_memory(static_cast<std::uint16_t>(page << 8), old);
    }
    // A 253-byte frame (count 0x0101, equal bytes) stored at 0x4D takes two
    // pages, CURR becomes 0x4F; its next page is corrupted to 0x50.
    tb.nic().faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{1, 0x50};
    tb.peer().send(Frame(253, 1));
    tb.run_for(20 * kMs);
    EXPECT_TRUE(tb.protocol().received_frames().empty());
    EXPECT_EQ(tb.record()->NextPacketPage, 0x4F);

    // The ring goes on from CURR.
    const auto after = Frame(300, 2);
    tb.peer().send(after);
    tb.run_for(20 * kMs);
    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, after);
    fixture::ExpectClean(tb);
}

}  // namespace
