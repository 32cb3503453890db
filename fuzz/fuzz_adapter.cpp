#include "fuzz/fuzz_adapter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void RequireClean(testbed::Testbed& tb, const char* when) {
    const auto errors = tb.errors();
    if (errors.empty()) return;
    std::string all = std::string(when) + ":";
    for (const auto& e : errors) all += "\n  " + e;
    Fail(all);
}

void RequireNoLeaks(testbed::Testbed& tb) {
    const auto leaks = tb.leaks();
    if (leaks.empty()) return;
    std::string all = "still held:";
    for (const auto& l : leaks) all += "\n  " + l;
    Fail(all);
}

std::unique_ptr<testbed::Testbed> BringUp(const AdapterOptions& options) {
    testbed::TestbedOptions o;
    o.trace = false;
    if (options.eight_bit) o.pc.nic = machine::Dp8390Config::eight_bit_card();
    auto tb = std::make_unique<testbed::Testbed>(o);
    Ne2000Adapter& a = tb->set_up_by_hand();

    const machine::Dp8390Config& card = tb->nic().config();
    tb->fill_card_layout(a);
    a.InterruptMaskValue = kDefaultInterruptMask;
    std::copy(card.station_address.begin(), card.station_address.end(), a.CurrentAddress);
    std::copy(card.station_address.begin(), card.station_address.end(), a.PermanentAddress);

    BOOLEAN running = FALSE;
    tb->call([&] {
        running = CardSetup(&a);
        CardWriteRegister(&a, NIC_TCR, TCR_NORMAL);
    });
    FUZZ_REQUIRE(running, "the driver's set-up found no chip");
    tb->adapter().set_station_address(card.station_address);
    FUZZ_REQUIRE(tb->protocol().set_packet_filter(options.packet_filter) == NDIS_STATUS_SUCCESS,
                 "packet filter refused");
    RequireClean(*tb, "bring-up");
    return tb;
}

}  // namespace fuzz
