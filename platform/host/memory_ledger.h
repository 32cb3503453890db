#pragma once
// NdisAllocateMemory and NdisFreeMemory with the bookkeeping tests need: every
// block outstanding with its length and flags, misuse recorded, and a knob that
// makes allocations fail. Fresh blocks are filled with a non-zero pattern, as
// pool memory is never handed out cleared: a driver that forgets to zero its
// record sees garbage here too.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace host {

class MemoryLedger {
public:
    static constexpr std::uint8_t kFreshFill = 0xA5;

    MemoryLedger() = default;
    ~MemoryLedger();
    MemoryLedger(const MemoryLedger&) = delete;
    MemoryLedger& operator=(const MemoryLedger&) = delete;

    // Misuse goes to `errors`.
    NDIS_STATUS allocate(PVOID* address, UINT length, UINT flags, std::vector<std::string>& errors);
    void free(PVOID address, UINT length, UINT flags, std::vector<std::string>& errors);

    // The next `count` allocations fail.
    void fail_next(unsigned count) { fail_next_ = count; }

    std::size_t outstanding_blocks() const { return blocks_.size(); }
    std::size_t outstanding_bytes() const;
    std::size_t allocations() const { return allocations_; }
    bool owns(const void* address) const { return blocks_.contains(address); }

private:
    struct Block {
        UINT length;
        UINT flags;
    };
    std::map<const void*, Block> blocks_;
    unsigned fail_next_ = 0;
    std::size_t allocations_ = 0;
};

}  // namespace host
