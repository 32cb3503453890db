// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

const ULONG Ne2000SupportedOids[31] = {0};

NDIS_STATUS NTAPI Ne2000QueryInformation(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) {
    return NDIS_STATUS_FAILURE;
}
