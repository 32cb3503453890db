#pragma once
// The NDIS 3.0 miniport library and HAL surface this driver uses, spelled as
// the platform spells them: names, types and values. It is the only header the
// driver sees. On the host it is backed by the user-mode stand-in in
// platform/host; for the i386 target the same declarations meet the real
// library, so nothing here may depend on the host. The kernel image is built
// with NDIS_NT_TARGET: the structures the library shares with the driver
// (buffers, packets, the interrupt object, the miniport block) then take NT's
// own layouts instead of the stand-in's.
//
// Widths follow the 32-bit platform: ULONG and UINT are 32 bits on every host
// (never `unsigned long`), BOOLEAN is one byte, WCHAR is UTF-16.

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Calling convention. Every library routine and every handler goes through
// this one macro: empty on the host, __stdcall on the i386 target.
// ---------------------------------------------------------------------------
#if defined(_M_IX86)
#define NTAPI __stdcall
#elif defined(__i386__)
#define NTAPI __attribute__((stdcall))
#else
#define NTAPI
#endif

// Places a routine in the discardable initialisation section on the native
// build (used for code that runs only while an adapter is being brought up).
#if defined(_MSC_VER)
#define NDIS_INIT_FUNCTION(f) __pragma(alloc_text(INIT, f))
#else
#define NDIS_INIT_FUNCTION(f)
#endif

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef signed char CCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t UINT;
typedef UINT* PUINT;
typedef int32_t INT;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;

#define TRUE 1
#define FALSE 0

typedef LONG NTSTATUS;
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;

static inline NDIS_PHYSICAL_ADDRESS NdisPhysicalAddressConst(ULONG Low, LONG High) {
    NDIS_PHYSICAL_ADDRESS a;
    a.u.LowPart = Low;
    a.u.HighPart = High;
    return a;
}
#define NDIS_PHYSICAL_ADDRESS_CONST(Low, High) NdisPhysicalAddressConst((ULONG)(Low), (LONG)(High))

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without the terminating zero
    USHORT MaximumLength;  // bytes, with it
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

// NDIS_STRING_CONST("IoBaseAddress") makes a counted wide string of a literal.
#define NDIS_STRING_CONST(x) \
    { (USHORT)(sizeof(u"" x) - sizeof(WCHAR)), (USHORT)sizeof(u"" x), (PWSTR)(u"" x) }

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---------------------------------------------------------------------------
// NDIS status codes
// ---------------------------------------------------------------------------
typedef ULONG NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_NOT_RECOGNIZED ((NDIS_STATUS)0x00010001L)
#define NDIS_STATUS_NOT_COPIED ((NDIS_STATUS)0x00010002L)
#define NDIS_STATUS_NOT_ACCEPTED ((NDIS_STATUS)0x00010003L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_CLOSING ((NDIS_STATUS)0xC0010002L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_OPEN_FAILED ((NDIS_STATUS)0xC0010007L)
#define NDIS_STATUS_DEVICE_FAILED ((NDIS_STATUS)0xC0010008L)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_MULTICAST_EXISTS ((NDIS_STATUS)0xC001000AL)
#define NDIS_STATUS_MULTICAST_NOT_FOUND ((NDIS_STATUS)0xC001000BL)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000CL)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_INVALID_PACKET ((NDIS_STATUS)0xC001000FL)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_REMOVED ((NDIS_STATUS)0xC0010018L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001EL)

// ---------------------------------------------------------------------------
// Error-log codes (NdisWriteErrorLogEntry)
// ---------------------------------------------------------------------------
typedef ULONG NDIS_ERROR_CODE;

