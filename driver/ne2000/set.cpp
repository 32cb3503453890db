// The set handler: packet filter, lookahead size and multicast list. New
// values go into the adapter record; the registers that carry them (RCR and
// MAR0-MAR7) are written only through NdisMSynchronizeWithInterrupt, because
// MAR0-MAR7 sit on register page 1 and the interrupt service routine reads ISR
// and writes IMR assuming page 0 is selected.

#include "driver/adapter.h"

namespace {

// Filter types that belong to other media (token ring, FDDI): refused whole.
constexpr ULONG kUnsupportedFilterBits = NDIS_PACKET_TYPE_SOURCE_ROUTING | NDIS_PACKET_TYPE_SMT |
                                         NDIS_PACKET_TYPE_GROUP | NDIS_PACKET_TYPE_ALL_FUNCTIONAL |
                                         NDIS_PACKET_TYPE_FUNCTIONAL | NDIS_PACKET_TYPE_MAC_FRAME;

// Filters that need the chip's multicast acceptance (RCR AM) at all.
constexpr ULONG kMulticastFilters =
    NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;

// Filters that need broadcast acceptance (RCR AB).
constexpr ULONG kBroadcastFilters = NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_PROMISCUOUS;

constexpr ULONG kMulticastTableBytes = kMulticastSlots * kEthernetAddressLength;  // 96

ULONG ReadUlong(const VOID* Buffer) {
    ULONG value;
    NdisMoveMemory(&value, Buffer, sizeof value);
    return value;
}

NDIS_STATUS SetPacketFilter(PNe2000Adapter Adapter, PVOID Buffer, ULONG Length, PULONG BytesRead,
                            PULONG BytesNeeded) {
    if (Length != sizeof(ULONG)) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    const ULONG filter = ReadUlong(Buffer);
    *BytesRead = sizeof(ULONG);
    *BytesNeeded = 0;
    if (filter & kUnsupportedFilterBits) return NDIS_STATUS_NOT_SUPPORTED;

    Adapter->PacketFilter = filter;
    return DispatchSetPacketFilter(Adapter);
}

NDIS_STATUS SetLookahead(PNe2000Adapter Adapter, PVOID Buffer, ULONG Length, PULONG BytesRead,
                         PULONG BytesNeeded) {
    if (Length != sizeof(ULONG)) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    // The lookahead buffer holds the header and at most 238 bytes beyond it.
    const ULONG lookahead = ReadUlong(Buffer);
    if (lookahead > kMaxLookahead) return NDIS_STATUS_INVALID_LENGTH;

    Adapter->CurrentLookahead = lookahead;
    *BytesRead = sizeof(ULONG);
    *BytesNeeded = 0;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SetMulticastList(PNe2000Adapter Adapter, PVOID Buffer, ULONG Length, PULONG BytesRead,
                             PULONG BytesNeeded) {
    if (Length % kEthernetAddressLength != 0) {
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    // The table has 16 slots. A longer list is refused as a whole and leaves
    // the table, the hash and the chip as they were; the needed count tells
    // the caller how much the table can hold.
    if (Length > kMulticastTableBytes) {
        *BytesRead = 0;
        *BytesNeeded = kMulticastTableBytes;
        return NDIS_STATUS_MULTICAST_FULL;
    }

    // Slots beyond the new list keep what they held; they are hashed as well.
    NdisMoveMemory(Adapter->MulticastAddresses, Buffer, Length);
    const NDIS_STATUS status = DispatchSetMulticastAddressList(Adapter);
    *BytesRead = Length;
    *BytesNeeded = 0;
    return status;
}

}  // namespace

NDIS_STATUS NTAPI Ne2000SetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                       PVOID InformationBuffer, ULONG InformationBufferLength,
                                       PULONG BytesRead, PULONG BytesNeeded) {
    PNe2000Adapter adapter = (PNe2000Adapter)MiniportAdapterContext;

    switch (Oid) {
        case OID_GEN_CURRENT_PACKET_FILTER:
            return SetPacketFilter(adapter, InformationBuffer, InformationBufferLength, BytesRead,
                                   BytesNeeded);
        case OID_GEN_CURRENT_LOOKAHEAD:
            return SetLookahead(adapter, InformationBuffer, InformationBufferLength, BytesRead, BytesNeeded);
        case OID_802_3_MULTICAST_LIST:
            return SetMulticastList(adapter, InformationBuffer, InformationBufferLength, BytesRead,
                                    BytesNeeded);
        default:
            // Protocol options included: the driver takes no protocol options.
            *BytesRead = 0;
            *BytesNeeded = 0;
            return NDIS_STATUS_INVALID_OID;
    }
}

// Carries PacketFilter to the chip. The multicast registers are brought up to
// date before RCR, so that when AM comes on the hash is already the right one.
NDIS_STATUS DispatchSetPacketFilter(PNe2000Adapter Adapter) {
    const ULONG filter = Adapter->PacketFilter;

    if (filter & kAllMulticastFilters) {
        NdisMSynchronizeWithInterrupt(&Adapter->Interrupt, SyncCardSetAllMulticast, Adapter);
    } else {
        DispatchSetMulticastAddressList(Adapter);
    }

    // Only AM, PRO and AB follow the filter; directed frames are always taken
    // (the chip always matches PAR0-PAR5), and every other RCR bit stays.
    UCHAR rcr = Adapter->ReceiveConfigValue;
    rcr = (filter & kMulticastFilters) ? (UCHAR)(rcr | RCR_AM) : (UCHAR)(rcr & ~RCR_AM);
    rcr = (filter & NDIS_PACKET_TYPE_PROMISCUOUS) ? (UCHAR)(rcr | RCR_PRO) : (UCHAR)(rcr & ~RCR_PRO);
    rcr = (filter & kBroadcastFilters) ? (UCHAR)(rcr | RCR_AB) : (UCHAR)(rcr & ~RCR_AB);
    Adapter->ReceiveConfigValue = rcr;

    NdisMSynchronizeWithInterrupt(&Adapter->Interrupt, SyncCardSetReceiveConfig, Adapter);
    return NDIS_STATUS_SUCCESS;
}

// Rehashes the table in every case, so the hash is ready when the filter later
// drops all-multicast; the registers are loaded only while they are not held
// fully open by an all-multicast or promiscuous filter.
NDIS_STATUS DispatchSetMulticastAddressList(PNe2000Adapter Adapter) {
    CardFillMulticastRegs(Adapter);
    if (!(Adapter->PacketFilter & kAllMulticastFilters)) {
        NdisMSynchronizeWithInterrupt(&Adapter->Interrupt, SyncCardCopyMulticastRegs, Adapter);
    }
    return NDIS_STATUS_SUCCESS;
}
