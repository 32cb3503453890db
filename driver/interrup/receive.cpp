// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN Ne2000RcvDpc(PNe2000Adapter) {
    return FALSE;
}

BOOLEAN Ne2000PacketOK(PNe2000Adapter) {
    return FALSE;
}

ULONG Ne2000IndicatePacket(PNe2000Adapter) {
    return 0;
}

NDIS_STATUS NTAPI Ne2000TransferData(PNDIS_PACKET, PUINT, NDIS_HANDLE, NDIS_HANDLE, UINT, UINT) {
    return NDIS_STATUS_FAILURE;
}
