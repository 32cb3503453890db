#pragma once
// Command-line options of ne2000sim.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/ethernet_filter.h"

namespace sim {

struct Options {
    unsigned io_base = 0x300;
    unsigned irq = 5;
    unsigned socket = 0;
    unsigned com_port = 2;
    unsigned com_irq = 3;
    bool eight_bit = false;
    std::optional<host::MacAddress> network_address;
    bool trace = false;
    std::string pcap_path;
    std::uint64_t echo_bytes = 100 * 1024;  // sent to the loopback echo server and back
    bool open_network = false;              // let the guest's traffic leave this host
    std::string driver_path;                // an NT image to run instead of the linked driver
    bool help = false;
};

// Fills `options` from argv; returns an error message, or nothing when all was understood.
std::optional<std::string> parse(const std::vector<std::string>& args, Options& options);
const char* usage();

}  // namespace sim
