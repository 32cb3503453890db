// The configuration as Initialize reads it: medium selection, every keyword's
// width and range (the refused value as it is logged, and only the first
// refusal), the network-address override, Micro Channel POS data, and the
// one-adapter rule on multiprocessor machines.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include "tests/driver/fixture.h"

namespace {

using fixture::ExpectClean;

// Nothing here reads the bus trace; recording it would only cost time.
testbed::TestbedOptions Untraced() {
    testbed::TestbedOptions options;
    options.trace = false;
    return options;
}

bool Refused(testbed::Testbed& tb) {
    for (const auto& e : tb.error_log().entries())
        if (e.code == NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION) return true;
    return false;
}

// A refusal writes one entry with the refused value, touches no port and
// gives everything back.
void ExpectRefusedWith(testbed::Testbed& tb, NDIS_STATUS status, ULONG value) {
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    ASSERT_EQ(tb.error_log().entries().size(), 1u);
    EXPECT_EQ(tb.error_log().entries()[0].code, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION);
    EXPECT_EQ(tb.error_log().entries()[0].values, std::vector<ULONG>{value});
    EXPECT_EQ(tb.bus().port_access_count(), 0u);
    EXPECT_TRUE(tb.leaks().empty());
    ExpectClean(tb);
}

// The driver accepts interrupt levels the 82365SL has no pin for (2, 6, 8,
// 13): the adapter comes up, but the socket model records the steering, and
// nothing else may be wrong.
void ExpectOnlyUnroutableStatusChangeIrq(testbed::Testbed& tb, unsigned irq) {
    EXPECT_EQ(tb.errors(),
              std::vector<std::string>{"i82365: socket 0 status change interrupt configuration steers "
                                       "to IRQ " +
                                       std::to_string(irq) + ", which the 82365SL cannot route"});
}

// A second card in socket 1, for a second adapter: Ethernet at 0x320 on
// IRQ 10, UART at COM3.
struct SecondCard {
    machine::Dp8390 nic;
    machine::Uart8250 uart;
    machine::TwoFunctionCard card;
    machine::I82365& controller;

    explicit SecondCard(testbed::Testbed& tb)
        : nic(tb.pc().clock(), SecondNic()), card(nic, uart), controller(tb.socket_controller()) {
        controller.install(1, card);
    }
    ~SecondCard() { controller.remove(1); }

    static machine::Dp8390Config SecondNic() {
        machine::Dp8390Config c;
        c.station_address = {0x02, 0x00, 0x00, 0x00, 0x30, 0x02};
        return c;
    }
    static void Configure(host::Configuration& config) {
        config.set("Slot", 1).set("IoBaseAddress", 0x320).set("InterruptNumber", 10).set("ComPort", 3);
        config.set("ComIRQ", 4).set("BaseMemory", 0xD000);
    }
};

}  // namespace

// --- Keyword ranges ---

struct KeywordCase {
    const char* keyword;
    ULONG value;
    std::optional<ULONG> refused;  // the value logged, when refused
};

void PrintTo(const KeywordCase& c, std::ostream* os) {
    *os << c.keyword << "=" << std::hex << c.value;
}

// "IoBaseAddress_0x11F": the keyword and the value it is given.
std::string KeywordCaseName(const ::testing::TestParamInfo<KeywordCase>& info) {
    std::ostringstream name;
    name << info.param.keyword << "_0x" << std::uppercase << std::hex << info.param.value;
    return name.str();
}

class KeywordRange : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(KeywordRange, IsCutToItsWidthThenChecked) {
    const KeywordCase& c = GetParam();
    testbed::Testbed tb(Untraced());
    tb.config().set(c.keyword, c.value);
    tb.load_driver();
    const NDIS_STATUS status = tb.initialize();
    if (c.refused) {
        ExpectRefusedWith(tb, status, *c.refused);
    } else {
        EXPECT_FALSE(Refused(tb)) << tb.error_log().to_string();
        EXPECT_NE(tb.bus().port_access_count(), 0u) << "an accepted configuration reaches the hardware";
    }
}

