#pragma once
// Register offsets and bit values of the DP8390 as the host sees them through
// the NE2000 ASIC's 32-port block.

#include <cstdint>

namespace machine::dp8390 {

// Port offsets from the function's base.
constexpr std::uint16_t kCommand = 0x00;
constexpr std::uint16_t kDataPort = 0x10;   // mirrored through 0x10-0x17
constexpr std::uint16_t kResetPort = 0x18;  // mirrored through 0x18-0x1F
constexpr std::uint16_t kPortCount = 0x20;

// Page 0, written.
enum Page0Write : std::uint16_t {
    PSTART = 0x01,
    PSTOP = 0x02,
    BNRY = 0x03,
    TPSR = 0x04,
    TBCR0 = 0x05,
    TBCR1 = 0x06,
    ISR = 0x07,
    RSAR0 = 0x08,
    RSAR1 = 0x09,
    RBCR0 = 0x0A,
    RBCR1 = 0x0B,
    RCR = 0x0C,
    TCR = 0x0D,
    DCR = 0x0E,
    IMR = 0x0F,
};
// Page 0, read (where it differs from the written register).
enum Page0Read : std::uint16_t {
    CLDA0 = 0x01,
    CLDA1 = 0x02,
    TSR = 0x04,
    NCR = 0x05,
    FIFO = 0x06,
    CRDA0 = 0x08,
    CRDA1 = 0x09,
    RSR = 0x0C,
    CNTR0 = 0x0D,
    CNTR1 = 0x0E,
    CNTR2 = 0x0F,
};
// Page 1, read and written.
enum Page1 : std::uint16_t { PAR0 = 0x01, CURR = 0x07, MAR0 = 0x08 };

// CR
constexpr std::uint8_t CR_STP = 0x01;
constexpr std::uint8_t CR_STA = 0x02;
constexpr std::uint8_t CR_TXP = 0x04;
constexpr std::uint8_t CR_RD_MASK = 0x38;
constexpr std::uint8_t CR_RD_READ = 0x08;
constexpr std::uint8_t CR_RD_WRITE = 0x10;
constexpr std::uint8_t CR_RD_SEND = 0x18;
constexpr std::uint8_t CR_RD_ABORT = 0x20;
constexpr std::uint8_t CR_PAGE_MASK = 0xC0;

// ISR and IMR
constexpr std::uint8_t ISR_PRX = 0x01;
constexpr std::uint8_t ISR_PTX = 0x02;
constexpr std::uint8_t ISR_RXE = 0x04;
constexpr std::uint8_t ISR_TXE = 0x08;
constexpr std::uint8_t ISR_OVW = 0x10;
constexpr std::uint8_t ISR_CNT = 0x20;
constexpr std::uint8_t ISR_RDC = 0x40;
constexpr std::uint8_t ISR_RST = 0x80;
constexpr std::uint8_t ISR_CAUSES = 0x7F;  // what IMR can enable and a write of 1 can clear

// TSR
constexpr std::uint8_t TSR_PTX = 0x01;
constexpr std::uint8_t TSR_COL = 0x04;
constexpr std::uint8_t TSR_ABT = 0x08;

// RSR
constexpr std::uint8_t RSR_PRX = 0x01;
constexpr std::uint8_t RSR_CRC = 0x02;
constexpr std::uint8_t RSR_FAE = 0x04;
constexpr std::uint8_t RSR_PHY = 0x20;  // destination was a group (multicast or broadcast) address

// RCR
constexpr std::uint8_t RCR_AB = 0x04;
constexpr std::uint8_t RCR_AM = 0x08;
constexpr std::uint8_t RCR_PRO = 0x10;
constexpr std::uint8_t RCR_MON = 0x20;

// TCR
constexpr std::uint8_t TCR_LOOPBACK = 0x06;  // LB1 LB0; 0x02 is internal loopback

// DCR
constexpr std::uint8_t DCR_WTS = 0x01;

}  // namespace machine::dp8390
