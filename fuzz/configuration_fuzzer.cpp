// The bring-up under any configuration: each keyword absent, a DWORD of any
// 32-bit value or a string of any text; a network address of any length and
// content; Micro Channel POS data (with the sixteen-bit card) or none; one or
// two processors; the sixteen- or eight-bit card. Then DriverEntry,
// Initialize and, when it succeeded, Halt.
//
// What must hold for every configuration:
// - Initialize either succeeds or refuses cleanly, with at least one entry in
//   the system error log, unless it found no socket controller or no card in
//   the selected socket (then it gives up silently, before powering a card);
// - a running adapter reports the configured address when exactly six
//   non-zero bytes were configured, and the card's own address otherwise;
// - no stand-in rule breach or model violation, and nothing left held, after
//   the refusal or the halt.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_adapter.h"

namespace {

constexpr std::array<const char*, 8> kKeywords = {
    "BusType", "IoBaseAddress", "InterruptNumber", "BaseMemory",
    "Slot",    "ComPort",       "ComIRQ",          "MaximumMulticastList"};

// The Micro Channel adapters whose POS data the driver decodes, and one it does not.
constexpr std::array<USHORT, 3> kAdapterIds = {0x67B0, 0x7154, 0x1234};

void Configure(FuzzedDataProvider& in, host::Configuration& config, bool eight_bit) {
    for (const char* keyword : kKeywords) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 1:
                config.set(keyword, in.ConsumeIntegral<ULONG>());
                break;
            case 2:
                config.set_string(keyword, in.ConsumeRandomLengthString(12));
                break;
            default:
                break;
        }
    }
    if (in.ConsumeBool()) {
        const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 16);
        std::vector<std::uint8_t> address = in.ConsumeBytes<std::uint8_t>(length);
        address.resize(length);
        config.set_network_address(address);
    }
    // The driver takes a Micro Channel card for a word-wide one without
    // testing it, so POS data with the byte-wide card would describe a card
    // that is not there; without POS data a Micro Channel bus type is refused.
    if (in.ConsumeBool() && !eight_bit) {
        NDIS_MCA_POS_DATA pos{};
        pos.AdapterId = in.PickValueInArray(kAdapterIds);
        pos.PosData1 = in.ConsumeIntegral<UCHAR>();
        config.set_pos_data(pos);
    }
}

host::MacAddress ExpectedStation(const host::Configuration& config, const machine::Dp8390Config& card) {
    const auto& configured = config.network_address();
    if (configured && configured->size() == 6 &&
        std::any_of(configured->begin(), configured->end(), [](std::uint8_t b) { return b != 0; })) {
        host::MacAddress address;
        std::copy(configured->begin(), configured->end(), address.begin());
        return address;
    }
    return card.station_address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    testbed::TestbedOptions options;
    options.trace = false;
    const bool eight_bit = in.ConsumeBool();
    if (eight_bit) options.pc.nic = machine::Dp8390Config::eight_bit_card();
    testbed::Testbed tb(options);
    tb.ndis().set_processor_count(in.ConsumeBool() ? 2 : 1);
    Configure(in, tb.config(), eight_bit);

    FUZZ_REQUIRE(tb.load_driver() == STATUS_SUCCESS, "DriverEntry failed");
    const NDIS_STATUS status = tb.initialize();
    if (status == NDIS_STATUS_SUCCESS) {
        host::MacAddress station{};
        ULONG written = 0;
        tb.protocol().query(OID_802_3_CURRENT_ADDRESS, station.data(), 6, &written);
        FUZZ_REQUIRE(written == 6 && station == ExpectedStation(tb.config(), tb.nic().config()),
                     "the adapter runs with another station address than configured");
        fuzz::RequireClean(tb, "bring-up");
        tb.halt();
    } else {
        // Only a bring-up that looked for the socket controller and found
        // none, or no card in the selected socket, gives up without an entry:
        // it made port accesses but powered no card. A refused keyword is
        // logged before any port is touched.
        const bool found_no_socket = tb.bus().port_access_count() > 0 && !tb.pc().card().powered();
        FUZZ_REQUIRE(!tb.error_log().empty() || found_no_socket,
                     "initialisation failed without an error-log entry");
    }
    fuzz::RequireClean(tb, status == NDIS_STATUS_SUCCESS ? "halt" : "refusal");
    fuzz::RequireNoLeaks(tb);
    return 0;
}
