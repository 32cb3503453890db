// Copies between host memory and card memory through the remote DMA: the
// exact data-port traffic (word runs, held bytes, merge and split steps,
// dummy read, RDC waits), what lands in card memory, and the two ways the
// remote DMA can misbehave.

#include <gtest/gtest.h>

#include <random>

#include "platform/host/packet_pool.h"
#include "tests/driver/fixture.h"

namespace {

using fixture::CountByteAccesses;
using fixture::CountLines;
using fixture::CountStalls;
using fixture::LinesMatch;
using fixture::Quiet;
using fixture::RunningCard;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

// Host bytes placed at an even or odd address. After a merge or split step
// the word runs continue one byte further on; the stand-in's HAL string
// operations read and write whole 16-bit values and so need those runs on
// even host addresses (the x86 string instructions would not care). Placing
// the buffer with the same parity as the card address keeps them even.
class HostBytes {
public:
    HostBytes(const Bytes& bytes, unsigned odd)
        : storage_(bytes.size() + 2), offset_(odd & 1), size_(bytes.size()) {
        std::copy(bytes.begin(), bytes.end(), data());
    }
    std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(storage_.data()) + offset_; }
    Bytes bytes() { return Bytes(data(), data() + size_); }

private:
    std::vector<std::uint16_t> storage_;
    std::size_t offset_;
    std::size_t size_;
};

// A packet built by a protocol, handed straight to the copy routine.
struct Packet {
    host::PacketPool packets;
    host::BufferPool buffers;
    host::FramePacket frame;
    Packet(Bytes bytes, std::vector<std::size_t> split) : frame(packets, buffers, std::move(bytes), split) {}
    PNDIS_PACKET get() { return frame.packet(); }
};

