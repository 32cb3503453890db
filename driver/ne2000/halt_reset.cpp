// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

VOID NTAPI Ne2000Halt(NDIS_HANDLE) {
}

NDIS_STATUS NTAPI Ne2000Reset(PBOOLEAN, NDIS_HANDLE) {
    return NDIS_STATUS_FAILURE;
}
