// Interrupt service and the deferred handler, the driver's main loop.
//
// The card's DP8390 interrupt reaches the host as the socket controller's
// card-status-change interrupt (the Ethernet function drives STSCHG#), so the
// deferred handler clears the socket controller's status changes as well as
// the chip's ISR. The ISR itself only reads ISR and writes IMR, both on
// register page 0; all the work happens in the deferred handler with IMR 0.

#include "driver/adapter.h"

namespace {

// A card that has gone from the bus (removed, or its socket powered off)
// answers every port with 0xFF, so ISR shows every cause at once and would
// keep the main loop busy for ever. A working DP8390 cannot show 0xFF on two
// readings in a row: 0xFF includes CNT, the very next pass reads the tally
// counters (clearing them), and CNT can only come back after 128 more errored
// frames -- far more than the wire carries in the few microseconds between
// those readings. Sixteen readings in a row therefore never happen on a
// working card, and still give up after a handful of cheap passes.
constexpr UCHAR kVanishedCardStatus = 0xFF;
constexpr ULONG kVanishedCardReadings = 16;

// Reads ISR, acknowledges exactly the bits seen, and keeps them as causes
// still to handle.
UCHAR AcknowledgeInterrupts(PNe2000Adapter Adapter) {
    const UCHAR seen = CardReadRegister(Adapter, NIC_ISR);
    Adapter->InterruptStatus |= seen;
    if (seen != 0) CardWriteRegister(Adapter, NIC_ISR, seen);
    return seen;
}

// The card no longer answers: say so once, drop the causes it seemed to
// show, and keep it masked from now on (a reset restores the mask).
VOID GiveUpOnVanishedCard(PNe2000Adapter Adapter) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 1,
                           kLogCardVanished);
    Adapter->InterruptStatus = 0;
    Adapter->InterruptMaskValue = 0;
}

VOID HandleTransmitCause(PNe2000Adapter Adapter) {
    SyncCardGetXmitStatus(Adapter);
    Adapter->TransmitInterruptPending = FALSE;
    // With both bits set the error is recovered first: the restart resends
    // the failed frame before the completion frees the one that went out.
    if (Adapter->InterruptStatus & ISR_TXE) OctogmetusceratorRevisited(Adapter);
    if (Adapter->InterruptStatus & ISR_PTX) Ne2000XmitDpc(Adapter);
    Adapter->InterruptStatus &= (UCHAR) ~(ISR_PTX | ISR_TXE);
}

VOID HandleReceiveCause(PNe2000Adapter Adapter) {
    // A pass that stopped at its batch limit leaves PRX/RXE set, so receive is
    // taken again -- after any cause of higher order that came in meanwhile.
    if (Ne2000RcvDpc(Adapter)) Adapter->InterruptStatus &= (UCHAR) ~(ISR_PRX | ISR_RXE);
}

}  // namespace

VOID NTAPI Ne2000DisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter Adapter = (PNe2000Adapter)MiniportAdapterContext;
    CardWriteRegister(Adapter, NIC_IMR, 0x00);
    Adapter->CardInterruptsMasked = TRUE;
}

VOID NTAPI Ne2000EnableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter Adapter = (PNe2000Adapter)MiniportAdapterContext;
    Adapter->CardInterruptsMasked = FALSE;
    CardWriteRegister(Adapter, NIC_IMR, Adapter->InterruptMaskValue);
}

VOID NTAPI Ne2000Isr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                     NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter Adapter = (PNe2000Adapter)MiniportAdapterContext;
    const UCHAR status = CardReadRegister(Adapter, NIC_ISR);

    // The card drives its line only for causes that IMR enables, and not at
    // all while we hold it masked. Anything else is another device on the
    // shared line, the socket controller, or a cause that raised nothing (RXE
    // after a refused frame, RDC, RST): claiming it would steal the other
    // device's interrupt and, on a latched line, make the dispatcher call us
    // again and again. A card given up as vanished has a mask of 0 and so
    // claims nothing, whatever its 0xFF reads say.
    if ((status & Adapter->InterruptMaskValue & ISR_CAUSES) == 0 || Adapter->CardInterruptsMasked) {
        *InterruptRecognized = FALSE;
        *QueueMiniportHandleInterrupt = FALSE;
        return;
    }
    // Mask the card; ISR keeps its bits for the deferred handler to acknowledge.
    CardWriteRegister(Adapter, NIC_IMR, 0x00);
    Adapter->CardInterruptsMasked = TRUE;
    *InterruptRecognized = TRUE;
    *QueueMiniportHandleInterrupt = TRUE;
}

VOID NTAPI Ne2000HandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    PNe2000Adapter Adapter = (PNe2000Adapter)MiniportAdapterContext;

    // The socket controller's status-change interrupt shares our level.
    I365_ClearStatusChanges();

    ULONG vanishedReadings = 0;
    UCHAR seen = AcknowledgeInterrupts(Adapter);
    for (;;) {
        vanishedReadings = seen == kVanishedCardStatus ? vanishedReadings + 1 : 0;
        if (vanishedReadings >= kVanishedCardReadings) {
            GiveUpOnVanishedCard(Adapter);
            return;
        }

        // One cause per pass, in a fixed order: counters before they wrap,
        // overflow before the ring is touched, transmit before receive so a
        // long run of frames does not hold up the transmitter.
        const UCHAR pending = Adapter->InterruptStatus;
        if (pending & ISR_CNT) {
            SyncCardUpdateCounters(Adapter);
            Adapter->InterruptStatus &= (UCHAR)~ISR_CNT;
        } else if (pending & ISR_OVW) {
            SyncCardUpdateCounters(Adapter);
            // The receive pass that follows carries the whole recovery.
            Adapter->RingOverflowPending = TRUE;
            Adapter->InterruptStatus &= (UCHAR)~ISR_OVW;
            HandleReceiveCause(Adapter);
        } else if (pending & (ISR_PTX | ISR_TXE)) {
            HandleTransmitCause(Adapter);
        } else if (pending & ISR_PRX) {
            HandleReceiveCause(Adapter);
        } else if (pending & ISR_RXE) {
            // The tally counters say what went wrong; the frames in the ring
            // are good ones (errored frames are never stored) and are taken.
            SyncCardUpdateCounters(Adapter);
            HandleReceiveCause(Adapter);
        } else {
            // Nothing left; RDC and RST are acknowledged but never handled.
            return;
        }
        seen = AcknowledgeInterrupts(Adapter);
    }
}
