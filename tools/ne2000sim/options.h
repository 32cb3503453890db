#pragma once
// What ne2000sim was asked to do: the mode, the adapter's configuration as
// the registry would hold it, the machine, and where the output goes.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct Options {
    std::string mode = "self-check";  // an entry of the mode table (modes.h)

    // Registry values handed to the driver as they stand: the driver, not this
    // program, judges their range. Applied in order, a later one replacing an
    // earlier one of the same keyword.
    std::vector<std::pair<std::string, std::uint32_t>> settings;
    std::optional<std::vector<std::uint8_t>> network_address;  // any length, as the registry could hold it
    std::optional<std::vector<std::uint8_t>> pos_data;         // Micro Channel POS bytes (with --bus mca)
    unsigned processors = 1;
    unsigned socket = 0;  // the socket the card sits in (and "Slot", unless set)
    bool eight_bit = false;

    // Output.
    bool json = false;       // one JSON document on stdout, the text on stderr
    std::string pcap_path;   // capture the wire
    std::string trace_path;  // the decoded port trace ("-": standard output)

    // The self-check's traffic, and what the guest may reach.
    std::uint64_t echo_bytes = 1024 * 1024;  // each way through the TCP echo
    bool open_network = false;               // let the guest's traffic leave this host

    // --serve: the host port forwarded to the guest's web server, and for how
    // long to run (0: until Ctrl-C).
    std::uint16_t serve_port = 0;
    double serve_seconds = 0;
    // --tap: the Linux TAP device that is the wire's other station.
    std::string tap_name;
    std::string guest_address;  // static address for the guest (tap mode), empty: DHCP

    std::string driver_path;  // an NT image to run instead of the linked driver
    bool help = false;
};

// Fills `options` from argv; returns a one-line error, or nothing when all was understood.
std::optional<std::string> parse(const std::vector<std::string>& args, Options& options);
// The usage text, made from the option table.
std::string usage();

}  // namespace sim
