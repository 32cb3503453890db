#include <gtest/gtest.h>

#include <random>
#include <set>

#include "machine/pcmcia/i82365.h"
#include "machine/pcmcia/pc_card.h"
#include "machine/uart/uart8250.h"

using namespace machine;

namespace {

// A stand-in Ethernet function: 32 scratch ports, word-wide (IOIS16#) at the
// data port 0x10 only, with an interrupt output the test drives.
class FakeEthernet : public CardFunction {
public:
    std::array<std::uint8_t, 32> regs{};
    int byte_reads = 0, word_reads = 0, resets = 0;

    std::uint16_t port_count() const override { return 32; }
    std::uint8_t read8(std::uint16_t offset) override { return ++byte_reads, regs.at(offset); }
    void write8(std::uint16_t offset, std::uint8_t value) override { regs.at(offset) = value; }
    bool word_port(std::uint16_t offset) const override { return offset == 0x10; }
    std::uint16_t read16(std::uint16_t offset) override {
        ++word_reads;
        return static_cast<std::uint16_t>(regs.at(offset) | regs.at(offset + 1u) << 8);
    }
    std::string port_name(std::uint16_t offset, bool) const override {
        return offset == 0 ? "CR" : "ETH" + std::to_string(offset);
    }
    void hardware_reset() override {
        ++resets;
        regs.fill(0);
        set_interrupt(false);
    }
    void interrupt(bool level) { set_interrupt(level); }
    using CardFunction::interrupt;
};

constexpr std::uint32_t kWindow = 0xD8000;  // host address of the attribute-memory window

struct Rig {
    IsaBus bus;
    FakeEthernet eth;
    Uart8250 uart;
    TwoFunctionCard card{eth, uart};
    I82365 pcic{bus};

    Rig() { pcic.install(0, card); }

    // The index/data protocol, as a driver uses it.
    void write(std::uint8_t index, std::uint8_t value) {
        bus.out8(0x3E0, index);
        bus.out8(0x3E1, value);
    }
    std::uint8_t read(std::uint8_t index) {
        bus.out8(0x3E0, index);
        return bus.in8(0x3E1);
    }
    bool level(unsigned irq) const { return const_cast<IsaBus&>(bus).irq().level(irq); }

