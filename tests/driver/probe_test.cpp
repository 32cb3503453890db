// Card probing: the stop test, the PROM signature that tells 8-bit from 16-bit
// cards, the RAM search, the station address, and cards whose RAM leaves no
// room for a receive ring. PROM images and stop answers the card model cannot
// produce come from a small stand-in chip on a bare bus; RAM and width cases
// run whole bring-ups on the card model.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <optional>

#include "tests/driver/fixture.h"

namespace {

using fixture::ExpectClean;
using machine::TraceKind;

// Just enough of a DP8390 behind 0x300 for the stop test and the slot test:
// CR reads back as written (or as told), and the data port hands out a
// 32-byte PROM image from the remote start address on.
class ScriptedChip : public machine::IoDevice {
public:
    static constexpr std::uint16_t kBase = 0x300;

    std::array<std::uint8_t, 32> prom{};
    std::optional<std::uint8_t> command_reads;  // what CR reads, whatever was written
    int reset_reads = 0;
    int data_reads = 0;

    machine::IoWidth decode(std::uint16_t port) const override {
        return port >= kBase && port < kBase + 0x20 ? machine::IoWidth::Byte : machine::IoWidth::None;
    }
    std::uint8_t read8(std::uint16_t port) override {
        switch (port - kBase) {
            case NIC_CR:
                return command_reads.value_or(command_);
            case NIC_DATA:
                ++data_reads;
                return prom[next_++ % prom.size()];
            case NIC_RESET:
                ++reset_reads;
                return 0;
            default:
                return 0;
        }
    }
    void write8(std::uint16_t port, std::uint8_t value) override {
        if (port - kBase == NIC_CR) command_ = value;
        if (port - kBase == NIC_RSAR0) next_ = value;
    }

private:
    std::uint8_t command_ = 0;
    std::size_t next_ = 0;
};

// The stand-in chip on its own bus, with the HAL routed to it.
struct ChipBench {
    machine::IsaBus bus;
    ScriptedChip chip;
    host::NdisLibrary ndis{bus};
    Ne2000Adapter adapter{};

    ChipBench() {
        bus.attach(chip);
        bus.trace().enable();
        adapter.IoPortBase = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ScriptedChip::kBase));
        adapter.ByteWideTransfers = 7;  // neither answer, to see whether the test wrote it
    }
    void place(std::size_t at, std::uint8_t a, std::uint8_t b) {
        chip.prom[at] = a;
        chip.prom[at + 1] = b;
    }
};

bool Wrote(const machine::BusTrace& trace, const std::string& line) {
    for (const auto& l : trace.lines())
        if (l == line) return true;
    return false;
}

}  // namespace

TEST(CardCheckParameters, AcceptsOnlyAStoppedController) {
    struct Case {
        std::uint8_t command;
        BOOLEAN found;
    };
    for (const Case c :
         {Case{0x21, TRUE}, Case{0x23, TRUE}, Case{0x22, FALSE}, Case{0x20, FALSE}, Case{0xFF, FALSE}}) {
        ChipBench bench;
        bench.chip.command_reads = c.command;
        EXPECT_EQ(CardCheckParameters(&bench.adapter), c.found) << "CR reads " << int(c.command);
        // Interrupts masked and the chip stopped before CR is looked at.
        char readback[32];
        std::snprintf(readback, sizeof readback, "port 0x300 -> 0x%02X", c.command);
        const std::vector<std::string> expected{"port 0x30F <- 0x00", "port 0x300 <- 0x21", "stall 2000us",
                                                readback};
        EXPECT_EQ(bench.bus.trace().lines(), expected);
    }
}

