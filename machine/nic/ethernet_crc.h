#pragma once
// The IEEE 802.3 CRC-32 as the DP8390 uses it twice: appended to every frame as
// the frame check sequence, and run over a destination address to pick one of
// the 64 bits of the multicast hash filter.

#include <array>
#include <cstdint>
#include <span>

namespace machine::ethernet {

// The common reflected CRC-32 (the value zlib's crc32 gives): `crc` is a
// previous result to continue from, 0 to start.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// The four FCS bytes in the order they follow the frame on the wire.
std::array<std::uint8_t, 4> frame_check_sequence(std::span<const std::uint8_t> frame);

// What crc32 over a frame followed by its correct FCS always yields.
constexpr std::uint32_t kFcsResidue = 0x2144DF1C;

// Index 0..63 into MAR0-MAR7 for a destination address: the top six bits of the
// CRC register as the chip's hash logic holds it (not reflected, not
// complemented). The filter bit is MAR[index >> 3] bit (index & 7).
unsigned multicast_hash_index(std::span<const std::uint8_t, 6> destination);

}  // namespace machine::ethernet
