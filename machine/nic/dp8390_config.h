#pragma once
// How a particular NE2000-style card is built around its DP8390: the width of
// its data path, the station address burned into its PROM, and where its packet
// RAM sits in the controller's 16-bit remote-DMA address space.

#include <array>
#include <cstdint>

namespace machine {

using MacAddress = std::array<std::uint8_t, 6>;

struct Dp8390Config {
    enum class Width {
        Bits16,  // word-wide ASIC: doubled PROM with a 'W' signature, 16 KB RAM at 0x4000
        Bits8,   // byte-wide ASIC: plain PROM with a 'B' signature, 8 KB RAM at 0x2000
    };

    Width width = Width::Bits16;
    // A locally administered address, so a capture never shows a real vendor's prefix.
    MacAddress station_address{0x02, 0x00, 0x00, 0x00, 0x30, 0x01};
    // Packet RAM; a size of 0 builds a card whose RAM is missing (RAM test failures).
    // RAM reaching past 0xFFFF is cut at the end of the address space.
    std::uint32_t ram_start = 0x4000;
    std::uint32_t ram_size = 0x4000;
    // Whether the function asserts IOIS16# on its data port, so that a socket
    // window sized by the card passes word accesses as one 16-bit cycle.
    bool drives_iois16 = true;
    // Timing as the part shows it: after a stop, RST only once a frame still
    // coming in (or going out) has ended; after the reset port, RST only once
    // the controller's internal reset is over. Off, both show at once, which
    // keeps functional tests free of waits.
    bool realistic_timing = false;

    static Dp8390Config sixteen_bit_card() { return {}; }
    static Dp8390Config eight_bit_card() {
        Dp8390Config c;
        c.width = Width::Bits8;
        c.ram_start = 0x2000;
        c.ram_size = 0x2000;
        c.drives_iois16 = false;
        return c;
    }
};

}  // namespace machine