TEST(CardSlotTest, SignatureDecidesTheDataWidth) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::array<std::uint8_t, 2>>> pairs;
        BOOLEAN found;
        BOOLEAN byte_wide;  // when found
    };
    const Case cases[] = {
        {"16-bit PROM: WW at 28-31", {{28, {'W', 'W'}}, {30, {'W', 'W'}}}, TRUE, FALSE},
        {"8-bit PROM: BB at 14", {{14, {'B', 'B'}}}, TRUE, TRUE},
        {"pair at the last position", {{30, {'B', 'B'}}}, TRUE, TRUE},
        {"first hit wins: WW at 6 before BB", {{6, {'W', 'W'}}, {20, {'B', 'B'}}}, TRUE, FALSE},
        {"pair below position 6 is address", {{4, {'B', 'B'}}}, FALSE, 0},
        {"B followed by W is none", {{10, {'B', 'W'}}}, FALSE, 0},
        {"no signature", {}, FALSE, 0},
    };
    for (const Case& c : cases) {
        ChipBench bench;
        for (const auto& [at, bytes] : c.pairs) bench.place(at, bytes[0], bytes[1]);
        EXPECT_EQ(CardSlotTest(&bench.adapter), c.found) << c.what;
        EXPECT_EQ(bench.adapter.ByteWideTransfers, c.found ? c.byte_wide : 7) << c.what;
        // Reset, stop, then 32 single-byte reads of the PROM and another reset.
        EXPECT_EQ(bench.chip.data_reads, 32) << c.what;
        EXPECT_EQ(bench.chip.reset_reads, 2) << c.what;
        EXPECT_TRUE(Wrote(bench.bus.trace(), "port 0x30E <- 0x48")) << "DCR byte-wide for the PROM read";
    }
}

TEST(CardSlotTest, ControllerThatDoesNotStopAfterResetIsNoCard) {
    ChipBench bench;
    bench.place(28, 'W', 'W');
    bench.chip.command_reads = 0x23;  // good enough for the stop test, not here
    EXPECT_FALSE(CardSlotTest(&bench.adapter));
    EXPECT_EQ(bench.chip.data_reads, 0);
    EXPECT_EQ(bench.adapter.ByteWideTransfers, 7);
}

// --- Whole bring-ups on the card model ---

TEST(CardProbe, RamReachingTheTopLosesItsLastPage) {
    testbed::TestbedOptions options;
    options.trace = false;
    options.pc.nic.ram_size = 0xC000;  // 0x4000 to the end of the address space
    testbed::Testbed tb(options);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tb.record()->CardRamStart, 0x4000u);
    EXPECT_EQ(tb.record()->CardRamLength, 0xBF00u);
    EXPECT_EQ(tb.record()->RingStopPage, 0xFF);
    ExpectClean(tb);
}

// The first programming, in loopback with monitor-only receive, up to the
// slot test; later the wait for the reset status, which gives up after 16382
// polls on a card that never shows it.
TEST(CardProbe, InitializeProgramsTheChipAndWaitsForTheResetStatus) {
    for (const bool rst_shows : {true, false}) {
        testbed::TestbedOptions options;
        options.pc.nic.ram_size = 0x1400;  // a short RAM test
        testbed::Testbed tb(options);
        fixture::BusTap tap(tb);
        if (!rst_shows) {
            tap.on_read = [](std::uint16_t port, std::uint8_t value) {
                return port == 0x300 + NIC_ISR ? static_cast<std::uint8_t>(value & ~ISR_RST) : value;
            };
        }
        tb.load_driver();
        ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
        const auto lines = tb.trace().lines();

        // After the stop test of the parameter check.
        const auto check =
            fixture::FindRun(lines, {"IMR <- 0x00", "CR <- 0x21", "stall 2000us", "CR -> 0x21"});
        ASSERT_TRUE(check.has_value());
        EXPECT_TRUE(fixture::LinesMatchFrom(
            lines, *check + 4,
            {"CR <- 0x21",     "DCR <- 0x50",   "TPSR <- 0xA0",  "TCR <- 0x00",   "RCR <- 0x20",
             "PSTART <- 0x04", "PSTOP <- 0xFF", "BNRY <- 0x04",  "TBCR0 <- 0x3C", "TBCR1 <- 0x00",
             "stall 2000us",   "ISR <- 0xFF",   "CR <- 0x41",    "CURR <- 0x04",  "CR <- 0x01",
             "stall 2000us",   "CR -> *",       "RBCR0 <- 0x37", "CR <- 0x0A",    "RESET -> *",
             "RESET <- 0xFF"}));

        const auto reset =
            fixture::FindRun(lines, {"ISR <- 0xFF", "CR <- 0x21", "RBCR0 <- 0x00", "RBCR1 <- 0x00"});
        ASSERT_TRUE(reset.has_value());
        const std::size_t loopback = fixture::IndexOf(lines, "TCR <- 0x02", *reset);
        ASSERT_LT(loopback, lines.size());
        const std::vector<std::string> wait(lines.begin() + static_cast<std::ptrdiff_t>(*reset + 4),
                                            lines.begin() + static_cast<std::ptrdiff_t>(loopback));
        EXPECT_EQ(fixture::CountLines(wait, "ISR -> *"), rst_shows ? 1u : 16382u);
        EXPECT_EQ(fixture::CountLines(wait, "stall 4us"), rst_shows ? 0u : 16382u);
        EXPECT_EQ(wait.size(), rst_shows ? 1u : 2u * 16382u);
        ExpectClean(tb);
    }
}

