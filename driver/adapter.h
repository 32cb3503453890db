#pragma once
// Shared by every module of the miniport: the per-adapter record, the
// driver-global block, the DP8390 register map and bit values, the constants,
// and the operations the modules call on one another.
//
// Modules: ne2000 (entry, initialisation, registration, queries, sets, halt
// and reset), interrup (interrupt dispatch, receive, transmit, recovery),
// card (register operations, probing, packet copy, multicast hash), i365
// (socket controller), reset232 (the card's serial function).
//
// Only platform/ndis.h is included: no C library, no heap, no exceptions, no
// globals with constructors, so the same sources build for the kernel image.

#include "platform/ndis.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------
constexpr UINT kTransmitPages = 12;  // 256-byte pages at the start of card RAM
constexpr UINT kMaxLookahead = 238;  // lookahead bytes beyond the Ethernet header
constexpr UINT kEthernetHeaderSize = 14;
constexpr UINT kMinimumFrameSize = 60;    // without FCS; shorter frames are padded
constexpr UINT kMaximumFrameSize = 1514;  // without FCS
constexpr UINT kMaximumFramePayload = 1500;
constexpr UINT kLookaheadBufferSize = kEthernetHeaderSize + kMaxLookahead;  // 252
constexpr UINT kMulticastSlots = 16;
constexpr UINT kEthernetAddressLength = 6;
constexpr UINT kReceiveBatchLimit = 10;  // a pass ends once the count exceeds this
constexpr UINT kPortRangeLength = 0x20;
constexpr UCHAR kDefaultInterruptMask = 0x1B;  // PRX | PTX | TXE | OVW
constexpr ULONG kTransmitPageEmpty = 0;
constexpr ULONG kTransmitPageFull = 2;
// TransmitActivePage when the transmitter is idle.
constexpr LONG kNoActiveTransmitPage = -1;
// Transmit errors in a row on one frame before it is given up. A working
// network aborts a frame (16 collisions, a FIFO underrun) only now and then;
// sixteen in a row means this frame will never get through, and retrying it
// for ever would hold every later packet in the queue behind it.
constexpr ULONG kTransmitErrorLimit = 16;
constexpr ULONG kPageSize = 256;  // card memory is laid out and addressed in pages
// Time given to the controller after a stop command to finish the frame in
// hand and come to rest.
constexpr ULONG kStopSettleUs = 2000;
// Filters that need every multicast frame: the hash is opened fully (all MAR
// bits set) rather than loaded.
constexpr ULONG kAllMulticastFilters = NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;

// ---------------------------------------------------------------------------
// DP8390 register offsets from IoPortBase. Page 0 unless marked.
// ---------------------------------------------------------------------------
constexpr UCHAR NIC_CR = 0x00;
constexpr UCHAR NIC_PSTART = 0x01;  // write
constexpr UCHAR NIC_PSTOP = 0x02;   // write
constexpr UCHAR NIC_BNRY = 0x03;    // write
constexpr UCHAR NIC_TSR = 0x04;     // read
constexpr UCHAR NIC_TPSR = 0x04;    // write
constexpr UCHAR NIC_TBCR0 = 0x05;   // write
constexpr UCHAR NIC_TBCR1 = 0x06;   // write
constexpr UCHAR NIC_ISR = 0x07;
constexpr UCHAR NIC_CRDA0 = 0x08;  // read
constexpr UCHAR NIC_CRDA1 = 0x09;  // read
constexpr UCHAR NIC_RSAR0 = 0x08;  // write
constexpr UCHAR NIC_RSAR1 = 0x09;  // write
constexpr UCHAR NIC_RBCR0 = 0x0A;  // write
constexpr UCHAR NIC_RBCR1 = 0x0B;  // write
constexpr UCHAR NIC_RCR = 0x0C;    // write
constexpr UCHAR NIC_TCR = 0x0D;    // write
constexpr UCHAR NIC_CNTR0 = 0x0D;  // read
constexpr UCHAR NIC_DCR = 0x0E;    // write
constexpr UCHAR NIC_CNTR1 = 0x0E;  // read
constexpr UCHAR NIC_IMR = 0x0F;    // write
constexpr UCHAR NIC_CNTR2 = 0x0F;  // read
constexpr UCHAR NIC_PAR0 = 0x01;   // page 1, PAR0..PAR5 at 0x01..0x06
constexpr UCHAR NIC_CURR = 0x07;   // page 1
constexpr UCHAR NIC_MAR0 = 0x08;   // page 1, MAR0..MAR7 at 0x08..0x0F
constexpr UCHAR NIC_DATA = 0x10;   // remote-DMA data port
constexpr UCHAR NIC_RESET = 0x1F;  // read, then write, to reset the card

