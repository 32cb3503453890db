// The socket controller and serial-function bring-up, seen on the bus: the
// register values written to the 82365, the configuration bytes stored in the
// card's attribute memory, the waits of the index/data protocol, and the UART
// drained to a quiet state. Everything runs through Initialize, as NDIS calls it.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::ExpectClean;
using machine::TraceKind;

constexpr std::uint16_t kIndexPort = 0x3E0;
constexpr std::uint16_t kDataPort = 0x3E1;

using RegisterWrite = std::pair<int, int>;  // socket-controller index, value

// Every socket-controller register write on the trace, in order.
std::vector<RegisterWrite> SocketWrites(const machine::BusTrace& trace) {
    std::vector<RegisterWrite> out;
    int index = -1;
    for (const auto& e : trace.entries()) {
        if (e.kind != TraceKind::Out8) continue;
        if (e.port == kIndexPort) index = static_cast<int>(e.value);
        if (e.port == kDataPort) out.emplace_back(index, static_cast<int>(e.value));
    }
    return out;
}

// The values written to the given registers of socket 0, in order.
std::vector<int> ValuesWritten(const machine::BusTrace& trace, int first, int count) {
    std::vector<int> out;
    for (const auto& [index, value] : SocketWrites(trace))
        if (index >= first && index < first + count) out.push_back(value);
    return out;
}

std::vector<std::pair<std::uint32_t, int>> MemoryStores(const machine::BusTrace& trace) {
    std::vector<std::pair<std::uint32_t, int>> out;
    for (const auto& e : trace.entries())
        if (e.kind == TraceKind::MemWrite8) out.emplace_back(e.port, static_cast<int>(e.value));
    return out;
}

std::size_t Reads(const machine::BusTrace& trace, std::uint16_t port) {
    std::size_t n = 0;
    for (const auto& e : trace.entries())
        if (e.kind == TraceKind::In8 && e.port == port) ++n;
    return n;
}

// The socket bring-up alone, for a record with the configuration defaults:
// what registration runs before it probes the card (the card probe and its
// RAM test would only cost time here).
BOOLEAN SocketBringUp(testbed::Testbed& tb, UCHAR slot = 0, ULONG com_port = 2, ULONG uart = 0x2F8) {
    Ne2000Adapter& r = tb.new_record();
    r.Slot = slot;
    r.ComPort = static_cast<CCHAR>(com_port);
    r.UartPortAddress = uart;
    return tb.as_initialize([&] { return InitI365(&r); });
}

}  // namespace