#define NDIS_ERROR_CODE_RESOURCE_CONFLICT ((NDIS_ERROR_CODE)0xC0001388L)
#define NDIS_ERROR_CODE_OUT_OF_RESOURCES ((NDIS_ERROR_CODE)0xC0001389L)
#define NDIS_ERROR_CODE_HARDWARE_FAILURE ((NDIS_ERROR_CODE)0xC000138AL)
#define NDIS_ERROR_CODE_ADAPTER_NOT_FOUND ((NDIS_ERROR_CODE)0xC000138BL)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138CL)
#define NDIS_ERROR_CODE_DRIVER_FAILURE ((NDIS_ERROR_CODE)0xC000138DL)
#define NDIS_ERROR_CODE_BAD_VERSION ((NDIS_ERROR_CODE)0xC000138EL)
#define NDIS_ERROR_CODE_TIMEOUT ((NDIS_ERROR_CODE)0x8000138FL)
#define NDIS_ERROR_CODE_NETWORK_ADDRESS ((NDIS_ERROR_CODE)0xC0001390L)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391L)
#define NDIS_ERROR_CODE_INVALID_VALUE_FROM_ADAPTER ((NDIS_ERROR_CODE)0xC0001392L)
#define NDIS_ERROR_CODE_MISSING_CONFIGURATION_PARAMETER ((NDIS_ERROR_CODE)0xC0001393L)
#define NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS ((NDIS_ERROR_CODE)0xC0001394L)
#define NDIS_ERROR_CODE_RECEIVE_SPACE_SMALL ((NDIS_ERROR_CODE)0x40001395L)
#define NDIS_ERROR_CODE_ADAPTER_DISABLED ((NDIS_ERROR_CODE)0x80001396L)

// ---------------------------------------------------------------------------
// Object identifiers
// ---------------------------------------------------------------------------
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113

#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105

#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103

// ---------------------------------------------------------------------------
// Packet filter bits, MAC options, enumerations
// ---------------------------------------------------------------------------
#define NDIS_PACKET_TYPE_DIRECTED 0x0001
#define NDIS_PACKET_TYPE_MULTICAST 0x0002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x0004
#define NDIS_PACKET_TYPE_BROADCAST 0x0008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x0010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x0020
#define NDIS_PACKET_TYPE_SMT 0x0040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x0080
#define NDIS_PACKET_TYPE_GROUP 0x1000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x2000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x4000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x8000

#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3,
    NdisMedium802_5,
    NdisMediumFddi,
    NdisMediumWan,
    NdisMediumLocalTalk,
    NdisMediumDix,
    NdisMediumArcnetRaw,
    NdisMediumArcnet878_2
} NDIS_MEDIUM,
    *PNDIS_MEDIUM;

typedef enum _NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady,
    NdisHardwareStatusInitializing,
    NdisHardwareStatusReset,
    NdisHardwareStatusClosing,
    NdisHardwareStatusNotReady
} NDIS_HARDWARE_STATUS;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8
} NDIS_INTERFACE_TYPE;

typedef enum _NDIS_INTERRUPT_MODE { NdisInterruptLevelSensitive, NdisInterruptLatched } NDIS_INTERRUPT_MODE;

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger,
    NdisParameterHexInteger,
    NdisParameterString,
    NdisParameterMultiString
} NDIS_PARAMETER_TYPE;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

// Micro Channel POS data as the wrapper reads it for an adapter's slot.
typedef struct _NDIS_MCA_POS_DATA {
    USHORT AdapterId;
    UCHAR PosData1;
    UCHAR PosData2;
    UCHAR PosData3;
    UCHAR PosData4;
} NDIS_MCA_POS_DATA, *PNDIS_MCA_POS_DATA;

// ---------------------------------------------------------------------------
// Memory helpers (macros on the platform; plain loops here so the driver needs
// no C library)
// ---------------------------------------------------------------------------
static inline VOID NdisMoveMemory(PVOID Destination, const VOID* Source, ULONG Length) {
    PUCHAR d = (PUCHAR)Destination;
    const UCHAR* s = (const UCHAR*)Source;
    for (ULONG i = 0; i < Length; ++i) d[i] = s[i];
}

static inline VOID NdisZeroMemory(PVOID Destination, ULONG Length) {
    PUCHAR d = (PUCHAR)Destination;
    for (ULONG i = 0; i < Length; ++i) d[i] = 0;
}

static inline BOOLEAN NdisEqualMemory(const VOID* a, const VOID* b, ULONG Length) {
    const UCHAR* x = (const UCHAR*)a;
    const UCHAR* y = (const UCHAR*)b;
    for (ULONG i = 0; i < Length; ++i)
        if (x[i] != y[i]) return FALSE;
    return TRUE;
}

