// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN NTAPI SyncCardStop(PVOID) {
    return FALSE;
}

VOID CardStartXmit(PNe2000Adapter) {
}

BOOLEAN NTAPI SyncCardGetCurrent(PVOID) {
    return FALSE;
}

BOOLEAN NTAPI SyncCardGetXmitStatus(PVOID) {
    return FALSE;
}

VOID CardSetBoundary(PNe2000Adapter) {
}

BOOLEAN NTAPI SyncCardSetReceiveConfig(PVOID) {
    return FALSE;
}

BOOLEAN NTAPI SyncCardSetAllMulticast(PVOID) {
    return FALSE;
}

BOOLEAN NTAPI SyncCardCopyMulticastRegs(PVOID) {
    return FALSE;
}

VOID CardStop(PNe2000Adapter) {
}
