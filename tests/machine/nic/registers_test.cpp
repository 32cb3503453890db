#include <gtest/gtest.h>

#include "chip.h"

using namespace nictest;
using machine::Dp8390Config;

TEST(Dp8390Registers, ResetPortReadStopsTheChipAndMasksEverything) {
    Chip c;
    c.bring_up();
    c.out(kCommand, 0x62);     // page 1, running
    c.nic.write8(0x1F, 0xFF);  // a write alone does nothing
    EXPECT_EQ(c.in(kCommand), 0x62);
    c.in(0x1F);
    EXPECT_EQ(c.in(kCommand), 0x21);
    EXPECT_EQ(c.in(ISR), 0x80);
    EXPECT_FALSE(c.nic.started());
    c.out(kCommand, 0xA0);  // page 2: IMR reads back
    EXPECT_EQ(c.in(IMR), 0x00);

    // It also forgets a ring overflow: a plain set-up, with no recovery, stores again.
    c.bring_up();
    for (int i = 0; i < 9; ++i) c.nic.receive_frame(frame_to(c.nic.config().station_address, 1514));
    c.in(0x1F);
    c.bring_up();
    c.nic.receive_frame(frame_to(c.nic.config().station_address, 60));
    EXPECT_EQ(c.in(ISR), 0x01);
    EXPECT_TRUE(c.nic.violations().empty());
}

// With realistic timing RST shows only once the chip is really at rest: after
// a stop, when the frame coming in (which is still stored) or going out has
// ended; after the reset port, when the internal reset is over.
TEST(Dp8390Registers, RealisticTimingShowsRstOnlyOnceTheChipIsAtRest) {
    Dp8390Config config;
    config.realistic_timing = true;
    Chip c(config);
    c.bring_up();
    const machine::Nanoseconds t0 = c.clock.now();
    c.nic.medium_busy(t0, t0 + 100000);
    c.clock.advance(40000);
    c.out(kCommand, 0x21);
    c.clock.advance(59999);
    EXPECT_EQ(c.in(ISR), 0x00);
    c.clock.advance(1);
    c.nic.receive_frame(frame_to(config.station_address, 60));
    EXPECT_EQ(c.in(ISR), 0x81);  // RST, and the frame that was coming in

    c.out(ISR, 0xFF);
    c.out(kCommand, 0x22);
    c.load_frame(frame_to({0x02, 0, 0, 0, 0, 7}, 60));
    c.out(kCommand, 0x26);
    c.out(kCommand, 0x21);
    c.clock.advance(machine::Dp8390::wire_time(60) - 1);
    EXPECT_EQ(c.in(ISR), 0x00);
    c.clock.advance(1);
    EXPECT_EQ(c.in(ISR), 0x82);  // the frame went out, then the chip came to rest

    c.out(kCommand, 0x22);
    c.out(kCommand, 0x21);  // nothing in hand: at once
    EXPECT_EQ(c.in(ISR), 0x82);

    c.in(0x1F);
    EXPECT_EQ(c.in(ISR), 0x00);
    c.clock.advance(machine::Dp8390::kResetPortSettle - 1);
    c.out(kCommand, 0x21);  // a stop does not hurry the reset
    EXPECT_EQ(c.in(ISR), 0x00);
    c.clock.advance(1);
    EXPECT_EQ(c.in(ISR), 0x80);
    EXPECT_TRUE(c.nic.violations().empty());
}

TEST(Dp8390Registers, CommandKeepsRunStateUnlessStartOrStopIsWritten) {
    Chip c;
    EXPECT_EQ(c.in(kCommand), 0x21);
    c.out(kCommand, 0x22);
    EXPECT_EQ(c.in(ISR)&0x80, 0);  // start clears RST
    c.out(kCommand, 0x00);
    EXPECT_EQ(c.in(kCommand), 0x02);  // still started, no remote command bits
    EXPECT_TRUE(c.nic.started());
    c.out(kCommand, 0x23);  // both: stop wins, reads back as written
    EXPECT_EQ(c.in(kCommand), 0x23);
    EXPECT_FALSE(c.nic.started());
    EXPECT_EQ(c.in(ISR)&0x80, 0x80);
    c.out(kCommand, 0x0A);
    EXPECT_EQ(c.in(kCommand), 0x0A);
}

