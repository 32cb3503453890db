#include <gtest/gtest.h>

#include <array>

#include "machine/isa_bus.h"

using namespace machine;

namespace {
// Eight ports of scratch registers at 0x300, word-wide at the first two only.
class Scratch : public IoDevice {
public:
    std::array<std::uint8_t, 8> regs{};
    int byte_accesses = 0, word_accesses = 0;
    IoWidth decode(std::uint16_t port) const override {
        if (port < 0x300 || port > 0x307) return IoWidth::None;
        return port < 0x302 ? IoWidth::Word : IoWidth::Byte;
    }
    std::uint8_t read8(std::uint16_t port) override { return ++byte_accesses, regs[port - 0x300]; }
    void write8(std::uint16_t port, std::uint8_t v) override { ++byte_accesses, regs[port - 0x300] = v; }
    std::uint16_t read16(std::uint16_t port) override {
        ++word_accesses;
        return static_cast<std::uint16_t>(regs[port - 0x300] | regs[port - 0x300 + 1] << 8);
    }
    std::string port_name(std::uint16_t port, bool write) const override {
        return (write ? "W" : "R") + std::to_string(port - 0x300);
    }
};
}  // namespace

TEST(IsaBus, UnclaimedPortsReadAllOnes) {
    IsaBus bus;
    EXPECT_EQ(bus.in8(0x123), 0xFF);
    EXPECT_EQ(bus.in16(0x123), 0xFFFF);
    bus.out8(0x123, 0);  // swallowed
    EXPECT_EQ(bus.mem_read8(0xD8000), 0xFF);
}

TEST(IsaBus, WordAccessToAByteWidePortIsSplitIntoTwoByteCycles) {
    IsaBus bus;
    Scratch dev;
    bus.attach(dev);
    bus.out16(0x304, 0xBEEF);
    EXPECT_EQ(dev.regs[4], 0xEF);
    EXPECT_EQ(dev.regs[5], 0xBE);
    EXPECT_EQ(dev.byte_accesses, 2);
    EXPECT_EQ(bus.in16(0x300), 0x0000);
    EXPECT_EQ(dev.word_accesses, 1);
    // A word at the last decoded port takes its high byte from nowhere.
    EXPECT_EQ(bus.in16(0x307), 0xFF00);
}

TEST(IsaBus, ChargesVirtualTimePerAccessAndTracesStringsAsOneEntry) {
    IsaBus bus;
    Scratch dev;
    bus.attach(dev);
    bus.set_access_cost(1000);
    bus.trace().enable();
    std::array<std::uint8_t, 5> data{1, 2, 3, 4, 5};
    bus.out8_string(0x303, data.data(), data.size());
    bus.stall(3);
    bus.in8(0x303);
    EXPECT_EQ(bus.clock().now(), 5 * 1000 + 3000 + 1000u);
    EXPECT_EQ(bus.port_access_count(), 6u);
    auto lines = bus.trace().lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "W3 <- 5 bytes");
    EXPECT_EQ(lines[1], "stall 3us");
    EXPECT_EQ(lines[2], "R3 -> 0x05");
}

TEST(IsaBus, WordStringsMoveThroughOddHostBuffers) {
    // The HAL's callers may pass a buffer at an odd address, as x86 string
    // instructions allow; the sanitizer build proves no misaligned load.
    IsaBus bus;
    Scratch dev;
    bus.attach(dev);
    alignas(2) std::array<std::uint8_t, 7> raw{0, 0x34, 0x12, 0x78, 0x56, 0, 0};
    bus.out16_string(0x300, reinterpret_cast<std::uint16_t*>(raw.data() + 1), 2);
    EXPECT_EQ(dev.regs[0], 0x78);
    EXPECT_EQ(dev.regs[1], 0x56);
    bus.in16_string(0x300, reinterpret_cast<std::uint16_t*>(raw.data() + 3), 1);
    EXPECT_EQ(raw[3], 0x78);
    EXPECT_EQ(raw[4], 0x56);
}
