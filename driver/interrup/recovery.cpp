// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN NTAPI SyncCardUpdateCounters(PVOID) {
    return FALSE;
}

BOOLEAN NTAPI SyncCardHandleOverflow(PVOID) {
    return FALSE;
}

BOOLEAN NTAPI SyncCardAcknowledgeOverflow(PVOID) {
    return FALSE;
}

VOID OctogmetusceratorRevisited(PNe2000Adapter) {
}
