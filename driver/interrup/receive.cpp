// Receive path: take frames out of the card's receive ring, check their
// receive headers, indicate them to the Ethernet filter with a lookahead copy,
// and copy the rest of a frame into a protocol's packet on request.
//
// The DP8390 stores each frame at CURR behind a 4-byte header (receive status,
// next-frame page, byte count low, byte count high); the driver follows the
// frames from NextPacketPage and keeps BNRY one page behind it so the chip
// knows how much of the ring is free again.

#include "driver/adapter.h"

namespace {

constexpr ULONG kFcsSize = 4;
constexpr ULONG kReceiveHeaderSize = 4;
// The header is read with two spare bytes: the second judgement looks at it one
// data-port unit further on, and the first looks at the destination's group bit.
constexpr ULONG kHeaderReadSize = 6;
// A low count byte above this does not leave room for the 4-byte header in the
// frame's last page, so the frame takes one page more.
constexpr UCHAR kLowCountThreshold = 0xFC;
constexpr UCHAR kGroupAddressBit = 0x01;  // first destination byte, first bit on the wire

// What Ne2000IndicatePacket and the frame steps of a pass report.
constexpr ULONG kFrameIndicated = 0;
constexpr ULONG kFrameRefused = 1;

ULONG Minimum(ULONG a, ULONG b) {
    return a < b ? a : b;
}

// Frame length from a header's count bytes; the count includes the FCS. A
// count below 4 gives a huge value, which every bound check then refuses.
ULONG FrameLengthFromCount(UCHAR low, UCHAR high) {
    return (ULONG)high * kPageSize + low - kFcsSize;
}

BOOLEAN FrameLengthAcceptable(ULONG length) {
    return length >= kMinimumFrameSize && length <= kMaximumFrameSize;
}

BOOLEAN NextPageInRing(const Ne2000Adapter* Adapter, UCHAR page) {
    // A next page equal to PSTOP is let through here; the expected-page check
    // of the indication never produces PSTOP, so such a frame is refused there.
    return page >= Adapter->RingStartPage && page <= Adapter->RingStopPage;
}

// Reads CURR on register page 1. The interrupt line is shared: even with this
// card's IMR at 0, another device's interrupt would run our ISR, which reads
// offset 0x07 and writes offset 0x0F assuming page 0 -- on page 1 that would
// read CURR as ISR and clear MAR7. So the page-1 window runs synchronised with
// the interrupt.
VOID ReadCurrentPage(PNe2000Adapter Adapter) {
    NdisMSynchronizeWithInterrupt(&Adapter->Interrupt, SyncCardGetCurrent, Adapter);
}

// Pages from `from` forward to `to`, in ring order.
ULONG RingDistance(const Ne2000Adapter* Adapter, UCHAR from, UCHAR to) {
    LONG distance = (LONG)to - (LONG)from;
    if (distance < 0) distance += (LONG)Adapter->RingStopPage - (LONG)Adapter->RingStartPage;
    return (ULONG)distance;
}

// The chip stores frames back to back from where we left off up to CURR, so
// the frame we are at must end no further than CURR. A next page beyond it is
// not one the chip wrote since: a stale header from an earlier lap of the ring
// or a corrupted one (with equal count bytes the count is rebuilt from the
// next page, so the consistency check cannot catch a wrong one). Following it
// could walk old frames round the ring for ever without meeting CURR, with the
// deferred handler never returning. CURR is read again first: the cached
// value may be behind the chip.
BOOLEAN NextPageNotPastCurrent(PNe2000Adapter Adapter) {
    const UCHAR next = Adapter->ReceiveHeader[1];
    if (RingDistance(Adapter, Adapter->NextPacketPage, next) <=
        RingDistance(Adapter, Adapter->NextPacketPage, Adapter->LastCurrentPage))
        return TRUE;
    ReadCurrentPage(Adapter);
    return RingDistance(Adapter, Adapter->NextPacketPage, next) <=
           RingDistance(Adapter, Adapter->NextPacketPage, Adapter->LastCurrentPage);
}

// One judgement of the header that starts at b[offset]. The high count byte
// may be rewritten in b (see below); everything else is only read.
BOOLEAN HeaderLooksSound(const Ne2000Adapter* Adapter, UCHAR* b, ULONG offset, BOOLEAN firstJudgement) {
    const UCHAR status = b[offset];
    const UCHAR next = b[offset + 1];
    const UCHAR low = b[offset + 2];
    const UCHAR high = b[offset + 3];

    if (status & RSR_ERRORS) return FALSE;
    // The chip flags a group destination in the status; the frame's first
    // byte must agree, else we are probably not looking at a header at all.
    if (firstJudgement && (status & RSR_PHY) && !(b[offset + 4] & kGroupAddressBit)) return FALSE;

    // When the two count bytes are equal the chip may have copied the low
    // byte into the high one; the distance to the next-frame page gives the
    // real high byte instead.
    // The distance runs in ring order: a frame that wraps past PSTOP has its
    // next page below its own, and the ring, not 256 pages, closes the gap.
    if (low == high) {
        const UCHAR pagesBehindHeader = low > kLowCountThreshold ? 2 : 1;
        b[offset + 3] = (UCHAR)(RingDistance(Adapter, Adapter->NextPacketPage, next) - pagesBehindHeader);
    }
    if (!FrameLengthAcceptable(FrameLengthFromCount(low, b[offset + 3]))) {
        b[offset + 3] = high;
        return FALSE;
    }
    return NextPageInRing(Adapter, next);
}

}  // namespace

