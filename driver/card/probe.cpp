// Finding the card behind its port base: does a DP8390 answer, does the card
// move data 8 or 16 bits at a time, where is its packet RAM and how large,
// and what station address does its PROM hold. Needed only while an adapter is
// brought up, so the kernel image discards this code afterwards.

#include "driver/adapter.h"

NDIS_INIT_FUNCTION(CardCheckParameters)
NDIS_INIT_FUNCTION(CardSlotTest)
NDIS_INIT_FUNCTION(CardRamTest)
NDIS_INIT_FUNCTION(CardInitialize)
NDIS_INIT_FUNCTION(CardReadEthernetAddress)

namespace {

constexpr ULONG kResetPollUs = 4;
constexpr UINT kResetPolls = 0x3FFE;

// The PROM of an 8-bit card carries "BB", that of a 16-bit card (which
// doubles every PROM byte) "WWWW". The first six positions hold the start of
// the station address and are not searched.
constexpr UINT kPromProbeLength = 32;
constexpr UINT kSignatureFirst = 6;
constexpr UINT kSignatureLast = 30;
constexpr UCHAR kSignatureByteWide = 0x42;  // 'B'
constexpr UCHAR kSignatureWordWide = 0x57;  // 'W'

// RAM is looked for in 1 KB steps over the 64 KB remote-DMA space.
constexpr ULONG kRamStep = 0x400;
constexpr ULONG kAddressSpaceEnd = 0x10000;
// A RAM that reaches the top loses its last page: PSTOP is an 8-bit page
// number and cannot name the end of the address space.
constexpr ULONG kHighestRamEnd = 0xFF00;

// Only the remote-DMA byte count of the first programming; the read it starts
// is never taken.
constexpr UCHAR kInitialRemoteCount = 0x37;

// Writes the pattern at Address and reads it back. Fails when the remote DMA
// does not start or any byte differs: no RAM there.
BOOLEAN RamAnswersAt(PNe2000Adapter Adapter, ULONG Address) {
    static const UCHAR pattern[4] = {0xAA, 0x55, 0xFF, 0x00};
    UCHAR readBack[4] = {0, 0, 0, 0};
    if (!CardCopyDown(Adapter, Address, pattern, sizeof pattern)) return FALSE;
    if (!CardCopyUp(Adapter, readBack, Address, sizeof readBack)) return FALSE;
    return NdisEqualMemory(pattern, readBack, sizeof pattern);
}

// Reading the reset port, then writing it, resets the card's controller.
VOID PulseCardReset(PNe2000Adapter Adapter) {
    (VOID) CardReadRegister(Adapter, NIC_RESET);
    CardWriteRegister(Adapter, NIC_RESET, 0xFF);
}

UCHAR DataConfiguration(const Ne2000Adapter* Adapter) {
    return Adapter->ByteWideTransfers ? DCR_BYTE_WIDE : DCR_WORD_WIDE;
}

}  // namespace

BOOLEAN CardCheckParameters(PNe2000Adapter Adapter) {
    CardWriteRegister(Adapter, NIC_IMR, 0x00);
    SyncCardStop(Adapter);
    KeStallExecutionProcessor(kStopSettleUs);
    // A stopped DP8390 reads back stop + abort, possibly still showing start.
    const UCHAR command = CardReadRegister(Adapter, NIC_CR);
    return command == (CR_NO_DMA | CR_STP) || command == (CR_NO_DMA | CR_STA | CR_STP);
}

