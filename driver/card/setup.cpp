// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN CardSetup(PNe2000Adapter) {
    return FALSE;
}

BOOLEAN CardReset(PNe2000Adapter) {
    return FALSE;
}