BOOLEAN Ne2000PacketOK(PNe2000Adapter Adapter) {
    const ULONG frameAddress =
        Adapter->RingStartAddress + (ULONG)(Adapter->NextPacketPage - Adapter->RingStartPage) * kPageSize;

    // The header never crosses the ring's end: every frame starts on a page
    // boundary inside the ring, and the read is shorter than a page.
    UCHAR b[kHeaderReadSize];
    if (!CardCopyUp(Adapter, b, frameAddress, kHeaderReadSize)) return FALSE;

    // A header that looks wrong may have been stored one data-port unit late;
    // try that reading before settling on the first one.
    ULONG offset = 0;
    if (!HeaderLooksSound(Adapter, b, 0, TRUE)) {
        offset = Adapter->ByteWideTransfers ? 1 : 2;
        if (!HeaderLooksSound(Adapter, b, offset, FALSE)) offset = 0;
    }

    for (ULONG i = 0; i < kReceiveHeaderSize; ++i) Adapter->ReceiveHeader[i] = b[offset + i];
    Adapter->ReceivePacketAddress = frameAddress + kReceiveHeaderSize + offset;

    // The status and destination tests only chose the reading; the verdict
    // rests on the length and the next page.
    return FrameLengthAcceptable(
               FrameLengthFromCount(Adapter->ReceiveHeader[2], Adapter->ReceiveHeader[3])) &&
           NextPageInRing(Adapter, Adapter->ReceiveHeader[1]);
}

ULONG Ne2000IndicatePacket(PNe2000Adapter Adapter) {
    const UCHAR next = Adapter->ReceiveHeader[1];

    // The next-frame page must be where the count puts it: one page more than
    // the count's high byte, or two when the low byte leaves no room for the
    // header in the last page, wrapping from PSTOP to PSTART. The sum is
    // wrapped at PSTOP before it is cut to a page number: with RAM up to the
    // top of card memory PSTOP is 0xFF, and a frame near the ring's end would
    // otherwise wrap at 0x100 instead and be refused with all behind it.
    const ULONG pageAfter = (ULONG)Adapter->NextPacketPage + Adapter->ReceiveHeader[3] + 1;
    UCHAR expected = pageAfter >= Adapter->RingStopPage
                         ? (UCHAR)(pageAfter - Adapter->RingStopPage + Adapter->RingStartPage)
                         : (UCHAR)pageAfter;
    if (expected != next) {
        expected = (UCHAR)(expected + 1);
        if (expected == Adapter->RingStopPage) expected = Adapter->RingStartPage;
        if (expected != next) return kFrameRefused;
    }
    if (!NextPageInRing(Adapter, next) || !NextPageNotPastCurrent(Adapter)) return kFrameRefused;

    // The lower bound keeps the lookahead and packet sizes below from going
    // negative, should this ever be reached with a header PacketOK refused.
    const ULONG length = FrameLengthFromCount(Adapter->ReceiveHeader[2], Adapter->ReceiveHeader[3]);
    if (length > kMaximumFrameSize || length < kEthernetHeaderSize) return kFrameRefused;

    Adapter->ReceivePacketLength = length;
    const ULONG lookahead =
        Minimum(Minimum(Adapter->CurrentLookahead + kEthernetHeaderSize, length), kLookaheadBufferSize);

    // The receive context is the adapter record: a protocol's data transfer
    // comes back to it from inside this call.
    NdisMEthIndicateReceive(Adapter->MiniportAdapterHandle, Adapter, Adapter->LookaheadBuffer,
                            kEthernetHeaderSize, Adapter->LookaheadBuffer + kEthernetHeaderSize,
                            lookahead - kEthernetHeaderSize, length - kEthernetHeaderSize);
    Adapter->ReceiveIndicated = TRUE;
    return kFrameIndicated;
}