    // The whole bring-up a driver does for socket `base / 0x40`: reset, power,
    // attribute window at 0xD8000, I/O windows (Ethernet 0x320, UART 0x2F8),
    // status change on IRQ 5, IREQ# on IRQ 3, configuration bytes.
    void bring_up(std::uint8_t io_control = 0x33, std::uint8_t base = 0x00) {
        const std::uint8_t v = read(base + 0x03);
        write(base + 0x03, v & 0xBF);
        write(base + 0x03, v | 0x40);
        write(base + 0x02, 0x10);
        write(base + 0x02, read(base + 0x02) | 0x80);
        const std::uint8_t mem[] = {0xD8, 0x80, 0xD9, 0x00, 0x27, 0x7F};
        for (std::uint8_t i = 0; i < 6; ++i) write(base + 0x10 + i, mem[i]);
        write(base + 0x06, read(base + 0x06) | 0x01);
        const std::uint8_t io[] = {0x20, 0x03, 0x3F, 0x03, 0xF8, 0x02, 0xFF, 0x02};
        for (std::uint8_t i = 0; i < 8; ++i) write(base + 0x08 + i, io[i]);
        write(base + 0x06, read(base + 0x06) | 0xE0);
        write(base + 0x07, io_control);
        write(base + 0x05, 0x5B);
        write(base + 0x03, (read(base + 0x03) & 0xF0) | 0x20);
        write(base + 0x03, read(base + 0x03) | 0x03);
        bus.mem_write8(kWindow + 0x3F8, 0x25);  // Ethernet 0x320, UART 0x2F8, enabled
        bus.mem_write8(kWindow + 0x3FA, 0x48);  // SigChg, audio
        bus.mem_write8(kWindow + 0x3F2, 0x08);  // UART interrupt onto IREQ#
        write(base + 0x06, 0xE0);               // memory window closed again
    }
};

TEST(I82365, IdentifiesOneControllerWithTwoSocketsAndNothingBeyond) {
    Rig r;
    EXPECT_EQ(r.read(0x00), 0x83);
    EXPECT_EQ(r.read(0x40), 0x83);
    // A second controller would answer at 0x80-0xFF; there is none.
    r.write(0x83, 0x12);
    EXPECT_EQ(r.read(0x80), 0xFF);
    EXPECT_EQ(r.read(0x83), 0xFF);
    // Read-only registers ignore writes; ordinary ones hold their value.
    r.write(0x00, 0x55);
    EXPECT_EQ(r.read(0x00), 0x83);
    r.write(0x4A, 0x9C);
    EXPECT_EQ(r.read(0x4A), 0x9C);
    EXPECT_EQ(r.read(0x0A), 0x00);      // the sockets' register files are separate
    EXPECT_EQ(r.bus.in8(0x3E0), 0x0A);  // the index persists and reads back
}

TEST(I82365, AbsentControllerReadsAllOnesAndDecodesNothing) {
    IsaBus bus;
    FakeEthernet eth;
    Uart8250 uart;
    TwoFunctionCard card{eth, uart};
    I82365 pcic{bus, false};
    pcic.install(0, card);
    for (std::uint8_t i : {0x00, 0x01, 0x03}) {
        bus.out8(0x3E0, i);
        EXPECT_EQ(bus.in8(0x3E1), 0xFF);
    }
    bus.out8(0x3E0, 0x02);
    bus.out8(0x3E1, 0x90);  // would power the card if the chip were there
    EXPECT_FALSE(card.powered());
    EXPECT_EQ(bus.in8(0x3E0), 0xFF);
}

TEST(I82365, InterfaceStatusFollowsCardPowerAndReset) {
    Rig r;
    EXPECT_EQ(r.read(0x01), 0x0F);  // card detect both, batteries good, no power
    EXPECT_EQ(r.read(0x41), 0x00);  // empty socket
    r.write(0x02, 0x10);
    EXPECT_EQ(r.read(0x01), 0x4F);  // Vcc on, but outputs off and reset held: not ready
    EXPECT_FALSE(r.card.operational());
    r.write(0x02, 0x90);
    EXPECT_EQ(r.read(0x01), 0x4F);  // 0x03 is 0 after power-up: reset still asserted
    r.write(0x03, 0x40);
    EXPECT_EQ(r.read(0x01), 0x6F);
    EXPECT_TRUE(r.card.operational());
    r.write(0x02, 0x10);  // outputs disabled again
    EXPECT_FALSE(r.card.operational());
}

TEST(I82365, StatusChangeIsLatchedUntilReadAndDrivesALevelWhileEnabled) {
    Rig r;
    r.write(0x05, 0x58);  // status change on IRQ 5, card-detect enabled
    EXPECT_EQ(r.read(0x04), 0x00) << "a card present from power-up has raised no change";
    r.pcic.remove_at(0, 10 * kMicrosecond);
    r.pcic.insert_at(0, r.card, 20 * kMicrosecond);
    r.bus.clock().advance(15 * kMicrosecond);
    EXPECT_TRUE(r.level(5));
    r.bus.clock().advance(10 * kMicrosecond);
    EXPECT_TRUE(r.level(5));  // the level stays up: no new edge for a driver that did not read 0x04
    EXPECT_EQ(r.read(0x04), 0x08);
    EXPECT_FALSE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x00);

    // A change whose enable bit is clear is still latched, but interrupts nobody.
    r.write(0x05, 0x50);
    r.pcic.remove(0);
    EXPECT_FALSE(r.level(5));
    r.write(0x05, 0x38);  // enabling it later raises the level on the new IRQ
    EXPECT_TRUE(r.level(3));
    EXPECT_FALSE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x08);
    EXPECT_FALSE(r.level(3));
}