// Accepted values that bring a card up are in the tests below, several to a
// bring-up; here only refusals and bases where no card answers.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, KeywordRange,
    ::testing::Values(KeywordCase{"IoBaseAddress", 0x11F, 0x11F}, KeywordCase{"IoBaseAddress", 0x120, {}},
                      KeywordCase{"IoBaseAddress", 0xC3D0, {}}, KeywordCase{"IoBaseAddress", 0xC3D1, 0xC3D1},
                      KeywordCase{"IoBaseAddress", 0x10300, 0x10300},  // all 32 bits count
                      KeywordCase{"InterruptNumber", 1, 1}, KeywordCase{"InterruptNumber", 16, 16},
                      KeywordCase{"InterruptNumber", 0x80, 0xFFFFFF80},  // a signed byte, sign-extended
                      KeywordCase{"BaseMemory", 0xBFFF, 0xBFFF}, KeywordCase{"BaseMemory", 0xF001, 0xF001},
                      KeywordCase{"BaseMemory", 0x1BFFF, 0xBFFF},  // 16 bits, zero-extended
                      KeywordCase{"Slot", 5, 5}, KeywordCase{"Slot", 0x105, 5}, KeywordCase{"ComPort", 1, 1},
                      KeywordCase{"ComPort", 5, 5}, KeywordCase{"ComPort", 0xFF, 0xFFFFFFFF},
                      KeywordCase{"ComIRQ", 16, 16}, KeywordCase{"ComIRQ", 0x7F, 0x7F}),
    KeywordCaseName);

TEST(Configuration, LowestAndHighestValuesAreAccepted) {
    struct Bounds {
        ULONG interrupt, base_memory, com_port, com_irq;
        ULONG uart;
    };
    for (const Bounds b : {Bounds{2, 0xC000, 2, 0, 0x2F8}, Bounds{15, 0xF000, 4, 15, 0x2E8}}) {
        testbed::Testbed tb(Untraced());
        tb.config()
            .set("InterruptNumber", b.interrupt)
            .set("BaseMemory", b.base_memory)
            .set("ComPort", b.com_port)
            .set("ComIRQ", b.com_irq);
        tb.load_driver();
        ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
        const Ne2000Adapter& r = *tb.record();
        EXPECT_EQ(static_cast<ULONG>(r.InterruptNumber), b.interrupt);
        EXPECT_EQ(r.BaseMemory, b.base_memory);
        EXPECT_EQ(static_cast<ULONG>(r.ComIrq), b.com_irq);
        EXPECT_EQ(r.UartPortAddress, b.uart);
        EXPECT_EQ(tb.pc().card().uart_base(), b.uart);
        if (b.interrupt == 2)
            ExpectOnlyUnroutableStatusChangeIrq(tb, 2);
        else
            ExpectClean(tb);
    }
}

TEST(Configuration, AcceptedValuesReachTheAdapterCutToTheirWidth) {
    testbed::Testbed tb(Untraced());
    tb.config()
        .set("InterruptNumber", 0x102)
        .set("BaseMemory", 0x1C000)
        .set("Slot", 0x100)
        .set("ComPort", 4)
        .set("ComIRQ", 0)
        .set("MaximumMulticastList", 5);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    const Ne2000Adapter& r = *tb.record();
    EXPECT_EQ(r.IoBaseAddress, 0x300u);
    EXPECT_EQ(r.InterruptNumber, 2);
    EXPECT_EQ(r.BaseMemory, 0xC000);
    EXPECT_EQ(r.Slot, 0);
    EXPECT_EQ(r.ComPort, 4);
    EXPECT_EQ(r.UartPortAddress, 0x2E8u);
    EXPECT_EQ(r.ComIrq, 0);
    EXPECT_EQ(r.MaximumMulticastList, 5u);
    EXPECT_EQ(r.TransmitPageCount, 12u);
    EXPECT_EQ(r.CurrentLookahead, 238u);
    EXPECT_EQ(tb.socket_controller().peek(0, 0x05), 0x2B) << "status change on IRQ 2";
    EXPECT_EQ(tb.pc().card().uart_base(), 0x2E8);
    ExpectOnlyUnroutableStatusChangeIrq(tb, 2);
}