TEST(CardProbe, MicroChannelCardIsWordWideWithoutASlotTest) {
    testbed::Testbed tb;
    // An identifier whose POS data is not decoded: the keywords and defaults apply.
    tb.config().set("BusType", 3).set_pos_data(NDIS_MCA_POS_DATA{0x1234, 0, 0, 0, 0});
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tb.record()->ByteWideTransfers, FALSE);
    for (const auto& e : tb.trace().entries())
        EXPECT_NE(e.port, 0x31Fu) << "the reset port is the slot test's";
    ExpectClean(tb);
}

namespace {

// A card with this much RAM (and this failed RAM byte) is not found: one
// entry without values, the controller left stopped, nothing held and
// nothing queued.
void ExpectNotFoundWithRam(std::uint32_t ram_size, std::optional<std::uint16_t> bad_byte = {}) {
    testbed::TestbedOptions options;
    options.trace = false;
    options.pc.nic.ram_size = ram_size;
    testbed::Testbed tb(options);
    tb.nic().faults().bad_ram_byte = bad_byte;
    tb.load_driver();
    EXPECT_EQ(tb.initialize(), NDIS_STATUS_FAILURE);
    ASSERT_EQ(tb.error_log().entries().size(), 1u);
    EXPECT_EQ(tb.error_log().entries()[0].code, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND);
    EXPECT_TRUE(tb.error_log().entries()[0].values.empty());
    EXPECT_FALSE(tb.nic().started());
    EXPECT_TRUE(tb.leaks().empty());
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, nullptr);
}

}  // namespace

TEST(CardProbe, CardWithoutRamIsNotFoundAndLeftStopped) {
    ExpectNotFoundWithRam(0);
}

// Bad cells between the 1 KB steps of the search: only the check of every
// dword finds them, the last dword of RAM included.
TEST(CardProbe, RamWithAFailedDwordIsNotFound) {
    for (const std::uint16_t bad : {0x5204, 0x7FFD}) ExpectNotFoundWithRam(0x4000, bad);
}

// The ring must hold one maximum frame as the controller stores it (1522
// bytes: 6 pages) plus the page the boundary keeps free. RAM is found in 1 KB
// steps, so a 4 KB card (a 4-page ring) is refused. A 5 KB card reaching the
// top of the address space loses its last page and keeps exactly that
// 7-page ring, the smallest that runs.
TEST(CardProbe, RamTooSmallForAReceiveRingIsRefused) {
    ExpectNotFoundWithRam(0x1000);
}

TEST(CardProbe, SmallestAcceptedRingTakesMaximumFramesInTurn) {
    testbed::TestbedOptions options;
    options.trace = false;
    options.pc.nic.ram_start = 0xEC00;
    options.pc.nic.ram_size = 0x1400;
    testbed::Testbed tb(options);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    EXPECT_EQ(tb.record()->CardRamStart, 0xEC00u);
    EXPECT_EQ(tb.record()->CardRamLength, 0x1300u);
    EXPECT_EQ(tb.record()->TransmitStartPage, 0xEC);
    EXPECT_EQ(tb.record()->RingStartPage, 0xF8);
    EXPECT_EQ(tb.record()->RingStopPage, 0xFF);
    EXPECT_EQ(tb.record()->RingEndAddress, 0xFF00u);
    tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);

    std::vector<std::vector<std::uint8_t>> frames;
    for (int n = 0; n < 3; ++n) {
        frames.push_back(fixture::Frame(1514, static_cast<unsigned>(n)));
        // The ring holds one such frame: each must be taken before the next
        // arrives, and the deferred handler spends some 20 ms in the socket
        // controller's waits.
        tb.peer().send_at(tb.now() + (n + 1) * 40 * machine::kMillisecond, frames.back());
    }
    tb.run_for(150 * machine::kMillisecond);
    ASSERT_EQ(tb.protocol().received_frames().size(), 3u);
    for (int n = 0; n < 3; ++n) EXPECT_EQ(tb.protocol().received_frames()[n].frame, frames[n]) << n;
    ExpectClean(tb);
}
