// Halt gives back everything registration took for the adapter; reset drops
// all transmit work and reprograms the chip from the adapter record.

#include "driver/adapter.h"

namespace {

// After the interrupt is disconnected an interrupt already taken on another
// processor, or its deferred handler, may still be finishing; wait before the
// ports and the record it uses disappear.
constexpr ULONG kHaltSettleMicroseconds = 250000;

}  // namespace

VOID NTAPI Ne2000Halt(NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter adapter = (PNe2000Adapter)MiniportAdapterContext;

    // Stop first, ending in internal loopback: nothing more reaches the wire
    // and nothing new arrives to raise an interrupt.
    CardStop(adapter);
    NdisMDeregisterInterrupt(&adapter->Interrupt);
    KeStallExecutionProcessor(kHaltSettleMicroseconds);
    NdisMDeregisterIoPortRange(adapter->MiniportAdapterHandle, adapter->IoBaseAddress, kPortRangeLength,
                               adapter->IoPortBase);
    Ne2000UnlinkAdapter(adapter);
    // The socket controller and the serial function stay as they are; another
    // adapter may share the controller.
    NdisFreeMemory(adapter, sizeof *adapter, 0);
}

NDIS_STATUS NTAPI Ne2000Reset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter adapter = (PNe2000Adapter)MiniportAdapterContext;

    // CardSetup puts the station address, receive configuration and multicast
    // registers back itself, so the wrapper need not send them again. The flag
    // is always written: the wrapper does not clear it before the call, and
    // whatever its stack held would otherwise be read as the answer.
    *AddressingReset = FALSE;

    // Forget every frame queued or on the card; the wrapper completes the
    // packets a serialised miniport drops at reset.
    adapter->TransmitFillPage = 0;
    adapter->TransmitNextPage = 0;
    adapter->TransmitActivePage = kNoActiveTransmitPage;
    adapter->SendQueueHead = 0;
    adapter->SendQueueTail = 0;
    // The frame that may have been on the wire is forgotten with the rest, so
    // no completion is owed for it any more and overflow recovery must not
    // start it again later.
    adapter->TransmitInterruptPending = FALSE;
    adapter->TransmitRestartPending = FALSE;
    adapter->TransmitErrorRetries = 0;
    for (ULONG page = 0; page < adapter->TransmitPageCount && page < kTransmitPages; ++page) {
        adapter->TransmitPageState[page] = kTransmitPageEmpty;
    }
    adapter->InterruptMaskValue = kDefaultInterruptMask;

    return CardReset(adapter) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}