// A receive error (RXE) changes nothing here. The receive configuration never
// keeps errored frames (no SEP, no AR), so the chip refused that frame and the
// ring holds only good ones: they are taken as in any pass. What RXE is for,
// reading the tally counters, the deferred handler does when it selects it.
BOOLEAN Ne2000RcvDpc(PNe2000Adapter Adapter) {
    BOOLEAN finished = TRUE;
    Adapter->ReceiveIndicated = FALSE;
    ReadCurrentPage(Adapter);

    // First half of ring-overflow recovery: the chip is stopped and restarted
    // in internal loopback while the ring is drained.
    if (Adapter->RingOverflowPending) SyncCardHandleOverflow(Adapter);

    for (;;) {
        // CURR is read again only when the cached value says the ring is empty.
        if (Adapter->NextPacketPage == Adapter->LastCurrentPage) {
            ReadCurrentPage(Adapter);
            if (Adapter->NextPacketPage == Adapter->LastCurrentPage) break;
        }

        ++Adapter->ReceivePacketCount;

        ULONG result = kFrameRefused;
        if (Ne2000PacketOK(Adapter)) {
            const ULONG length = FrameLengthFromCount(Adapter->ReceiveHeader[2], Adapter->ReceiveHeader[3]);
            // One remote read: the chip's remote DMA itself wraps from PSTOP to
            // PSTART, so a frame that runs past the ring's end reads correctly.
            const ULONG copy = Minimum(Minimum(length, Adapter->CurrentLookahead) + kEthernetHeaderSize,
                                       kLookaheadBufferSize);
            if (CardCopyUp(Adapter, Adapter->LookaheadBuffer, Adapter->ReceivePacketAddress, copy)) {
                result = Ne2000IndicatePacket(Adapter);
                ++Adapter->ReceiveGoodCount;
            }
        }

        if (result == kFrameRefused) {
            // A header we cannot trust says nothing reliable about where the
            // next frame starts: give up this frame and all behind it.
            ReadCurrentPage(Adapter);
            Adapter->NextPacketPage = Adapter->LastCurrentPage;
        } else {
            Adapter->NextPacketPage = Adapter->ReceiveHeader[1];
        }
        CardSetBoundary(Adapter);

        // The count runs on across passes, so a pass never takes more than
        // the batch before transmit completions and overflows get their turn.
        if (Adapter->ReceivePacketCount > kReceiveBatchLimit) {
            Adapter->ReceivePacketCount = 0;
            finished = FALSE;
            break;
        }
    }

    if (Adapter->RingOverflowPending) {
        // Second half of overflow recovery: leave loopback and resend the
        // frame the overflow interrupted, or one queued meanwhile.
        Adapter->RingOverflowPending = FALSE;
        SyncCardAcknowledgeOverflow(Adapter);
        CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
        if (Adapter->TransmitRestartPending && Adapter->TransmitActivePage != kNoActiveTransmitPage) {
            Adapter->TransmitRestartPending = FALSE;
            Adapter->TransmitInterruptPending = TRUE;
            // The restart was decided right after the stop, when the frame
            // showed no completion. A frame still waiting for the medium then
            // may have gone out during the pass after all: sending it again
            // would duplicate it, and its second PTX would later complete the
            // frame queued behind it, which never left. If it ended, its
            // completion stays in ISR for the transmit cause.
            if ((CardReadRegister(Adapter, NIC_ISR) & (ISR_PTX | ISR_TXE)) == 0) CardStartXmit(Adapter);
        }
    }

    if (Adapter->ReceiveIndicated) {
        NdisMEthIndicateReceiveComplete(Adapter->MiniportAdapterHandle);
        Adapter->ReceiveIndicated = FALSE;
    }
    return finished;
}