TEST(I82365, CardAnswersOnlyWhereItsConfigurationAndAnOpenWindowAgree) {
    Rig r;
    r.bring_up();
    r.eth.regs[0] = 0x21;  // after bring-up: powering the card reset it
    EXPECT_EQ(r.bus.in8(0x320), 0x21);
    EXPECT_EQ(r.bus.in8(0x300), 0xFF);  // outside the window and not where the card placed it

    // Window open at 0x320, but the configuration places Ethernet at 0x300.
    r.write(0x06, 0xE1);
    r.bus.mem_write8(kWindow + 0x3F8, 0x24);
    EXPECT_EQ(r.card.ethernet_base(), 0x300);
    EXPECT_EQ(r.bus.in8(0x320), 0xFF);
    // Placed at 0x320 but the enable bit missing.
    r.bus.mem_write8(kWindow + 0x3F8, 0x05);
    EXPECT_EQ(r.bus.in8(0x320), 0xFF);
    r.bus.mem_write8(kWindow + 0x3F8, 0x25);
    EXPECT_EQ(r.bus.in8(0x320), 0x21);
    // Window 0 closed: nothing at 0x320 even though the card is configured for it.
    r.write(0x06, 0x81);
    EXPECT_EQ(r.bus.in8(0x320), 0xFF);
    // A window passes the host port unchanged and inclusive of its stop.
    r.write(0x06, 0xC1);
    r.write(0x0A, 0x20);  // stop 0x320
    EXPECT_EQ(r.bus.in8(0x320), 0x21);
    EXPECT_EQ(r.bus.in8(0x321), 0xFF);
    // The UART sits behind window 1 at 0x2F8: LCR reads back.
    r.bus.out8(0x2FB, 0x03);
    EXPECT_EQ(r.bus.in8(0x2FB), 0x03);
    EXPECT_TRUE(r.pcic.violations().empty());
}

TEST(I82365, WindowWidthDecidesHowAWordAccessReachesTheCard) {
    {
        Rig r;
        r.bring_up(0x00);  // 8-bit windows
        r.eth.regs[0x10] = 0x34;
        r.eth.regs[0x11] = 0x12;
        EXPECT_EQ(r.bus.in16(0x330), 0x1234);
        EXPECT_EQ(r.eth.word_reads, 0);
        EXPECT_EQ(r.eth.byte_reads, 2);
    }
    {
        Rig r;
        r.bring_up(0x22);  // size from IOIS16#: a word cycle only at the data port
        r.eth.regs[0x10] = 0x34;
        r.eth.regs[0x11] = 0x12;
        EXPECT_EQ(r.bus.in16(0x330), 0x1234);
        EXPECT_EQ(r.eth.word_reads, 1);
        EXPECT_EQ(r.bus.in16(0x32E), 0x0000);
        EXPECT_EQ(r.eth.word_reads, 1);
        EXPECT_EQ(r.eth.byte_reads, 2);
    }
    {
        Rig r;
        r.bring_up(0x01);  // forced 16-bit window 0
        r.bus.in16(0x320);
        EXPECT_EQ(r.eth.word_reads, 1);
        // The last port of the window cannot take a word: the cycle is split.
        EXPECT_EQ(r.bus.in16(0x33F), 0xFF00);
        EXPECT_EQ(r.eth.word_reads, 1);
    }
}

TEST(I82365, MemoryWindowReachesTheConfigurationRegistersInAttributeMemory) {
    Rig r;
    r.bring_up();
    r.write(0x06, 0xE1);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F8), 0x25);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3FA), 0x48);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F2), 0x08);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F9), 0xFF);  // odd attribute bytes are not there
    r.bus.mem_write8(kWindow + 0x3F9, 0x00);
    EXPECT_EQ(r.card.configuration_option(), 0x25);
    // The second page of the window wraps onto the card in the same 12-bit decode.
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x13F8), 0x25);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x2000), 0xFF);  // past the stop page
    // Intr in the status register follows the Ethernet interrupt.
    r.eth.interrupt(true);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3FA), 0x4A);

    // Without REG the window shows common memory, which this card does not have.
    r.write(0x15, 0x3F);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F8), 0xFF);
    r.bus.mem_write8(kWindow + 0x3F8, 0x20);
    EXPECT_EQ(r.card.configuration_option(), 0x25);
    // Write protect.
    r.write(0x15, 0xFF);
    r.bus.mem_write8(kWindow + 0x3F8, 0x20);
    EXPECT_EQ(r.card.configuration_option(), 0x25);
    r.write(0x06, 0xE0);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F8), 0xFF);
    EXPECT_TRUE(r.pcic.violations().empty());
}