TEST(SocketBringUp, DefaultConfigurationProgramsSocketAndCard) {
    testbed::Testbed tb;
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    const auto& trace = tb.trace();

    // Nothing is written before the controller and the card were both found.
    const auto writes = SocketWrites(trace);
    ASSERT_FALSE(writes.empty());
    std::size_t id_read = 0, status_read = 0, first_write = 0;
    int index = -1;
    for (std::size_t i = 0; i < trace.entries().size(); ++i) {
        const auto& e = trace.entries()[i];
        if (e.kind == TraceKind::Out8 && e.port == kIndexPort) index = static_cast<int>(e.value);
        if (e.kind == TraceKind::In8 && e.port == kDataPort && index == 0x00 && !id_read) id_read = i;
        if (e.kind == TraceKind::In8 && e.port == kDataPort && index == 0x01 && !status_read) status_read = i;
        if (e.kind == TraceKind::Out8 && e.port == kDataPort && !first_write) first_write = i;
    }
    EXPECT_LT(id_read, status_read);
    EXPECT_LT(status_read, first_write);

    // Card reset pulsed, power then outputs on.
    EXPECT_EQ(ValuesWritten(trace, 0x02, 1), (std::vector<int>{0x10, 0x90}));
    const auto control = ValuesWritten(trace, 0x03, 1);
    ASSERT_EQ(control.size(), 4u);
    EXPECT_EQ(control[0] & 0x40, 0) << "reset asserted";
    EXPECT_EQ(control[1] & 0x40, 0x40) << "reset released";
    EXPECT_EQ(control[2], (control[1] & 0xF0) | 0x20) << "I/O card, steering cleared";
    EXPECT_EQ(control[3], control[2] | 0x03) << "IREQ# to the COM level";

    EXPECT_EQ(ValuesWritten(trace, 0x10, 6), (std::vector<int>{0xD8, 0x80, 0xD9, 0x00, 0x27, 0x7F}));
    EXPECT_EQ(ValuesWritten(trace, 0x08, 4), (std::vector<int>{0x00, 0x03, 0x1F, 0x03}));
    EXPECT_EQ(ValuesWritten(trace, 0x0C, 4), (std::vector<int>{0xF8, 0x02, 0xFF, 0x02}));
    EXPECT_EQ(ValuesWritten(trace, 0x05, 1), (std::vector<int>{0x5B}));
    EXPECT_EQ(ValuesWritten(trace, 0x07, 1), (std::vector<int>{0x33}));
    EXPECT_EQ(tb.socket_controller().peek(0, 0x06), 0xE0) << "memory window closed, I/O windows open";

    // The configuration bytes through the window at 0xD8000, in program order,
    // the card given 4096 us after the option and status bytes and again after
    // the serial control.
    const std::vector<std::pair<std::uint32_t, int>> stores{
        {0xD83F8, 0x24}, {0xD83FA, 0x48}, {0xD83F2, 0x08}};
    EXPECT_EQ(MemoryStores(trace), stores);
    const auto& all = trace.entries();
    const auto first_store =
        std::find_if(all.begin(), all.end(), [](const auto& e) { return e.kind == TraceKind::MemWrite8; });
    ASSERT_GE(std::distance(first_store, all.end()), std::ptrdiff_t{5});
    std::vector<std::string> configuration;
    for (auto e = first_store; e != first_store + 5; ++e) configuration.push_back(e->to_string());
    EXPECT_EQ(configuration,
              (std::vector<std::string>{"mem 0xD83F8 <- 0x24", "mem 0xD83FA <- 0x48", "stall 4096us",
                                        "mem 0xD83F2 <- 0x08", "stall 4096us"}));
    EXPECT_EQ(tb.pc().card().ethernet_base(), 0x300);
    EXPECT_EQ(tb.pc().card().uart_base(), 0x2F8);

    // The controller latches an index for 4096 us and a data write for 1280 us;
    // a data read needs no wait. Last, just before the interrupt is connected,
    // come the status changes cleared with the interrupt handler's own waits
    // (index 0x04, then 0x44).
    const auto& entries = trace.entries();
    const auto clearing = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
        return e.kind == TraceKind::Out8 && e.port == kIndexPort && e.value == 0x04;
    });
    ASSERT_NE(clearing, entries.end());
    std::vector<std::string> cleared;
    for (auto e = clearing; e != entries.end() && cleared.size() < 8; ++e) cleared.push_back(e->to_string());
    EXPECT_EQ(cleared,
              (std::vector<std::string>{"I365 index <- 0x04", "stall 4096us", "I365 data [0x04] -> 0x00",
                                        "stall 4096us", "I365 index <- 0x44", "stall 4096us",
                                        "I365 data [0x44] -> 0x00", "stall 4096us"}));
    const auto socket_set_up = static_cast<std::size_t>(std::distance(entries.begin(), clearing));
    for (std::size_t i = 0; i + 1 < socket_set_up; ++i) {
        if (entries[i].port != kIndexPort && entries[i].port != kDataPort) continue;
        if (entries[i].kind == TraceKind::In8) {
            EXPECT_NE(entries[i + 1].kind, TraceKind::Stall) << "after entry " << i;
            continue;
        }
        const std::uint32_t wait = entries[i].port == kIndexPort ? 4096 : 1280;
        EXPECT_EQ(entries[i + 1].kind, TraceKind::Stall) << "after entry " << i;
        EXPECT_EQ(entries[i + 1].value, wait) << "after entry " << i;
    }

    // The card is given 65536 us after its reset is asserted, after it is
    // released, and after its outputs are enabled, and nowhere else.
    std::vector<int> settled;  // the register whose data write each 65536 us wait follows
    index = -1;
    for (std::size_t i = 0; i + 2 < entries.size(); ++i) {
        if (entries[i].kind == TraceKind::Out8 && entries[i].port == kIndexPort)
            index = static_cast<int>(entries[i].value);
        if (entries[i].kind != TraceKind::Out8 || entries[i].port != kDataPort) continue;
        if (entries[i + 2].kind == TraceKind::Stall && entries[i + 2].value == 65536)
            settled.push_back(index);
    }
    EXPECT_EQ(settled, (std::vector<int>{0x03, 0x03, 0x02}));
    EXPECT_EQ(fixture::CountStalls(trace, 0, 65536), 3u);
    ExpectClean(tb);
}