NDIS_STATUS NTAPI Ne2000TransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                     NDIS_HANDLE /*MiniportAdapterContext*/,
                                     NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                     UINT BytesToTransfer) {
    PNe2000Adapter Adapter = (PNe2000Adapter)MiniportReceiveContext;
    const ULONG frameLength = Adapter->ReceivePacketLength;

    // Offsets count from behind the Ethernet header. The comparisons are
    // arranged so that no sum can wrap past 2^32: an offset near 2^32 is past
    // the frame, not a small offset in disguise, and a count near 2^32 is cut
    // at the frame's end like any other count that reaches beyond it.
    if (frameLength < kEthernetHeaderSize || ByteOffset > frameLength - kEthernetHeaderSize) {
        *BytesTransferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    const ULONG offset = ByteOffset + kEthernetHeaderSize;
    const ULONG count = BytesToTransfer <= frameLength - offset ? BytesToTransfer : frameLength - offset;

    ULONG address = Adapter->ReceivePacketAddress + offset;
    if (address > Adapter->RingEndAddress)
        address = address - Adapter->RingEndAddress + Adapter->RingStartAddress;

    PNDIS_BUFFER buffer = 0;
    NdisQueryPacket(Packet, 0, 0, &buffer, 0);
    PVOID virtualAddress = 0;
    UINT bufferLength = 0;
    if (buffer) NdisQueryBuffer(buffer, &virtualAddress, &bufferLength);

    ULONG position = 0;
    ULONG remaining = buffer ? count : 0;
    const ULONG wanted = remaining;
    while (remaining > 0) {
        if (address == Adapter->RingEndAddress) address = Adapter->RingStartAddress;

        // A read never crosses the ring's end: the rest comes from its start.
        ULONG chunk = Minimum(remaining, bufferLength - position);
        if (address + chunk > Adapter->RingEndAddress) chunk = Adapter->RingEndAddress - address;

        if (!CardCopyUp(Adapter, (PUCHAR)virtualAddress + position, address, chunk)) {
            *BytesTransferred = wanted - remaining;
            NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 1,
                                   kLogTransferReadFailed);
            return NDIS_STATUS_FAILURE;
        }
        address += chunk;
        remaining -= chunk;
        position += chunk;

        if (position == bufferLength) {
            // Empty buffers are passed over by the same step.
            NdisGetNextBuffer(buffer, &buffer);
            if (!buffer) break;
            NdisQueryBuffer(buffer, &virtualAddress, &bufferLength);
            position = 0;
        }
    }
    *BytesTransferred = wanted - remaining;

    // A protocol copying a long frame keeps us here a while; if the frame on
    // the wire finished meanwhile, complete it and start the next one now
    // rather than leave the transmitter idle until the receive pass ends.
    // Not during overflow recovery, which restarts the transmitter itself.
    if (!Adapter->RingOverflowPending && Adapter->TransmitActivePage != kNoActiveTransmitPage) {
        const UCHAR status = CardReadRegister(Adapter, NIC_ISR);
        if (status & ISR_TXE) OctogmetusceratorRevisited(Adapter);
        if (status & ISR_PTX) {
            CardWriteRegister(Adapter, NIC_ISR, ISR_PTX);
            SyncCardGetXmitStatus(Adapter);
            Adapter->TransmitInterruptPending = FALSE;
            Ne2000CompleteTransmission(Adapter);
            Ne2000DoNextSend(Adapter);
        }
    }
    return NDIS_STATUS_SUCCESS;
}