TEST(I82365, RemovedCardLeavesEveryPortFloating) {
    Rig r;
    r.bring_up();
    r.eth.regs[0] = 0x21;
    r.write(0x06, 0xE1);
    r.read(0x04);
    r.pcic.remove_at(0, 5 * kMillisecond);
    r.bus.clock().advance(5 * kMillisecond);
    for (std::uint16_t p = 0x320; p < 0x340; ++p) EXPECT_EQ(r.bus.in8(p), 0xFF);
    for (std::uint16_t p = 0x2F8; p < 0x300; ++p) EXPECT_EQ(r.bus.in8(p), 0xFF);
    EXPECT_EQ(r.bus.in16(0x330), 0xFFFF);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F8), 0xFF);
    EXPECT_EQ(r.read(0x01), 0x00);
    EXPECT_TRUE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x08);
    EXPECT_FALSE(r.card.powered());
    EXPECT_TRUE(r.pcic.violations().empty()) << "a vanished card is not the driver's fault";
}

TEST(I82365, EthernetInterruptReachesTheStatusChangeIrqThroughSigChg) {
    Rig r;
    r.bring_up();
    EXPECT_EQ(r.read(0x04), 0x00);
    EXPECT_FALSE(r.level(5));
    r.eth.interrupt(true);
    EXPECT_TRUE(r.level(5));
    EXPECT_EQ(r.read(0x01) & 0x01, 0x00);  // STSCHG# asserted reads as 0
    EXPECT_EQ(r.read(0x04), 0x01);
    EXPECT_FALSE(r.level(5)) << "reading 0x04 drops the level even while STSCHG# stays asserted";
    r.eth.interrupt(false);
    EXPECT_EQ(r.read(0x01) & 0x01, 0x01);
    EXPECT_EQ(r.read(0x04), 0x00);
    r.eth.interrupt(true);  // a new assertion is a new change
    EXPECT_TRUE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x01);
    r.eth.interrupt(false);

    // Without SigChg the Ethernet interrupt does not leave the card.
    r.write(0x06, 0xE1);
    r.bus.mem_write8(kWindow + 0x3FA, 0x08);
    r.eth.interrupt(true);
    EXPECT_FALSE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x00);
    r.eth.interrupt(false);
    // In memory-card mode the pin is a battery detect, not STSCHG#.
    r.bus.mem_write8(kWindow + 0x3FA, 0x48);
    r.write(0x03, 0x43);
    r.eth.interrupt(true);
    EXPECT_EQ(r.read(0x04), 0x00);
    EXPECT_FALSE(r.level(5));
}

TEST(I82365, UartInterruptIsSteeredThroughIreq) {
    Rig r;
    r.bring_up();
    r.uart.queue_received(0x41);
    r.bus.out8(0x2F9, 0x01);  // IER: received data
    EXPECT_TRUE(r.level(3));
    EXPECT_FALSE(r.level(5));
    r.write(0x03, 0x64);  // steer IREQ# to IRQ 4 instead
    EXPECT_FALSE(r.level(3));
    EXPECT_TRUE(r.level(4));
    r.write(0x03, 0x60);  // not steered
    EXPECT_FALSE(r.level(4));
    r.write(0x03, 0x63);
    EXPECT_TRUE(r.level(3));
    EXPECT_EQ(r.bus.in8(0x2F8), 0x41);  // taking the character ends the request
    EXPECT_FALSE(r.level(3));

    // Without the serial control bit the UART interrupt stays on the card.
    r.write(0x06, 0xE1);
    r.bus.mem_write8(kWindow + 0x3F2, 0x00);
    r.uart.queue_received(0x42);
    EXPECT_FALSE(r.level(3));
    r.bus.mem_write8(kWindow + 0x3F2, 0x08);
    EXPECT_TRUE(r.level(3));
    r.write(0x03, 0x43);  // memory-card mode: no IREQ#
    EXPECT_FALSE(r.level(3));
}