TEST(Configuration, DefaultsWithoutKeywordsAndTheFirstEthernetMedium) {
    testbed::Testbed tb(Untraced());
    tb.load_driver();
    ASSERT_EQ(tb.initialize({NdisMedium802_5, NdisMedium802_3, NdisMedium802_3}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tb.adapter().selected_medium(), 1u);
    const Ne2000Adapter& r = *tb.record();
    EXPECT_EQ(r.IoBaseAddress, 0x300u);
    EXPECT_EQ(r.InterruptNumber, 5);
    EXPECT_EQ(r.BaseMemory, 0xD800);
    EXPECT_EQ(r.ComPort, 2);
    EXPECT_EQ(r.UartPortAddress, 0x2F8u);
    EXPECT_EQ(r.ComIrq, 3);
    EXPECT_EQ(r.MaximumMulticastList, 16u);
    EXPECT_EQ(r.BusType, 0);
    ExpectClean(tb);
}

TEST(Configuration, OnlyTheFirstRefusalIsLogged) {
    testbed::Testbed tb(Untraced());
    tb.config().set("IoBaseAddress", 0x11F).set("InterruptNumber", 1).set("ComIRQ", 16);
    tb.load_driver();
    ExpectRefusedWith(tb, tb.initialize(), 0x11F);
}

// --- Medium, allocation, configuration handle ---

TEST(Configuration, EarlyFailuresTakeNothingAndLogNothing) {
    {
        testbed::Testbed tb(Untraced());
        tb.load_driver();
        EXPECT_EQ(tb.initialize({NdisMedium802_5, NdisMediumFddi}), NDIS_STATUS_UNSUPPORTED_MEDIA);
        EXPECT_EQ(tb.ndis().memory().allocations(), 0u);
        EXPECT_TRUE(tb.error_log().empty());
    }
    {
        testbed::Testbed tb(Untraced());
        tb.load_driver();
        EXPECT_EQ(tb.initialize({}), NDIS_STATUS_UNSUPPORTED_MEDIA);
        EXPECT_EQ(tb.ndis().memory().allocations(), 0u);
    }
    {
        testbed::Testbed tb(Untraced());
        tb.load_driver();
        tb.ndis().fail_next_allocations(1);
        EXPECT_EQ(tb.initialize(), NDIS_STATUS_FAILURE);
        EXPECT_TRUE(tb.error_log().empty());
        EXPECT_EQ(tb.bus().port_access_count(), 0u);
    }
    {
        testbed::Testbed tb(Untraced());
        tb.config().fail_open(NDIS_STATUS_RESOURCES);
        tb.load_driver();
        EXPECT_EQ(tb.initialize(), NDIS_STATUS_RESOURCES);
        EXPECT_TRUE(tb.error_log().empty());
        EXPECT_EQ(tb.bus().port_access_count(), 0u);
        EXPECT_TRUE(tb.leaks().empty()) << "the record is freed";
        ExpectClean(tb);
    }
}

// --- Network address ---

TEST(Configuration, SixByteNetworkAddressOverridesTheCardsOwn) {
    const std::vector<std::uint8_t> configured{0x02, 0x5E, 0x10, 0x20, 0x30, 0x40};
    testbed::Testbed tb(Untraced());
    tb.config().set_network_address(configured);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    const auto& card = tb.nic().config().station_address;
    EXPECT_EQ(0, std::memcmp(tb.record()->CurrentAddress, configured.data(), 6));
    EXPECT_EQ(0, std::memcmp(tb.record()->PermanentAddress, card.data(), 6));

    // The controller filters on the configured address.
    tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
    std::vector<std::uint8_t> to_configured(60, 0x11), to_card(60, 0x22);
    std::copy(configured.begin(), configured.end(), to_configured.begin());
    std::copy(card.begin(), card.end(), to_card.begin());
    tb.peer().send_at(tb.now() + machine::kMillisecond, to_card);
    tb.peer().send_at(tb.now() + 2 * machine::kMillisecond, to_configured);
    tb.run_for(10 * machine::kMillisecond);
    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, to_configured);
    ExpectClean(tb);
}

