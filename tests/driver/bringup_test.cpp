// Whole bring-ups as NDIS runs them: DriverEntry, then Initialize. A 16-bit and
// an 8-bit card come up with their memory laid out, the controller programmed
// and the interrupt connected before the controller goes onto the wire, and
// then carry traffic both ways through the real interrupt path. Every failure
// of the bring-up leaves the queue, the ports and the memory as they were and
// writes exactly its error-log entries.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::ExpectClean;
using fixture::Frame;
using fixture::kPeer;
using machine::TraceKind;

std::vector<std::string> Tail(const std::vector<std::string>& lines, std::size_t n) {
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end()};
}

std::string Hex(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

struct Layout {
    bool eight_bit;
    ULONG ram_start;
    UCHAR transmit_start, ring_start, ring_stop;
    UCHAR dcr;
};

}  // namespace

class BringUp : public ::testing::TestWithParam<Layout> {};

TEST_P(BringUp, CardComesUpAndCarriesTraffic) {
    const Layout& l = GetParam();
    testbed::TestbedOptions options;
    if (l.eight_bit) options.pc.nic = machine::Dp8390Config::eight_bit_card();
    testbed::Testbed tb(options);
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    EXPECT_TRUE(tb.error_log().empty());

    const Ne2000Adapter& r = *tb.record();
    EXPECT_EQ(tb.adapter().attributes().interface_type, NdisInterfaceIsa);
    EXPECT_EQ(r.ByteWideTransfers, l.eight_bit ? TRUE : FALSE);
    EXPECT_EQ(r.CardRamStart, l.ram_start);
    EXPECT_EQ(r.CardRamLength, (static_cast<ULONG>(l.ring_stop) << 8) - l.ram_start);
    EXPECT_EQ(0, std::memcmp(r.PermanentAddress, tb.nic().config().station_address.data(), 6));
    EXPECT_EQ(0, std::memcmp(r.CurrentAddress, r.PermanentAddress, 6));
    EXPECT_EQ(r.TransmitAreaAddress, l.ram_start);
    EXPECT_EQ(r.TransmitStartPage, l.transmit_start);
    EXPECT_EQ(r.RingStartAddress, l.ram_start + 12 * 256);
    EXPECT_EQ(r.RingStartPage, l.ring_start);
    EXPECT_EQ(r.RingStopPage, l.ring_stop);
    EXPECT_EQ(r.RingEndAddress, static_cast<ULONG>(l.ring_stop) << 8);
    EXPECT_EQ(r.TransmitActivePage, -1);
    EXPECT_EQ(r.InterruptMaskValue, 0x1B);
    EXPECT_EQ(r.NextPacketPage, l.ring_start + 1);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, &r);
    EXPECT_EQ(r.NextAdapter, nullptr);

    // The set-up programs an empty ring in loopback, then TCR = 0 comes last,
    // after the interrupt is connected.
    std::vector<std::string> setup{"CR <- 0x21",
                                   "CR -> 0x21",
                                   "DCR <- " + Hex(l.dcr),
                                   "RBCR1 <- 0x00",
                                   "RBCR0 <- 0x00",
                                   "RCR <- 0x00",
                                   "TCR <- 0x02",
                                   "BNRY <- " + Hex(l.ring_start),
                                   "PSTART <- " + Hex(l.ring_start),
                                   "PSTOP <- " + Hex(l.ring_stop),
                                   "ISR <- 0xFF",
                                   "IMR <- 0x1B",
                                   "CR <- 0x61"};
    for (int i = 0; i < 6; ++i)
        setup.push_back("PAR" + std::to_string(i) + " <- " + Hex(r.CurrentAddress[i]));
    for (int i = 0; i < 8; ++i) setup.push_back("MAR" + std::to_string(i) + " <- 0x00");
    setup.push_back("CURR <- " + Hex(l.ring_start + 1));
    // Status changes latched before the interrupt is connected are cleared:
    // the edge-triggered line must be low when it is.
    for (const char* line : {"CR <- 0x21", "CR <- 0x22", "I365 index <- 0x04", "stall 4096us",
                             "I365 data [0x04] -> 0x00", "stall 4096us", "I365 index <- 0x44", "stall 4096us",
                             "I365 data [0x44] -> 0x00", "stall 4096us", "TCR <- 0x00"})
        setup.push_back(line);
    EXPECT_EQ(Tail(tb.trace().lines(), setup.size()), setup);

    std::size_t connected_at = 0;
    for (const auto& e : tb.ndis().events())
        if (e.what == "interrupt on IRQ 5 connected") connected_at = e.trace_index;
    ASSERT_NE(connected_at, 0u);
    EXPECT_EQ(connected_at, tb.trace().entries().size() - 1) << "only TCR = 0 follows the connection";
    EXPECT_TRUE(tb.nic().started());

    // A frame from the peer reaches the protocol through the interrupt, and
    // one from the protocol reaches the peer.
    tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
    const auto in = Frame(300, 1);  // to the station address checked above
    tb.peer().send_at(tb.now() + machine::kMillisecond, in);
    tb.run_for(10 * machine::kMillisecond);
    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, in);
    EXPECT_GE(tb.adapter().counters().isr_claimed, 1u);

    const auto out = Frame(200, 2, kPeer);
    tb.protocol().send(out);
    tb.run_for(10 * machine::kMillisecond);
    ASSERT_EQ(tb.peer().received().size(), 1u);
    EXPECT_EQ(tb.peer().received()[0].frame, out);

    tb.halt();
    EXPECT_TRUE(tb.leaks().empty());
    ExpectClean(tb);
}

