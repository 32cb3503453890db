#include "machine/nic/card_memory.h"

#include <algorithm>

namespace machine {

namespace {

constexpr std::uint32_t kAddressSpace = 0x10000;

// The word-wide ASIC wires its byte-wide PROM to both halves of the data bus,
// so each PROM byte appears twice; its signature is "WW" at the end.
std::array<std::uint8_t, 32> doubled_prom(const MacAddress& station) {
    std::array<std::uint8_t, 32> prom{};
    for (std::size_t i = 0; i < station.size(); ++i) prom[2 * i] = prom[2 * i + 1] = station[i];
    for (std::size_t i = 28; i < 32; ++i) prom[i] = 'W';
    return prom;
}

// The byte-wide ASIC decodes 16 PROM bytes, mirrored through the 32-byte PROM
// area (address line 4 is not connected); its signature is "BB" at 14-15.
std::array<std::uint8_t, 32> plain_prom(const MacAddress& station) {
    std::array<std::uint8_t, 32> prom{};
    for (std::size_t mirror = 0; mirror < 32; mirror += 16) {
        std::copy(station.begin(), station.end(), prom.begin() + static_cast<std::ptrdiff_t>(mirror));
        prom[mirror + 14] = prom[mirror + 15] = 'B';
    }
    return prom;
}

}  // namespace

CardMemory::CardMemory(const Dp8390Config& config)
    : prom_(config.width == Dp8390Config::Width::Bits16 ? doubled_prom(config.station_address)
                                                        : plain_prom(config.station_address)),
      ram_start_(std::min(config.ram_start, kAddressSpace)),
      ram_(std::min(config.ram_size, kAddressSpace - ram_start_), 0) {}

CardMemory::Run CardMemory::readable_run(std::uint16_t address) const {
    const std::uint32_t offset = static_cast<std::uint32_t>(address) - ram_start_;
    if (offset < ram_.size()) return {ram_.data() + offset, static_cast<std::uint32_t>(ram_.size()) - offset};
    // Below the RAM, or past its end: the source changes next where the RAM or
    // the PROM begins or ends.
    const std::uint32_t next_ram = address < ram_start_ ? ram_start_ : kAddressSpace;
    if (address < prom_.size())
        return {prom_.data() + address, std::min<std::uint32_t>(prom_.size(), next_ram) - address};
    return {nullptr, next_ram - address};
}

CardMemory::WritableRun CardMemory::writable_run(std::uint16_t address) {
    const std::uint32_t offset = static_cast<std::uint32_t>(address) - ram_start_;
    if (offset < ram_.size()) return {ram_.data() + offset, static_cast<std::uint32_t>(ram_.size()) - offset};
    return {nullptr, readable_run(address).length};
}

void CardMemory::clear_ram() {
    std::fill(ram_.begin(), ram_.end(), 0);
}

}  // namespace machine
