#pragma once
// What the DP8390's remote and local DMA see through the NE2000 ASIC: a 64 KB
// address space holding the station-address PROM at the bottom and the packet
// RAM somewhere above it. Addresses that decode to neither read 0xFF and
// swallow writes, as an undriven data bus does.

#include <array>
#include <cstdint>
#include <vector>

#include "machine/nic/dp8390_config.h"

namespace machine {

class CardMemory {
public:
    explicit CardMemory(const Dp8390Config& config);

    std::uint8_t read(std::uint16_t address) const {
        const std::uint32_t offset = static_cast<std::uint32_t>(address) - ram_start_;
        if (offset < ram_.size()) return ram_[offset];
        if (address < prom_.size()) return prom_[address];
        return 0xFF;
    }
    void write(std::uint16_t address, std::uint8_t value) {
        const std::uint32_t offset = static_cast<std::uint32_t>(address) - ram_start_;
        if (offset < ram_.size()) ram_[offset] = value;
    }

    // The longest stretch from `address` on that one source answers for: RAM,
    // the PROM, or nothing. `bytes` is null where reads give 0xFF (and, for
    // the writable form, where writes are lost); `length` counts bytes up to
    // the next change of source or the end of the address space.
    struct Run {
        const std::uint8_t* bytes;
        std::uint32_t length;
    };
    Run readable_run(std::uint16_t address) const;
    struct WritableRun {
        std::uint8_t* bytes;
        std::uint32_t length;
    };
    WritableRun writable_run(std::uint16_t address);

    // Where the packet RAM lies: [ram_begin, ram_end).
    std::uint32_t ram_begin() const { return ram_start_; }
    std::uint32_t ram_end() const { return ram_start_ + static_cast<std::uint32_t>(ram_.size()); }

    // Power-up: RAM contents are not kept across a power cycle.
    void clear_ram();

private:
    std::array<std::uint8_t, 32> prom_{};
    std::uint32_t ram_start_;
    std::vector<std::uint8_t> ram_;
};

}  // namespace machine
