// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

NDIS_STATUS NTAPI Ne2000SetInformation(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) {
    return NDIS_STATUS_FAILURE;
}

NDIS_STATUS DispatchSetPacketFilter(PNe2000Adapter) {
    return NDIS_STATUS_FAILURE;
}

NDIS_STATUS DispatchSetMulticastAddressList(PNe2000Adapter) {
    return NDIS_STATUS_FAILURE;
}