#define PAGE_SIZE 0x1000

typedef struct _ETH_FILTER ETH_FILTER, *PETH_FILTER;

#if defined(NDIS_NT_TARGET)
// ---------------------------------------------------------------------------
// The structures the wrapper shares with the miniport, as NT lays them out.
// The kernel image is built with NDIS_NT_TARGET. Every layout fact about NT
// that cannot be confirmed on a build machine stands in this block, pinned by
// the static_asserts at its end. Source: the published NDIS 5.1 headers
// (Windows 2000/XP). For NT 3.5-4.0 the MDL, the packet's private part and
// its MiniportReserved area are taken to be the same, because miniports
// compile in the macros that read them and later wrappers kept loading
// earlier miniports; EthDB's offset is confirmed for 2000/XP only.
//
// On NT the buffer and packet queries, the memory helpers and the Ethernet
// indications are macros compiled into the driver; every routine declared
// further down is an export of NDIS.SYS, HAL.dll or ntoskrnl.exe, listed in
// platform/nt/*.def.
// ---------------------------------------------------------------------------
static_assert(sizeof(PVOID) == 4, "the NT layouts below are those of the 32-bit x86 kernel");

// A buffer is a memory descriptor list entry. NdisQueryBuffer and
// NdisGetNextBuffer are macros over it, not library exports.
typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;  // valid when MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL
    PVOID StartVa;         // page-aligned start of the described range
    ULONG ByteCount;
    ULONG ByteOffset;  // of the first byte within the page at StartVa
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

typedef CCHAR KPROCESSOR_MODE;
#define KernelMode ((KPROCESSOR_MODE)0)

#ifdef __cplusplus
extern "C" {
#endif
// ntoskrnl: maps a locked buffer that has no system address yet.
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
#ifdef __cplusplus
}
#endif

// NT's MmGetSystemAddressForMdl: buffers from non-paged pool, or already
// mapped, carry their system address; any other is mapped on first use.
static inline VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    if (VirtualAddress)
        *VirtualAddress = (Buffer->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                              ? Buffer->MappedSystemVa
                              : MmMapLockedPages(Buffer, KernelMode);
    *Length = Buffer->ByteCount;
}

static inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

// Pages a buffer touches; NT counts an empty buffer as one.
static inline UINT NdisBufferSpanPages(PNDIS_BUFFER Buffer) {
    if (Buffer->ByteCount == 0) return 1;
    const ULONG first = ((ULONG_PTR)Buffer->StartVa + Buffer->ByteOffset) & (PAGE_SIZE - 1);
    return (UINT)((first + Buffer->ByteCount - 1) / PAGE_SIZE + 1);
}
#define NDIS_BUFFER_TO_SPAN_PAGES(Buffer) NdisBufferSpanPages(Buffer)

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;  // valid when ValidCounts
    UINT TotalLength;    // valid when ValidCounts
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    NDIS_HANDLE Pool;
    UINT Count;  // buffers in the chain, valid when ValidCounts
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;       // padding before NDIS 4.0
    USHORT NdisPacketOobOffset;  // padding before NDIS 4.0
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    // Owned by the miniport while it holds the packet (between send and completion).
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR WrapperReserved[2 * sizeof(PVOID)];
    ULONG_PTR Reserved[2];
    // The protocol's area runs on for the length its packet pool was made with.
    UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET;

