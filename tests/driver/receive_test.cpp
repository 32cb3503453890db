// The receive path end to end: frames cross the modelled wire, the card stores
// them in its ring and interrupts through the socket controller, the stand-in
// runs the driver's ISR and deferred handler, and a bound protocol sees the
// indications and fetches data with NdisTransferData.

#include <gtest/gtest.h>

#include <array>

#include "tests/driver/fixture.h"

namespace {

using namespace fixture;

// Every remote read set up in the lines, as (card address, byte count).
using RemoteRead = std::pair<unsigned, unsigned>;
std::vector<RemoteRead> RemoteReads(const std::vector<std::string>& lines) {
    auto value = [&](std::size_t i) {
        return static_cast<unsigned>(std::stoul(lines[i].substr(lines[i].size() - 4), nullptr, 16));
    };
    std::vector<RemoteRead> out;
    for (std::size_t i = 4; i < lines.size(); ++i)
        if (lines[i] == "CR <- 0x0A" && lines[i - 4].rfind("RSAR0 <- ", 0) == 0)
            out.emplace_back(value(i - 3) << 8 | value(i - 4), value(i - 1) << 8 | value(i - 2));
    return out;
}

TEST(ReceivePath, FramesFromThePeerReachTheProtocolWithHeaderLookaheadAndSize) {
    // The byte-wide card runs with a lookahead a protocol cut to 100 bytes.
    for (const bool eight_bit : {false, true}) {
        SCOPED_TRACE(eight_bit ? "byte-wide card" : "word-wide card");
        RunningCard c({.eight_bit = eight_bit});
        ULONG lookahead = eight_bit ? 100 : kMaxLookahead;
        ASSERT_EQ(c.tb.protocol().set(OID_GEN_CURRENT_LOOKAHEAD, &lookahead, sizeof lookahead),
                  NDIS_STATUS_SUCCESS);
        // Around the full lookahead's edge (14 + 238 = 252), the shortest
        // frame, an odd length, and the longest.
        const std::vector<std::size_t> lengths = {60, 61, 251, 252, 253, 1514};
        const auto sent = SendSpaced(c.tb, lengths, 3 * kMs);
        c.tb.run_for(120 * kMs);

        const auto& got = c.tb.protocol().received_frames();
        ASSERT_EQ(got.size(), lengths.size());
        std::vector<RemoteRead> reads;
        unsigned page = c.a.RingStartPage + 1u;
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE("frame of " + std::to_string(lengths[i]));
            const std::size_t data = lengths[i] - 14;
            EXPECT_EQ(got[i].packet_size, data);
            EXPECT_EQ(got[i].lookahead, Slice(sent[i], 14, std::min<std::size_t>(data, lookahead)));
            // Only frames longer than the lookahead need a transfer.
            EXPECT_EQ(got[i].transferred, data > lookahead);
            EXPECT_EQ(got[i].transfer_status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(got[i].frame, sent[i]);
            // On the card: the 4-byte header and the two bytes behind it, then
            // the Ethernet header and min(L, lookahead) bytes behind the
            // header, then what the protocol asks for (here all the data).
            reads.emplace_back(page << 8, 6);
            reads.emplace_back((page << 8) + 4, std::min<std::size_t>(lengths[i], lookahead) + 14);
            if (data > lookahead) reads.emplace_back((page << 8) + 4 + 14, data);
            page += static_cast<unsigned>(4 + lengths[i] + 4 + 255) / 256;
        }
        EXPECT_EQ(RemoteReads(c.lines_since()), reads);
        EXPECT_EQ(c.a.ReceiveGoodCount, lengths.size());
        EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
    }
}

TEST(ReceivePath, WaitingFramesAreTakenInBatchesWithOneCompletePerPass) {
    RunningCard c;
    // Fifteen short frames back to back: all are in the ring by the time the
    // deferred handler has cleared the socket controller and looks at ISR.
    std::vector<std::vector<std::uint8_t>> sent;
    for (unsigned i = 0; i < 15; ++i) {
        sent.push_back(Frame(60, i));
        c.tb.peer().send(sent.back());
    }
    c.tb.run_for(80 * kMs);

    std::vector<std::string> expected(11, "Indicate 14+46 of 46");
    expected.push_back("IndicateComplete");
    expected.insert(expected.end(), 4, "Indicate 14+46 of 46");
    expected.push_back("IndicateComplete");
    EXPECT_EQ(c.indications(), expected);
    EXPECT_EQ(c.tb.protocol().receive_completes(), 2);
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 15u);
    for (unsigned i = 0; i < 15; ++i) EXPECT_EQ(c.tb.protocol().received_frames()[i].frame, sent[i]);
    EXPECT_EQ(c.a.ReceivePacketCount, 4u);
    // CURR is read at the start of each pass, and again only when the frames
    // read so far have caught up with it: once in the first pass, which ends
    // at the limit, twice in the second, which empties the ring.
    EXPECT_EQ(CountLines(c.lines_since(), "CURR -> *"), 3u);

