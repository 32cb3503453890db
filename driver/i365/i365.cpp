// The 82365-compatible socket controller and the two-function card in its
// socket. Before the card's network ports can be reached, the card has to be
// reset and powered, the controller's I/O windows opened at the network and
// serial port ranges, the interrupts steered, and the card's configuration
// bytes written through a memory window onto its attribute memory. All of
// that runs at passive level inside the initialise handler, one adapter at a
// time; only the clearing of status changes is called later, by the deferred
// interrupt handler.

#include "driver/adapter.h"

// The socket selected last. The controller sits at the index port 0x3E0 with
// its data port right after it; each socket owns 0x40 register indices.
ULONG PCICAddress = kPcicIndexPort;
UCHAR IndexBase = 0;

namespace {

// Register numbers within a socket.
constexpr UCHAR kIdentification = 0x00;
constexpr UCHAR kInterfaceStatus = 0x01;
constexpr UCHAR kPowerControl = 0x02;
constexpr UCHAR kInterruptControl = 0x03;
constexpr UCHAR kCardStatusChange = 0x04;  // reading it clears the changes it reports
constexpr UCHAR kStatusChangeConfig = 0x05;
constexpr UCHAR kWindowEnable = 0x06;
constexpr UCHAR kIoControl = 0x07;
constexpr UCHAR kIoWindow0Start = 0x08;  // start low, start high, stop low, stop high
constexpr UCHAR kIoWindow1Start = 0x0C;
constexpr UCHAR kMemoryWindow0Start = 0x10;  // start, stop, card offset (low, high each)

// The controller takes its time to latch an index and to act on a data write.
constexpr ULONG kIndexSettleUs = 4096;
// ... and after a status read before the next index may be written.
constexpr ULONG kStatusReadSettleUs = 4096;
constexpr UCHAR kSocketIndexStride = 0x40;  // each socket owns 0x40 register indices
constexpr ULONG kDataSettleUs = 1280;
constexpr ULONG kResetSettleUs = 65536;  // reset pulse and power-up
constexpr ULONG kConfigSettleUs = 4096;

constexpr UCHAR kControllerIdFirst = 0x82;  // 82365-compatible revisions
constexpr UCHAR kControllerIdLast = 0x8F;
constexpr UCHAR kCardDetectBoth = 0x0C;  // both card-detect pins: fully inserted

constexpr UCHAR kPowerVccOn = 0x10;
constexpr UCHAR kPowerOutputEnable = 0x80;
constexpr UCHAR kResetReleased = 0x40;  // the card's RESET is asserted while this bit is clear
constexpr UCHAR kIoCard = 0x20;
constexpr UCHAR kIreqSteering = 0x0F;

// Status-change sources: card detect, battery warning, and battery dead, which
// on an I/O card is the card's STSCHG# (the network function's interrupt).
constexpr UCHAR kStatusChangeSources = 0x0B;

constexpr UCHAR kMemoryWindow16Bit = 0x80;
constexpr UCHAR kMemoryOffsetAttribute = 0x40;
constexpr UCHAR kEnableMemoryWindow0 = 0x01;
constexpr UCHAR kEnableIoWindowsAndMemcs16 = 0xE0;
constexpr UCHAR kIoControlBothWindows = 0x33;  // 16-bit path, size from IOIS16, per window

// The card's configuration registers in attribute memory, as offsets in the
// window (the card decodes the low 12 bits of its attribute address).
constexpr ULONG kWindowLength = 0x400;
constexpr ULONG kConfigurationOption = 0x3F8;
constexpr ULONG kConfigurationStatus = 0x3FA;
constexpr ULONG kSerialControl = 0x3F2;
constexpr UCHAR kStatusSigChgAudio = 0x48;  // network interrupt drives STSCHG#; audio
constexpr UCHAR kSerialInterruptToIreq = 0x08;

PUCHAR IndexPort() {
    return (PUCHAR)(ULONG_PTR)PCICAddress;
}

PUCHAR DataPort() {
    return (PUCHAR)(ULONG_PTR)(PCICAddress + 1);
}

// Configuration option byte: which of the card's four network port blocks to
// decode, and where its UART answers.
UCHAR ConfigurationOption(const Ne2000Adapter* Adapter) {
    UCHAR option;
    switch (Adapter->IoBaseAddress) {
        case 0x300:
            option = 0x20;
            break;
        case 0x320:
            option = 0x21;
            break;
        case 0x340:
            option = 0x22;
            break;
        case 0x360:
            option = 0x23;
            break;
        default:
            // A base the card cannot decode. One that overlaps the block at
            // 0x300 would show the chip through the I/O window shifted, its
            // data and reset ports where the probe expects registers (and a
            // data-port cycle without a remote-DMA command can hang the bus);
            // there the block at 0x340, out of the window's reach, is chosen,
            // so that the probe finds nothing, as at any other such base.
            option = Adapter->IoBaseAddress + kPortRangeLength > 0x300 && Adapter->IoBaseAddress < 0x320
                         ? 0x22
                         : 0x20;
            break;
    }
    switch (Adapter->ComPort) {
        case 3:
            option |= 0x08;
            break;
        case 4:
            option |= 0x0C;
            break;
        default:  // COM2
            option |= 0x04;
            break;
    }
    return option;
}

}  // namespace

