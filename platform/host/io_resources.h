#pragma once
// The bus resources a miniport claims: I/O port ranges and mapped ISA memory.
//
// Port ranges are machine-wide: two claims may not overlap, whoever makes them.
//
// A mapped memory range is host memory standing for the ISA memory window. The
// driver stores into it with plain writes, which no library routine sees, so
// the stores are carried to the bus afterwards: the library calls flush() at
// the start of every HAL call (before the port access or stall) and at unmap.
// flush() writes every byte that differs from the last one carried, in
// ascending address order, with a bus memory cycle. So stores reach the bus in
// program order relative to port accesses and stalls; between two HAL calls
// they go in address order; and a store of the value the memory already holds
// is not seen (there is no cycle to see).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/isa_bus.h"
#include "platform/ndis.h"

namespace host {

class MiniportAdapter;

class PortClaims {
public:
    struct Claim {
        const MiniportAdapter* owner = nullptr;  // null: held by some other driver of the machine
        unsigned base = 0;
        unsigned count = 0;
    };

    // NDIS_STATUS_RESOURCE_CONFLICT on overlap or when the range leaves the 64 K port space.
    NDIS_STATUS claim(const MiniportAdapter* owner, unsigned base, unsigned count);
    // False when no claim of exactly this owner, base and count exists.
    bool release(const MiniportAdapter* owner, unsigned base, unsigned count);
    std::vector<Claim> held_by(const MiniportAdapter* owner) const;
    bool holds(const MiniportAdapter* owner, unsigned port) const;
    // Whether the claim `owner`'s last access fell in covers [port, port + width)
    // as well: the quick answer for the next access, asked before holds().
    bool recently_held(const MiniportAdapter* owner, unsigned port, unsigned width) const {
        return last_hit_.owner == owner && last_hit_.count != 0 && port >= last_hit_.base &&
               port + width - last_hit_.base <= last_hit_.count;
    }
    const std::vector<Claim>& all() const { return claims_; }

private:
    std::vector<Claim> claims_;
    // The claim the last port belonged to: a driver's accesses go to one range
    // over and over, and every one of them is checked.
    mutable Claim last_hit_{};
};

class MemoryWindows {
public:
    struct Mapping {
        const MiniportAdapter* owner = nullptr;
        std::uint32_t physical = 0;
        std::uint32_t length = 0;
        std::unique_ptr<std::uint8_t[]> memory;   // what the driver sees
        std::unique_ptr<std::uint8_t[]> carried;  // what the bus has been given
    };

    explicit MemoryWindows(machine::IsaBus& bus) : bus_(bus) {}

    // Fills the host memory with what the bus shows at that range now (read
    // without tracing: mapping is not a bus cycle). Null when the range does
    // not fit the 24-bit ISA memory space.
    PVOID map(const MiniportAdapter* owner, std::uint32_t physical, std::uint32_t length);
    // False when no mapping of exactly this owner, address and length exists.
    bool unmap(const MiniportAdapter* owner, PVOID address, std::uint32_t length);
    void flush();
    bool any() const { return !mappings_.empty(); }
    std::vector<const Mapping*> held_by(const MiniportAdapter* owner) const;

private:
    void flush(Mapping& mapping);
    machine::IsaBus& bus_;
    std::vector<std::unique_ptr<Mapping>> mappings_;
};

}  // namespace host
