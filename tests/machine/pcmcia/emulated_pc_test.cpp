#include <gtest/gtest.h>

#include "machine/emulated_pc.h"

using namespace machine;

namespace {

void write(EmulatedPc& pc, std::uint8_t index, std::uint8_t value) {
    pc.bus().out8(0x3E0, index);
    pc.bus().out8(0x3E1, value);
}
std::uint8_t read(EmulatedPc& pc, std::uint8_t index) {
    pc.bus().out8(0x3E0, index);
    return pc.bus().in8(0x3E1);
}

// Socket 0, Ethernet at 0x300 on IRQ 5, UART at 0x2F8 on IRQ 3, attribute window at 0xD8000.
void bring_up(EmulatedPc& pc) {
    write(pc, 0x03, read(pc, 0x03) & 0xBF);
    write(pc, 0x03, read(pc, 0x03) | 0x40);
    write(pc, 0x02, 0x10);
    write(pc, 0x02, read(pc, 0x02) | 0x80);
    const std::uint8_t regs[] = {0xD8, 0x80, 0xD9, 0x00, 0x27, 0x7F, 0x00, 0x00,
                                 0x00, 0x03, 0x1F, 0x03, 0xF8, 0x02, 0xFF, 0x02};
    for (std::uint8_t i = 0; i < 6; ++i) write(pc, 0x10 + i, regs[i]);
    write(pc, 0x06, 0x01);
    for (std::uint8_t i = 0; i < 8; ++i) write(pc, 0x08 + i, regs[8 + i]);
    write(pc, 0x06, 0xE1);
    write(pc, 0x07, 0x33);
    write(pc, 0x05, 0x5B);
    write(pc, 0x03, 0x63);
    pc.bus().mem_write8(0xD83F8, 0x24);
    pc.bus().mem_write8(0xD83FA, 0x48);
    pc.bus().mem_write8(0xD83F2, 0x08);
    write(pc, 0x06, 0xE0);
}

TEST(EmulatedPc, DriverBringUpReachesTheEthernetControllerAndItsInterrupt) {
    EmulatedPc pc;
    EXPECT_EQ(pc.bus().access_cost(), kMicrosecond);
    EXPECT_EQ(read(pc, 0x00), 0x83);
    EXPECT_EQ(read(pc, 0x01) & 0x0C, 0x0C);
    EXPECT_EQ(pc.bus().in8(0x300), 0xFF) << "nothing answers before bring-up";
    bring_up(pc);
    pc.bus().in8(0x31F);  // the ASIC's reset port
    EXPECT_EQ(pc.bus().in8(0x300), 0x21);
    EXPECT_EQ(pc.bus().in8(0x200), 0xFF) << "same low bits as CR, but nobody's port";
    EXPECT_EQ(pc.bus().in8(0x307), 0x80);
    // A remote read of zero bytes completes at once (RDC). Unmasked, the
    // controller's INT leaves the card as STSCHG# and arrives on IRQ 5 as the
    // socket's status-change interrupt.
    pc.bus().out8(0x30F, 0x40);
    pc.bus().out8(0x300, 0x09);
    EXPECT_TRUE(pc.irq().level(5));
    EXPECT_FALSE(pc.irq().level(3));
    EXPECT_EQ(read(pc, 0x04), 0x01);
    EXPECT_FALSE(pc.irq().level(5));
    pc.bus().out8(0x307, 0x40);
    // The UART answers at 0x2F8 and interrupts through IREQ# on IRQ 3.
    pc.uart().queue_received('!');
    pc.bus().out8(0x2F9, 0x01);
    EXPECT_TRUE(pc.irq().level(3));
    EXPECT_EQ(pc.bus().in8(0x2F8), '!');
    EXPECT_TRUE(pc.violations().empty());
}

TEST(EmulatedPc, OptionsShapeTheMachine) {
    {
        EmulatedPc pc({.controller_present = false});
        EXPECT_EQ(read(pc, 0x00), 0xFF);
    }
    {
        EmulatedPc pc({.card_present = false});
        EXPECT_EQ(read(pc, 0x01), 0x00);
        EXPECT_EQ(pc.socket_controller().card(0), nullptr);
    }
    {
        EmulatedPc pc({.socket = 1});
        EXPECT_EQ(read(pc, 0x01) & 0x0C, 0x00);
        EXPECT_EQ(read(pc, 0x41) & 0x0C, 0x0C);
    }
    {
        EmulatedPc pc({.insert_at = 2 * kMillisecond, .remove_at = 9 * kMillisecond});
        EXPECT_EQ(read(pc, 0x01), 0x00);
        pc.clock().advance(2 * kMillisecond);
        EXPECT_EQ(read(pc, 0x01) & 0x0C, 0x0C);
        EXPECT_EQ(read(pc, 0x04), 0x08);
        bring_up(pc);
        EXPECT_NE(pc.bus().in8(0x300), 0xFF);
        pc.clock().run_until(9 * kMillisecond);
        EXPECT_EQ(pc.bus().in8(0x300), 0xFF);
        EXPECT_EQ(read(pc, 0x04), 0x08);
    }
    {
        EmulatedPc pc({.nic = Dp8390Config::eight_bit_card()});
        bring_up(pc);
        EXPECT_FALSE(pc.nic().word_port(0x10)) << "an 8-bit card does not drive IOIS16#";
    }
    for (bool realistic : {false, true}) {
        EmulatedPc pc({.realistic_timing = realistic});
        EXPECT_EQ(pc.nic().config().realistic_timing, realistic);
        bring_up(pc);  // waits nowhere: the card is still busy with realistic timing
        EXPECT_EQ(pc.violations().empty(), !realistic);
    }
}

}  // namespace
