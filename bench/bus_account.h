#pragma once
// What the driver did on the bus for one frame, counted by kind from the bus
// trace: the DP8390's registers, its data port (single accesses and string
// calls), the socket controller's two ports, and the busy stalls; with the
// interrupt service and deferred-handler runs the stand-in counted.

#include <cstdint>
#include <string>
#include <vector>

#include "machine/trace.h"

namespace bench {

struct BusAccount {
    std::uint64_t register_reads = 0;  // DP8390 registers, offsets 0x00-0x0F and the reset port
    std::uint64_t register_writes = 0;
    std::uint64_t data_byte_reads = 0;  // single accesses to the data port
    std::uint64_t data_byte_writes = 0;
    std::uint64_t data_word_reads = 0;
    std::uint64_t data_word_writes = 0;
    std::uint64_t string_read_calls = 0;  // READ_PORT_BUFFER_* on the data port
    std::uint64_t string_write_calls = 0;
    std::uint64_t string_elements = 0;  // bytes or words those calls moved, both ways
    std::uint64_t string_bytes = 0;
    std::uint64_t socket_reads = 0;  // the socket controller's index and data ports
    std::uint64_t socket_writes = 0;
    std::uint64_t other_accesses = 0;  // any other port: none is expected
    std::uint64_t stalls = 0;
    std::uint64_t stall_us = 0;
    std::uint64_t isr_calls = 0;
    std::uint64_t deferred_runs = 0;

    // Bus cycles, a string call counting each element it moved.
    std::uint64_t bus_cycles() const;
    bool operator==(const BusAccount&) const = default;
};

// The socket controller's index and data ports (0x3E0, 0x3E1).
constexpr bool is_socket_controller_port(std::uint32_t port) {
    return port == 0x3E0 || port == 0x3E1;
}

// Counts the trace from entry `from` on, for a card whose ports start at `io_base`.
BusAccount account_trace(const machine::BusTrace& trace, std::size_t from, std::uint16_t io_base);

// "name measured/prescribed" for every figure that differs; empty when they agree.
std::vector<std::string> differences(const BusAccount& measured, const BusAccount& prescribed);

// Each figure by name, in a fixed order, for tables.
struct NamedFigure {
    const char* name;
    std::uint64_t BusAccount::*field;
};
const std::vector<NamedFigure>& account_figures();

}  // namespace bench