// CR bits and the values written to it
constexpr UCHAR CR_STP = 0x01;
constexpr UCHAR CR_STA = 0x02;
constexpr UCHAR CR_TXP = 0x04;
constexpr UCHAR CR_REMOTE_READ = 0x08;
constexpr UCHAR CR_REMOTE_WRITE = 0x10;
constexpr UCHAR CR_NO_DMA = 0x20;  // abort or complete remote DMA
constexpr UCHAR CR_PAGE1 = 0x40;
constexpr UCHAR kCrStartPage0 = CR_STA | CR_NO_DMA;  // 0x22: running, page 0, no remote DMA

// ISR and IMR bits
constexpr UCHAR ISR_PRX = 0x01;
constexpr UCHAR ISR_PTX = 0x02;
constexpr UCHAR ISR_RXE = 0x04;
constexpr UCHAR ISR_TXE = 0x08;
constexpr UCHAR ISR_OVW = 0x10;
constexpr UCHAR ISR_CNT = 0x20;
constexpr UCHAR ISR_RDC = 0x40;
constexpr UCHAR ISR_RST = 0x80;
constexpr UCHAR ISR_CAUSES = 0x3F;  // the bits that claim an interrupt

// RCR bits
constexpr UCHAR RCR_SEP = 0x01;
constexpr UCHAR RCR_AR = 0x02;
constexpr UCHAR RCR_AB = 0x04;
constexpr UCHAR RCR_AM = 0x08;
constexpr UCHAR RCR_PRO = 0x10;
constexpr UCHAR RCR_MON = 0x20;

// TCR values
constexpr UCHAR TCR_NORMAL = 0x00;
constexpr UCHAR TCR_INTERNAL_LOOPBACK = 0x02;

// DCR values
constexpr UCHAR DCR_WTS = 0x01;
constexpr UCHAR DCR_BYTE_WIDE = 0x48;      // FT1 | LS
constexpr UCHAR DCR_WORD_WIDE = 0x49;      // FT1 | LS | WTS
constexpr UCHAR DCR_LOOPBACK_INIT = 0x50;  // FT1 | AR, byte-wide, loopback

// TSR and RSR bits
constexpr UCHAR TSR_PTX = 0x01;
constexpr UCHAR RSR_PRX = 0x01;
constexpr UCHAR RSR_CRC = 0x02;
constexpr UCHAR RSR_FAE = 0x04;
constexpr UCHAR RSR_FO = 0x08;
constexpr UCHAR RSR_MPA = 0x10;
constexpr UCHAR RSR_PHY = 0x20;  // destination is a group address
constexpr UCHAR RSR_DIS = 0x40;
constexpr UCHAR RSR_DFR = 0x80;
constexpr UCHAR RSR_ERRORS = 0x5E;

// 82365 socket controller
constexpr ULONG kPcicIndexPort = 0x3E0;

// ---------------------------------------------------------------------------
// Error-log values. The first value of an entry tells which failure it was;
// the error code only gives its class.
// ---------------------------------------------------------------------------
// NDIS_ERROR_CODE_HARDWARE_FAILURE, values 0 and 1: the reset's set-up found
// the chip not answering.
constexpr ULONG kLogResetSetupFailed = 0;
constexpr ULONG kLogResetSetupFailedDetail = 1;
// NDIS_ERROR_CODE_HARDWARE_FAILURE, with the destination card address: the
// remote DMA of a packet copy would not start.
constexpr ULONG kLogCopyDownFailed = 1;
// NDIS_ERROR_CODE_HARDWARE_FAILURE: a card read for a protocol's data transfer failed.
constexpr ULONG kLogTransferReadFailed = 2;
// NDIS_ERROR_CODE_HARDWARE_FAILURE: the card stopped answering (every port reads 0xFF).
constexpr ULONG kLogCardVanished = 3;
// NDIS_ERROR_CODE_DRIVER_FAILURE: a transmission completed while none was active.
constexpr ULONG kLogNoActiveTransmit = 4;
// NDIS_ERROR_CODE_HARDWARE_FAILURE: a frame failed kTransmitErrorLimit times
// in a row and was given up.
constexpr ULONG kLogTransmitAbandoned = 5;

