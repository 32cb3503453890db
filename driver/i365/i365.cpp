// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

ULONG PCICAddress = kPcicIndexPort;
UCHAR IndexBase = 0;

VOID I365_Write(UCHAR, UCHAR) {
}

UCHAR I365_Read(UCHAR) {
    return 0xFF;
}

VOID I365_SetAddress(UINT) {
}

BOOLEAN I365_SocketPresent(VOID) {
    return FALSE;
}

BOOLEAN I365_CardPresent(VOID) {
    return FALSE;
}

VOID I365_Reset(VOID) {
}

VOID I365_PowerEnable(VOID) {
}

VOID I365_OpenMemoryWin(PNe2000Adapter) {
}

VOID I365_OpenIOWin(PNe2000Adapter) {
}

VOID I365_OpenIrq(PNe2000Adapter) {
}

BOOLEAN I365_SwitchToIO(PNe2000Adapter) {
    return FALSE;
}

VOID I365_CloseMemoryWin(VOID) {
}

BOOLEAN InitI365(PNe2000Adapter) {
    return FALSE;
}