BOOLEAN CardSlotTest(PNe2000Adapter Adapter) {
    PulseCardReset(Adapter);

    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STP);
    KeStallExecutionProcessor(kStopSettleUs);
    if (CardReadRegister(Adapter, NIC_CR) != (CR_NO_DMA | CR_STP)) return FALSE;

    // Read the start of the PROM byte by byte: the pattern of the signature
    // tells an 8-bit card from a 16-bit one.
    CardWriteRegister(Adapter, NIC_DCR, DCR_BYTE_WIDE);
    CardWriteRegister(Adapter, NIC_IMR, 0x00);
    CardWriteRegister(Adapter, NIC_ISR, 0xFF);
    CardWriteRegister(Adapter, NIC_RSAR0, 0x00);
    CardWriteRegister(Adapter, NIC_RSAR1, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR0, (UCHAR)kPromProbeLength);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_REMOTE_READ);

    UCHAR prom[kPromProbeLength];
    for (UINT i = 0; i < kPromProbeLength; ++i) prom[i] = CardReadRegister(Adapter, NIC_DATA);

    PulseCardReset(Adapter);

    for (UINT i = kSignatureFirst; i <= kSignatureLast; ++i) {
        if (prom[i] == kSignatureByteWide && prom[i + 1] == kSignatureByteWide) {
            Adapter->ByteWideTransfers = TRUE;
            return TRUE;
        }
        if (prom[i] == kSignatureWordWide && prom[i + 1] == kSignatureWordWide) {
            Adapter->ByteWideTransfers = FALSE;
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN CardRamTest(PNe2000Adapter Adapter) {
    // The first 1 KB block that holds the pattern is the start of RAM.
    ULONG start = kRamStep;
    while (start < kAddressSpaceEnd && !RamAnswersAt(Adapter, start)) start += kRamStep;
    if (start >= kAddressSpaceEnd) return FALSE;

    // The first block after it that does not is the end.
    ULONG end = start;
    while (end < kAddressSpaceEnd && RamAnswersAt(Adapter, end)) end += kRamStep;
    if (end == start) return FALSE;
    if (end == kAddressSpaceEnd) end = kHighestRamEnd;

    // Every dword in between must hold the pattern too.
    for (ULONG address = start; address < end; address += 4) {
        if (!RamAnswersAt(Adapter, address)) return FALSE;
    }

    Adapter->CardRamStart = start;
    Adapter->CardRamLength = end - start;
    return TRUE;
}

BOOLEAN CardInitialize(PNe2000Adapter Adapter) {
    SyncCardStop(Adapter);

    // A first programming in loopback with monitor-only receive, so the card
    // neither sends nor stores anything while it is probed.
    CardWriteRegister(Adapter, NIC_DCR, DCR_LOOPBACK_INIT);
    CardWriteRegister(Adapter, NIC_TPSR, 0xA0);
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    CardWriteRegister(Adapter, NIC_RCR, RCR_MON);
    CardWriteRegister(Adapter, NIC_PSTART, 0x04);
    CardWriteRegister(Adapter, NIC_PSTOP, 0xFF);
    CardWriteRegister(Adapter, NIC_BNRY, 0x04);
    CardWriteRegister(Adapter, NIC_TBCR0, 0x3C);
    CardWriteRegister(Adapter, NIC_TBCR1, 0x00);
    KeStallExecutionProcessor(kStopSettleUs);

    CardWriteRegister(Adapter, NIC_ISR, 0xFF);
    CardWriteRegister(Adapter, NIC_CR, CR_PAGE1 | CR_STP);
    CardWriteRegister(Adapter, NIC_CURR, 0x04);
    CardWriteRegister(Adapter, NIC_CR, CR_STP);

    KeStallExecutionProcessor(kStopSettleUs);
    if ((CardReadRegister(Adapter, NIC_CR) & CR_STP) == 0) return FALSE;

    CardWriteRegister(Adapter, NIC_RBCR0, kInitialRemoteCount);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_REMOTE_READ);

    if (Adapter->BusType == (UCHAR)NdisInterfaceMca) {
        // Micro Channel cards are always 16-bit.
        Adapter->ByteWideTransfers = FALSE;
    } else if (!CardSlotTest(Adapter)) {
        SyncCardStop(Adapter);
        return FALSE;
    }

    CardWriteRegister(Adapter, NIC_IMR, 0x00);
    CardWriteRegister(Adapter, NIC_CR, 0x00);
    CardWriteRegister(Adapter, NIC_DCR, DataConfiguration(Adapter));
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    CardWriteRegister(Adapter, NIC_RCR, 0x00);
    CardWriteRegister(Adapter, NIC_ISR, 0xFF);
    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STP);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);

    // The controller sets RST once it has really stopped. A card that never
    // shows it is tried all the same.
    for (UINT poll = 0; poll < kResetPolls; ++poll) {
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_RST) break;
        KeStallExecutionProcessor(kResetPollUs);
    }

    // The RAM test needs the remote DMA, so run in loopback: nothing reaches
    // the wire.
    CardWriteRegister(Adapter, NIC_TCR, TCR_INTERNAL_LOOPBACK);
    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STA);

    const BOOLEAN ramFound = CardRamTest(Adapter);
    SyncCardStop(Adapter);
    return ramFound;
}

VOID CardReadEthernetAddress(PNe2000Adapter Adapter) {
    // The station address is the start of the PROM. A 16-bit card doubles
    // every PROM byte, and in word mode each byte read steps two addresses,
    // so six reads give the address on either card; the count covers both.
    CardWriteRegister(Adapter, NIC_RBCR0, 0x0C);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_RSAR0, 0x00);
    CardWriteRegister(Adapter, NIC_RSAR1, 0x00);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_REMOTE_READ);

    for (UINT i = 0; i < kEthernetAddressLength; ++i) {
        Adapter->PermanentAddress[i] = CardReadRegister(Adapter, NIC_DATA);
    }

    // A configured address overrides the card's own.
    static const UCHAR unset[kEthernetAddressLength] = {0, 0, 0, 0, 0, 0};
    if (NdisEqualMemory(Adapter->CurrentAddress, unset, kEthernetAddressLength)) {
        NdisMoveMemory(Adapter->CurrentAddress, Adapter->PermanentAddress, kEthernetAddressLength);
    }
}