// Filled by NdisMRegisterInterrupt and owned by the wrapper from then on; the
// miniport only embeds it. NT 3.5's wrapper may use less; a declaration
// smaller than the wrapper's would let it write over the fields behind it,
// so this takes the largest layout published for i386 (NDIS 5.1: interrupt
// object, spin lock, reserved word, two handler pointers, a KDPC of 32
// bytes, the miniport block pointer, two bytes, a KEVENT of 16 bytes, two
// flags).
// The named fields are the wrapper's own bookkeeping (the stand-in's, when it
// plays the wrapper for this layout); the miniport never reads any of them.
typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID InterruptObject;
    NDIS_HANDLE MiniportHandle;
    UINT Vector;
    UINT Level;
    BOOLEAN Shared;
    BOOLEAN IsrRequested;
    NDIS_INTERRUPT_MODE Mode;
    UCHAR WrapperOwned[80 - 6 * sizeof(ULONG)];
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// The wrapper's per-adapter block, of which the miniport reads one field:
// the Ethernet filter database that the receive indication macros pass on.
// Its offset is taken on trust from the published NDIS 5.1 header (Windows
// 2000/XP); for NT 3.5-4.0 it is not confirmed.
#define NDIS_MINIPORT_BLOCK_ETHDB_OFFSET 0xD8
typedef struct _NDIS_MINIPORT_BLOCK {
    PVOID WrapperContext;  // the wrapper's own (the stand-in's record of the adapter)
    UCHAR WrapperPrivate[NDIS_MINIPORT_BLOCK_ETHDB_OFFSET - sizeof(PVOID)];
    PETH_FILTER EthDB;
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

static_assert(sizeof(MDL) == 28 && offsetof(MDL, MdlFlags) == 0x06 && offsetof(MDL, MappedSystemVa) == 0x0C &&
                  offsetof(MDL, StartVa) == 0x10 && offsetof(MDL, ByteCount) == 0x14 &&
                  offsetof(MDL, ByteOffset) == 0x18,
              "MDL layout of the i386 kernel");
static_assert(offsetof(NDIS_PACKET, Private.TotalLength) == 0x04 &&
                  offsetof(NDIS_PACKET, Private.Head) == 0x08 &&
                  offsetof(NDIS_PACKET, Private.Count) == 0x14 &&
                  offsetof(NDIS_PACKET, Private.ValidCounts) == 0x1C &&
                  offsetof(NDIS_PACKET, MiniportReserved) == 0x20 && sizeof(NDIS_PACKET) == 60,
              "NDIS_PACKET layout of the i386 wrapper");
static_assert(sizeof(NDIS_MINIPORT_INTERRUPT) == 80, "largest published NDIS_MINIPORT_INTERRUPT");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthDB) == 0xD8, "EthDB of the NDIS 5.1 miniport block");

#else
// ---------------------------------------------------------------------------
// The same structures as the user-mode stand-in owns them.
// ---------------------------------------------------------------------------
// A buffer describes one virtually contiguous piece of a packet (an MDL on NT).
typedef struct _NDIS_BUFFER {
    struct _NDIS_BUFFER* Next;
    PVOID VirtualAddress;
    UINT Length;
} NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;  // valid when ValidCounts
    UINT TotalLength;    // valid when ValidCounts
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    NDIS_HANDLE Pool;
    UINT Count;  // buffers in the chain, valid when ValidCounts
    ULONG Flags;
    BOOLEAN ValidCounts;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    // Owned by the miniport while it holds the packet (between send and completion).
    alignas(PVOID) UCHAR MiniportReserved[2 * sizeof(PVOID)];
    // Owned by the wrapper.
    alignas(PVOID) UCHAR WrapperReserved[2 * sizeof(PVOID)];
    // Owned by the protocol that allocated the packet.
    alignas(PVOID) UCHAR ProtocolReserved[4 * sizeof(PVOID)];
} NDIS_PACKET, *PNDIS_PACKET;

// Pages that a virtually contiguous range touches.
static inline UINT NdisAddressAndSizeToSpanPages(PVOID Va, UINT Size) {
    if (Size == 0) return 0;
    const ULONG_PTR start = (ULONG_PTR)Va;
    return (UINT)((((start & (PAGE_SIZE - 1)) + Size - 1) / PAGE_SIZE) + 1);
}
#define NDIS_BUFFER_TO_SPAN_PAGES(Buffer) \
    NdisAddressAndSizeToSpanPages((Buffer)->VirtualAddress, (Buffer)->Length)

static inline VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    if (VirtualAddress) *VirtualAddress = Buffer->VirtualAddress;
    *Length = Buffer->Length;
}

static inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

// Embedded in the miniport's adapter record; filled by NdisMRegisterInterrupt
// and owned by the wrapper from then on.
typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID InterruptObject;       // the wrapper's connected interrupt
    NDIS_HANDLE MiniportHandle;  // the adapter it belongs to
    UINT Vector;
    UINT Level;
    BOOLEAN Shared;
    BOOLEAN IsrRequested;
    NDIS_INTERRUPT_MODE Mode;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// The part of the wrapper's per-adapter block that the indication macros read.