// The dummy read at a transmit page of the 16 KB card, then the set-up of one
// remote write of `count` bytes there.
std::vector<std::string> WordWritePreamble(const std::string& page, const std::string& count) {
    return {"CR <- 0x00",    "RSAR0 <- 0x00",    "RSAR1 <- " + page,  "RBCR0 <- 0x02",    "RBCR1 <- 0x00",
            "CR <- 0x0A",    "DATA -> *",        "CRDA0 -> 0x02",     "CRDA1 -> " + page, "CR <- 0x00",
            "RSAR0 <- 0x00", "RSAR1 <- " + page, "RBCR0 <- " + count, "RBCR1 <- 0x00",    "CR <- 0x12"};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CardCopy, HeldByteJoinsOddBuffersIntoWords) {
    RunningCard c(Quiet());
    const Bytes bytes = {0xA0, 0xA1, 0xA2, 0xB0, 0xC0, 0xC1};
    Packet p(bytes, {3, 0, 1, 2});
    ULONG length = 0;
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });

    // One remote write of 6 bytes; a2 travels with b0, the empty buffer adds nothing.
    EXPECT_TRUE(LinesMatch(
        c.lines_since(mark),
        Concat(WordWritePreamble("0x40", "0x06"), {"DATA <- 1 words", "ISR -> *", "DATA <- 0xB0A2 (word)",
                                                   "ISR -> *", "DATA <- 1 words", "ISR -> *"})));
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(c.card_memory(0x4000, 6), bytes);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, OddTotalLengthEndsOnASingleByte) {
    RunningCard c(Quiet());
    {
        // 3 + 2: the last byte of the second buffer is held to the end.
        Packet p(Pattern(5, 0x10), {3, 2});
        ULONG length = 0;
        const std::size_t mark = c.tb.trace().mark();
        c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });
        EXPECT_TRUE(LinesMatch(
            c.lines_since(mark),
            Concat(WordWritePreamble("0x40", "0x05"),
                   {"DATA <- 1 words", "ISR -> *", "DATA <- 0x1312 (word)", "ISR -> *", "DATA <- 0x14"})));
        EXPECT_EQ(c.card_memory(0x4000, 5), Pattern(5, 0x10));
    }
    {
        // One buffer of 61 bytes: 30 words, then one byte.
        Packet p(Pattern(61, 0x40), {});
        ULONG length = 0;
        c.a.TransmitFillPage = 2;
        const std::size_t mark = c.tb.trace().mark();
        c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });
        EXPECT_TRUE(LinesMatch(
            c.lines_since(mark),
            Concat(WordWritePreamble("0x42", "0x3D"), {"DATA <- 30 words", "ISR -> *", "DATA <- 0x7C"})));
        EXPECT_EQ(length, 61u);
        EXPECT_EQ(c.card_memory(0x4200, 61), Pattern(61, 0x40));
    }
    {
        // 1, 1, 1: a word of the first two, the third held to the end.
        Packet p({0x01, 0x02, 0x03}, {1, 1, 1});
        ULONG length = 0;
        c.a.TransmitFillPage = 4;
        const std::size_t mark = c.tb.trace().mark();
        c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });
        EXPECT_TRUE(LinesMatch(c.lines_since(mark), Concat(WordWritePreamble("0x44", "0x03"),
                                                           {"ISR -> *", "DATA <- 0x0201 (word)", "ISR -> *",
                                                            "ISR -> *", "DATA <- 0x03"})));
        EXPECT_EQ(c.card_memory(0x4400, 3), Bytes({0x01, 0x02, 0x03}));
    }
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, ByteWideCardMovesEveryByteAlone) {
    RunningCard c(Quiet(true));
    const Bytes bytes = Pattern(6, 0x61);
    Packet p(bytes, {3, 0, 1, 2});
    ULONG length = 0;
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });
    // The 8 KB card's transmit area starts at 0x2000; the dummy read is two byte reads.
    EXPECT_TRUE(
        LinesMatch(c.lines_since(mark),
                   {"CR <- 0x00",      "RSAR0 <- 0x00",   "RSAR1 <- 0x20", "RBCR0 <- 0x02",   "RBCR1 <- 0x00",
                    "CR <- 0x0A",      "DATA -> *",       "DATA -> *",     "CRDA0 -> 0x02",   "CRDA1 -> 0x20",
                    "CR <- 0x00",      "RSAR0 <- 0x00",   "RSAR1 <- 0x20", "RBCR0 <- 0x06",   "RBCR1 <- 0x00",
                    "CR <- 0x12",      "DATA <- 3 bytes", "ISR -> *",      "DATA <- 1 bytes", "ISR -> *",
                    "DATA <- 2 bytes", "ISR -> *"}));
    EXPECT_EQ(c.card_memory(0x2000, 6), bytes);

    // Writing to an odd address needs no merge on this card; the dummy read
    // still goes to the even address above it.
    const Bytes odd = {0xE1, 0xE2, 0xE3};
    const std::size_t down = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, 0x2001, odd.data(), 3)); });
    EXPECT_TRUE(LinesMatch(
        c.lines_since(down),
        {"CR <- 0x00", "RSAR0 <- 0x02", "RSAR1 <- 0x20", "RBCR0 <- 0x02", "RBCR1 <- 0x00", "CR <- 0x0A",
         "DATA -> *", "DATA -> *", "CRDA0 -> 0x04", "CRDA1 -> 0x20", "CR <- 0x00", "RSAR0 <- 0x01",
         "RSAR1 <- 0x20", "RBCR0 <- 0x03", "RBCR1 <- 0x00", "CR <- 0x12", "DATA <- 3 bytes", "ISR -> *"}));

    // Nor does reading back from one need a split.
    Bytes back(5);
    const std::size_t up = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyUp(&c.a, back.data(), 0x2001, 5)); });
    EXPECT_TRUE(LinesMatch(c.lines_since(up),
                           {"CR -> *", "CR <- 0x00", "RSAR0 <- 0x01", "RSAR1 <- 0x20", "RBCR0 <- 0x05",
                            "RBCR1 <- 0x00", "CR <- 0x0A", "DATA -> 5 bytes", "ISR -> *"}));
    EXPECT_EQ(back, Bytes({0xE1, 0xE2, 0xE3, bytes[4], bytes[5]}));
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, OddDestinationKeepsTheCardByteBelowIt) {
    RunningCard c(Quiet());
    c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, 0x4100, Pattern(8, 0x80).data(), 8)); });

    // The source sits at an odd host address, so the words after the merge
    // are read from even ones (see HostBytes).
    HostBytes source({0xD1, 0xD2, 0xD3}, 1);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, 0x4101, source.data(), 3)); });
    const auto lines = c.lines_since(mark);
    // Merge: read the byte at 0x4100, dummy read at 0x4102, write the word at 0x4100.
    ASSERT_GE(lines.size(), 22u);
    EXPECT_TRUE(LinesMatch(
        {lines.begin(), lines.begin() + 22},
        {"RSAR0 <- 0x00",         "RSAR1 <- 0x41", "RBCR0 <- 0x01", "RBCR1 <- 0x00", "CR <- 0x0A",
         "DATA -> 0x80",          "CR <- 0x00",    "RSAR0 <- 0x02", "RSAR1 <- 0x41", "RBCR0 <- 0x02",
         "RBCR1 <- 0x00",         "CR <- 0x0A",    "DATA -> *",     "CRDA0 -> 0x04", "CRDA1 -> 0x41",
         "RSAR0 <- 0x00",         "RSAR1 <- 0x41", "RBCR0 <- 0x02", "RBCR1 <- 0x00", "CR <- 0x12",
         "DATA <- 0xD180 (word)", "ISR -> *"}));
    EXPECT_EQ(c.card_memory(0x4100, 5), Bytes({0x80, 0xD1, 0xD2, 0xD3, 0x84}));

    // One byte to an odd address (padding behind a 59-byte frame): the merge
    // writes it, and the main transfer runs with a count of 0.
    const std::uint8_t blank = 0x20;
    const std::size_t one = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, 0x4105, &blank, 1)); });
    const auto tail = c.lines_since(one);
    ASSERT_GE(tail.size(), 7u);
    EXPECT_TRUE(LinesMatch({tail.end() - 7, tail.end()},
                           {"CR <- 0x00", "RSAR0 <- 0x06", "RSAR1 <- 0x41", "RBCR0 <- 0x00", "RBCR1 <- 0x00",
                            "CR <- 0x12", "ISR -> *"}));
    EXPECT_EQ(c.card_memory(0x4104, 3), Bytes({0x84, 0x20, 0x86}));
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, OddSourceIsSplitOffTheWordBelowIt) {
    RunningCard c(Quiet());
    c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, 0x4C00, Pattern(16, 0x30).data(), 16)); });

    HostBytes target(Bytes(6, 0xEE), 1);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyUp(&c.a, target.data(), 0x4C03, 5)); });
    // The word at 0x4C02 gives 0x33; then 2 words and nothing left over.
    EXPECT_TRUE(LinesMatch(
        c.lines_since(mark),
        {"CR -> *", "CR <- 0x00", "RSAR0 <- 0x02", "RSAR1 <- 0x4C", "RBCR0 <- 0x02", "RBCR1 <- 0x00",
         "CR <- 0x0A", "DATA -> 0x3332 (word)", "ISR -> *", "RSAR0 <- 0x04", "RSAR1 <- 0x4C", "RBCR0 <- 0x04",
         "RBCR1 <- 0x00", "CR <- 0x0A", "DATA -> 2 words", "ISR -> *"}));
    EXPECT_EQ(target.bytes(), Bytes({0x33, 0x34, 0x35, 0x36, 0x37, 0xEE}));

    // An odd count from an even address: the words, then the last byte with
    // a byte access of its own.
    HostBytes three(Bytes(3, 0xEE), 0);
    const std::size_t even = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyUp(&c.a, three.data(), 0x4C00, 3)); });
    EXPECT_TRUE(LinesMatch(c.lines_since(even),
                           {"CR -> *", "CR <- 0x00", "RSAR0 <- 0x00", "RSAR1 <- 0x4C", "RBCR0 <- 0x03",
                            "RBCR1 <- 0x00", "CR <- 0x0A", "DATA -> 1 words", "DATA -> 0x32", "ISR -> *"}));
    EXPECT_EQ(three.bytes(), Bytes({0x30, 0x31, 0x32}));

    // A single byte at an odd address comes from the split step alone.
    std::uint8_t one = 0;
    const std::size_t single = c.tb.trace().mark();
    c.tb.call([&] { EXPECT_TRUE(CardCopyUp(&c.a, &one, 0x4C07, 1)); });
    const auto lines = c.lines_since(single);
    EXPECT_EQ(one, 0x37);
    EXPECT_EQ(CountLines(lines, "RBCR0 <- 0x00"), 1u);
    EXPECT_EQ(lines.back(), "ISR -> 0x40");
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, NothingToMoveTouchesNoPort) {
    RunningCard c(Quiet());
    Packet empty(Bytes{}, {0, 0});
    ULONG length = 1234;
    std::uint8_t byte = 0;
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] {
        EXPECT_TRUE(CardCopyUp(&c.a, &byte, 0x4001, 0));
        EXPECT_TRUE(CardCopyDown(&c.a, 0x4001, &byte, 0));
        EXPECT_TRUE(CardCopyDownPacket(&c.a, empty.get(), &length));
    });
    EXPECT_TRUE(c.lines_since(mark).empty());
    EXPECT_EQ(length, 1234u);
}

