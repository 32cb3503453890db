#pragma once
// What the fuzz targets that drive the driver share: a running adapter on the
// testbed, and how a target reports an invariant it found broken (a crash, so
// that libFuzzer keeps the input).

#include <memory>
#include <string>

#include "tests/support/testbed.h"

namespace fuzz {

// Prints what broke and aborts.
[[noreturn]] void Fail(const std::string& what);

// Checked in every run: the message is built only when the check fails.
#define FUZZ_REQUIRE(condition, message)                      \
    do {                                                      \
        if (!(condition)) ::fuzz::Fail(std::string(message)); \
    } while (0)

// Fails on any stand-in rule breach or model violation recorded so far.
void RequireClean(testbed::Testbed& tb, const char* when);
// Fails on anything still held (run after halt or a failed initialisation).
void RequireNoLeaks(testbed::Testbed& tb);

struct AdapterOptions {
    bool eight_bit = false;
    ULONG packet_filter = NDIS_PACKET_TYPE_DIRECTED;
};

// A testbed with a running adapter, its protocol bound and its packet filter
// set. The adapter is set up as registration leaves it but without the
// bring-up's probing: its RAM test alone makes some hundred thousand port
// accesses, which would cut the executions per second twentyfold. The record
// gets the layout registration derives (12 transmit pages at the start of RAM,
// the receive ring behind them), and the driver's own set-up programs the
// chip. Untraced, for the same reason.
std::unique_ptr<testbed::Testbed> BringUp(const AdapterOptions& options = {});

}  // namespace fuzz
