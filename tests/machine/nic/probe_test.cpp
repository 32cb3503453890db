// The bring-up a driver performs on an unknown card must find what the card
// really has: its width from the PROM signature, its station address, its RAM.

#include <gtest/gtest.h>

#include "chip.h"

using namespace nictest;
using machine::Dp8390Config;

namespace {

// Dummy read (CRDA must leave the address), pattern down, pattern back; each
// transfer after aborting whatever the one before left unfinished.
bool ram_answers(Chip& c, std::uint16_t a, bool words) {
    const std::uint8_t pattern[4] = {0xAA, 0x55, 0xFF, 0x00};
    c.out(kCommand, 0x20);
    c.remote(a, 2, 0x0A);
    if (words)
        c.nic.read16(kDataPort);
    else
        c.in(kDataPort), c.in(kDataPort);
    if (c.crda() == a) return false;
    c.out(kCommand, 0x20);
    c.remote(a, 4, 0x12);
    for (int i = 0; i < 4; i += words ? 2 : 1) {
        if (words)
            c.nic.write16(kDataPort, static_cast<std::uint16_t>(pattern[i] | pattern[i + 1] << 8));
        else
            c.out(kDataPort, pattern[i]);
    }
    c.out(kCommand, 0x20);
    c.remote(a, 4, 0x0A);
    std::uint8_t back[4];
    for (int i = 0; i < 4; i += words ? 2 : 1) {
        if (words) {
            const std::uint16_t w = c.nic.read16(kDataPort);
            back[i] = static_cast<std::uint8_t>(w);
            back[i + 1] = static_cast<std::uint8_t>(w >> 8);
        } else {
            back[i] = c.in(kDataPort);
        }
    }
    return std::equal(back, back + 4, pattern);
}

struct Found {
    char signature = 0;
    machine::MacAddress address{};
    std::uint32_t ram_start = 0, ram_end = 0;
};

Found probe(Chip& c) {
    Found f;
    c.in(0x1F);
    c.out(0x1F, 0xFF);
    c.out(DCR, 0x48);
    c.out(PSTART, 0x04);
    c.out(PSTOP, 0xFF);
    c.remote(0x0000, 32, 0x0A);
    std::uint8_t prom[32];
    for (auto& b : prom) b = c.in(kDataPort);
    for (int i = 6; i <= 30 && !f.signature; ++i)
        if (prom[i] == prom[i + 1] && (prom[i] == 'B' || prom[i] == 'W'))
            f.signature = static_cast<char>(prom[i]);
    const bool words = f.signature == 'W';
    c.out(DCR, words ? 0x49 : 0x48);
    c.remote(0x0000, 12, 0x0A);
    for (auto& b : f.address) b = c.in(kDataPort);  // byte cycles, one unit each
    std::uint32_t a = 0x0400;
    while (a < 0x10000 && !ram_answers(c, static_cast<std::uint16_t>(a), words)) a += 0x400;
    f.ram_start = f.ram_end = a;
    while (f.ram_end < 0x10000 && ram_answers(c, static_cast<std::uint16_t>(f.ram_end), words))
        f.ram_end += 0x400;
    return f;
}

// The probe of a card built so finds this signature and RAM, and its address.
void ExpectProbeFinds(const Dp8390Config& config, char signature, std::uint32_t ram_start,
                      std::uint32_t ram_end) {
    Chip c(config);
    const Found f = probe(c);
    EXPECT_EQ(f.signature, signature);
    EXPECT_EQ(f.address, c.nic.config().station_address);
    EXPECT_EQ(f.ram_start, ram_start);
    EXPECT_EQ(f.ram_end, ram_end);
    EXPECT_TRUE(c.nic.violations().empty());
}

}  // namespace

TEST(Dp8390Probe, WordCardShowsWSignatureAddressAnd16KAt0x4000) {
    ExpectProbeFinds(Dp8390Config::sixteen_bit_card(), 'W', 0x4000, 0x8000);
}

TEST(Dp8390Probe, ByteCardShowsBSignatureAddressAnd8KAt0x2000) {
    ExpectProbeFinds(Dp8390Config::eight_bit_card(), 'B', 0x2000, 0x4000);
}

TEST(Dp8390Probe, CardWithoutRamAnswersNowhere) {
    Dp8390Config config;
    config.ram_size = 0;
    Chip c(config);
    EXPECT_EQ(probe(c).ram_start, 0x10000u);
}