VOID I365_Write(UCHAR Register, UCHAR Value) {
    WRITE_PORT_UCHAR(IndexPort(), (UCHAR)(Register + IndexBase));
    KeStallExecutionProcessor(kIndexSettleUs);
    WRITE_PORT_UCHAR(DataPort(), Value);
    KeStallExecutionProcessor(kDataSettleUs);
}

UCHAR I365_Read(UCHAR Register) {
    WRITE_PORT_UCHAR(IndexPort(), (UCHAR)(Register + IndexBase));
    KeStallExecutionProcessor(kIndexSettleUs);
    return READ_PORT_UCHAR(DataPort());
}

VOID I365_SetAddress(UINT Socket) {
    // Only sockets 0-3 exist on the index port; any other number keeps the
    // socket that was selected before.
    if (Socket > 3) return;
    PCICAddress = kPcicIndexPort;
    IndexBase = (UCHAR)(Socket * 0x40);
}

BOOLEAN I365_SocketPresent(VOID) {
    const UCHAR id = I365_Read(kIdentification);
    return id >= kControllerIdFirst && id <= kControllerIdLast;
}

BOOLEAN I365_CardPresent(VOID) {
    return (I365_Read(kInterfaceStatus) & kCardDetectBoth) == kCardDetectBoth;
}

VOID I365_Reset(VOID) {
    const UCHAR control = I365_Read(kInterruptControl);
    I365_Write(kInterruptControl, (UCHAR)(control & ~kResetReleased));
    KeStallExecutionProcessor(kResetSettleUs);
    I365_Write(kInterruptControl, (UCHAR)(control | kResetReleased));
    KeStallExecutionProcessor(kResetSettleUs);
}

VOID I365_PowerEnable(VOID) {
    // Vcc first, then the outputs once the card has power.
    I365_Write(kPowerControl, kPowerVccOn);
    I365_Write(kPowerControl, (UCHAR)(I365_Read(kPowerControl) | kPowerOutputEnable));
    KeStallExecutionProcessor(kResetSettleUs);
}

VOID I365_OpenMemoryWin(PNe2000Adapter Adapter) {
    // Two 4 KB pages at BaseMemory onto the card's attribute memory. The offset
    // is the complement of the host page, so the window's first page shows the
    // card's attribute page 0x3FFF, whose low 12 bits put the configuration
    // registers at 0x3F2-0x3FA of the window.
    const UCHAR page = (UCHAR)(Adapter->BaseMemory >> 8);
    I365_Write(kMemoryWindow0Start + 0, page);
    I365_Write(kMemoryWindow0Start + 1, kMemoryWindow16Bit);
    I365_Write(kMemoryWindow0Start + 2, (UCHAR)(page + 1));
    I365_Write(kMemoryWindow0Start + 3, 0x00);
    I365_Write(kMemoryWindow0Start + 4, (UCHAR)~page);
    I365_Write(kMemoryWindow0Start + 5, (UCHAR)(0x3F | kMemoryOffsetAttribute));
    I365_Write(kWindowEnable, (UCHAR)(I365_Read(kWindowEnable) | kEnableMemoryWindow0));
}

VOID I365_OpenIOWin(PNe2000Adapter Adapter) {
    // Window 0: the 32 network ports; window 1: the 8 UART ports. The stop
    // address is inclusive and its high byte is the start's.
    const USHORT base = (USHORT)Adapter->IoBaseAddress;
    const USHORT uart = (USHORT)Adapter->UartPortAddress;
    I365_Write(kIoWindow0Start + 0, (UCHAR)base);
    I365_Write(kIoWindow0Start + 1, (UCHAR)(base >> 8));
    I365_Write(kIoWindow0Start + 2, (UCHAR)((UCHAR)base + (kPortRangeLength - 1)));
    I365_Write(kIoWindow0Start + 3, (UCHAR)(base >> 8));
    I365_Write(kIoWindow1Start + 0, (UCHAR)uart);
    I365_Write(kIoWindow1Start + 1, (UCHAR)(uart >> 8));
    I365_Write(kIoWindow1Start + 2, (UCHAR)((UCHAR)uart + 7));
    I365_Write(kIoWindow1Start + 3, (UCHAR)(uart >> 8));
    I365_Write(kWindowEnable, (UCHAR)(I365_Read(kWindowEnable) | kEnableIoWindowsAndMemcs16));
    I365_Write(kIoControl, kIoControlBothWindows);
}