INSTANTIATE_TEST_SUITE_P(Cards, BringUp,
                         ::testing::Values(Layout{false, 0x4000, 0x40, 0x4C, 0x80, 0x49},
                                           Layout{true, 0x2000, 0x20, 0x2C, 0x40, 0x48}),
                         [](const auto& p) { return p.param.eight_bit ? "EightBit" : "SixteenBit"; });

// --- Failures ---

namespace {

// Stands in front of the socket controller for the card's ports and, once the
// station address has been read, makes CR read as if the controller had not
// stopped: the card dies between probing and set-up.
class DyingController : public machine::IoDevice {
public:
    explicit DyingController(testbed::Testbed& tb) : tb_(tb) {
        auto& bus = tb.bus();
        bus.detach(static_cast<machine::IoDevice&>(tb.socket_controller()));
        bus.attach(*this);
        bus.attach(static_cast<machine::IoDevice&>(tb.socket_controller()));
    }
    ~DyingController() override { tb_.bus().detach(*this); }

    machine::IoWidth decode(std::uint16_t port) const override {
        return port >= 0x300 && port < 0x320 ? controller().decode(port) : machine::IoWidth::None;
    }
    std::uint8_t read8(std::uint16_t port) override {
        return dead_ && port == 0x300 ? 0x00 : controller().read8(port);
    }
    void write8(std::uint16_t port, std::uint8_t value) override {
        if (port == 0x300 + NIC_RBCR0 && value == 0x0C) dead_ = true;  // the address read's count
        controller().write8(port, value);
    }
    std::uint16_t read16(std::uint16_t port) override { return controller().read16(port); }
    void write16(std::uint16_t port, std::uint16_t value) override { controller().write16(port, value); }
    std::string port_name(std::uint16_t port, bool write) const override {
        return controller().port_name(port, write);
    }

private:
    machine::I82365& controller() const { return tb_.socket_controller(); }
    testbed::Testbed& tb_;
    bool dead_ = false;
};

struct Failure {
    const char* name;
    std::function<void(testbed::TestbedOptions&)> machine;
    std::function<void(testbed::Testbed&)> arrange;
    std::vector<NDIS_ERROR_CODE> log;
    bool controller_stopped_last;  // the unwinding wrote CR = STP as its last port access
};

const Failure kFailures[] = {
    {"NoSocketController", [](auto& o) { o.pc.controller_present = false; }, [](auto&) {}, {}, false},
    {"NoCardInSocket", [](auto& o) { o.pc.card_present = false; }, [](auto&) {}, {}, false},
    {"WindowCannotBeMapped",
     [](auto&) {},
     [](auto& tb) { tb.ndis().fail_next_map_io_space(NDIS_STATUS_RESOURCES); },
     {},
     false},
    {"PortsHeldByAnotherDriver",
     [](auto&) {},
     [](auto& tb) { tb.ndis().reserve_ports(0x31C, 4); },
     {},
     false},
    {"NothingAnswersAtTheBase",
     [](auto&) {},
     [](auto& tb) { tb.config().set("IoBaseAddress", 0x280); },
     {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND},
     false},
    // A base overlapping the card's block at 0x300 is one the card cannot
    // decode: the probe must find nothing rather than the chip shifted.
    {"BaseOverlapsTheCardsBlock",
     [](auto&) {},
     [](auto& tb) { tb.config().set("IoBaseAddress", 0x310); },
     {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND},
     false},
    {"NoRam",
     [](auto& o) { o.pc.nic.ram_size = 0; },
     [](auto&) {},
     {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND},
     false},
    {"SetUpFindsControllerRunning", [](auto&) {}, [](auto&) {}, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}, true},
    {"InterruptLineTaken",
     [](auto&) {},
     [](auto& tb) { tb.ndis().reserve_interrupt(5, false, NdisInterruptLatched); },
     {NDIS_ERROR_CODE_INTERRUPT_CONNECT},
     true},
};

}  // namespace

class BringUpFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(BringUpFailure, UnwindsEverythingAndLogsItsEntry) {
    const Failure& f = GetParam();
    testbed::TestbedOptions options;
    f.machine(options);
    testbed::Testbed tb(options);
    std::optional<DyingController> dying;
    if (std::string(f.name) == "SetUpFindsControllerRunning") dying.emplace(tb);
    f.arrange(tb);
    tb.load_driver();

    // Another adapter already runs: the queue must come back exactly as it was.
    Ne2000Adapter other{};
    Ne2000MiniportBlock.AdapterQueue = &other;

    EXPECT_EQ(tb.initialize(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, &other);
    EXPECT_EQ(other.NextAdapter, nullptr);
    Ne2000MiniportBlock.AdapterQueue = nullptr;

    std::vector<NDIS_ERROR_CODE> codes;
    for (const auto& e : tb.error_log().entries()) {
        codes.push_back(e.code);
        EXPECT_TRUE(e.values.empty()) << e.to_string();
    }
    EXPECT_EQ(codes, f.log);
    EXPECT_TRUE(tb.leaks().empty()) << "ports released, record freed, interrupt not connected";
    EXPECT_EQ(tb.ndis().memory().allocations(), 1u);

    const auto& entries = tb.trace().entries();
    const bool stopped_last = !entries.empty() && entries.back().kind == TraceKind::Out8 &&
                              entries.back().port == 0x300 && entries.back().value == 0x01;
    EXPECT_EQ(stopped_last, f.controller_stopped_last) << tb.trace().dump(entries.size() - 3);
    ExpectClean(tb);
}

INSTANTIATE_TEST_SUITE_P(Table, BringUpFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(BringUpFailure, UnmappedWindowIsClosedAgain) {
    testbed::Testbed tb;
    tb.ndis().fail_next_map_io_space(NDIS_STATUS_RESOURCES);
    tb.load_driver();
    EXPECT_EQ(tb.initialize(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(tb.socket_controller().peek(0, 0x06), 0xE0);
    EXPECT_TRUE(tb.error_log().empty());
}

// The transmit bookkeeping holds 12 pages: a record asking for more is turned
// away before anything else, the refused configuration's entry included.
TEST(BringUpFailure, MoreTransmitPagesThanTheBookkeepingHoldsAreRefused) {
    for (const BOOLEAN refused_configuration : {FALSE, TRUE}) {
        testbed::Testbed tb;
        tb.adapter().set_listed(false);  // its record is made here, not by an initialisation
        tb.load_driver();
        Ne2000Adapter& r = tb.new_record();
        r.TransmitPageCount = kTransmitPages + 1;
        EXPECT_EQ(Ne2000RegisterAdapter(&r, refused_configuration, 0x11F), NDIS_STATUS_RESOURCES);
        EXPECT_TRUE(tb.error_log().empty()) << tb.error_log().to_string();
        EXPECT_EQ(tb.bus().port_access_count(), 0u);
        EXPECT_TRUE(tb.ndis().ports().held_by(&tb.adapter()).empty());
        NdisFreeMemory(&r, sizeof r, 0);
        ExpectClean(tb);
    }
}
