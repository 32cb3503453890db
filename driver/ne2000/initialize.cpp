// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

NDIS_STATUS NTAPI Ne2000Initialize(PNDIS_STATUS, PUINT, PNDIS_MEDIUM, UINT, NDIS_HANDLE, NDIS_HANDLE) {
    return NDIS_STATUS_FAILURE;
}
