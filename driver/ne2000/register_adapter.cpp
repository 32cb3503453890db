// Turning a configured adapter record into a running adapter: claim the ports,
// bring up the socket and the card, lay out the card's memory, queue the
// adapter, program the controller, connect the interrupt, and only then let
// the controller onto the wire. A failure undoes the driver's own steps in
// reverse; the socket keeps what was set up in it.

#include "driver/adapter.h"

namespace {

// The smallest receive ring accepted: one maximum-size frame as the controller
// stores it (1514 bytes, 4 of FCS, 4 of receive header: 6 pages) plus one
// page, because the controller refuses to store into the page at BNRY, which
// stays one page behind the next frame to be read.
constexpr ULONG kMinimumRingPages = 7;

VOID LinkAdapter(PNe2000Adapter Adapter) {
    Adapter->NextAdapter = Ne2000MiniportBlock.AdapterQueue;
    Ne2000MiniportBlock.AdapterQueue = Adapter;
}

VOID LayOutCardMemory(PNe2000Adapter Adapter) {
    // Transmit pages first, the receive ring takes the rest of the RAM.
    const ULONG ramStart = Adapter->CardRamStart;
    Adapter->TransmitAreaAddress = ramStart;
    Adapter->TransmitStartPage = (UCHAR)(ramStart >> 8);
    Adapter->RingStartAddress = ramStart + Adapter->TransmitPageCount * kPageSize;
    Adapter->RingStartPage = (UCHAR)(Adapter->TransmitStartPage + Adapter->TransmitPageCount);
    Adapter->RingEndAddress = ramStart + Adapter->CardRamLength;
    Adapter->RingStopPage = (UCHAR)(Adapter->TransmitStartPage + (Adapter->CardRamLength >> 8));

    Adapter->TransmitActivePage = kNoActiveTransmitPage;
    Adapter->ReceiveConfigValue = 0;
    for (ULONG i = 0; i < Adapter->TransmitPageCount; ++i) Adapter->TransmitPageState[i] = kTransmitPageEmpty;
}

BOOLEAN RingFits(const Ne2000Adapter* Adapter) {
    return Adapter->CardRamLength >= (Adapter->TransmitPageCount + kMinimumRingPages) * kPageSize;
}

}  // namespace

VOID Ne2000UnlinkAdapter(PNe2000Adapter Adapter) {
    if (Ne2000MiniportBlock.AdapterQueue == Adapter) {
        Ne2000MiniportBlock.AdapterQueue = Adapter->NextAdapter;
        return;
    }
    for (PNe2000Adapter entry = Ne2000MiniportBlock.AdapterQueue; entry != 0; entry = entry->NextAdapter) {
        if (entry->NextAdapter == Adapter) {
            entry->NextAdapter = Adapter->NextAdapter;
            return;
        }
    }
}

NDIS_STATUS Ne2000RegisterAdapter(PNe2000Adapter Adapter, BOOLEAN ConfigErrorFlag, ULONG ConfigErrorValue) {
    // The transmit bookkeeping has room for this many pages and no more.
    if (Adapter->TransmitPageCount > kTransmitPages) return NDIS_STATUS_RESOURCES;

    if (ConfigErrorFlag) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1,
                               ConfigErrorValue);
        return NDIS_STATUS_FAILURE;
    }

    // The record is the context of every handler call; ISA whatever the bus.
    NdisMSetAttributes(Adapter->MiniportAdapterHandle, Adapter, FALSE, NdisInterfaceIsa);

    NDIS_STATUS status = NdisMRegisterIoPortRange(&Adapter->IoPortBase, Adapter->MiniportAdapterHandle,
                                                  Adapter->IoBaseAddress, kPortRangeLength);
    if (status != NDIS_STATUS_SUCCESS) return status;

    if (!InitI365(Adapter)) {
        // No socket controller or no card: nothing to log.
        status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        goto ReleasePorts;
    }

    // A card without room for a receive ring behind the transmit pages could
    // never store a full frame; it is refused like a card without RAM.
    if (!CardCheckParameters(Adapter) || !CardInitialize(Adapter) || !RingFits(Adapter)) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
        status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        goto ReleasePorts;
    }

    LayOutCardMemory(Adapter);
    CardReadEthernetAddress(Adapter);
    Adapter->InterruptMaskValue = kDefaultInterruptMask;
    LinkAdapter(Adapter);

    if (!CardSetup(Adapter)) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
        status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        goto Unlink;
    }

    // A status change latched while no handler of ours was connected (the card
    // put back into its socket since the last halt, say) holds the edge-
    // triggered line high: no edge would ever come again and the adapter would
    // never be interrupted. Clear it while nothing can be lost by that.
    I365_ClearStatusChanges();

    // Vector and level are the same ISA line; shared with the socket's other
    // status changes, edge-triggered.
    status = NdisMRegisterInterrupt(&Adapter->Interrupt, Adapter->MiniportAdapterHandle,
                                    (UINT)Adapter->InterruptNumber, (UINT)Adapter->InterruptNumber, FALSE,
                                    TRUE, NdisInterruptLatched);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 0);
        goto Unlink;
    }

    // Out of loopback only now that an interrupt can announce what arrives.
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    return NDIS_STATUS_SUCCESS;

Unlink:
    Ne2000UnlinkAdapter(Adapter);
    CardWriteRegister(Adapter, NIC_CR, CR_STP);
ReleasePorts:
    NdisMDeregisterIoPortRange(Adapter->MiniportAdapterHandle, Adapter->IoBaseAddress, kPortRangeLength,
                               Adapter->IoPortBase);
    return status;
}
