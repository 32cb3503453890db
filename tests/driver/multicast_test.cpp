// The multicast hash: the CRC the driver computes must pick the same MAR bit
// the chip's hash logic picks for a destination, or listed groups are lost.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/adapter.h"
#include "machine/nic/ethernet_crc.h"

namespace {

using Address = std::array<UCHAR, 6>;

std::uint32_t reverse_bits(std::uint32_t v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
    return r;
}

struct HashBit {
    UCHAR reg;
    UCHAR mask;
};

HashBit bit_of(const Address& a) {
    HashBit b{0xEE, 0xEE};
    CardGetMulticastBit(a.data(), &b.reg, &b.mask);
    return b;
}

std::unique_ptr<Ne2000Adapter> zeroed_adapter() {
    auto adapter = std::make_unique<Ne2000Adapter>();
    std::memset(adapter.get(), 0, sizeof(Ne2000Adapter));
    return adapter;
}

// A multicast address whose low bytes vary with n.
Address group(unsigned n) {
    return {0x01, 0x00, 0x5E, static_cast<UCHAR>(n >> 16), static_cast<UCHAR>(n >> 8), static_cast<UCHAR>(n)};
}

std::array<UCHAR, 8> expected_hash(std::initializer_list<Address> addresses) {
    std::array<UCHAR, 8> mar{};
    for (const Address& a : addresses) {
        const unsigned index = machine::ethernet::multicast_hash_index(std::span<const std::uint8_t, 6>(a));
        mar[index >> 3] |= static_cast<UCHAR>(1u << (index & 7));
    }
    return mar;
}

std::array<UCHAR, 8> hash_of(const Ne2000Adapter& adapter) {
    std::array<UCHAR, 8> mar{};
    std::memcpy(mar.data(), adapter.MulticastHashBytes, 8);
    return mar;
}

TEST(MulticastCrc, KnownValues) {
    const UCHAR abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(CardComputeCrc(abc, 3), 0xBC7DDB53u);

    const Address all_hosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    EXPECT_EQ(CardComputeCrc(all_hosts.data(), 6), 0x7FA32D9Bu);

    const Address broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(CardComputeCrc(broadcast.data(), 6), 0xFF48647Du);

    const Address zeros{};
    EXPECT_EQ(CardComputeCrc(zeros.data(), 6), 0x3A7ABC72u);

    EXPECT_EQ(CardComputeCrc(abc, 0), 0xFFFFFFFFu);
}

// The register form equals the bit-reversed complement of the common
// reflected CRC-32, for every length and content.
TEST(MulticastCrc, MatchesReflectedCrc32ForArbitraryData) {
    std::uint32_t seed = 12345;
    for (unsigned length = 0; length < 80; ++length) {
        std::vector<UCHAR> data(length);
        for (auto& b : data) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<UCHAR>(seed >> 16);
        }
        const std::uint32_t reflected = machine::ethernet::crc32(data);
        EXPECT_EQ(CardComputeCrc(data.data(), length), reverse_bits(~reflected)) << "length " << length;
    }
}

TEST(MulticastBit, RegisterAndMaskOfKnownAddresses) {
    const HashBit all_hosts = bit_of({0x01, 0x00, 0x5E, 0x00, 0x00, 0x01});
    EXPECT_EQ(all_hosts.reg, 3);
    EXPECT_EQ(all_hosts.mask, 0x80);

    const HashBit broadcast = bit_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(broadcast.reg, 7);
    EXPECT_EQ(broadcast.mask, 0x80);

    const HashBit zeros = bit_of({});
    EXPECT_EQ(zeros.reg, 1);
    EXPECT_EQ(zeros.mask, 0x40);
}

// The driver and the chip model must agree on the bit for any destination;
// otherwise the chip drops a group the driver believes it opened.
TEST(MulticastBit, AgreesWithTheChipForManyGroups) {
    for (unsigned n = 0; n < 2000; ++n) {
        const Address a = group(n * 7919u);
        const unsigned index = machine::ethernet::multicast_hash_index(std::span<const std::uint8_t, 6>(a));
        const HashBit b = bit_of(a);
        ASSERT_EQ(b.reg, index >> 3) << n;
        ASSERT_EQ(b.mask, 1u << (index & 7)) << n;
    }
}

TEST(MulticastFill, EmptyTableHashesTheZeroAddress) {
    auto adapter = zeroed_adapter();
    std::memset(adapter->MulticastHashBytes, 0xA5, 8);  // stale bits must go
    CardFillMulticastRegs(adapter.get());
    const std::array<UCHAR, 8> expected = {0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(hash_of(*adapter), expected);
}

// All sixteen slots reach the hash, so a full list of 16 groups is received.
TEST(MulticastFill, EverySlotOfAFullTableIsHashed) {
    auto adapter = zeroed_adapter();
    Address list[16];
    for (unsigned i = 0; i < 16; ++i) {
        list[i] = group(0x100 + i * 37);
        std::memcpy(adapter->MulticastAddresses[i], list[i].data(), 6);
    }
    CardFillMulticastRegs(adapter.get());
    EXPECT_EQ(hash_of(*adapter),
              expected_hash({list[0], list[1], list[2], list[3], list[4], list[5], list[6], list[7], list[8],
                             list[9], list[10], list[11], list[12], list[13], list[14], list[15]}));

    // The last slot alone decides a bit no other slot sets.
    for (unsigned i = 0; i < 15; ++i) std::memcpy(adapter->MulticastAddresses[i], list[15].data(), 6);
    std::memcpy(adapter->MulticastAddresses[15], list[9].data(), 6);
    CardFillMulticastRegs(adapter.get());
    EXPECT_EQ(hash_of(*adapter), expected_hash({list[15], list[9]}));
}

// Slots beyond the latest list keep their addresses and their bits; two
// addresses with the same index set a single bit.
TEST(MulticastFill, StaleSlotsAndCollisions) {
    auto adapter = zeroed_adapter();
    const Address a = group(1), b = group(2), c = group(3);
    std::memcpy(adapter->MulticastAddresses[0], a.data(), 6);
    std::memcpy(adapter->MulticastAddresses[1], b.data(), 6);
    std::memcpy(adapter->MulticastAddresses[5], c.data(), 6);
    CardFillMulticastRegs(adapter.get());
    const Address zero{};
    EXPECT_EQ(hash_of(*adapter), expected_hash({a, b, c, zero}));

    // Find a second group with the same index as a.
    const unsigned index_a = machine::ethernet::multicast_hash_index(std::span<const std::uint8_t, 6>(a));
    Address twin{};
    for (unsigned n = 4;; ++n) {
        twin = group(n);
        if (machine::ethernet::multicast_hash_index(std::span<const std::uint8_t, 6>(twin)) == index_a) break;
    }
    auto fresh = zeroed_adapter();
    for (unsigned i = 0; i < 16; ++i) std::memcpy(fresh->MulticastAddresses[i], (i % 2 ? twin : a).data(), 6);
    CardFillMulticastRegs(fresh.get());
    int bits = 0;
    for (UCHAR m : hash_of(*fresh)) bits += __builtin_popcount(m);
    EXPECT_EQ(bits, 1);
}

}  // namespace
