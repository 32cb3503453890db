// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

NDIS_STATUS NTAPI Ne2000Send(NDIS_HANDLE, PNDIS_PACKET, UINT) {
    return NDIS_STATUS_FAILURE;
}

VOID Ne2000DoNextSend(PNe2000Adapter) {
}

VOID Ne2000XmitDpc(PNe2000Adapter) {
}

VOID Ne2000CompleteTransmission(PNe2000Adapter) {
}