// Other placements of the card's functions, the window and the interrupts.
struct Placement {
    ULONG io_base;
    ULONG com_port;
    ULONG com_irq;
    ULONG interrupt;
    ULONG base_memory;
    int option_byte;
    std::vector<int> io_windows;
    std::vector<int> memory_window;
    int status_change_config;
};

// "Io0x320_Com4_Irq10_Memory0xC800": the Ethernet base, COM port, network level and window.
std::string PlacementName(const ::testing::TestParamInfo<Placement>& info) {
    const Placement& p = info.param;
    std::ostringstream name;
    name << std::uppercase << "Io0x" << std::hex << p.io_base << std::dec << "_Com" << p.com_port << "_Irq"
         << p.interrupt << "_Memory0x" << std::hex << p.base_memory;
    return name.str();
}

class SocketPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(SocketPlacement, ReachesRegistersAndConfigurationByte) {
    const Placement& p = GetParam();
    testbed::Testbed tb;
    tb.config()
        .set("IoBaseAddress", p.io_base)
        .set("ComPort", p.com_port)
        .set("ComIRQ", p.com_irq)
        .set("InterruptNumber", p.interrupt)
        .set("BaseMemory", p.base_memory);
    tb.load_driver();
    tb.initialize();  // a base the card cannot decode fails later, at the card

    EXPECT_EQ(ValuesWritten(tb.trace(), 0x08, 8), p.io_windows);
    EXPECT_EQ(ValuesWritten(tb.trace(), 0x10, 6), p.memory_window);
    EXPECT_EQ(ValuesWritten(tb.trace(), 0x05, 1), (std::vector<int>{p.status_change_config}));
    EXPECT_EQ(tb.socket_controller().peek(0, 0x03) & 0x0F, static_cast<int>(p.com_irq));
    const auto stores = MemoryStores(tb.trace());
    ASSERT_EQ(stores.size(), 3u);
    EXPECT_EQ(stores[0], std::make_pair(p.base_memory * 16 + 0x3F8, p.option_byte));
}

INSTANTIATE_TEST_SUITE_P(Placements, SocketPlacement,
                         ::testing::Values(Placement{0x320,
                                                     4,
                                                     4,
                                                     10,
                                                     0xC800,
                                                     0x2D,
                                                     {0x20, 0x03, 0x3F, 0x03, 0xE8, 0x02, 0xEF, 0x02},
                                                     {0xC8, 0x80, 0xC9, 0x00, 0x37, 0x7F},
                                                     0xAB},
                                           Placement{0x1000,
                                                     3,
                                                     7,
                                                     15,
                                                     0xF000,
                                                     0x28,
                                                     {0x00, 0x10, 0x1F, 0x10, 0xE8, 0x03, 0xEF, 0x03},
                                                     {0xF0, 0x80, 0xF1, 0x00, 0x0F, 0x7F},
                                                     0xFB}),
                         PlacementName);

TEST(SocketBringUp, NegativeComLevelKeepsTheSocketControlBits) {
    // A COM level of 0xFF passes the configuration check. Only the steering
    // nibble may take it: the upper bits of the control register would switch
    // STSCHG# to ring indicate and cut the network interrupt off.
    testbed::TestbedOptions options;
    options.trace = false;
    testbed::Testbed tb(options);
    tb.config().set("ComIRQ", 0xFF);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tb.socket_controller().peek(0, 0x03), 0x6F);
    ExpectClean(tb);
}

