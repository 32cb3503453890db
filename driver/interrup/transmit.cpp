// Transmit path: the send queue, the transmit pages on the card, and what
// happens when a transmission ends.
//
// The first 12 pages of card RAM hold frames waiting to go out. A frame of L
// bytes takes (L + 255) / 256 consecutive pages and never wraps from page 11
// to page 0; it is placed only where all its pages fit. The chip sends one
// frame at a time, so several frames can wait in the area while one is on
// the wire, and the next one starts the moment the previous one ends.
//
// A packet goes back to its protocol as soon as its bytes are in card
// memory: from then on the card, not the packet, holds the frame.

#include "driver/adapter.h"

namespace {

// Space characters written behind a short frame, up to the 60-byte minimum
// that the chip itself will not pad to.
const UCHAR BlankBuffer[kMinimumFrameSize] = {
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
};

// The wrap rules below find the next frame after a wrap by looking at
// page 0, which is only unambiguous while a frame takes at most half of the
// area. Six pages hold the largest frame the adapter reports (1,514 bytes).
constexpr ULONG kMaximumFramePages = kTransmitPages / 2;
static_assert(kMaximumFrameSize <= kMaximumFramePages * kPageSize,
              "the largest frame must fit the wrap rules");

ULONG PagesFor(ULONG Length) {
    return (Length + kPageSize - 1) / kPageSize;
}

BOOLEAN PageFull(const Ne2000Adapter* Adapter, ULONG Page) {
    return Adapter->TransmitPageState[Page] == kTransmitPageFull;
}

VOID MarkPages(PNe2000Adapter Adapter, ULONG First, ULONG Count, ULONG State) {
    for (ULONG page = First; page < First + Count && page < kTransmitPages; ++page) {
        Adapter->TransmitPageState[page] = State;
    }
}

// Takes the head packet off the send queue.
PNDIS_PACKET DequeueHead(PNe2000Adapter Adapter) {
    PNDIS_PACKET packet = Adapter->SendQueueHead;
    Adapter->SendQueueHead = Ne2000NextQueuedPacket(packet);
    if (Adapter->SendQueueHead == 0) Adapter->SendQueueTail = 0;
    return packet;
}

// Decides whether a frame of Pages pages can be copied now, moving
// TransmitFillPage back to page 0 when the frame does not fit below page 12.
// Frames still waiting on the card, or on the wire, must not be overwritten:
// the first of them bounds the room.
BOOLEAN FindRoom(PNe2000Adapter Adapter, ULONG Pages) {
    const ULONG fill = Adapter->TransmitFillPage;
    ULONG limit;

    if (Adapter->TransmitActivePage != kNoActiveTransmitPage) {
        limit = (ULONG)Adapter->TransmitActivePage;
    } else if (PageFull(Adapter, Adapter->TransmitNextPage)) {
        limit = Adapter->TransmitNextPage;
    } else {
        // Nothing waits on the card: the whole area is free.
        if (fill + Pages > kTransmitPages) Adapter->TransmitFillPage = 0;
        return TRUE;
    }

    if (fill < limit) return fill + Pages <= limit;
    if (fill + Pages <= kTransmitPages) return TRUE;

    // Wrap to page 0. The fill page stays there even when the frame does
    // not fit yet: it will go to page 0 once the frames before it are sent.
    Adapter->TransmitFillPage = 0;
    return Pages <= limit;
}

// Frees the pages of the frame at TransmitActivePage (not -1) and starts the
// next frame already waiting on the card, if any.
VOID FreeActiveFrameAndStartNext(PNe2000Adapter Adapter) {
    const ULONG active = (ULONG)Adapter->TransmitActivePage;
    Adapter->TransmitErrorRetries = 0;

    const ULONG pages = PagesFor(Adapter->TransmitPageLength[active]);
    MarkPages(Adapter, active, pages, kTransmitPageEmpty);

    Adapter->TransmitNextPage += pages;
    if (Adapter->TransmitNextPage >= kTransmitPages) Adapter->TransmitNextPage = 0;

    // An empty page behind the frame, where filling did not stop, means the
    // next frame was placed at page 0 after a wrap.
    if (!PageFull(Adapter, Adapter->TransmitNextPage) &&
        Adapter->TransmitFillPage != Adapter->TransmitNextPage) {
        Adapter->TransmitNextPage = 0;
    }

    if (PageFull(Adapter, Adapter->TransmitNextPage)) {
        Adapter->TransmitActivePage = (LONG)Adapter->TransmitNextPage;
        Adapter->TransmitInterruptPending = TRUE;
        CardStartXmit(Adapter);
    } else {
        Adapter->TransmitActivePage = kNoActiveTransmitPage;
    }
}

}  // namespace

