// Small register-level operations on the DP8390: stop, start a transmission,
// read CURR and TSR, move BNRY, load RCR and the multicast filter, and stop
// into loopback.
//
// The interrupt service routine reads ISR and writes IMR without selecting a
// register page, so it is right only while page 0 is selected. Every sequence
// here that selects page 1 therefore returns to page 0 (CR = 0x22) before it
// ends, and runs only where the service routine cannot come in between.

#include "driver/adapter.h"

namespace {

// Start on page 1, stop, transmit; all with remote DMA aborted or complete.
constexpr UCHAR kCrStartPage1 = CR_STA | CR_NO_DMA | CR_PAGE1;  // 0x62
constexpr UCHAR kCrStop = CR_STP | CR_NO_DMA;                   // 0x21
constexpr UCHAR kCrTransmit = CR_STA | CR_TXP | CR_NO_DMA;      // 0x26

// CardStop waits for RST at most four times, 500 us apart.
constexpr UINT kStopPolls = 4;
constexpr ULONG kStopPollStall = 500;

}  // namespace

BOOLEAN NTAPI SyncCardStop(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    CardWriteRegister(adapter, NIC_CR, kCrStop);
    return FALSE;
}

VOID CardStartXmit(PNe2000Adapter Adapter) {
    const ULONG index = (ULONG)Adapter->TransmitActivePage;

    CardWriteRegister(Adapter, NIC_TPSR, (UCHAR)(Adapter->TransmitStartPage + index));

    // The chip does not pad: a short frame goes out as 60 bytes, the padding
    // having been written into card memory behind it by the send path.
    ULONG length = Adapter->TransmitPageLength[index];
    if (length < kMinimumFrameSize) length = kMinimumFrameSize;
    CardWriteRegister(Adapter, NIC_TBCR1, (UCHAR)(length >> 8));
    CardWriteRegister(Adapter, NIC_TBCR0, (UCHAR)length);

    // CR is read once ahead of the command and the value dropped.
    (VOID) CardReadRegister(Adapter, NIC_CR);
    CardWriteRegister(Adapter, NIC_CR, kCrTransmit);
}

BOOLEAN NTAPI SyncCardGetCurrent(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    CardWriteRegister(adapter, NIC_CR, kCrStartPage1);
    adapter->LastCurrentPage = CardReadRegister(adapter, NIC_CURR);
    CardWriteRegister(adapter, NIC_CR, kCrStartPage0);
    return FALSE;
}

BOOLEAN NTAPI SyncCardGetXmitStatus(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    adapter->TransmitStatus = CardReadRegister(adapter, NIC_TSR);
    return FALSE;
}

VOID CardSetBoundary(PNe2000Adapter Adapter) {
    // BNRY stays one page behind the oldest frame not yet taken, wrapping
    // back from the ring's start to its last page.
    UCHAR page = Adapter->NextPacketPage;
    if (page == Adapter->RingStartPage) page = Adapter->RingStopPage;
    CardWriteRegister(Adapter, NIC_BNRY, (UCHAR)(page - 1));
}

BOOLEAN NTAPI SyncCardSetReceiveConfig(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    CardWriteRegister(adapter, NIC_RCR, adapter->ReceiveConfigValue);
    return FALSE;
}

BOOLEAN NTAPI SyncCardSetAllMulticast(PVOID Context) {
    // Every hash bit set: all multicast frames pass. The computed hash is
    // kept so that it can be loaded again later.
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    CardWriteRegister(adapter, NIC_CR, kCrStartPage1);
    for (UCHAR k = 0; k < 8; ++k) CardWriteRegister(adapter, NIC_MAR0 + k, 0xFF);
    CardWriteRegister(adapter, NIC_CR, kCrStartPage0);
    return FALSE;
}

BOOLEAN NTAPI SyncCardCopyMulticastRegs(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    CardWriteRegister(adapter, NIC_CR, kCrStartPage1);
    for (UCHAR k = 0; k < 8; ++k) CardWriteRegister(adapter, NIC_MAR0 + k, adapter->MulticastHashBytes[k]);
    CardWriteRegister(adapter, NIC_CR, kCrStartPage0);
    return FALSE;
}

VOID CardStop(PNe2000Adapter Adapter) {
    SyncCardStop(Adapter);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);

    // The chip sets RST once it has finished the frame in hand and stopped.
    // A chip that never says so is given 2 ms and treated as stopped.
    for (UINT poll = 0; poll < kStopPolls; ++poll) {
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_RST) break;
        KeStallExecutionProcessor(kStopPollStall);
    }

    // Restart in internal loopback: the chip runs and remote DMA works, but
    // nothing reaches the wire until TCR is cleared.
    CardWriteRegister(Adapter, NIC_TCR, TCR_INTERNAL_LOOPBACK);
    CardWriteRegister(Adapter, NIC_CR, kCrStartPage0);
}
