#pragma once
// The system error log as far as a miniport writes to it: one entry per
// NdisWriteErrorLogEntry call, with the code and the values, printable with the
// code's name.

#include <string>
#include <vector>

#include "machine/clock.h"
#include "platform/ndis.h"

namespace host {

class MiniportAdapter;

struct ErrorLogEntry {
    machine::Nanoseconds time = 0;
    const MiniportAdapter* adapter = nullptr;  // null when the handle was not an adapter's
    std::string adapter_name;
    NDIS_ERROR_CODE code = 0;
    std::vector<ULONG> values;

    // "ne2000: NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION (0xC0001391) values 0x00000010"
    std::string to_string() const;
};

// "NDIS_ERROR_CODE_ADAPTER_NOT_FOUND"; a hex number for codes it does not know.
std::string error_code_name(NDIS_ERROR_CODE code);

class ErrorLog {
public:
    void add(ErrorLogEntry entry) { entries_.push_back(std::move(entry)); }
    const std::vector<ErrorLogEntry>& entries() const { return entries_; }
    std::vector<ErrorLogEntry> entries_for(const MiniportAdapter& adapter) const;
    bool empty() const { return entries_.empty(); }
    void clear() { entries_.clear(); }
    // One entry per line.
    std::string to_string() const;

private:
    std::vector<ErrorLogEntry> entries_;
};

}  // namespace host
