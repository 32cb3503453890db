#include "machine/nic/ethernet_crc.h"

namespace machine::ethernet {

namespace {

// Slicing by sixteen: table k gives the CRC of a byte followed by k zero
// bytes, so sixteen bytes fold in with sixteen lookups and no dependency
// between them; a frame's CRC costs about two instructions a byte.
constexpr std::size_t kSlices = 16;

constexpr std::array<std::array<std::uint32_t, 256>, kSlices> make_tables() {
    std::array<std::array<std::uint32_t, 256>, kSlices> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][i] = c;
    }
    for (std::size_t k = 1; k < kSlices; ++k)
        for (std::uint32_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    return tables;
}

constexpr auto kTables = make_tables();

std::uint32_t load_le32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    const auto& t = kTables;
    for (; n >= kSlices; n -= kSlices, p += kSlices) {
        // Only the first four bytes meet the running CRC; the rest are looked
        // up as they stand.
        const std::uint32_t low = crc ^ load_le32(p);
        crc = t[15][low & 0xFF] ^ t[14][(low >> 8) & 0xFF] ^ t[13][(low >> 16) & 0xFF] ^ t[12][low >> 24] ^
              t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^
              t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
    }
    for (; n != 0; --n, ++p) crc = kTables[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
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
