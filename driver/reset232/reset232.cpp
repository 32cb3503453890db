// The card's second function is an 8250-compatible UART. The driver never uses
// it, but it must not be left in whatever state the card woke up in: with
// stale status or characters pending it could hold its interrupt line, which
// the socket steers to the COM level. At bring-up it is set to 19200 bit/s
// 8N1 with its interrupts off, and anything it received is thrown away.

#include "driver/adapter.h"

// The UART being reset; the adapter's COM address replaces it at every reset.
ULONG UARTAddress = 0x2F8;

namespace {

// 8250 register offsets.
constexpr UCHAR kReceiveBuffer = 0;  // read; divisor latch low while DLAB is set
constexpr UCHAR kDivisorLow = 0;
constexpr UCHAR kInterruptEnable = 1;  // divisor latch high while DLAB is set
constexpr UCHAR kDivisorHigh = 1;
constexpr UCHAR kInterruptId = 2;
constexpr UCHAR kLineControl = 3;
constexpr UCHAR kLineStatus = 5;

constexpr UCHAR kDivisorLatchAccess = 0x80;
constexpr UCHAR kEightNoneOne = 0x03;
constexpr UCHAR kDivisor19200 = 6;  // 1.8432 MHz / 16 / 6
constexpr UCHAR kDataReady = 0x01;

// A UART that claims data forever (or is not there and reads 0xFF) must not
// hold the bring-up: drain at most this many characters.
constexpr UINT kMaximumDiscards = 100;

constexpr ULONG kWriteSettleUs = 4096;

}  // namespace

VOID UART_Write(UCHAR Offset, UCHAR Value) {
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(UARTAddress + Offset), Value);
    KeStallExecutionProcessor(kWriteSettleUs);
}

UCHAR UART_Read(UCHAR Offset) {
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(UARTAddress + Offset));
}

VOID init_8250(VOID) {
    UART_Write(kLineControl, kDivisorLatchAccess);
    UART_Write(kDivisorHigh, 0x00);
    UART_Write(kDivisorLow, kDivisor19200);
    UART_Write(kLineControl, kEightNoneOne);
    UART_Write(kInterruptEnable, 0x00);
    // Reading line status and interrupt identification clears what is pending.
    (VOID) UART_Read(kLineStatus);
    (VOID) UART_Read(kInterruptId);
}

UCHAR chk_rcv_data(VOID) {
    return (UCHAR)(UART_Read(kLineStatus) & kDataReady);
}

UCHAR get_rcv_data(VOID) {
    return UART_Read(kReceiveBuffer);
}

VOID discard_chars(VOID) {
    for (UINT i = 0; i < kMaximumDiscards; ++i) {
        if (chk_rcv_data() == 0) return;
        (VOID) get_rcv_data();
    }
}

VOID Reset_UART(PNe2000Adapter Adapter) {
    UARTAddress = Adapter->UartPortAddress;
    init_8250();
    discard_chars();
}
