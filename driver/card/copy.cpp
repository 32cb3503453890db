// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN CardCopyDownPacket(PNe2000Adapter, PNDIS_PACKET, PULONG) {
    return FALSE;
}

BOOLEAN CardCopyDown(PNe2000Adapter, ULONG, const UCHAR*, ULONG) {
    return FALSE;
}

BOOLEAN CardCopyUp(PNe2000Adapter, PUCHAR, ULONG, ULONG) {
    return FALSE;
}