    // The count runs on: with 4 already taken, the next batch ends after 7.
    c.tb.ndis().clear_records();
    const std::size_t mark = c.tb.trace().mark();
    for (unsigned i = 0; i < 8; ++i) c.tb.peer().send(Frame(60, 20 + i));
    c.tb.run_for(80 * kMs);
    expected.assign(7, "Indicate 14+46 of 46");
    expected.push_back("IndicateComplete");
    expected.push_back("Indicate 14+46 of 46");
    expected.push_back("IndicateComplete");
    EXPECT_EQ(c.indications(), expected);
    EXPECT_EQ(CountLines(c.lines_since(mark), "CURR -> *"), 3u);
    EXPECT_EQ(c.a.ReceivePacketCount, 1u);
    EXPECT_EQ(c.tb.protocol().received_frames().size(), 23u);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(ReceivePath, TransferDataCopiesExactBytesAndSplitsAtTheRingEnd) {
    RunningCard c;
    // Eight long frames fill pages 0x4D-0x7C; the ninth starts at 0x7D and
    // runs on from the ring's start.
    for (unsigned i = 0; i < 8; ++i) c.tb.peer().send_at(c.tb.now() + i * 5 * kMs, Frame(1514, i));
    c.tb.run_for(80 * kMs);
    ASSERT_EQ(c.tb.protocol().received_frames().size(), 8u);
    ASSERT_EQ(c.a.NextPacketPage, 0x7D);

    host::PacketPool packets;
    host::BufferPool buffers;
    struct Result {
        NDIS_STATUS status;
        UINT moved;
        std::vector<std::uint8_t> data;
    };
    std::vector<Result> results;
    auto transfer = [&](const host::ReceiveIndication& ind, UINT offset, UINT count, std::size_t room,
                        std::vector<std::size_t> split = {}) {
        host::FramePacket into(packets, buffers, std::vector<std::uint8_t>(room, 0xEE), split);
        UINT moved = 0xDEAD;
        const NDIS_STATUS status = ind.transfer_data(into.packet(), offset, count, &moved);
        auto data = into.contents();
        data.resize(std::min<std::size_t>(moved, data.size()));
        results.push_back({status, moved, data});
    };
    std::size_t mark = 0, end = 0;
    c.tb.protocol().on_receive = [&](host::Binding&, const host::ReceiveIndication& ind) {
        mark = c.tb.trace().mark();
        // Odd pieces and an empty buffer: the copy must follow the chain.
        transfer(ind, 0, 1500, 1500, {7, 0, 500});
        transfer(ind, 1490, 100, 100);        // cut at the frame's end
        transfer(ind, 1501, 1, 100);          // past the end
        transfer(ind, 0xFFFFFFF2u, 20, 100);  // offset + 14 would wrap to 0
        transfer(ind, 0xFFFFFFFFu, 1, 100);
        transfer(ind, 10, 0xFFFFFFFFu, 1500);  // offset + count would wrap
        transfer(ind, 0, 1500, 100);           // buffers run out first
        end = c.tb.trace().mark();
    };
    const auto wrapping = Frame(1514, 8);
    c.tb.peer().send(wrapping);
    c.tb.run_for(40 * kMs);

    ASSERT_EQ(c.tb.protocol().received_frames().size(), 9u);
    EXPECT_EQ(c.tb.protocol().received_frames()[8].frame, wrapping);
    ASSERT_EQ(results.size(), 7u);
    EXPECT_EQ(results[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(results[0].data, Slice(wrapping, 14, 1500));
    EXPECT_EQ(results[1].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(results[1].data, Slice(wrapping, 1504, 10));
    for (std::size_t i : {2u, 3u, 4u}) {
        SCOPED_TRACE("refused transfer " + std::to_string(i));
        EXPECT_EQ(results[i].status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(results[i].moved, 0u);
    }
    EXPECT_EQ(results[5].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(results[5].data, Slice(wrapping, 24, 1490));
    EXPECT_EQ(results[6].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(results[6].data, Slice(wrapping, 14, 100));

    // The chip's remote DMA would wrap on its own, but the driver never lets a
    // read run past the ring's end: one read starts exactly at its first page.
    auto lines = c.lines_since(mark);
    const std::size_t at = IndexOf(lines, "RSAR1 <- 0x4C");
    ASSERT_LT(at, lines.size());
    EXPECT_EQ(lines[at - 1], "RSAR0 <- 0x00");
    // With no frame on the wire a transfer does not look for a finished
    // transmission: ISR is read only by the waits for each read's end.
    lines.resize(lines.size() - c.lines_since(end).size());
    EXPECT_EQ(CountLines(lines, "ISR -> *"), CountLines(lines, "CR <- 0x0A"));
    EXPECT_TRUE(c.tb.error_log().empty()) << c.tb.error_log().to_string();
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(ReceivePath, TransferDataCompletesATransmissionThatEndedMeanwhile) {
    RunningCard c;
    // S goes out at once, T waits on the card behind it; the peer's frame
    // follows S on the wire. One deferred pass completes S (starting T), and
    // the receive pass then indicates the peer's frame.
    const auto s = c.tb.protocol().send(Frame(1514, 0x51, kPeer));
    const auto t = c.tb.protocol().send(Frame(1514, 0x52, kPeer));
    const auto incoming = Frame(600, 7);
    c.tb.peer().send(incoming);

    host::PacketPool packets;
    host::BufferPool buffers;
    LONG active_before = -2, active_after = -2;
    ULONG good_before = 0, good_after = 0;
    std::vector<std::uint8_t> data;
    c.tb.protocol().transfer = testbed::TestProtocol::Transfer::Never;
    c.tb.protocol().on_receive = [&](host::Binding&, const host::ReceiveIndication& ind) {
        // A slow protocol: T leaves the wire while it works.
        KeStallExecutionProcessor(4000);
        active_before = c.a.TransmitActivePage;
        good_before = c.a.TransmitGoodCount;
        host::FramePacket into(packets, buffers, std::vector<std::uint8_t>(ind.packet_size()));
        UINT moved = 0;
        EXPECT_EQ(ind.transfer_data(into.packet(), 0, ind.packet_size(), &moved), NDIS_STATUS_SUCCESS);
        data = into.contents();
        active_after = c.a.TransmitActivePage;
        good_after = c.a.TransmitGoodCount;
    };
    c.tb.run_for(60 * kMs);

    EXPECT_EQ(data, Slice(incoming, 14, incoming.size() - 14));
    // T (transmit pages 6-11, behind S) was still the active frame when the
    // transfer began; the transfer saw its PTX and completed it.
    EXPECT_EQ(active_before, 6);
    EXPECT_EQ(good_before, 1u);
    EXPECT_EQ(active_after, -1);
    EXPECT_EQ(good_after, 2u);
    EXPECT_EQ(c.tb.protocol().completion_of(s), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(c.tb.protocol().completion_of(t), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(c.tb.peer().received().size(), 2u);
    EXPECT_EQ(c.tb.peer().received()[1].frame, Frame(1514, 0x52, kPeer));
    EXPECT_TRUE(c.tb.error_log().empty()) << c.tb.error_log().to_string();
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(ReceivePath, CorruptedHeadersCostTheFramesUpToCurrentAndNothingElse) {
    struct Case {
        const char* what;
        unsigned byte;
        std::uint8_t value;
        ULONG good_after_drop;  // ReceiveGoodCount once the three frames are gone
    };
    // A next page outside the ring fails the header check; one inside the ring
    // that disagrees with the count passes it and is refused at indication
    // (which still counts the frame as received).
    const Case cases[] = {{"next page outside the ring", 1, 0x20, 0},
                          {"next page disagrees with the count", 1, 0x60, 1},
                          {"count below the minimum", 2, 0x10, 0}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunningCard c;
        c.tb.nic().faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{k.byte, k.value};
        for (unsigned i = 0; i < 3; ++i) c.tb.peer().send(Frame(60, i));
        c.tb.run_for(40 * kMs);
        EXPECT_TRUE(c.tb.protocol().received_frames().empty());
        EXPECT_EQ(c.a.ReceiveGoodCount, k.good_after_drop);
        // The ring is empty again from the driver's side and BNRY follows.
        EXPECT_EQ(c.a.NextPacketPage, 0x4D + 3);
        EXPECT_EQ(c.a.NextPacketPage, c.a.LastCurrentPage);

        // Frames stored afterwards are taken as usual.
        const auto later = Frame(100, 9);
        c.tb.peer().send(later);
        c.tb.run_for(40 * kMs);
        ASSERT_EQ(c.tb.protocol().received_frames().size(), 1u);
        EXPECT_EQ(c.tb.protocol().received_frames()[0].frame, later);
        EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
    }
}

TEST(ReceivePath, AHighCountByteEqualToTheLowOneIsRecomputedFromTheNextPage) {
    RunningCard c;
    // 572 bytes: count 0x0240, stored at 0x4D, next page 0x50. 762 bytes:
    // count 0x02FE, whose low byte leaves no room for the header in the last
    // page, stored at 0x50, next page 0x54. The chip wrote the low count byte
    // into the high one both times.
    const std::vector<std::pair<std::size_t, std::uint8_t>> frames = {{572, 0x40}, {762, 0xFE}};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        c.tb.nic().faults().corrupt_next_header =
            machine::Dp8390Faults::HeaderCorruption{3, frames[i].second};
        c.tb.peer().send(Frame(frames[i].first, static_cast<unsigned>(i)));
        c.tb.run_for(40 * kMs);
    }
    const auto& got = c.tb.protocol().received_frames();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].frame, Frame(572, 0));
    EXPECT_EQ(got[1].frame, Frame(762, 1));
    EXPECT_EQ(c.a.NextPacketPage, 0x54);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

TEST(ReceivePath, AHeaderReadOneWordLateIsAcceptedFromItsSecondReading) {
    // A word-wide card whose header looks wrong at the page start but sound
    // two bytes on: status 0x80, next page 0x4E, count 0x0040 (a 60-byte
    // frame). The frame is then taken from page start + 6.
    RunningCard c({.packet_filter = NDIS_PACKET_TYPE_PROMISCUOUS});
    const host::MacAddress odd_destination{0x40, 0x00, 0x11, 0x22, 0x33, 0x44};
    auto f = Frame(124, 3, odd_destination);  // count 0x80: status byte of the second reading
    c.tb.nic().faults().corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{3, 0x4E};
    c.tb.peer().send(f);
    c.tb.run_for(40 * kMs);

    const auto& got = c.tb.protocol().received_frames();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].packet_size, 46u);
    EXPECT_EQ(got[0].frame, Slice(f, 2, 60));
    EXPECT_EQ(c.a.ReceivePacketAddress, 0x4D06u);
    EXPECT_EQ(c.a.NextPacketPage, 0x4E);
    EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
}

// The status and destination tests only choose between the header as read and
// the header one data-port unit on; whether the frame is taken rests on the
// length and the next page of the reading chosen.
TEST(ReceivePath, StatusAndDestinationChooseTheHeaderReadingLengthAndNextPageJudgeIt) {
    struct Case {
        const char* what;
        bool eight_bit;
        std::array<UCHAR, 6> stored;  // the header and the frame's first two bytes
        bool accepted;
        std::array<UCHAR, 4> header;  // ReceiveHeader afterwards
        ULONG shift;                  // where the reading taken starts
    };
    // The frame sits at page 0x50 of the ring 0x4C..0x80 of the word-wide card,
    // at page 0x30 of the ring 0x2C..0x40 of the byte-wide one.
    const Case cases[] = {
        {"an error status, nothing sound two bytes on",
         false,
         {0x02, 0x51, 0x40, 0x00, 0x02, 0x00},
         true,
         {0x02, 0x51, 0x40, 0x00},
         0},
        {"a group status over a directed destination, nothing sound two bytes on",
         false,
         {0x21, 0x51, 0x40, 0x00, 0x02, 0x00},
         true,
         {0x21, 0x51, 0x40, 0x00},
         0},
        // As read, the equal count bytes would be rebuilt into a sound
        // 124-byte frame; the second reading's next page is PSTOP itself.
        {"a group status over a directed destination, sound two bytes on",
         false,
         {0x21, 0x51, 0x80, 0x80, 0x40, 0x00},
         true,
         {0x80, 0x80, 0x40, 0x00},
         2},
        // The rebuilt high byte (0x0F) makes the frame too long; the second
        // reading takes the byte as stored for its next page.
        {"a rebuilt count that fails is put back",
         false,
         {0x01, 0x60, 0x80, 0x80, 0x40, 0x00},
         true,
         {0x80, 0x80, 0x40, 0x00},
         2},
        // Neither reading is sound: the header stays as it was read.
        {"no sound reading", false, {0x01, 0x60, 0x80, 0x80, 0x02, 0x00}, false, {0x01, 0x60, 0x80, 0x80}, 0},
        // The second reading is not held to its destination byte (b[5], even).
        {"byte-wide: one byte on, a group status",
         true,
         {0x02, 0x21, 0x32, 0x40, 0x00, 0x00},
         true,
         {0x21, 0x32, 0x40, 0x00},
         1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunningCard c(Quiet(k.eight_bit));
        const UCHAR page = static_cast<UCHAR>(c.a.RingStartPage + 4);
        const ULONG address = static_cast<ULONG>(page) << 8;
        BOOLEAN accepted = FALSE;
        c.tb.call([&] {
            ASSERT_TRUE(CardCopyDown(&c.a, address, k.stored.data(), k.stored.size()));
            c.a.NextPacketPage = page;
            accepted = Ne2000PacketOK(&c.a);
        });
        EXPECT_EQ(accepted, k.accepted);
        EXPECT_EQ(std::to_array(c.a.ReceiveHeader), k.header);
        EXPECT_EQ(c.a.ReceivePacketAddress, address + 4 + k.shift);
    }
}

TEST(ReceivePath, OverflowWhileAFrameIsOnTheWireSendsItExactlyOnce) {
    struct Case {
        const char* what;
        unsigned frames_ahead;  // the peer's frames on the medium before ours
        testbed::TestProtocol::Transfer transfer;
    };
    // The peer's frames hold the medium, so the driver's frame waits behind
    // them: it has not started when the ring overflows, so the stop drops it
    // and shows no completion for it. Whether the recovery pass is quick or
    // slow (and the medium long free again when it ends), the frame is
    // started again from its pages, once.
    const Case cases[] = {{"quick indications", 30, testbed::TestProtocol::Transfer::Never},
                          {"slow indications", 20, testbed::TestProtocol::Transfer::Always}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RunningCard c;
        c.tb.protocol().transfer = k.transfer;
        std::vector<std::vector<std::uint8_t>> sent;
        for (unsigned i = 0; i < k.frames_ahead; ++i) {
            sent.push_back(Frame(1514, i));
            c.tb.peer().send(sent.back());
        }
        // A waits for the medium; B waits on the card behind it.
        const auto a = Frame(1514, 0xA0, kPeer), b = Frame(100, 0xB0, kPeer);
        const auto ida = c.tb.protocol().send(a), idb = c.tb.protocol().send(b);
        c.tb.run_for(250 * kMs);

        // The recovery pass: stop, loopback and start; frames taken; out of
        // loopback; then, in the same deferred call, ISR looked at and A
        // started again from its pages.
        const auto lines = c.lines_since();
        const std::size_t loopback = IndexOf(lines, "TCR <- 0x02");
        ASSERT_LT(loopback, lines.size());
        const std::size_t normal = IndexOf(lines, "TCR <- 0x00", loopback);
        ASSERT_LT(normal + 5, lines.size());
        EXPECT_EQ(IndexOf(lines, "IMR <- 0x1B", loopback), IndexOf(lines, "IMR <- 0x1B", normal));
        ASSERT_EQ(lines[normal + 1].rfind("ISR -> ", 0), 0u) << lines[normal + 1];
        EXPECT_EQ(std::stoul(lines[normal + 1].substr(7), nullptr, 16) & (ISR_PTX | ISR_TXE), 0u);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + normal + 2, lines.begin() + normal + 5),
                  (std::vector<std::string>{"TPSR <- 0x40", "TBCR1 <- 0x05", "TBCR0 <- 0xEA"}));

        // Each frame reached the peer once, in order.
        ASSERT_EQ(c.tb.peer().received().size(), 2u);
        EXPECT_EQ(c.tb.peer().received()[0].frame, a);
        EXPECT_EQ(c.tb.peer().received()[1].frame, b);
        EXPECT_EQ(c.tb.protocol().completion_of(ida), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(c.tb.protocol().completion_of(idb), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(c.a.TransmitGoodCount, 2u);
        EXPECT_EQ(c.a.TransmitActivePage, -1);
        EXPECT_FALSE(c.a.TransmitRestartPending);
        EXPECT_FALSE(c.a.RingOverflowPending);

        // The eight frames the ring held before the overflow came through
        // intact and in order, and so did those that came after recovery.
        const auto& got = c.tb.protocol().received_frames();
        ASSERT_GE(got.size(), 8u);
        const std::size_t seen =
            k.transfer == testbed::TestProtocol::Transfer::Never ? 14 + kMaxLookahead : 1514;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const unsigned seq = got[i].frame[14];
            if (i < 8) {
                EXPECT_EQ(seq, i);
            } else {
                EXPECT_GT(seq, got[i - 1].frame[14]);
            }
            EXPECT_EQ(got[i].frame, Slice(sent[seq], 0, seen));
        }
        EXPECT_GE(c.a.MissedPacketCount, 1u);
        EXPECT_TRUE(c.tb.error_log().empty()) << c.tb.error_log().to_string();
        EXPECT_TRUE(c.tb.errors().empty()) << ::testing::PrintToString(c.tb.errors());
    }
}

TEST(ReceivePath, FramesWrappingARingThatEndsAtTheTopOfCardMemoryAreTaken) {
    // RAM from 0x4000 to the end of the address space: the ring runs from
    // page 0x4C to PSTOP 0xFF, so a frame near its end has a next-frame page
    // that only wraps past PSTOP when counted beyond 8 bits.
    testbed::TestbedOptions options;
    options.trace = false;
    options.pc.nic.ram_size = 0xC000;
    testbed::Testbed tb(options);
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.record()->RingStopPage, 0xFF);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);

    // 179 ring pages, 6 per frame: the 30th frame runs past PSTOP.
    std::vector<std::vector<std::uint8_t>> sent;
    for (unsigned i = 0; i < 40; ++i) {
        sent.push_back(Frame(1514, i));
        tb.peer().send_at(tb.now() + (i + 1) * 5 * kMs, sent.back());
    }
    tb.run_for(400 * kMs);

    const auto& got = tb.protocol().received_frames();
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].frame, sent[i]) << "frame " << i;
    ExpectClean(tb);
}

}  // namespace
