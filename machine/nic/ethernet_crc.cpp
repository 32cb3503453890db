#include "machine/nic/ethernet_crc.h"

namespace machine::ethernet {

namespace {

constexpr std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    for (std::uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::array<std::uint8_t, 4> frame_check_sequence(std::span<const std::uint8_t> frame) {
    const std::uint32_t crc = crc32(frame);
    return {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
            static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
}

unsigned multicast_hash_index(std::span<const std::uint8_t, 6> destination) {
    // The hash logic shifts the register the other way round from the
    // reflected form and keeps it uncomplemented, so its top six bits are the
    // low six bits of the complemented reflected CRC, in reverse order.
    const std::uint32_t reflected = ~crc32(destination);
    unsigned index = 0;
    for (int bit = 0; bit < 6; ++bit) index = (index << 1) | ((reflected >> bit) & 1);
    return index;
}

}  // namespace machine::ethernet