TEST(Dp8390Registers, IsrClearsByWritingOnesAndDrivesIntThroughImr) {
    Chip c;
    std::vector<bool> edges;
    c.nic.on_interrupt_change([&](bool level) { edges.push_back(level); });
    c.out(kCommand, 0x22);
    c.remote(0x4000, 0, 0x0A);  // RDC at once
    EXPECT_EQ(c.in(ISR), 0x40);
    EXPECT_FALSE(c.nic.interrupt());
    c.out(IMR, 0x40);
    EXPECT_TRUE(c.nic.interrupt());
    c.out(kCommand, 0x21);
    c.out(ISR, 0xFF);  // RST cannot be written away
    EXPECT_EQ(c.in(ISR), 0x80);
    EXPECT_FALSE(c.nic.interrupt());
    EXPECT_EQ(edges, (std::vector<bool>{true, false}));
}

TEST(Dp8390Registers, PromIsDoubledOnTheWordCardAndPlainOnTheByteCard) {
    Chip word;
    word.out(DCR, 0x48);
    word.remote(0x0000, 32, 0x0A);
    std::vector<std::uint8_t> prom;
    for (int i = 0; i < 32; ++i) prom.push_back(word.in(kDataPort));
    const auto& mac = word.nic.config().station_address;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(prom[2 * i], mac[i]);
        EXPECT_EQ(prom[2 * i + 1], mac[i]);
    }
    EXPECT_EQ(prom[12], 0x00);
    EXPECT_EQ(prom[28], 'W');
    EXPECT_EQ(prom[31], 'W');
    EXPECT_TRUE(word.nic.violations().empty());

    Chip byte(Dp8390Config::eight_bit_card());
    byte.out(DCR, 0x48);
    byte.remote(0x0000, 16, 0x0A);
    prom.clear();
    for (int i = 0; i < 16; ++i) prom.push_back(byte.in(kDataPort));
    EXPECT_TRUE(std::equal(mac.begin(), mac.end(), prom.begin()));
    EXPECT_EQ(prom[13], 0x00);
    EXPECT_EQ(prom[14], 'B');
    EXPECT_EQ(prom[15], 'B');
    EXPECT_FALSE(byte.nic.word_port(kDataPort));
    EXPECT_TRUE(word.nic.word_port(0x17));
    EXPECT_FALSE(word.nic.word_port(0x0F));
}

TEST(Dp8390Registers, OnlyRamAcceptsWritesAndUnmappedMemoryReadsAllOnes) {
    Chip c;
    c.out(DCR, 0x49);
    const std::vector<std::uint8_t> pattern{0xAA, 0x55, 0xFF, 0x00};
    for (std::uint16_t a : {0x0400, 0x3FFC, 0x4000, 0x7FFC, 0x8000}) c.write_memory(a, pattern);
    EXPECT_EQ(c.read_memory(0x0400, 4), std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(c.read_memory(0x3FFC, 4), std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(c.read_memory(0x4000, 4), pattern);
    EXPECT_EQ(c.read_memory(0x7FFC, 4), pattern);
    EXPECT_EQ(c.read_memory(0x8000, 4), std::vector<std::uint8_t>(4, 0xFF));

    Dp8390Config none;
    none.ram_size = 0;
    Chip empty(none);
    empty.out(DCR, 0x49);
    empty.write_memory(0x4000, pattern);
    EXPECT_EQ(empty.read_memory(0x4000, 4), std::vector<std::uint8_t>(4, 0xFF));
}

TEST(Dp8390Registers, PortNamesFollowThePageAndDirection) {
    Chip c;
    EXPECT_EQ(c.nic.port_name(0x07, false), "ISR");
    EXPECT_EQ(c.nic.port_name(0x01, true), "PSTART");
    EXPECT_EQ(c.nic.port_name(0x01, false), "CLDA0");
    EXPECT_EQ(c.nic.port_name(0x0D, false), "CNTR0");
    EXPECT_EQ(c.nic.port_name(0x0D, true), "TCR");
    EXPECT_EQ(c.nic.port_name(0x13, true), "DATA");
    EXPECT_EQ(c.nic.port_name(0x1F, false), "RESET");
    c.out(kCommand, 0x61);
    EXPECT_EQ(c.nic.port_name(0x07, true), "CURR");
    EXPECT_EQ(c.nic.port_name(0x0B, true), "MAR3");
    EXPECT_EQ(c.nic.port_name(0x00, true), "CR");
}

TEST(Dp8390Registers, PowerCycleForgetsRamAndRegisters) {
    Chip c;
    c.bring_up();
    c.write_memory(0x4000, std::vector<std::uint8_t>{1, 2});
    c.nic.hardware_reset();
    EXPECT_EQ(c.in(kCommand), 0x21);
    EXPECT_EQ(c.nic.peek_memory(0x4000), 0);
    c.out(kCommand, 0x61);
    EXPECT_EQ(c.in(CURR), 0);
    EXPECT_EQ(c.in(PAR0), 0);
}
