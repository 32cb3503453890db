#include <gtest/gtest.h>

#include <random>

#include "chip.h"
#include "machine/isa_bus.h"

using namespace nictest;

// Any value at any port, interleaved with traffic and time, must leave the
// model sound: no crash, no out-of-bounds access under the sanitizers.
TEST(Dp8390Robustness, RandomAccessesToEveryPortNeverBreakTheModel) {
    Chip c;
    std::mt19937 rng(8390);
    std::vector<std::uint8_t> frame(1600);
    for (int i = 0; i < 40000; ++i) {
        // Mostly registers and the data port; now and then the reset port and beyond.
        const auto port = static_cast<std::uint16_t>(rng() % 16 == 0 ? rng() % 0x24 : rng() % 0x11);
        const auto value = static_cast<std::uint8_t>(rng());
        switch (rng() % 8) {
            case 0:
                c.in(port);
                break;
            case 1:
                c.nic.read16(port);
                break;
            case 2:
                c.nic.write16(port, static_cast<std::uint16_t>(rng()));
                break;
            case 3:
                for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
                c.nic.receive_frame(std::span(frame).first(rng() % frame.size()));
                break;
            case 4:
                c.clock.advance(rng() % 200000);
                break;
            default:
                c.out(port, value);
                break;
        }
        if (i % 500 == 0) {
            // Running and promiscuous, with a ring laid out at random.
            c.nic.clear_violations();
            c.bring_up(0x14, rng() % 2 == 0);
            for (std::uint16_t reg : {PSTART, PSTOP, BNRY}) c.out(reg, static_cast<std::uint8_t>(rng()));
            c.out(kCommand, 0x62);
            c.out(CURR, static_cast<std::uint8_t>(rng()));
            c.out(kCommand, 0x22);
        }
    }
    c.clock.advance(machine::kSecond);
    SUCCEED();
}

namespace {
// Places the function at 0x300 on the bus, word-wide where it asks for it.
struct At300 : machine::IoDevice {
    machine::Dp8390& f;
    explicit At300(machine::Dp8390& fn) : f(fn) {}
    machine::IoWidth decode(std::uint16_t port) const override {
        if (port < 0x300 || port >= 0x320) return machine::IoWidth::None;
        return f.word_port(port - 0x300) ? machine::IoWidth::Word : machine::IoWidth::Byte;
    }
    std::uint8_t read8(std::uint16_t p) override { return f.read8(p - 0x300); }
    void write8(std::uint16_t p, std::uint8_t v) override { f.write8(p - 0x300, v); }
    std::uint16_t read16(std::uint16_t p) override { return f.read16(p - 0x300); }
    void write16(std::uint16_t p, std::uint16_t v) override { f.write16(p - 0x300, v); }
    std::string port_name(std::uint16_t p, bool w) const override { return f.port_name(p - 0x300, w); }
};
}  // namespace

TEST(Dp8390OnTheBus, StringWordTransfersRoundTripAndTraceByPage) {
    machine::IsaBus bus;
    machine::Dp8390 nic(bus.clock());
    At300 slot(nic);
    bus.attach(slot);
    bus.trace().enable();
    bus.out8(0x300, 0x21);
    bus.out8(0x30E, 0x49);
    const std::uint16_t out[3] = {0x1234, 0x5678, 0x9ABC};
    for (auto [reg, v] : {std::pair{0x08, 0x00}, {0x09, 0x40}, {0x0A, 6}, {0x0B, 0}})
        bus.out8(0x300 + reg, v);
    bus.out8(0x300, 0x12);
    bus.out16_string(0x310, out, 3);
    for (auto [reg, v] : {std::pair{0x08, 0x00}, {0x09, 0x40}, {0x0A, 6}, {0x0B, 0}})
        bus.out8(0x300 + reg, v);
    bus.out8(0x300, 0x0A);
    std::uint16_t in[3] = {};
    bus.in16_string(0x310, in, 3);
    EXPECT_TRUE(std::equal(in, in + 3, out));
    EXPECT_TRUE(nic.violations().empty());
    bus.out8(0x300, 0x62);
    bus.in8(0x307);
    EXPECT_EQ(bus.trace().lines().back(), "CURR -> 0x00");
}
