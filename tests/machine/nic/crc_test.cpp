#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

#include "machine/nic/ethernet_crc.h"

using namespace machine::ethernet;

TEST(EthernetCrc, MatchesTheStandardCheckValueAndLeavesTheResidueAfterTheFcs) {
    const std::string_view check = "123456789";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(check.data()),
                                              check.size());
    EXPECT_EQ(crc32(bytes), 0xCBF43926u);
    EXPECT_EQ(crc32(bytes.subspan(4), crc32(bytes.first(4))), 0xCBF43926u);  // resumable
    // Sixteen bytes at a time, and folding by carry-less multiplication where
    // the processor has it, give what one at a time gives: at every length up
    // to past the largest frame, from aligned and unaligned starts.
    std::array<std::uint8_t, 1600> long_run{};
    for (std::size_t i = 0; i < long_run.size(); ++i)
        long_run[i] = static_cast<std::uint8_t>(i * 37 + 11 + i / 251);
    for (std::size_t start : {0, 1, 7}) {
        const auto run = std::span(long_run).subspan(start);
        for (std::uint32_t length = 0, one_by_one = 0; length <= run.size(); ++length) {
            ASSERT_EQ(crc32(run.first(length)), one_by_one) << "from " << start << ", " << length << " bytes";
            if (length < run.size()) one_by_one = crc32(run.subspan(length, 1), one_by_one);
        }
    }

    std::vector<std::uint8_t> frame(bytes.begin(), bytes.end());
    for (std::uint8_t b : frame_check_sequence(bytes)) frame.push_back(b);
    EXPECT_EQ(crc32(frame), kFcsResidue);
}

TEST(EthernetCrc, HashIndexIsTheTopOfTheUnreflectedRegister) {
    const std::array<std::uint8_t, 6> all_hosts{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    const std::array<std::uint8_t, 6> broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::array<std::uint8_t, 6> zero{};
    EXPECT_EQ(multicast_hash_index(all_hosts), 31u);  // MAR3 0x80
    EXPECT_EQ(multicast_hash_index(broadcast), 63u);  // MAR7 0x80
    EXPECT_EQ(multicast_hash_index(zero), 14u);       // MAR1 0x40
}