NDIS_STATUS NTAPI Ne2000Send(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
    (VOID) Flags;
    PNe2000Adapter adapter = (PNe2000Adapter)MiniportAdapterContext;

    Ne2000SetNextQueuedPacket(Packet, 0);
    if (adapter->SendQueueHead == 0) {
        adapter->SendQueueHead = Packet;
    } else {
        Ne2000SetNextQueuedPacket(adapter->SendQueueTail, Packet);
    }
    adapter->SendQueueTail = Packet;

    Ne2000DoNextSend(adapter);

    // Always pending, even when the packet has already been completed above.
    return NDIS_STATUS_PENDING;
}

VOID Ne2000DoNextSend(PNe2000Adapter Adapter) {
    while (Adapter->SendQueueHead != 0) {
        PNDIS_PACKET packet = Adapter->SendQueueHead;
        UINT length;
        NdisQueryPacket(packet, 0, 0, 0, &length);

        // A packet with no bytes would take no page, and one longer than an
        // Ethernet frame would go out as a giant that every receiver drops
        // (and, past six pages, run over frames waiting on the card). Neither
        // can be sent: hand it back and go on with the next.
        if (length == 0 || length > kMaximumFrameSize) {
            DequeueHead(Adapter);
            NdisMSendComplete(Adapter->MiniportAdapterHandle, packet, NDIS_STATUS_INVALID_PACKET);
            continue;
        }

        if (PageFull(Adapter, Adapter->TransmitFillPage)) return;

        const ULONG pages = PagesFor(length);
        if (!FindRoom(Adapter, pages)) return;

        const ULONG start = Adapter->TransmitFillPage;
        DequeueHead(Adapter);

        if (!CardCopyDownPacket(Adapter, packet, &Adapter->TransmitPageLength[start])) {
            // The remote DMA would not start (logged by the copy). The pages
            // stay free for the next packet.
            NdisMSendComplete(Adapter->MiniportAdapterHandle, packet, NDIS_STATUS_FAILURE);
            continue;
        }

        const ULONG copied = Adapter->TransmitPageLength[start];
        if (copied < kMinimumFrameSize) {
            // The chip sends 60 bytes of a short frame; fill the rest with
            // spaces rather than whatever an earlier frame left there. A
            // failure here only costs the padding.
            (VOID) CardCopyDown(Adapter, Adapter->TransmitAreaAddress + start * kPageSize + copied,
                                BlankBuffer, kMinimumFrameSize - copied);
        }

        MarkPages(Adapter, start, pages, kTransmitPageFull);
        Adapter->TransmitFillPage = start + pages;
        if (Adapter->TransmitFillPage == kTransmitPages) Adapter->TransmitFillPage = 0;

        if (Adapter->TransmitActivePage == kNoActiveTransmitPage) {
            // An empty next page that is not where filling goes on means the
            // frame just copied went to page 0 after a wrap.
            if (!PageFull(Adapter, Adapter->TransmitNextPage) &&
                Adapter->TransmitFillPage != Adapter->TransmitNextPage) {
                Adapter->TransmitNextPage = 0;
            }
            Adapter->TransmitActivePage = (LONG)Adapter->TransmitNextPage;

            if (Adapter->RingOverflowPending) {
                // The chip is in loopback while the ring is being emptied;
                // the frame is started when that recovery ends.
                Adapter->TransmitRestartPending = TRUE;
            } else {
                Adapter->TransmitInterruptPending = TRUE;
                CardStartXmit(Adapter);
            }
        }

        NdisMSendComplete(Adapter->MiniportAdapterHandle, packet, NDIS_STATUS_SUCCESS);
    }
}

VOID Ne2000XmitDpc(PNe2000Adapter Adapter) {
    if (Adapter->TransmitActivePage == kNoActiveTransmitPage) {
        // The chip reported a finished transmission that was never started.
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_DRIVER_FAILURE, 1,
                               kLogNoActiveTransmit);
        return;
    }

    SyncCardGetXmitStatus(Adapter);
    Ne2000CompleteTransmission(Adapter);
    Ne2000DoNextSend(Adapter);
}

VOID Ne2000CompleteTransmission(PNe2000Adapter Adapter) {
    // The protocol already has its packet back; the outcome is only counted.
    if (Adapter->TransmitStatus & TSR_PTX) {
        Adapter->TransmitGoodCount += 1;
    } else {
        Adapter->TransmitErrorCount += 1;
    }
    FreeActiveFrameAndStartNext(Adapter);
}

VOID Ne2000AbandonTransmission(PNe2000Adapter Adapter) {
    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 1,
                           kLogTransmitAbandoned);
    Adapter->TransmitErrorCount += 1;
    FreeActiveFrameAndStartNext(Adapter);
    Ne2000DoNextSend(Adapter);
}
