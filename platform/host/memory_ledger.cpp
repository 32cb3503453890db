#include "platform/host/memory_ledger.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace host {

namespace {
std::string describe(const void* address, UINT length) {
    char text[80];
    std::snprintf(text, sizeof text, "%p (%u bytes)", address, static_cast<unsigned>(length));
    return text;
}
}  // namespace

MemoryLedger::~MemoryLedger() {
    // Leaks have been reported by whoever looked; give the memory back to the host.
    for (auto& [address, block] : blocks_) ::operator delete(const_cast<void*>(address));
}

NDIS_STATUS MemoryLedger::allocate(PVOID* address, UINT length, UINT flags,
                                   std::vector<std::string>& errors) {
    if (address == nullptr) {
        errors.push_back("NdisAllocateMemory: null address pointer");
        return NDIS_STATUS_FAILURE;
    }
    if (fail_next_ > 0) {
        --fail_next_;
        *address = nullptr;
        return NDIS_STATUS_FAILURE;
    }
    // A zero-length request still gets a distinct block so that it can be freed.
    void* block = ::operator new(length == 0 ? 1 : length);
    std::memset(block, kFreshFill, length);
    blocks_.emplace(block, Block{length, flags});
    ++allocations_;
    *address = block;
    return NDIS_STATUS_SUCCESS;
}

void MemoryLedger::free(PVOID address, UINT length, UINT flags, std::vector<std::string>& errors) {
    auto it = blocks_.find(address);
    if (it == blocks_.end()) {
        // Freed twice, or never allocated here: leave it alone rather than corrupt the heap.
        errors.push_back("NdisFreeMemory of a block that is not allocated: " + describe(address, length));
        return;
    }
    if (it->second.length != length)
        errors.push_back("NdisFreeMemory with length " + std::to_string(length) + " of block " +
                         describe(address, it->second.length));
    if (it->second.flags != flags)
        errors.push_back("NdisFreeMemory with flags " + std::to_string(flags) +
                         " of a block allocated with flags " + std::to_string(it->second.flags));
    blocks_.erase(it);
    ::operator delete(address);
}

std::size_t MemoryLedger::outstanding_bytes() const {
    std::size_t total = 0;
    for (const auto& [address, block] : blocks_) total += block.length;
    return total;
}

}  // namespace host
