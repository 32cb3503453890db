// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

VOID NTAPI Ne2000Isr(PBOOLEAN, PBOOLEAN, NDIS_HANDLE) {
}

VOID NTAPI Ne2000DisableInterrupt(NDIS_HANDLE) {
}

VOID NTAPI Ne2000EnableInterrupt(NDIS_HANDLE) {
}

VOID NTAPI Ne2000HandleInterrupt(NDIS_HANDLE) {
}