// Not a station address: another length, or six bytes with the group bit set
// (the card would answer a multicast group as if it were its own address).
TEST(Configuration, NetworkAddressThatIsNoStationAddressIsIgnored) {
    const std::vector<std::vector<std::uint8_t>> refused{
        std::vector<std::uint8_t>(5, 0x42),
        std::vector<std::uint8_t>(7, 0x42),
        {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    };
    for (const auto& address : refused) {
        testbed::Testbed tb(Untraced());
        tb.config().set_network_address(address);
        tb.load_driver();
        ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << ::testing::PrintToString(address);
        EXPECT_EQ(0, std::memcmp(tb.record()->CurrentAddress, tb.nic().config().station_address.data(), 6))
            << ::testing::PrintToString(address);
        ExpectClean(tb);
    }
}

// --- Micro Channel ---

TEST(Configuration, PosDataReplacesEveryHardwareKeyword) {
    testbed::Testbed tb(Untraced());
    // POS byte 1 = 0x4A: I/O field 5 (0x320), interrupt field 2 (IRQ 5). The
    // keywords, even out of range, are not read.
    tb.config()
        .set("BusType", 0x103)  // 8 bits kept
        .set_pos_data(NDIS_MCA_POS_DATA{0x67B0, 0x4A, 0, 0, 0})
        .set("IoBaseAddress", 0x11F)
        .set("InterruptNumber", 1)
        .set("BaseMemory", 0x1234)
        .set("Slot", 9)
        .set("ComPort", 7)
        .set("ComIRQ", 77)
        .set("MaximumMulticastList", 8);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    const Ne2000Adapter& r = *tb.record();
    EXPECT_EQ(r.BusType, 3);
    EXPECT_EQ(r.IoBaseAddress, 0x320u);
    EXPECT_EQ(r.InterruptNumber, 5);
    EXPECT_EQ(r.BaseMemory, 0xD800);
    EXPECT_EQ(r.Slot, 0);
    EXPECT_EQ(r.ComPort, 2);
    EXPECT_EQ(r.ComIrq, 3);
    EXPECT_EQ(r.MaximumMulticastList, 8u);
    EXPECT_EQ(tb.pc().card().ethernet_base(), 0x320);
    ExpectClean(tb);
}

TEST(Configuration, SecondPosLayoutDecodesItsOwnTables) {
    testbed::Testbed tb(Untraced());
    // Fields 7 and 3: 0xC3D0 and IRQ 10. No card answers there; the socket shows what was decoded.
    tb.config().set("BusType", 3).set_pos_data(NDIS_MCA_POS_DATA{0x7154, 0x6E, 0, 0, 0});
    tb.load_driver();
    EXPECT_EQ(tb.initialize(), NDIS_STATUS_FAILURE);
    EXPECT_FALSE(Refused(tb));
    EXPECT_EQ(tb.socket_controller().peek(0, 0x08), 0xD0);
    EXPECT_EQ(tb.socket_controller().peek(0, 0x09), 0xC3);
    EXPECT_EQ(tb.socket_controller().peek(0, 0x05), 0xAB);
}

TEST(Configuration, MicroChannelRefusalsAndFallThrough) {
    {
        testbed::Testbed tb(Untraced());  // no POS data to read
        tb.config().set("BusType", 3);
        tb.load_driver();
        ExpectRefusedWith(tb, tb.initialize(), 0xC0001391);
    }
    {
        testbed::Testbed tb(Untraced());  // an unknown adapter takes the keyword path
        tb.config().set("BusType", 3).set_pos_data(NDIS_MCA_POS_DATA{0x1234, 0x4A, 0, 0, 0});
        tb.config().set("IoBaseAddress", 0x11F);
        tb.load_driver();
        ExpectRefusedWith(tb, tb.initialize(), 0x11F);
    }
}

// --- One adapter per multiprocessor machine ---

TEST(Configuration, MultiprocessorMachineRunsOneAdapterAtATime) {
    testbed::Testbed tb(Untraced());
    SecondCard second(tb);
    tb.ndis().set_processor_count(2);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);

    auto& b = tb.ndis().add_adapter("second");
    SecondCard::Configure(b.config());
    const auto accesses = tb.bus().port_access_count();
    EXPECT_EQ(tb.ndis().initialize(b), NDIS_STATUS_FAILURE);
    ASSERT_EQ(tb.error_log().entries().size(), 1u);
    EXPECT_EQ(tb.error_log().entries()[0].code, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION);
    EXPECT_EQ(tb.error_log().entries()[0].values, std::vector<ULONG>{0xC0001391});
    EXPECT_EQ(tb.bus().port_access_count(), accesses) << "refused before any port access";
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, tb.record());
    EXPECT_EQ(tb.record()->NextAdapter, nullptr);

    // Once the first is halted the queue is empty and another is accepted.
    tb.halt();
    auto& c = tb.ndis().add_adapter("third");
    SecondCard::Configure(c.config());
    EXPECT_EQ(tb.ndis().initialize(c), NDIS_STATUS_SUCCESS);
    tb.ndis().halt(c);
    EXPECT_TRUE(tb.leaks().empty());
    ExpectClean(tb);
}

TEST(Configuration, SingleProcessorMachineRunsSeveralAdapters) {
    testbed::Testbed tb(Untraced());
    SecondCard second(tb);
    tb.load_driver();
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    auto& b = tb.ndis().add_adapter("second");
    SecondCard::Configure(b.config());
    ASSERT_EQ(tb.ndis().initialize(b), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();

    // Newest first in the queue; each card answers at its own base.
    auto* second_record = static_cast<Ne2000Adapter*>(b.context());
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, second_record);
    EXPECT_EQ(second_record->NextAdapter, tb.record());
    EXPECT_EQ(
        0, std::memcmp(second_record->PermanentAddress, SecondCard::SecondNic().station_address.data(), 6));
    EXPECT_EQ(tb.pc().card().ethernet_base(), 0x300);
    EXPECT_EQ(second.card.ethernet_base(), 0x320);
    EXPECT_TRUE(second.nic.started());
    EXPECT_TRUE(tb.nic().started());

    tb.ndis().halt(b);
    tb.halt();
    EXPECT_TRUE(tb.leaks().empty());
    ExpectClean(tb);
}