TEST(SocketBringUp, SlotSelectsTheSocketAndUnknownSlotsKeepTheLastOne) {
    testbed::TestbedOptions options;
    options.pc.socket = 1;
    testbed::Testbed tb(options);
    tb.config().set("Slot", 1);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    for (const auto& write : SocketWrites(tb.trace())) EXPECT_EQ(write.first & 0xC0, 0x40) << write.first;
    EXPECT_EQ(tb.pc().card().ethernet_base(), 0x300);
    tb.halt();

    // Slot 4, the highest the configuration accepts, names no socket: the one
    // selected before stays in force and the card there comes up.
    tb.trace().clear();
    auto& again = tb.ndis().add_adapter("slot 4");
    again.config().set("Slot", 4);
    ASSERT_EQ(tb.ndis().initialize(again), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    EXPECT_EQ(static_cast<Ne2000Adapter*>(again.context())->Slot, 4);
    ASSERT_FALSE(SocketWrites(tb.trace()).empty());
    for (const auto& write : SocketWrites(tb.trace())) EXPECT_EQ(write.first & 0xC0, 0x40) << write.first;
    tb.ndis().halt(again);

    // Socket 2 would belong to a second controller, which is not there.
    tb.trace().clear();
    EXPECT_FALSE(SocketBringUp(tb, 2));
    EXPECT_TRUE(SocketWrites(tb.trace()).empty());
    ASSERT_FALSE(tb.trace().entries().empty());
    EXPECT_EQ(tb.trace().entries().front().port, kIndexPort);
    EXPECT_EQ(tb.trace().entries().front().value, 0x80u);
    EXPECT_TRUE(tb.error_log().empty());
    ExpectClean(tb);
}

// --- The serial function ---

TEST(SerialReset, QuietUartIsProgrammedAndPolledOnce) {
    testbed::Testbed tb;
    ASSERT_TRUE(SocketBringUp(tb));

    // Register and value of every write; only the register of every read.
    std::vector<std::string> uart;
    for (const auto& e : tb.trace().entries()) {
        if (e.port < 0x2F8 || e.port > 0x2FF) continue;
        uart.push_back(e.kind == TraceKind::In8 ? e.name + " read" : e.to_string());
    }
    const std::vector<std::string> expected{"LCR <- 0x80", "DLM <- 0x00", "DLL <- 0x06", "LCR <- 0x03",
                                            "IER <- 0x00", "LSR read",    "IIR read",    "LSR read"};
    EXPECT_EQ(uart, expected);
    // Every UART write is followed by its 4096 us wait.
    const auto& entries = tb.trace().entries();
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        if (entries[i].kind == TraceKind::Out8 && entries[i].port >= 0x2F8 && entries[i].port <= 0x2FF) {
            EXPECT_EQ(entries[i + 1].to_string(), "stall 4096us");
        }
    }

    EXPECT_EQ(tb.uart().divisor(), 6);
    EXPECT_EQ(tb.uart().line_control(), 0x03);
    EXPECT_EQ(tb.uart().interrupt_enable(), 0x00);
    ExpectClean(tb);
}

TEST(SerialReset, WaitingCharactersAreDrained) {
    testbed::Testbed tb;
    tb.uart().queue_received(std::vector<std::uint8_t>{'a', 'b', 'c'});
    ASSERT_TRUE(SocketBringUp(tb));
    // One line-status read in the set-up, then four in the drain: three with
    // data, one without.
    EXPECT_EQ(Reads(tb.trace(), 0x2FD), 5u);
    EXPECT_EQ(Reads(tb.trace(), 0x2F8), 3u);
    EXPECT_EQ(tb.uart().read8(5) & 0x01, 0) << "nothing left in the receiver";
}

TEST(SerialReset, UartReportingDataForeverIsReadAHundredTimes) {
    testbed::Testbed tb;
    tb.uart().set_data_ready_stuck(true);
    ASSERT_TRUE(SocketBringUp(tb));
    EXPECT_EQ(Reads(tb.trace(), 0x2F8), 100u);
    EXPECT_EQ(Reads(tb.trace(), 0x2FD), 101u);
}

TEST(SerialReset, ThirdComPortIsReachedAtItsAddress) {
    testbed::Testbed tb;
    ASSERT_TRUE(SocketBringUp(tb, 0, 3, 0x3E8));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
    for (const auto& e : tb.trace().entries())
        if (e.kind == TraceKind::Out8 && e.port >= 0x3E8 && e.port <= 0x3EF)
            writes.emplace_back(e.port, e.value);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected{
        {0x3EB, 0x80}, {0x3E9, 0x00}, {0x3E8, 0x06}, {0x3EB, 0x03}, {0x3E9, 0x00}};
    EXPECT_EQ(writes, expected);
    // The card put its UART there and the UART took the settings.
    EXPECT_EQ(tb.pc().card().uart_base(), 0x3E8);
    EXPECT_EQ(tb.uart().divisor(), 6);
    EXPECT_EQ(tb.uart().line_control(), 0x03);
    ExpectClean(tb);
}