// ---------------------------------------------------------------------------
// The adapter record. Fields in the order the design lists them; every
// handler and hardware operation takes a pointer to it.
// ---------------------------------------------------------------------------
typedef struct _NE2000_ADAPTER Ne2000Adapter, *PNe2000Adapter;

struct _NE2000_ADAPTER {
    // Platform handles and linkage
    NDIS_HANDLE MiniportAdapterHandle;
    NDIS_MINIPORT_INTERRUPT Interrupt;
    PNe2000Adapter NextAdapter;
    ULONG ReceivePacketCount;

    // Configuration
    ULONG TransmitPageCount;
    ULONG IoBaseAddress;
    CCHAR InterruptNumber;
    CCHAR ComPort;
    ULONG UartPortAddress;
    CCHAR ComIrq;
    ULONG MaximumMulticastList;
    UCHAR BusType;
    USHORT BaseMemory;
    UCHAR Slot;

    // Transmit bookkeeping
    ULONG TransmitFillPage;
    ULONG TransmitNextPage;
    LONG TransmitActivePage;
    BOOLEAN TransmitInterruptPending;
    BOOLEAN TransmitRestartPending;
    // Transmit errors in a row on the frame at TransmitActivePage.
    ULONG TransmitErrorRetries;
    ULONG TransmitPageState[kTransmitPages];
    ULONG TransmitPageLength[kTransmitPages];
    PNDIS_PACKET SendQueueHead;
    PNDIS_PACKET SendQueueTail;

    // Card memory layout and ring position
    ULONG TransmitAreaAddress;
    ULONG RingStartAddress;
    ULONG RingEndAddress;
    UCHAR TransmitStatus;
    UCHAR TransmitStartPage;
    UCHAR RingStartPage;
    UCHAR RingStopPage;
    UCHAR NextPacketPage;
    UCHAR LastCurrentPage;
    ULONG ReceivePacketLength;

    // Hardware state
    PVOID IoPortBase;  // the port base NdisMRegisterIoPortRange gave for IoBaseAddress
    UCHAR InterruptStatus;
    // IMR is 0 because the driver masked the card (a claimed interrupt or the
    // disable handler) and the enable handler has not unmasked it yet: the
    // card cannot be driving its line, so an interrupt now is another device's.
    BOOLEAN CardInterruptsMasked;
    UCHAR CurrentAddress[kEthernetAddressLength];
    UCHAR PermanentAddress[kEthernetAddressLength];
    ULONG CardRamStart;
    ULONG CardRamLength;
    ULONG PacketFilter;
    BOOLEAN RingOverflowPending;
    BOOLEAN ReceiveIndicated;
    BOOLEAN ByteWideTransfers;

    // Statistics
    ULONG TransmitGoodCount;
    ULONG ReceiveGoodCount;
    ULONG TransmitErrorCount;
    ULONG OneCollisionCount;
    ULONG MoreCollisionsCount;
    ULONG AlignmentErrorCount;
    ULONG CrcErrorCount;
    ULONG MissedPacketCount;

    // Filter and receive settings
    UCHAR MulticastHashBytes[8];
    UCHAR ReceiveConfigValue;
    UCHAR InterruptMaskValue;
    ULONG CurrentLookahead;

    // The frame being received
    UCHAR ReceiveHeader[4];
    ULONG ReceivePacketAddress;
    UCHAR LookaheadBuffer[kLookaheadBufferSize];

    // Multicast list
    UCHAR MulticastAddresses[kMulticastSlots][kEthernetAddressLength];
};

