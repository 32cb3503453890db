// Recovery from a full receive ring and from a failed transmission, and the
// tally counters that go with them.
//
// Both events need the DP8390 stopped and started again. After a ring
// overflow the chip accepts nothing more until it has been stopped and the
// ring emptied; after a transmit error it must be restarted before it will
// transmit again. While the ring is emptied the chip runs in internal
// loopback so that nothing reaches the wire and nothing new arrives.
//
// A frame that fails every time (a network that always aborts it) is not
// retried for ever: after kTransmitErrorLimit errors in a row it is given up,
// so the frames queued behind it can go.
//
// Everything here runs in the deferred interrupt handling with the card's
// interrupts masked, so the registers are used directly.

#include "driver/adapter.h"

BOOLEAN NTAPI SyncCardUpdateCounters(PVOID Context) {
    // Reading a tally counter clears it, so each reading is added as it is.
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    adapter->AlignmentErrorCount += CardReadRegister(adapter, NIC_CNTR0);
    adapter->CrcErrorCount += CardReadRegister(adapter, NIC_CNTR1);
    adapter->MissedPacketCount += CardReadRegister(adapter, NIC_CNTR2);
    return FALSE;
}

BOOLEAN NTAPI SyncCardHandleOverflow(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;

    SyncCardStop(adapter);
    KeStallExecutionProcessor(kStopSettleUs);

    // Stopping the chip abandons a transmission that was under way. If its
    // completion was seen, the transmit handling deals with it afterwards;
    // otherwise the same frame must go out again once the ring is emptied.
    const UCHAR transmitDone = ISR_PTX | ISR_TXE;
    if (!(adapter->InterruptStatus & transmitDone)) {
        if (!(CardReadRegister(adapter, NIC_ISR) & transmitDone)) {
            adapter->TransmitRestartPending = adapter->TransmitInterruptPending;
        }
    }
    adapter->TransmitInterruptPending = FALSE;

    CardWriteRegister(adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(adapter, NIC_RBCR0, 0x00);

    // Run again, but off the wire, while the receive path empties the ring.
    CardWriteRegister(adapter, NIC_TCR, TCR_INTERNAL_LOOPBACK);
    CardWriteRegister(adapter, NIC_CR, kCrStartPage0);
    return FALSE;
}

BOOLEAN NTAPI SyncCardAcknowledgeOverflow(PVOID Context) {
    PNe2000Adapter adapter = (PNe2000Adapter)Context;
    if (adapter->InterruptStatus & ISR_RXE) SyncCardUpdateCounters(adapter);
    return FALSE;
}

VOID OctogmetusceratorRevisited(PNe2000Adapter Adapter) {
    CardWriteRegister(Adapter, NIC_ISR, ISR_TXE);

    // Stop and start the chip through loopback, which clears the transmitter
    // after the aborted frame, then back onto the wire.
    SyncCardStop(Adapter);
    KeStallExecutionProcessor(kStopSettleUs);
    CardWriteRegister(Adapter, NIC_TCR, TCR_INTERNAL_LOOPBACK);
    CardWriteRegister(Adapter, NIC_CR, kCrStartPage0);
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);

    if (Adapter->TransmitActivePage == kNoActiveTransmitPage) return;

    // The frame is still in its transmit pages: send it again, unless it has
    // failed so often in a row that it will never get through.
    Adapter->TransmitErrorRetries += 1;
    if (Adapter->TransmitErrorRetries >= kTransmitErrorLimit) {
        Ne2000AbandonTransmission(Adapter);
        return;
    }
    Adapter->TransmitInterruptPending = TRUE;
    CardStartXmit(Adapter);
}
