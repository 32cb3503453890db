#pragma once
// A record of what crossed the bus: every port access, memory-window store and
// HAL stall, with its virtual time and the register name the device decoded.
// Tests assert on exact register sequences from it; the CLI prints it.

#include <cstdint>
#include <string>
#include <vector>

#include "machine/clock.h"

namespace machine {

enum class TraceKind {
    In8,
    Out8,
    In16,
    Out16,
    InString8,  // one HAL string call: `count` byte reads of one port
    OutString8,
    InString16,  // `count` word reads of one port
    OutString16,
    MemRead8,
    MemWrite8,
    Stall,  // `value` holds the microseconds
};

struct TraceEntry {
    Nanoseconds time = 0;
    TraceKind kind = TraceKind::In8;
    std::uint32_t port = 0;   // I/O port, or memory address for MemRead8/MemWrite8
    std::uint32_t value = 0;  // data (single accesses) or microseconds (Stall)
    std::uint32_t count = 0;  // elements moved by a string access
    std::string name;         // decoded register name, e.g. "CR"; empty when unknown

    bool is_port_read() const;
    bool is_port_write() const;
    // "CR <- 0x21", "ISR -> 0x01", "DATA <- 30 words", "stall 500us"
    std::string to_string() const;
};

class BusTrace {
public:
    void enable(bool on = true) { enabled_ = on; }
    bool enabled() const { return enabled_; }
    void record(TraceEntry entry) {
        if (enabled_) entries_.push_back(std::move(entry));
    }
    const std::vector<TraceEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }
    // Index to remember, so a test can look only at what happened after it.
    std::size_t mark() const { return entries_.size(); }
    // Entries from `from` on, one to_string() per line.
    std::string dump(std::size_t from = 0) const;
    // to_string() of each port access and stall from `from` on: the form
    // register-sequence tests compare against.
    std::vector<std::string> lines(std::size_t from = 0) const;

private:
    bool enabled_ = false;
    std::vector<TraceEntry> entries_;
};

}  // namespace machine
