// The bus's fast paths (decode remembered per port, strings moved as blocks)
// against the plain path: two identical machines, one with the fast paths off,
// take the same random port traffic, remote-DMA set-ups, faults and socket and
// card changes. Everything a driver or a test can see must agree throughout.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "machine/emulated_pc.h"

using namespace machine;

namespace {

constexpr std::uint16_t kBase = 0x300, kData = kBase + 0x10, kIndex = 0x3E0, kSocketData = 0x3E1;
constexpr std::uint32_t kAttribute = 0xD8000;

using Bytes = std::vector<std::uint8_t>;

void socket_write(EmulatedPc& pc, std::uint8_t index, std::uint8_t value) {
    pc.bus().out8(kIndex, index);
    pc.bus().out8(kSocketData, value);
}

// What the driver's initialisation leaves: card at 0x300 (window 0) and 0x2F8
// (window 1), both sized by the card, the attribute window left open.
void configure_card(EmulatedPc& pc) {
    const std::uint8_t regs[][2] = {{0x03, 0x40}, {0x02, 0x90}, {0x10, 0xD8}, {0x11, 0x80}, {0x12, 0xD9},
                                    {0x14, 0x27}, {0x15, 0x7F}, {0x08, 0x00}, {0x09, 0x03}, {0x0A, 0x1F},
                                    {0x0B, 0x03}, {0x0C, 0xF8}, {0x0D, 0x02}, {0x0E, 0xFF}, {0x0F, 0x02},
                                    {0x07, 0x33}, {0x06, 0xE1}, {0x03, 0x65}};
    for (const auto& [index, value] : regs) socket_write(pc, index, value);
    pc.bus().stall(TwoFunctionCard::kBusyAfterReset / kMicrosecond);
    pc.bus().mem_write8(kAttribute + TwoFunctionCard::kConfigurationOption, 0x24);
}

void start_chip(EmulatedPc& pc, std::uint8_t dcr) {
    const unsigned ring = pc.nic().config().ram_start >> 8;
    const unsigned sequence[][2] = {{0x00, 0x21}, {0x0E, dcr},  {0x0A, 0x00}, {0x0B, 0x00},
                                    {0x0D, 0x02}, {0x01, ring}, {0x03, ring}, {0x02, ring + 0x10u},
                                    {0x07, 0xFF}, {0x0F, 0x1B}, {0x00, 0x22}, {0x0D, 0x00}};
    for (const auto& [reg, value] : sequence) pc.bus().out8(kBase + reg, static_cast<std::uint8_t>(value));
}

struct Case {
    unsigned seed;
    bool eight_bit, realistic, trace;
};

class FastPaths : public ::testing::TestWithParam<Case> {};

enum Kind { Remote, String, Single, Mode, Fault, Send, Ring, Window, Layout, Power, Swap, Wait, Setup, Poke };
// Out of 64: mostly transfers; the changes that cut the card off are undone
// by a fresh set-up within a few steps.
constexpr std::pair<Kind, unsigned> kMix[] = {
    {Remote, 14}, {String, 14}, {Single, 6}, {Mode, 2}, {Fault, 2}, {Send, 2},  {Ring, 2},
    {Window, 3},  {Layout, 2},  {Power, 2},  {Swap, 2}, {Wait, 3},  {Setup, 6}, {Poke, 4}};

Kind pick(std::uint32_t r) {
    unsigned x = r % 64;
    for (const auto& [kind, weight] : kMix) {
        if (x < weight) return kind;
        x -= weight;
    }
    return Poke;
}

// A string at the data port (or a mirror of it), now and then elsewhere:
// `kind` 0 and 1 read bytes and words, 2 and 3 write them.
Bytes strings(IsaBus& bus, unsigned kind, std::uint32_t s) {
    const std::uint16_t ports[] = {kData,     kData,        kData,       kData,
                                   kData + 3, kBase + 0x1F, kSocketData, kBase + 0x20};
    const std::uint16_t port = ports[(s >> 12) % 8];
    if (port == kSocketData) kind %= 2;  // whatever the index names, but no random socket programming
    const std::size_t count = s % 160;
    Bytes data(2 * count);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(s + 3 * i);
    auto* words = reinterpret_cast<std::uint16_t*>(data.data());  // vector storage is aligned
    switch (kind % 4) {
        case 0:
            bus.in8_string(port, data.data(), count);
            return data;
        case 1:
            bus.in16_string(port, words, count);
            return data;
        case 2:
            bus.out8_string(port, data.data(), count);
            return {};
        default:
            bus.out16_string(port, words, count);
            return {};
    }
}

// One random step, the same on either machine; returns what the host read.
Bytes step(EmulatedPc& pc, std::uint32_t r, std::uint32_t s) {
    IsaBus& bus = pc.bus();
    const auto ram = static_cast<std::uint16_t>(pc.nic().config().ram_start);
    const auto ram_end = static_cast<std::uint16_t>(ram + pc.nic().config().ram_size);
    const auto out = [&](unsigned reg, unsigned value) {
        bus.out8(static_cast<std::uint16_t>(kBase + reg), static_cast<std::uint8_t>(value));
    };
    Bytes got;
    switch (pick(r)) {
        case Remote: {  // near where something happens: PSTOP, either end of RAM, the PROM, 0xFFFF
            const unsigned places[] = {ram + s % 64u,
                                       ram + 0x1000 - s % 9,
                                       ram_end - s % 9u,
                                       ram - s % 9u,
                                       s % 40,
                                       0xFFFF - s % 5,
                                       s};
            const unsigned at = places[(s >> 16) % 7] & ((s >> 20) % 4 ? 0xFFFE : 0xFFFF);
            const std::uint8_t command = std::array{0x0A, 0x12, 0x12, 0x0A, 0x1A, 0x22}[(r >> 8) % 6];
            out(0x08, at), out(0x09, at >> 8), out(0x0A, (s >> 8) % 200), out(0x0B, 0), out(0x00, command);
            // Mostly the transfer itself right away, mostly in the direction set up.
            const unsigned kind = (r >> 12) % 2 + ((command == 0x12) == ((r >> 13) % 8 != 0) ? 2 : 0);
            if (r >> 28) got = strings(bus, kind, s >> 3);
            break;
        }
        case String:
            got = strings(bus, r >> 8, s);
            break;
        case Single: {  // the data port, CRDA, ISR
            const std::uint16_t ports[] = {kData, kBase + 0x08, kBase + 0x09, kBase + 0x07};
            const std::uint16_t port = ports[(r >> 8) % 4];
            if ((r >> 12) % 4 == 0) got = {bus.in8(port)};
            if ((r >> 12) % 4 == 1) {
                const std::uint16_t word = bus.in16(port);
                got = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
            }
            if ((r >> 12) % 4 == 2) bus.out8(port, static_cast<std::uint8_t>(s));
            if ((r >> 12) % 4 == 3) bus.out16(port, static_cast<std::uint16_t>(s));
            break;
        }
        case Mode:
            out(0x0E, s % 3 ? 0x49 : 0x48);
            break;
        case Fault: {
            Dp8390Faults& f = pc.nic().faults();
            f.remote_address_stuck = s % 6 == 0;
            f.rdc_never_sets = s % 6 == 1;
            f.bad_ram_byte.reset();
            if (s % 6 == 2) f.bad_ram_byte = static_cast<std::uint16_t>(ram + (s >> 8) % 80);
            break;
        }
        case Send:  // from the start of RAM, where remote writes then go
            out(0x04, ram >> 8), out(0x05, 60 + s % 40), out(0x06, 0), out(0x00, 0x26);
            break;
        case Ring:
            out(1 + s % 2, (ram >> 8) + (s >> 8) % 0x30);
            break;
        case Window: {  // what decides a route: width, enables and extent of the I/O windows
            const std::uint8_t choices[][2] = {{0x07, 0x33}, {0x07, 0x00}, {0x07, 0x11}, {0x07, 0x31},
                                               {0x06, 0xE1}, {0x06, 0xA1}, {0x0A, 0x1F}, {0x0A, 0x10},
                                               {0x0A, 0x3F}, {0x08, 0x11}, {0x08, 0x00}};
            socket_write(pc, choices[s % 11][0], choices[s % 11][1]);
            break;
        }
        case Layout: {  // the card moves its functions, or drops them
            const std::uint8_t options[] = {0x24, 0x24, 0x25, 0x04};
            bus.mem_write8(kAttribute + TwoFunctionCard::kConfigurationOption, options[s % 4]);
            break;
        }
        case Power:
            if (s % 2)
                socket_write(pc, 0x03, s % 4 == 1 ? 0x25 : 0x65);
            else
                socket_write(pc, 0x02, s % 4 == 0 ? 0x00 : 0x90);
            break;
        case Swap:
            if (pc.socket_controller().card(0))
                pc.socket_controller().remove(0);
            else
                pc.socket_controller().insert(0, pc.card());
            break;
        case Wait:  // now and then past a busy time
            bus.stall(s % 4 ? s % 500 : s % 25000);
            break;
        case Setup:
            configure_card(pc), start_chip(pc, s % 2 ? 0x49 : 0x48);
            break;
        case Poke:  // CR, or the reset port
            got = {bus.in8(kBase + 0x1F * (s % 2))};
            break;
    }
    return got;
}

void expect_same(EmulatedPc& fast, EmulatedPc& plain, unsigned at) {
    SCOPED_TRACE("after step " + std::to_string(at));
    for (std::uint32_t a = 0; a < 0x10000; ++a)
        ASSERT_EQ(fast.nic().peek_memory(static_cast<std::uint16_t>(a)),
                  plain.nic().peek_memory(static_cast<std::uint16_t>(a)))
            << a;
    const auto f = fast.nic().layout(), p = plain.nic().layout();
    EXPECT_EQ(Bytes({f.dcr, f.pstart, f.pstop, f.bnry, f.curr, f.tpsr}),
              Bytes({p.dcr, p.pstart, p.pstop, p.bnry, p.curr, p.tpsr}));
    EXPECT_EQ(fast.nic().isr(), plain.nic().isr());
    EXPECT_EQ(fast.violations(), plain.violations());
    EXPECT_EQ(fast.clock().now(), plain.clock().now());
    EXPECT_EQ(fast.card().configuration_option(), plain.card().configuration_option());
    for (unsigned line = 0; line < kIrqLineCount; ++line)
        EXPECT_EQ(fast.irq().level(line), plain.irq().level(line));
    EXPECT_EQ(fast.trace().lines(), plain.trace().lines());
}

TEST_P(FastPaths, MatchThePlainPathStepForStep) {
    const Case c = GetParam();
    EmulatedPcOptions options;
    if (c.eight_bit) options.nic = Dp8390Config::eight_bit_card();
    options.realistic_timing = c.realistic;
    EmulatedPc fast(options), plain(options);
    plain.bus().set_fast_paths(false);
    for (EmulatedPc* pc : {&fast, &plain}) {
        pc->trace().enable(c.trace);
        configure_card(*pc);
        start_chip(*pc, c.eight_bit ? 0x48 : 0x49);
    }
    std::mt19937 rng(c.seed);
    for (unsigned i = 1; i <= 4000; ++i) {
        const std::uint32_t r = rng(), s = rng();
        ASSERT_EQ(step(fast, r, s), step(plain, r, s)) << "step " << i << " kind " << pick(r);
        if (i % 250 == 0) expect_same(fast, plain, i);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FastPaths,
                         ::testing::Values(Case{1, false, false, true}, Case{2, false, true, false},
                                           Case{3, true, false, false}, Case{4, true, true, true},
                                           Case{5, false, true, true}, Case{6, false, false, false}));

}  // namespace
