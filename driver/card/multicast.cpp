// The DP8390's multicast filter: a 64-bit hash table in MAR0-MAR7. The chip
// runs each incoming group destination through the Ethernet CRC and accepts the
// frame when the bit that the CRC's top six bits select is set. These routines
// compute the same bits for the adapter's multicast table; they only compute,
// the registers are loaded elsewhere under interrupt synchronisation.

#include "driver/adapter.h"

namespace {

constexpr ULONG kCrcPolynomial = 0x04C11DB7;  // IEEE 802.3 generator
constexpr ULONG kCrcInitial = 0xFFFFFFFF;
constexpr ULONG kHashIndexShift = 26;  // the top six CRC bits index the table

}  // namespace

// The 802.3 CRC exactly as the chip's hash logic runs it: bits enter least
// significant first, the register is not reflected and not complemented at
// the end. Bit by bit rather than by table: it runs only when a list is set.
ULONG CardComputeCrc(const UCHAR* Buffer, ULONG Length) {
    ULONG crc = kCrcInitial;
    for (ULONG i = 0; i < Length; ++i) {
        UCHAR data = Buffer[i];
        for (int bit = 0; bit < 8; ++bit) {
            const ULONG feedback = ((crc >> 31) ^ data) & 1;
            crc <<= 1;
            if (feedback) crc ^= kCrcPolynomial;
            data >>= 1;
        }
    }
    return crc;
}

// Index bits 5-3 choose the register MAR0-MAR7, bits 2-0 the bit in it.
VOID CardGetMulticastBit(const UCHAR Address[kEthernetAddressLength], PUCHAR Byte, PUCHAR Value) {
    const ULONG index = CardComputeCrc(Address, kEthernetAddressLength) >> kHashIndexShift;
    *Byte = (UCHAR)(index >> 3);
    *Value = (UCHAR)(1u << (index & 7));
}

// Every slot of the table is hashed, whatever the length of the list last
// set: slots beyond it keep an earlier list's addresses (and an untouched
// all-zero slot adds the bit of 00-00-00-00-00-00). The hash only has to let
// through at least the wanted groups; the wrapper's filter drops the extras.
VOID CardFillMulticastRegs(PNe2000Adapter Adapter) {
    NdisZeroMemory(Adapter->MulticastHashBytes, sizeof Adapter->MulticastHashBytes);
    for (ULONG slot = kMulticastSlots; slot-- > 0;) {
        UCHAR byte;
        UCHAR mask;
        CardGetMulticastBit(Adapter->MulticastAddresses[slot], &byte, &mask);
        Adapter->MulticastHashBytes[byte] |= mask;
    }
}