// The driver-global block: the wrapper handle and the queue of running adapters.
typedef struct _NE2000_MINIPORT_BLOCK {
    NDIS_HANDLE NdisWrapperHandle;
    PNe2000Adapter AdapterQueue;
} Ne2000DriverBlock;

extern Ne2000DriverBlock Ne2000MiniportBlock;

// ---------------------------------------------------------------------------
// Port access relative to the card's port base
// ---------------------------------------------------------------------------
inline PUCHAR CardPort(const Ne2000Adapter* Adapter, ULONG Offset) {
    return (PUCHAR)((ULONG_PTR)Adapter->IoPortBase + Offset);
}
inline UCHAR CardReadRegister(const Ne2000Adapter* Adapter, ULONG Offset) {
    return READ_PORT_UCHAR(CardPort(Adapter, Offset));
}
inline VOID CardWriteRegister(const Ne2000Adapter* Adapter, ULONG Offset, UCHAR Value) {
    WRITE_PORT_UCHAR(CardPort(Adapter, Offset), Value);
}

// Queued packets are linked through the start of their MiniportReserved area.
inline PNDIS_PACKET Ne2000NextQueuedPacket(const NDIS_PACKET* Packet) {
    PNDIS_PACKET next;
    NdisMoveMemory(&next, Packet->MiniportReserved, sizeof next);
    return next;
}
inline VOID Ne2000SetNextQueuedPacket(PNDIS_PACKET Packet, PNDIS_PACKET Next) {
    NdisMoveMemory(Packet->MiniportReserved, &Next, sizeof Next);
}

// ---------------------------------------------------------------------------
// ne2000: entry, initialisation, registration, queries, sets, halt, reset
// ---------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS NTAPI Ne2000Initialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                   PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                   NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE WrapperConfigurationContext);
NDIS_STATUS Ne2000RegisterAdapter(PNe2000Adapter Adapter, BOOLEAN ConfigErrorFlag, ULONG ConfigErrorValue);

extern const ULONG Ne2000SupportedOids[31];
NDIS_STATUS NTAPI Ne2000QueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                         PVOID InformationBuffer, ULONG InformationBufferLength,
                                         PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NTAPI Ne2000SetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                       PVOID InformationBuffer, ULONG InformationBufferLength,
                                       PULONG BytesRead, PULONG BytesNeeded);
NDIS_STATUS DispatchSetPacketFilter(PNe2000Adapter Adapter);
NDIS_STATUS DispatchSetMulticastAddressList(PNe2000Adapter Adapter);

VOID NTAPI Ne2000Halt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI Ne2000Reset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);

// Unlinks an adapter from Ne2000MiniportBlock.AdapterQueue (registration
// unwinding and halt).
VOID Ne2000UnlinkAdapter(PNe2000Adapter Adapter);

// ---------------------------------------------------------------------------
// interrup: interrupt dispatch, receive, transmit, recovery
// ---------------------------------------------------------------------------
VOID NTAPI Ne2000Isr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                     NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI Ne2000DisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI Ne2000EnableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI Ne2000HandleInterrupt(NDIS_HANDLE MiniportAdapterContext);

BOOLEAN Ne2000RcvDpc(PNe2000Adapter Adapter);
BOOLEAN Ne2000PacketOK(PNe2000Adapter Adapter);
ULONG Ne2000IndicatePacket(PNe2000Adapter Adapter);
NDIS_STATUS NTAPI Ne2000TransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                     NDIS_HANDLE MiniportAdapterContext, NDIS_HANDLE MiniportReceiveContext,
                                     UINT ByteOffset, UINT BytesToTransfer);