VOID I365_OpenIrq(PNe2000Adapter Adapter) {
    // The network function interrupts through the card's STSCHG#, that is the
    // socket's status-change interrupt, so that one goes to the adapter's
    // level. The card's IREQ# carries the UART and goes to the COM level.
    I365_Write(kStatusChangeConfig, (UCHAR)(((UCHAR)Adapter->InterruptNumber << 4) | kStatusChangeSources));
    KeStallExecutionProcessor(kConfigSettleUs);

    UCHAR control = I365_Read(kInterruptControl);
    control = (UCHAR)((control & 0xF0) | kIoCard);
    I365_Write(kInterruptControl, control);
    KeStallExecutionProcessor(kConfigSettleUs);

    // Only the steering nibble takes the COM level: a "negative" COM level
    // (0x80-0xFF passes the configuration check) must not set the upper
    // control bits, where bit 7 would turn STSCHG# into a ring-indicate input
    // and silence the network interrupt.
    I365_Write(kInterruptControl, (UCHAR)(control | ((UCHAR)Adapter->ComIrq & kIreqSteering)));
}

BOOLEAN I365_SwitchToIO(PNe2000Adapter Adapter) {
    PVOID window = 0;
    const NDIS_PHYSICAL_ADDRESS address = NDIS_PHYSICAL_ADDRESS_CONST((ULONG)Adapter->BaseMemory * 16, 0);
    if (NdisMMapIoSpace(&window, Adapter->MiniportAdapterHandle, address, kWindowLength) !=
        NDIS_STATUS_SUCCESS) {
        return FALSE;
    }

    // Plain byte stores to the card's configuration registers, in this order:
    // place and enable both functions, route the network interrupt onto
    // STSCHG#, then the UART interrupt onto IREQ#.
    volatile UCHAR* bytes = (volatile UCHAR*)window;
    bytes[kConfigurationOption] = ConfigurationOption(Adapter);
    bytes[kConfigurationStatus] = kStatusSigChgAudio;
    KeStallExecutionProcessor(kConfigSettleUs);
    bytes[kSerialControl] = kSerialInterruptToIreq;
    KeStallExecutionProcessor(kConfigSettleUs);

    NdisMUnmapIoSpace(Adapter->MiniportAdapterHandle, window, kWindowLength);
    return TRUE;
}

VOID I365_CloseMemoryWin(VOID) {
    // Memory window off; the I/O windows and MEMCS16 decode stay on.
    I365_Write(kWindowEnable, kEnableIoWindowsAndMemcs16);
}

BOOLEAN InitI365(PNe2000Adapter Adapter) {
    I365_SetAddress(Adapter->Slot);
    if (!I365_SocketPresent()) return FALSE;
    if (!I365_CardPresent()) return FALSE;

    I365_Reset();
    I365_PowerEnable();

    I365_OpenMemoryWin(Adapter);
    I365_OpenIOWin(Adapter);
    I365_OpenIrq(Adapter);

    if (!I365_SwitchToIO(Adapter)) {
        I365_CloseMemoryWin();
        return FALSE;
    }
    I365_CloseMemoryWin();
    Reset_UART(Adapter);
    return TRUE;
}

// The socket controller's status-change interrupt shares the card's level and
// stays asserted while any change is latched; reading a socket's Card Status
// Change register clears them, so the line can fall and the next interrupt
// makes a fresh edge. Both sockets, through the fixed controller ports,
// whichever socket and bus type the adapter uses: a port nobody answers costs
// only the waits.
VOID I365_ClearStatusChanges(VOID) {
    for (UCHAR socket = 0; socket < 2; ++socket) {
        WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)kPcicIndexPort,
                         (UCHAR)(socket * kSocketIndexStride + kCardStatusChange));
        KeStallExecutionProcessor(kIndexSettleUs);
        (VOID) READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(kPcicIndexPort + 1));
        KeStallExecutionProcessor(kStatusReadSettleUs);
    }
}
