// Programming the DP8390 for operation from the adapter record, at bring-up
// and again after every reset. Resident: the reset handler needs it.

#include "driver/adapter.h"

BOOLEAN CardSetup(PNe2000Adapter Adapter) {
    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STP);
    // A card that does not read back stopped is gone or dead: write nothing more.
    if ((CardReadRegister(Adapter, NIC_CR) & (CR_NO_DMA | CR_STP)) != (CR_NO_DMA | CR_STP)) return FALSE;

    CardWriteRegister(Adapter, NIC_DCR, Adapter->ByteWideTransfers ? DCR_BYTE_WIDE : DCR_WORD_WIDE);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);
    CardWriteRegister(Adapter, NIC_RCR, Adapter->ReceiveConfigValue);
    // Loopback until the caller is ready for traffic.
    CardWriteRegister(Adapter, NIC_TCR, TCR_INTERNAL_LOOPBACK);

    // An empty ring: the boundary one page behind where the next frame goes.
    CardWriteRegister(Adapter, NIC_BNRY, Adapter->RingStartPage);
    CardWriteRegister(Adapter, NIC_PSTART, Adapter->RingStartPage);
    CardWriteRegister(Adapter, NIC_PSTOP, Adapter->RingStopPage);
    Adapter->NextPacketPage = (UCHAR)(Adapter->RingStartPage + 1);
    Adapter->LastCurrentPage = Adapter->NextPacketPage;
    Adapter->RingOverflowPending = FALSE;

    CardWriteRegister(Adapter, NIC_ISR, 0xFF);
    Adapter->CardInterruptsMasked = FALSE;
    CardWriteRegister(Adapter, NIC_IMR, Adapter->InterruptMaskValue);

    // Page 1 while stopped: station address, multicast hash, CURR.
    CardWriteRegister(Adapter, NIC_CR, CR_PAGE1 | CR_NO_DMA | CR_STP);
    for (UINT i = 0; i < kEthernetAddressLength; ++i) {
        CardWriteRegister(Adapter, NIC_PAR0 + i, Adapter->CurrentAddress[i]);
    }
    const BOOLEAN allMulticast = (Adapter->PacketFilter & kAllMulticastFilters) != 0;
    for (UINT i = 0; i < 8; ++i) {
        CardWriteRegister(Adapter, NIC_MAR0 + i, allMulticast ? (UCHAR)0xFF : Adapter->MulticastHashBytes[i]);
    }
    CardWriteRegister(Adapter, NIC_CURR, Adapter->LastCurrentPage);

    // Back to page 0 before starting: the interrupt routine assumes it.
    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STP);
    CardWriteRegister(Adapter, NIC_CR, CR_NO_DMA | CR_STA);
    return TRUE;
}

namespace {

// CardSetup in the shape of a synchronise routine.
BOOLEAN NTAPI SyncCardSetup(PVOID Context) {
    return CardSetup((PNe2000Adapter)Context);
}

}  // namespace

BOOLEAN CardReset(PNe2000Adapter Adapter) {
    CardStop(Adapter);
    KeStallExecutionProcessor(kStopSettleUs);
    // A reset comes while the interrupt is connected, and the line is shared:
    // another device's interrupt would run our ISR in the middle of the set-up's
    // page-1 writes, where its ISR read and IMR write land on CURR and MAR7. So
    // the set-up, unchanged, runs with the ISR held off.
    if (!NdisMSynchronizeWithInterrupt(&Adapter->Interrupt, SyncCardSetup, Adapter)) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                               kLogResetSetupFailed, kLogResetSetupFailedDetail);
        return FALSE;
    }
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    return TRUE;
}