TEST(I82365, CardResetClearsTheConfigurationAndResetsTheFunctions) {
    Rig r;
    r.bring_up();
    const int resets = r.eth.resets;
    r.bus.out8(0x2FB, 0x83);
    r.write(0x03, 0x23);  // reset asserted
    EXPECT_EQ(r.eth.resets, resets + 1);
    EXPECT_EQ(r.card.configuration_option(), 0x00);
    EXPECT_EQ(r.uart.line_control(), 0x00);
    r.write(0x03, 0x63);
    EXPECT_EQ(r.bus.in8(0x320), 0xFF) << "the card forgot where to answer";
    r.write(0x06, 0xE1);
    r.bus.mem_write8(kWindow + 0x3F8, 0x25);
    r.eth.regs[0] = 0x21;
    EXPECT_EQ(r.bus.in8(0x320), 0x21);
}

TEST(I82365, AccessToAnUnpoweredOrResetCardIsAViolation) {
    Rig r;
    r.bring_up();
    EXPECT_TRUE(r.pcic.violations().empty());
    r.write(0x03, 0x23);  // hold the card in reset with the windows still open
    EXPECT_EQ(r.bus.in8(0x320), 0xFF);
    r.bus.out8(0x321, 0x00);
    ASSERT_EQ(r.pcic.violations().size(), 2u);
    EXPECT_NE(r.pcic.violations()[0].find("reset"), std::string::npos);
    r.pcic.clear_violations();
    r.write(0x03, 0x63);
    r.write(0x02, 0x00);
    r.write(0x06, 0xE1);
    EXPECT_EQ(r.bus.mem_read8(kWindow + 0x3F8), 0xFF);
    ASSERT_EQ(r.pcic.violations().size(), 1u);
    EXPECT_NE(r.pcic.violations()[0].find("unpowered"), std::string::npos);
}

// With a busy time the card keeps READY low after it comes out of reset, and
// an access in that window is a violation that reaches nothing.
TEST(I82365, CardBusyAfterResetShowsNotReadyAndRefusesAccesses) {
    Rig r;
    r.card.set_busy_after_reset(r.bus.clock(), TwoFunctionCard::kBusyAfterReset);
    r.write(0x03, 0x40);
    r.write(0x02, 0x90);  // power with RESET released: out of reset now
    r.write(0x06, 0x01);
    r.write(0x10, 0xD8), r.write(0x11, 0x80), r.write(0x12, 0xD9), r.write(0x14, 0x27), r.write(0x15, 0x7F);
    r.bus.clock().advance(TwoFunctionCard::kBusyAfterReset - 1);
    EXPECT_EQ(r.read(0x01), 0x4F);
    r.bus.mem_write8(kWindow + 0x3F8, 0x25);
    EXPECT_EQ(r.card.configuration_option(), 0x00);
    ASSERT_EQ(r.pcic.violations().size(), 1u);
    EXPECT_NE(r.pcic.violations()[0].find("still busy after its reset"), std::string::npos);
    r.bus.clock().advance(1);
    EXPECT_EQ(r.read(0x01), 0x6F);
    r.bus.mem_write8(kWindow + 0x3F8, 0x25);
    EXPECT_EQ(r.card.configuration_option(), 0x25);
    EXPECT_EQ(r.pcic.violations().size(), 1u);
}

