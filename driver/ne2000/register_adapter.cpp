// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

NDIS_STATUS Ne2000RegisterAdapter(PNe2000Adapter, BOOLEAN, ULONG) {
    return NDIS_STATUS_FAILURE;
}

VOID Ne2000UnlinkAdapter(PNe2000Adapter) {
}
