// The query handler: capabilities, addresses and statistics of one adapter.
// Every answer comes from a constant or from the adapter record; the card is
// never touched, so a query can run at any time between other handlers.

#include "driver/adapter.h"

// The identifiers the driver declares to the wrapper, in the order it reports
// them. Three of them (packet filter, protocol options, multicast list) are
// listed but refused by the query handler: the first and last can only be set.
const ULONG Ne2000SupportedOids[31] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_ID,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
};

namespace {

// The description protocols show for the adapter; the terminating zero is
// part of the answer.
const CHAR kVendorDescription[] = "NE2000 Card Adapter.";

constexpr ULONG kLinkSpeed = 100000;               // 10 Mbit/s in units of 100 bit/s
constexpr ULONG kCardBufferBlockSize = kPageSize;  // the DP8390 buffers in pages
constexpr ULONG kAssumedCardPages = 32;            // the receive space reported assumes a 32-page card
constexpr USHORT kDriverVersion = 0x0300;          // major 3 in the high byte, minor 0 in the low byte
constexpr ULONG kMacOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                              NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;

}  // namespace

NDIS_STATUS NTAPI Ne2000QueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesWritten, PULONG BytesNeeded) {
    const Ne2000Adapter* adapter = (const Ne2000Adapter*)MiniportAdapterContext;

    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    ULONG value = 0;
    USHORT shortValue = 0;
    UCHAR vendorId[4];
    const VOID* answer = &value;
    ULONG answerSize = sizeof value;

    switch (Oid) {
        case OID_GEN_SUPPORTED_LIST:
            answer = Ne2000SupportedOids;
            answerSize = sizeof Ne2000SupportedOids;
            break;
        case OID_GEN_HARDWARE_STATUS:
            value = NdisHardwareStatusReady;
            break;
        case OID_GEN_MEDIA_SUPPORTED:
        case OID_GEN_MEDIA_IN_USE:
            value = NdisMedium802_3;
            break;
        case OID_GEN_MAXIMUM_LOOKAHEAD:
            value = kMaxLookahead;
            break;
        case OID_GEN_MAXIMUM_FRAME_SIZE:
            value = kMaximumFramePayload;
            break;
        case OID_GEN_MAXIMUM_TOTAL_SIZE:
            value = kMaximumFrameSize;
            break;
        case OID_GEN_MAC_OPTIONS:
            value = kMacOptions;
            break;
        case OID_GEN_LINK_SPEED:
            value = kLinkSpeed;
            break;
        case OID_GEN_TRANSMIT_BUFFER_SPACE:
            value = adapter->TransmitPageCount * kCardBufferBlockSize;
            break;
        case OID_GEN_RECEIVE_BUFFER_SPACE:
            // Reported for a fixed 32-page card, not the ring the RAM test found:
            // protocols only use it as a sizing hint.
            value = (kAssumedCardPages - adapter->TransmitPageCount) * kCardBufferBlockSize;
            break;
        case OID_GEN_TRANSMIT_BLOCK_SIZE:
        case OID_GEN_RECEIVE_BLOCK_SIZE:
            value = kCardBufferBlockSize;
            break;
        case OID_GEN_VENDOR_ID:
            // A 32-bit value whose low-order three bytes are the IEEE vendor code
            // and whose high-order byte is ours to assign (0). On the
            // little-endian processor the low-order bytes come first in memory,
            // so the answer is the vendor block of the burned-in address in wire
            // order followed by the zero byte.
            vendorId[0] = adapter->PermanentAddress[0];
            vendorId[1] = adapter->PermanentAddress[1];
            vendorId[2] = adapter->PermanentAddress[2];
            vendorId[3] = 0;
            answer = vendorId;
            answerSize = sizeof vendorId;
            break;
        case OID_GEN_VENDOR_DESCRIPTION:
            answer = kVendorDescription;
            answerSize = sizeof kVendorDescription;
            break;
        case OID_GEN_DRIVER_VERSION:
            shortValue = kDriverVersion;
            answer = &shortValue;
            answerSize = sizeof shortValue;
            break;
        case OID_GEN_CURRENT_LOOKAHEAD:
            value = adapter->CurrentLookahead;
            break;
        case OID_GEN_XMIT_OK:
            value = adapter->TransmitGoodCount;
            break;
        case OID_GEN_RCV_OK:
            value = adapter->ReceiveGoodCount;
            break;
        case OID_GEN_XMIT_ERROR:
            value = adapter->TransmitErrorCount;
            break;
        case OID_GEN_RCV_ERROR:
            // CRC errors only: alignment errors have their own identifier.
            value = adapter->CrcErrorCount;
            break;
        case OID_GEN_RCV_NO_BUFFER:
            value = adapter->MissedPacketCount;
            break;
        case OID_802_3_PERMANENT_ADDRESS:
            answer = adapter->PermanentAddress;
            answerSize = kEthernetAddressLength;
            break;
        case OID_802_3_CURRENT_ADDRESS:
            answer = adapter->CurrentAddress;
            answerSize = kEthernetAddressLength;
            break;
        case OID_802_3_MAXIMUM_LIST_SIZE:
            // The table holds 16 addresses whatever the keyword says: a
            // protocol promised more would have its longer list refused.
            value = adapter->MaximumMulticastList < kMulticastSlots ? adapter->MaximumMulticastList
                                                                    : kMulticastSlots;
            break;
        case OID_802_3_RCV_ERROR_ALIGNMENT:
            value = adapter->AlignmentErrorCount;
            break;
        case OID_802_3_XMIT_ONE_COLLISION:
            value = adapter->OneCollisionCount;
            break;
        case OID_802_3_XMIT_MORE_COLLISIONS:
            value = adapter->MoreCollisionsCount;
            break;
        default:
            // The packet filter and the multicast list can only be set, and the
            // protocol options are taken by neither handler.
            status = NDIS_STATUS_INVALID_OID;
            break;
    }

    if (status != NDIS_STATUS_SUCCESS) return status;

    if (InformationBufferLength < answerSize) {
        *BytesNeeded = answerSize;
        return NDIS_STATUS_INVALID_LENGTH;
    }

    NdisMoveMemory(InformationBuffer, answer, answerSize);
    // Added, not stored: the wrapper may gather several answers in one count.
    *BytesWritten += answerSize;
    return NDIS_STATUS_SUCCESS;
}