NDIS_STATUS NTAPI Ne2000Send(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
VOID Ne2000DoNextSend(PNe2000Adapter Adapter);
VOID Ne2000XmitDpc(PNe2000Adapter Adapter);
// The transmit completion step: count the result, free the frame's pages,
// start the next frame already on the card. TransmitActivePage is not -1.
VOID Ne2000CompleteTransmission(PNe2000Adapter Adapter);
// Gives up the frame at TransmitActivePage (not -1) after too many transmit
// errors in a row: counted as an error, logged, its pages freed, the next
// frame started and the queue served.
VOID Ne2000AbandonTransmission(PNe2000Adapter Adapter);

BOOLEAN NTAPI SyncCardUpdateCounters(PVOID Context);
BOOLEAN NTAPI SyncCardHandleOverflow(PVOID Context);
BOOLEAN NTAPI SyncCardAcknowledgeOverflow(PVOID Context);
VOID OctogmetusceratorRevisited(PNe2000Adapter Adapter);

// ---------------------------------------------------------------------------
// card: register operations, probing and set-up, packet copy, multicast hash
// ---------------------------------------------------------------------------
BOOLEAN NTAPI SyncCardStop(PVOID Context);
VOID CardStartXmit(PNe2000Adapter Adapter);
BOOLEAN NTAPI SyncCardGetCurrent(PVOID Context);
BOOLEAN NTAPI SyncCardGetXmitStatus(PVOID Context);
VOID CardSetBoundary(PNe2000Adapter Adapter);
BOOLEAN NTAPI SyncCardSetReceiveConfig(PVOID Context);
BOOLEAN NTAPI SyncCardSetAllMulticast(PVOID Context);
BOOLEAN NTAPI SyncCardCopyMulticastRegs(PVOID Context);
VOID CardStop(PNe2000Adapter Adapter);

BOOLEAN CardCheckParameters(PNe2000Adapter Adapter);
BOOLEAN CardSlotTest(PNe2000Adapter Adapter);
BOOLEAN CardRamTest(PNe2000Adapter Adapter);
BOOLEAN CardInitialize(PNe2000Adapter Adapter);
VOID CardReadEthernetAddress(PNe2000Adapter Adapter);
BOOLEAN CardSetup(PNe2000Adapter Adapter);
BOOLEAN CardReset(PNe2000Adapter Adapter);

BOOLEAN CardCopyDownPacket(PNe2000Adapter Adapter, PNDIS_PACKET Packet, PULONG Length);
BOOLEAN CardCopyDown(PNe2000Adapter Adapter, ULONG Destination, const UCHAR* Source, ULONG Length);
BOOLEAN CardCopyUp(PNe2000Adapter Adapter, PUCHAR Target, ULONG Source, ULONG Length);

ULONG CardComputeCrc(const UCHAR* Buffer, ULONG Length);
VOID CardGetMulticastBit(const UCHAR Address[kEthernetAddressLength], PUCHAR Byte, PUCHAR Value);
VOID CardFillMulticastRegs(PNe2000Adapter Adapter);

// ---------------------------------------------------------------------------
// i365: the 82365-compatible socket controller and the card's configuration
// ---------------------------------------------------------------------------
extern ULONG PCICAddress;  // index port; the data port follows it
extern UCHAR IndexBase;    // socket × 0x40

VOID I365_Write(UCHAR Register, UCHAR Value);
UCHAR I365_Read(UCHAR Register);
VOID I365_SetAddress(UINT Socket);
BOOLEAN I365_SocketPresent(VOID);
BOOLEAN I365_CardPresent(VOID);
VOID I365_Reset(VOID);
VOID I365_PowerEnable(VOID);
VOID I365_OpenMemoryWin(PNe2000Adapter Adapter);
VOID I365_OpenIOWin(PNe2000Adapter Adapter);
VOID I365_OpenIrq(PNe2000Adapter Adapter);
BOOLEAN I365_SwitchToIO(PNe2000Adapter Adapter);
VOID I365_CloseMemoryWin(VOID);
// Reads (and so clears) the card status changes of sockets 0 and 1.
VOID I365_ClearStatusChanges(VOID);
BOOLEAN InitI365(PNe2000Adapter Adapter);

// ---------------------------------------------------------------------------
// reset232: the card's 8250-compatible serial function
// ---------------------------------------------------------------------------
extern ULONG UARTAddress;

VOID UART_Write(UCHAR Offset, UCHAR Value);
UCHAR UART_Read(UCHAR Offset);
VOID init_8250(VOID);
UCHAR chk_rcv_data(VOID);
UCHAR get_rcv_data(VOID);
VOID discard_chars(VOID);
VOID Reset_UART(PNe2000Adapter Adapter);