typedef struct _NDIS_MINIPORT_BLOCK {
    PVOID WrapperContext;
    PETH_FILTER EthDB;  // the Ethernet filter database of this adapter
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;
#endif

// Counts the chain once and caches the totals in the packet, as the wrapper's
// macro does; any out pointer may be null.
static inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                                   PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength) {
    if (!Packet->Private.ValidCounts) {
        UINT physical = 0, count = 0, total = 0;
        for (PNDIS_BUFFER b = Packet->Private.Head; b != 0; b = b->Next) {
            UINT length;
            NdisQueryBuffer(b, 0, &length);
            physical += NDIS_BUFFER_TO_SPAN_PAGES(b);
            total += length;
            ++count;
        }
        Packet->Private.PhysicalCount = physical;
        Packet->Private.TotalLength = total;
        Packet->Private.Count = count;
        Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount) *BufferCount = Packet->Private.Count;
    if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
    if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
}

// ---------------------------------------------------------------------------
// Miniport handlers and the NDIS 3.0 characteristics record
// ---------------------------------------------------------------------------
typedef BOOLEAN(NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                        PVOID InformationBuffer,
                                                        ULONG InformationBufferLength, PULONG BytesWritten,
                                                        PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                           UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                      PVOID InformationBuffer, ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                                    UINT BytesToTransfer);

typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS;

typedef NDIS30_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

// 60 bytes on the 32-bit target: two version bytes, the reserved word, 13 handlers.
static_assert(sizeof(PVOID) != 4 || sizeof(NDIS30_MINIPORT_CHARACTERISTICS) == 60,
              "NDIS 3.0 characteristics record must be 60 bytes on the 32-bit target");

typedef BOOLEAN(NTAPI* PNDIS_SYNCHRONIZE_ROUTINE)(PVOID SynchronizeContext);

// ---------------------------------------------------------------------------
// NDIS library
// ---------------------------------------------------------------------------
#ifdef __cplusplus
extern "C" {
#endif

VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                                 PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);

NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                                  NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE WrapperConfigurationContext,
                                     PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
CCHAR NTAPI NdisSystemProcessorCount(VOID);

VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                              BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NTAPI NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                           UINT InitialPort, UINT NumberOfPorts);
VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                      PVOID PortOffset);
NDIS_STATUS NTAPI NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                         NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                         UINT InterruptLevel, BOOLEAN RequestIsr, BOOLEAN SharedInterrupt,
                                         NDIS_INTERRUPT_MODE InterruptMode);
VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
BOOLEAN NTAPI NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            PNDIS_SYNCHRONIZE_ROUTINE SynchronizeFunction,
                                            PVOID SynchronizeContext);

NDIS_STATUS NTAPI NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                                  NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length);
VOID NTAPI NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length);

VOID NTAPI NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                                  ULONG NumberOfErrorValues, ...);

VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status);

VOID NTAPI EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                       PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                       UINT LookaheadBufferSize, UINT PacketSize);
VOID NTAPI EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter);

// ---------------------------------------------------------------------------
// HAL: port access and busy waits
// ---------------------------------------------------------------------------
UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID NTAPI READ_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count);
VOID NTAPI READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);
VOID NTAPI WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count);
VOID NTAPI WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

#ifdef __cplusplus
}
#endif

// The miniport's spelling of the filter indications: the filter database is
// the one the wrapper keeps for the adapter handle.
#define NdisMEthIndicateReceive(Handle, Context, HeaderBuffer, HeaderBufferSize, LookaheadBuffer,          \
                                LookaheadBufferSize, PacketSize)                                           \
    EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)(Handle))->EthDB, (Context), (PCHAR)(HeaderBuffer), \
                                (HeaderBuffer), (HeaderBufferSize), (LookaheadBuffer),                     \
                                (LookaheadBufferSize), (PacketSize))
#define NdisMEthIndicateReceiveComplete(Handle) \
    EthFilterDprIndicateReceiveComplete(((PNDIS_MINIPORT_BLOCK)(Handle))->EthDB)