// The 82365SL has interrupt pins for IRQ 3, 4, 5, 7, 9-12, 14 and 15 only.
// Steering either interrupt to another level is recorded, once per change,
// and the interrupt then reaches no line.
TEST(I82365, SteeringToALevelWithoutAPinIsRecordedAndReachesNoLine) {
    Rig r;
    r.bring_up();
    const std::set<unsigned> routable = {0, 3, 4, 5, 7, 9, 10, 11, 12, 14, 15};
    for (unsigned irq = 0; irq < 16; ++irq) {
        SCOPED_TRACE(irq);
        r.pcic.clear_violations();
        r.write(0x05, static_cast<std::uint8_t>(irq << 4 | 0x0B));
        r.write(0x05, static_cast<std::uint8_t>(irq << 4 | 0x0B));  // no change: no second record
        r.write(0x03, static_cast<std::uint8_t>(0x60 | irq));
        const int line = routable.count(irq) && irq != 0 ? static_cast<int>(irq) : machine::kNoIrqLine;
        EXPECT_EQ(r.bus.irq().line_of(r.pcic.status_change_source(0)), line);
        EXPECT_EQ(r.bus.irq().line_of(r.pcic.ireq_source(0)), line);
        if (routable.count(irq)) {
            EXPECT_TRUE(r.pcic.violations().empty());
        } else {
            const std::string tail =
                " steers to IRQ " + std::to_string(irq) + ", which the 82365SL cannot route";
            EXPECT_EQ(r.pcic.violations(),
                      (std::vector<std::string>{"socket 0 status change interrupt configuration" + tail,
                                                "socket 0 interrupt and general control" + tail}));
        }
    }
}

TEST(I82365, SecondSocketIsProgrammedThroughIndexBase0x40) {
    Rig r;
    r.pcic.remove(0);
    r.pcic.install(1, r.card);
    r.bring_up(0x33, 0x40);
    r.eth.regs[0] = 0x21;
    EXPECT_EQ(r.bus.in8(0x320), 0x21);
    r.eth.interrupt(true);
    EXPECT_TRUE(r.level(5));
    EXPECT_EQ(r.read(0x04), 0x08);  // socket 0 saw the earlier removal
    EXPECT_EQ(r.read(0x44), 0x01);
    EXPECT_FALSE(r.level(5));
}

TEST(I82365, TraceNamesTheIndexTheDataRegisterAndTheCardsPorts) {
    Rig r;
    r.bring_up();
    r.bus.trace().enable();
    r.write(0x04, 0);
    r.read(0x04);
    r.bus.in8(0x320);
    r.bus.out8(0x2F8, 0x41);
    r.bus.in8(0x2FD);
    const std::vector<std::string> expected = {
        "I365 index <- 0x04", "I365 data [0x04] <- 0x00",
        "I365 index <- 0x04", "I365 data [0x04] -> 0x00",
        "CR -> 0x00",         "THR <- 0x41",
        "LSR -> 0x60",
    };
    EXPECT_EQ(r.bus.trace().lines(), expected);
}

// Random values into every register of the controller, the card and the UART,
// with cards coming and going: the models must stay in bounds whatever happens.
TEST(I82365, SurvivesRandomProgramming) {
    Rig r;
    std::mt19937 rng(1234);
    auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
    r.bring_up();
    for (int i = 0; i < 20000; ++i) {
        switch (rng() % 8) {
            case 0:
                r.write(byte(), byte());
                break;
            case 1:
                r.read(byte());
                break;
            case 2:
                r.bus.mem_write8(0xD0000 + rng() % 0x10000, byte());
                break;
            case 3:
                r.bus.mem_read8(0xD0000 + rng() % 0x10000);
                break;
            case 4:
                r.bus.out8(static_cast<std::uint16_t>(0x2E0 + rng() % 0x120), byte());
                break;
            case 5:
                r.bus.in16(static_cast<std::uint16_t>(0x2E0 + rng() % 0x120));
                break;
            case 6:
                r.bus.out16(static_cast<std::uint16_t>(0x2E0 + rng() % 0x120),
                            static_cast<std::uint16_t>(rng()));
                break;
            case 7:
                if (rng() % 64 == 0) {
                    const unsigned socket = rng() % 2;
                    if (r.pcic.card(socket))
                        r.pcic.remove(socket);
                    else
                        r.pcic.insert(socket, r.card);  // moves it if it sits in the other socket
                }
                r.eth.interrupt(rng() % 2);
                break;
        }
        if (i % 1000 == 0) r.bring_up(byte());  // keep the card reachable now and then
    }
    SUCCEED();
}

}  // namespace
