#include "platform/host/io_resources.h"

#include <algorithm>
#include <cstring>

namespace host {

namespace {
constexpr unsigned kPortSpace = 0x10000;
constexpr std::uint32_t kIsaMemorySpace = 0x1000000;
}  // namespace

NDIS_STATUS PortClaims::claim(const MiniportAdapter* owner, unsigned base, unsigned count) {
    if (count == 0 || base >= kPortSpace || count > kPortSpace - base) return NDIS_STATUS_RESOURCE_CONFLICT;
    for (const Claim& c : claims_)
        if (base < c.base + c.count && c.base < base + count) return NDIS_STATUS_RESOURCE_CONFLICT;
    claims_.push_back(Claim{owner, base, count});
    last_hit_ = {};
    return NDIS_STATUS_SUCCESS;
}

bool PortClaims::release(const MiniportAdapter* owner, unsigned base, unsigned count) {
    auto it = std::find_if(claims_.begin(), claims_.end(), [&](const Claim& c) {
        return c.owner == owner && c.base == base && c.count == count;
    });
    if (it == claims_.end()) return false;
    claims_.erase(it);
    last_hit_ = {};
    return true;
}

std::vector<PortClaims::Claim> PortClaims::held_by(const MiniportAdapter* owner) const {
    std::vector<Claim> out;
    for (const Claim& c : claims_)
        if (c.owner == owner) out.push_back(c);
    return out;
}

bool PortClaims::holds(const MiniportAdapter* owner, unsigned port) const {
    auto in = [&](const Claim& c) {
        return c.count != 0 && c.owner == owner && port >= c.base && port - c.base < c.count;
    };
    if (in(last_hit_)) return true;
    for (const Claim& c : claims_)
        if (in(c)) {
            last_hit_ = c;
            return true;
        }
    return false;
}

PVOID MemoryWindows::map(const MiniportAdapter* owner, std::uint32_t physical, std::uint32_t length) {
    if (length == 0 || physical >= kIsaMemorySpace || length > kIsaMemorySpace - physical) return nullptr;
    auto m = std::make_unique<Mapping>();
    m->owner = owner;
    m->physical = physical;
    m->length = length;
    m->memory = std::make_unique<std::uint8_t[]>(length);
    m->carried = std::make_unique<std::uint8_t[]>(length);
    const bool tracing = bus_.trace().enabled();
    bus_.trace().enable(false);
    for (std::uint32_t i = 0; i < length; ++i) m->memory[i] = bus_.mem_read8(physical + i);
    bus_.trace().enable(tracing);
    std::memcpy(m->carried.get(), m->memory.get(), length);
    PVOID address = m->memory.get();
    mappings_.push_back(std::move(m));
    return address;
}

bool MemoryWindows::unmap(const MiniportAdapter* owner, PVOID address, std::uint32_t length) {
    auto it = std::find_if(mappings_.begin(), mappings_.end(), [&](const std::unique_ptr<Mapping>& m) {
        return m->owner == owner && m->memory.get() == address && m->length == length;
    });
    if (it == mappings_.end()) return false;
    flush(**it);
    mappings_.erase(it);  // the memory goes: a store after unmap is a use after free
    return true;
}

void MemoryWindows::flush() {
    for (auto& m : mappings_) flush(*m);
}

void MemoryWindows::flush(Mapping& m) {
    if (std::memcmp(m.memory.get(), m.carried.get(), m.length) == 0) return;
    for (std::uint32_t i = 0; i < m.length; ++i) {
        if (m.memory[i] == m.carried[i]) continue;
        m.carried[i] = m.memory[i];
        bus_.mem_write8(m.physical + i, m.memory[i]);
    }
}

std::vector<const MemoryWindows::Mapping*> MemoryWindows::held_by(const MiniportAdapter* owner) const {
    std::vector<const Mapping*> out;
    for (const auto& m : mappings_)
        if (m->owner == owner) out.push_back(m.get());
    return out;
}

}  // namespace host
