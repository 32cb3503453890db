// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

BOOLEAN CardCheckParameters(PNe2000Adapter) {
    return FALSE;
}

BOOLEAN CardSlotTest(PNe2000Adapter) {
    return FALSE;
}

BOOLEAN CardRamTest(PNe2000Adapter) {
    return FALSE;
}

BOOLEAN CardInitialize(PNe2000Adapter) {
    return FALSE;
}

VOID CardReadEthernetAddress(PNe2000Adapter) {
}