TEST(CardCopy, StuckRemoteDmaFailsAfterItsPollsAndOnlyThePacketCopyLogs) {
    RunningCard c(Quiet());
    c.tb.nic().faults().remote_address_stuck = true;
    c.a.TransmitFillPage = 3;
    Packet p(Pattern(64, 0), {});
    ULONG length = 777;

    const auto& trace = c.tb.trace();
    const auto In = machine::TraceKind::In8;
    const auto Out = machine::TraceKind::Out8;
    std::size_t mark = trace.mark();
    c.tb.call([&] { EXPECT_FALSE(CardCopyDownPacket(&c.a, p.get(), &length)); });
    EXPECT_EQ(CountByteAccesses(trace, mark, In, "CRDA0", 0x00), 65535u);
    EXPECT_EQ(CountByteAccesses(trace, mark, In, "CRDA1", 0x43), 65535u);
    EXPECT_EQ(CountStalls(trace, mark, 1), 65535u);
    EXPECT_EQ(CountByteAccesses(trace, mark, Out, "CR", 0x12), 0u);  // no remote write was started
    EXPECT_EQ(length, 777u);
    ASSERT_EQ(c.tb.error_log().entries().size(), 1u);
    const auto& entry = c.tb.error_log().entries()[0];
    EXPECT_EQ(entry.code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(entry.values, std::vector<ULONG>({1, 0x4300}));

    mark = trace.mark();
    c.tb.call([&] { EXPECT_FALSE(CardCopyDown(&c.a, 0x4400, p.frame.bytes().data(), 10)); });
    EXPECT_EQ(CountByteAccesses(trace, mark, In, "CRDA1", 0x44), 65535u);
    EXPECT_EQ(CountByteAccesses(trace, mark, Out, "CR", 0x12), 0u);
    EXPECT_EQ(c.tb.error_log().entries().size(), 1u);
    EXPECT_TRUE(c.tb.errors().empty());
}

TEST(CardCopy, RdcThatNeverSetsIsWaitedOutAndTheCopyStillSucceeds) {
    RunningCard c(Quiet());
    c.tb.nic().faults().rdc_never_sets = true;
    const Bytes data = Pattern(10, 0x90);
    Bytes back(10);
    const std::size_t mark = c.tb.trace().mark();
    c.tb.call([&] {
        EXPECT_TRUE(CardCopyDown(&c.a, 0x4800, data.data(), 10));
        EXPECT_TRUE(CardCopyUp(&c.a, back.data(), 0x4800, 10));
    });
    EXPECT_EQ(CountStalls(c.tb.trace(), mark, 4), 2u * 65535u);
    EXPECT_EQ(back, data);
    EXPECT_TRUE(c.tb.error_log().empty());
    EXPECT_TRUE(c.tb.errors().empty());
}

// Whatever the width, addresses and buffer chain, bytes land where they
// should and come back unchanged, and nothing around them is touched.
TEST(CardCopy, RandomCopiesRoundTripOnBothWidths) {
    for (bool eight_bit : {false, true}) {
        RunningCard c(Quiet(eight_bit));
        std::mt19937 rng(eight_bit ? 8 : 16);
        const ULONG ram = c.a.CardRamStart;
        Bytes shadow(c.a.CardRamLength, 0);
        for (int round = 0; round < 60; ++round) {
            const std::size_t n = 1 + rng() % 300;
            const ULONG at = ram + 0x600 + rng() % (c.a.CardRamLength - 0x600 - n);
            Bytes data(n);
            for (auto& b : data) b = static_cast<std::uint8_t>(rng());
            HostBytes source(data, at & 1);
            c.tb.call([&] { EXPECT_TRUE(CardCopyDown(&c.a, at, source.data(), static_cast<ULONG>(n))); });
            std::copy(data.begin(), data.end(), shadow.begin() + (at - ram));

            // A packet of random pieces into the transmit area.
            std::vector<std::size_t> split;
            for (std::size_t left = n; left > 0;) {
                const std::size_t piece = std::min<std::size_t>(left, rng() % 5 == 0 ? 0 : 1 + rng() % 40);
                split.push_back(piece);
                left -= piece;
            }
            Packet p(data, split);
            c.a.TransmitFillPage = rng() % 4;
            ULONG length = 0;
            c.tb.call([&] { EXPECT_TRUE(CardCopyDownPacket(&c.a, p.get(), &length)); });
            EXPECT_EQ(length, n);
            EXPECT_EQ(c.card_memory(ram + c.a.TransmitFillPage * 256, n), data);

            HostBytes back(Bytes(n), at & 1);
            c.tb.call([&] { EXPECT_TRUE(CardCopyUp(&c.a, back.data(), at, static_cast<ULONG>(n))); });
            ASSERT_EQ(back.bytes(), data)
                << "round " << round << " at " << std::hex << at << " length " << std::dec << n;
        }
        EXPECT_EQ(c.card_memory(ram + 0x600, c.a.CardRamLength - 0x600),
                  Bytes(shadow.begin() + 0x600, shadow.end()));
        EXPECT_TRUE(c.tb.errors().empty()) << (eight_bit ? "8-bit" : "16-bit");
    }
}

}  // namespace
