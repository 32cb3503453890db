#include <gtest/gtest.h>

#include "machine/uart/uart8250.h"

using namespace machine;

namespace {

TEST(Uart8250, DivisorLatchSharesTheFirstTwoPortsUnderDlab) {
    Uart8250 u;
    u.write8(3, 0x80);
    EXPECT_EQ(u.port_name(0, true), "DLL");
    EXPECT_EQ(u.port_name(1, false), "DLM");
    u.write8(1, 0x00);
    u.write8(0, 0x06);
    EXPECT_EQ(u.divisor(), 6);
    EXPECT_EQ(u.read8(0), 0x06);
    EXPECT_EQ(u.interrupt_enable(), 0x00) << "divisor writes must not reach IER";
    EXPECT_TRUE(u.transmitted().empty()) << "nor THR";
    u.write8(3, 0x03);
    EXPECT_EQ(u.port_name(0, true), "THR");
    EXPECT_EQ(u.port_name(0, false), "RBR");
    EXPECT_EQ(u.port_name(1, true), "IER");
    u.write8(1, 0xFF);
    EXPECT_EQ(u.read8(1), 0x0F);  // IER has four bits
    EXPECT_EQ(u.divisor(), 6);
    EXPECT_EQ(u.read8(3), 0x03);
}

TEST(Uart8250, ReceiveBufferGivesOneCharacterPerReadUntilDataReadyDrops) {
    Uart8250 u;
    EXPECT_EQ(u.read8(5), 0x60);  // transmitter idle, nothing received
    u.queue_received({'a', 'b', 'c'});
    // The drain a driver does at bring-up: LSR, then RBR while data is ready.
    int lsr_reads = 0;
    std::string got;
    while (++lsr_reads, u.read8(5) & 0x01) got += static_cast<char>(u.read8(0));
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(lsr_reads, 4);
    EXPECT_EQ(u.receive_buffer_reads(), 3u);
}

TEST(Uart8250, InterruptIdentificationAndWhatClearsEachCause) {
    Uart8250 u;
    EXPECT_EQ(u.read8(2), 0x01);
    EXPECT_FALSE(u.interrupt());

    // Transmitter empty: raised on enabling it, cleared by reading IIR.
    u.write8(1, 0x02);
    EXPECT_TRUE(u.interrupt());
    EXPECT_EQ(u.read8(2), 0x02);
    EXPECT_FALSE(u.interrupt());
    EXPECT_EQ(u.read8(2), 0x01);
    u.write8(0, 'x');  // a character sent empties the holding register again
    EXPECT_TRUE(u.interrupt());
    EXPECT_EQ(u.transmitted(), std::vector<std::uint8_t>{'x'});
    u.read8(2);

    // Received data outranks it and is not cleared by IIR, only by RBR.
    u.write8(1, 0x03);
    u.queue_received('y');
    EXPECT_EQ(u.read8(2), 0x04);
    EXPECT_EQ(u.read8(2), 0x04);
    EXPECT_EQ(u.read8(0), 'y');
    EXPECT_FALSE(u.interrupt());

    // Line errors outrank everything and clear by reading LSR.
    u.write8(1, 0x07);
    u.queue_received('z');
    u.signal_line_error(0x08);
    EXPECT_EQ(u.read8(2), 0x06);
    EXPECT_EQ(u.read8(5), 0x69);
    EXPECT_EQ(u.read8(2), 0x04);
    u.write8(1, 0x00);
    EXPECT_FALSE(u.interrupt()) << "disabled causes do not interrupt";
    EXPECT_EQ(u.read8(2), 0x01);
}

TEST(Uart8250, StuckDataReadyNeverDrains) {
    Uart8250 u;
    u.set_data_ready_stuck(true);
    u.queue_received('q');
    EXPECT_EQ(u.read8(0), 'q');
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(u.read8(5) & 0x01, 0x01);
        EXPECT_EQ(u.read8(0), 0x00);
    }
    u.hardware_reset();
    EXPECT_EQ(u.read8(5) & 0x01, 0x01) << "a broken line survives a card reset";
}

TEST(Uart8250, ResetClearsRegistersButNotCharactersOnTheLine) {
    Uart8250 u;
    u.write8(3, 0x80);
    u.write8(0, 0x0C);
    u.write8(3, 0x1B);
    u.write8(1, 0x01);
    u.write8(4, 0x0B);
    u.write8(7, 0x5A);
    u.queue_received({1, 2});
    EXPECT_TRUE(u.interrupt());
    u.hardware_reset();
    EXPECT_FALSE(u.interrupt());
    EXPECT_EQ(u.divisor(), 0);
    for (std::uint16_t off : {1, 3, 4, 7}) EXPECT_EQ(u.read8(off), 0x00) << off;
    EXPECT_EQ(u.read8(5), 0x61);
    EXPECT_EQ(u.read8(0), 1);
}

TEST(Uart8250, LoopbackReturnsTransmittedCharactersAndModemLines) {
    Uart8250 u;
    EXPECT_EQ(u.read8(6), 0x00);  // nothing attached to the modem inputs
    u.write8(4, 0x13);            // loop, RTS, DTR
    EXPECT_EQ(u.read8(6), 0x33);  // CTS and DSR up, both changed
    EXPECT_EQ(u.read8(6), 0x30);  // the change flags clear on reading
    u.write8(0, 0x55);
    EXPECT_TRUE(u.transmitted().empty());
    EXPECT_EQ(u.read8(5) & 0x01, 0x01);
    EXPECT_EQ(u.read8(0), 0x55);
}

}  // namespace
