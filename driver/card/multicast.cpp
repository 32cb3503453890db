// Placeholder until this module is built: every operation fails or does nothing.

#include "driver/adapter.h"

ULONG CardComputeCrc(const UCHAR*, ULONG) {
    return 0;
}

VOID CardGetMulticastBit(const UCHAR /*Address*/[kEthernetAddressLength], PUCHAR, PUCHAR) {
}

VOID CardFillMulticastRegs(PNe2000Adapter) {
}
