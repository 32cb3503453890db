// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

ULONG UARTAddress = 0x2F8;

VOID UART_Write(UCHAR, UCHAR) {
}

UCHAR UART_Read(UCHAR) {
    return 0xFF;
}

VOID init_8250(VOID) {
}

UCHAR chk_rcv_data(VOID) {
    return 0xFF;
}

UCHAR get_rcv_data(VOID) {
    return 0xFF;
}

VOID discard_chars(VOID) {
}

VOID Reset_UART(PNe2000Adapter) {
}
