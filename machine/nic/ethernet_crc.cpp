#include "machine/nic/ethernet_crc.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NE2000_CRC_FOLDING 1
#endif

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

// The register as the loop keeps it (reflected, not complemented), moved on by `n` bytes.
std::uint32_t crc32_by_table(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
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
    return crc;
}

#ifdef NE2000_CRC_FOLDING
#define NE2000_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

NE2000_FOLDING_TARGET __m128i load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x moved 128 bits (or 512, with the four-lane constants) further along, plus `data`.
NE2000_FOLDING_TARGET __m128i fold(__m128i x, __m128i k, __m128i data) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                         data);
}

// Folding with carry-less multiplication, where the processor has it: 16-byte
// blocks are multiplied forward by x^(8*distance) mod P and added, four lanes
// at a time, then reduced to 32 bits (Barrett). The constants are those powers
// of x for the reflected polynomial 0xEDB88320. `n` is at least 64 and a
// multiple of 16; about a tenth of an instruction a byte.
NE2000_FOLDING_TARGET std::uint32_t crc32_by_folding(std::uint32_t crc, const std::uint8_t* p,
                                                     std::size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x00000001c6e41596, 0x0000000154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00000000ccaa009e, 0x00000001751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0000000163cd6124);
    const __m128i poly = _mm_set_epi64x(0x00000001f7011641, 0x00000001db710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; n >= 16; n -= 16, p += 16) x1 = fold(x1, k3k4, load(p));

    // 128 bits to 64, adding 32 zero bits; then to 32 bits; then Barrett.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool processor_folds() {
    static const bool folds = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return folds;
}
#endif

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
#ifdef NE2000_CRC_FOLDING
    if (n >= 64 && processor_folds()) {
        const std::size_t blocks = n & ~std::size_t{15};
        crc = crc32_by_folding(crc, p, blocks);
        p += blocks;
        n -= blocks;
    }
#endif
    return ~crc32_by_table(crc, p, n);
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
