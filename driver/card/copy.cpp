// Moving frames between host memory and card memory.
//
// The card's buffer memory is not mapped into the host: every byte goes
// through the DP8390's remote DMA. The driver loads a card address into
// RSAR0/RSAR1 and a byte count into RBCR0/RBCR1, issues a remote read or
// remote write through CR, and then reads or writes the data port.
//
// On a 16-bit card each data-port access moves one word, low byte first, and
// a word transfer must start at an even card address. So a copy that starts
// at an odd address deals with its first byte alone (the split step for
// reads, the merge step for writes), and an odd-length buffer in a packet
// keeps its last byte back to pair it with the first byte of the next one.

#include "driver/adapter.h"

namespace {

constexpr UCHAR kCrPage0 = 0x00;  // page 0, no command: the chip keeps running or stopped
constexpr UCHAR kCrRemoteRead = CR_STA | CR_REMOTE_READ;    // 0x0A
constexpr UCHAR kCrRemoteWrite = CR_STA | CR_REMOTE_WRITE;  // 0x12

// Bounded polls: about 65 ms for the address to move, about 262 ms for RDC.
constexpr ULONG kPollLimit = 65535;
constexpr ULONG kAddressPollStall = 1;
constexpr ULONG kRdcPollStall = 4;

PUSHORT DataPortWord(const Ne2000Adapter* Adapter) {
    return (PUSHORT)CardPort(Adapter, NIC_DATA);
}

PUCHAR DataPortByte(const Ne2000Adapter* Adapter) {
    return CardPort(Adapter, NIC_DATA);
}

// Both bytes of a word as the data port carries them: the lower card address
// in the low half.
USHORT JoinBytes(UCHAR Low, UCHAR High) {
    return (USHORT)(Low | (High << 8));
}

VOID SetUpRemoteDma(const Ne2000Adapter* Adapter, ULONG Address, ULONG Count, UCHAR Command) {
    CardWriteRegister(Adapter, NIC_RSAR0, (UCHAR)Address);
    CardWriteRegister(Adapter, NIC_RSAR1, (UCHAR)(Address >> 8));
    CardWriteRegister(Adapter, NIC_RBCR0, (UCHAR)Count);
    CardWriteRegister(Adapter, NIC_RBCR1, (UCHAR)(Count >> 8));
    CardWriteRegister(Adapter, NIC_CR, Command);
}

// Before a remote write the chip is given a short remote read at the same
// place, and the driver waits until its current DMA address has moved. The
// DP8390 can start a remote write before its DMA logic has settled and then
// drop or misplace the first bytes; a read first avoids that race. An
// address that never moves means the remote DMA is not working at all.
BOOLEAN DummyRead(const Ne2000Adapter* Adapter, ULONG Address) {
    CardWriteRegister(Adapter, NIC_CR, kCrPage0);
    SetUpRemoteDma(Adapter, Address, 2, kCrRemoteRead);

    if (Adapter->ByteWideTransfers) {
        (VOID) READ_PORT_UCHAR(DataPortByte(Adapter));
        (VOID) READ_PORT_UCHAR(DataPortByte(Adapter));
    } else {
        (VOID) READ_PORT_USHORT(DataPortWord(Adapter));
    }

    const USHORT start = (USHORT)Address;
    for (ULONG poll = 0; poll < kPollLimit; ++poll) {
        const UCHAR low = CardReadRegister(Adapter, NIC_CRDA0);
        const UCHAR high = CardReadRegister(Adapter, NIC_CRDA1);
        if (JoinBytes(low, high) != start) return TRUE;
        KeStallExecutionProcessor(kAddressPollStall);
    }
    return FALSE;
}

// Waits for the chip to report the remote DMA complete. ISR is never written
// here, so an RDC left over from an earlier transfer ends the wait at once;
// a chip that never reports it is given up on quietly.
VOID WaitForRemoteDmaComplete(const Ne2000Adapter* Adapter) {
    for (ULONG poll = 0; poll < kPollLimit; ++poll) {
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_RDC) return;
        KeStallExecutionProcessor(kRdcPollStall);
    }
}

VOID ReadWords(const Ne2000Adapter* Adapter, PUCHAR Target, ULONG Words) {
    if (Words != 0) READ_PORT_BUFFER_USHORT(DataPortWord(Adapter), (PUSHORT)Target, Words);
}

VOID WriteWords(const Ne2000Adapter* Adapter, const UCHAR* Source, ULONG Words) {
    if (Words != 0) WRITE_PORT_BUFFER_USHORT(DataPortWord(Adapter), (PUSHORT)Source, Words);
}

VOID WriteBytes(const Ne2000Adapter* Adapter, const UCHAR* Source, ULONG Count) {
    if (Count != 0) WRITE_PORT_BUFFER_UCHAR(DataPortByte(Adapter), (PUCHAR)Source, Count);
}

// The first non-empty buffer from Buffer on (Buffer included), or null.
PNDIS_BUFFER SkipEmptyBuffers(PNDIS_BUFFER Buffer, PUCHAR* Address, PUINT Length) {
    while (Buffer != 0) {
        PVOID address;
        NdisQueryBuffer(Buffer, &address, Length);
        if (*Length != 0) {
            *Address = (PUCHAR)address;
            return Buffer;
        }
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    return 0;
}

}  // namespace

BOOLEAN CardCopyUp(PNe2000Adapter Adapter, PUCHAR Target, ULONG Source, ULONG Length) {
    if (Length == 0) return TRUE;

    (VOID) CardReadRegister(Adapter, NIC_CR);
    CardWriteRegister(Adapter, NIC_CR, kCrPage0);

    if (Adapter->ByteWideTransfers) {
        SetUpRemoteDma(Adapter, Source, Length, kCrRemoteRead);
        READ_PORT_BUFFER_UCHAR(DataPortByte(Adapter), Target, Length);
        WaitForRemoteDmaComplete(Adapter);
        return TRUE;
    }

    if (Source & 1) {
        // Split step: fetch the whole word the odd byte sits in and keep its
        // high half, then go on from the even address after it.
        SetUpRemoteDma(Adapter, Source - 1, 2, kCrRemoteRead);
        const USHORT word = READ_PORT_USHORT(DataPortWord(Adapter));
        Target[0] = (UCHAR)(word >> 8);
        WaitForRemoteDmaComplete(Adapter);
        Source += 1;
        Target += 1;
        Length -= 1;
    }

    SetUpRemoteDma(Adapter, Source, Length, kCrRemoteRead);
    ReadWords(Adapter, Target, Length / 2);
    if (Length & 1) Target[Length - 1] = READ_PORT_UCHAR(DataPortByte(Adapter));

    WaitForRemoteDmaComplete(Adapter);
    return TRUE;
}

BOOLEAN CardCopyDown(PNe2000Adapter Adapter, ULONG Destination, const UCHAR* Source, ULONG Length) {
    if (Length == 0) return TRUE;

    if (!Adapter->ByteWideTransfers && (Destination & 1)) {
        // Merge step: a word write cannot start at an odd address, so read
        // the card byte just below the destination and write it back
        // together with the first source byte, keeping that byte intact.
        SetUpRemoteDma(Adapter, Destination - 1, 1, kCrRemoteRead);
        const UCHAR below = READ_PORT_UCHAR(DataPortByte(Adapter));

        if (!DummyRead(Adapter, Destination + 1)) return FALSE;

        SetUpRemoteDma(Adapter, Destination - 1, 2, kCrRemoteWrite);
        WRITE_PORT_USHORT(DataPortWord(Adapter), JoinBytes(below, Source[0]));
        WaitForRemoteDmaComplete(Adapter);

        Source += 1;
        Destination += 1;
        Length -= 1;
    }

    if (!DummyRead(Adapter, Destination + (Destination & 1))) return FALSE;

    CardWriteRegister(Adapter, NIC_CR, kCrPage0);
    SetUpRemoteDma(Adapter, Destination, Length, kCrRemoteWrite);

    if (Adapter->ByteWideTransfers) {
        WriteBytes(Adapter, Source, Length);
    } else {
        WriteWords(Adapter, Source, Length / 2);
        if (Length & 1) WRITE_PORT_UCHAR(DataPortByte(Adapter), Source[Length - 1]);
    }

    WaitForRemoteDmaComplete(Adapter);
    return TRUE;
}

BOOLEAN CardCopyDownPacket(PNe2000Adapter Adapter, PNDIS_PACKET Packet, PULONG Length) {
    PNDIS_BUFFER buffer;
    UINT total;
    NdisQueryPacket(Packet, 0, 0, &buffer, &total);
    if (total == 0) return TRUE;

    // The transmit area starts on a 1 KB boundary, so a transmit page is
    // always even and the whole packet goes out as word transfers.
    const ULONG destination = Adapter->TransmitAreaAddress + Adapter->TransmitFillPage * kPageSize;

    PUCHAR address = 0;
    UINT remaining = 0;
    buffer = SkipEmptyBuffers(buffer, &address, &remaining);

    if (!DummyRead(Adapter, destination)) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                               kLogCopyDownFailed, destination);
        return FALSE;
    }

    // One remote write covers the whole packet, however many buffers it has.
    CardWriteRegister(Adapter, NIC_CR, kCrPage0);
    SetUpRemoteDma(Adapter, destination, total, kCrRemoteWrite);

    BOOLEAN holding = FALSE;
    UCHAR held = 0;
    while (buffer != 0) {
        if (holding) {
            // The odd byte left from the previous buffer pairs with this
            // buffer's first byte, so no word ever straddles two calls.
            WRITE_PORT_USHORT(DataPortWord(Adapter), JoinBytes(held, address[0]));
            address += 1;
            remaining -= 1;
            holding = FALSE;
        }

        if (Adapter->ByteWideTransfers) {
            WriteBytes(Adapter, address, remaining);
        } else {
            WriteWords(Adapter, address, remaining / 2);
            if (remaining & 1) {
                held = address[remaining - 1];
                holding = TRUE;
            }
        }

        WaitForRemoteDmaComplete(Adapter);

        NdisGetNextBuffer(buffer, &buffer);
        buffer = SkipEmptyBuffers(buffer, &address, &remaining);
    }

    // Only a frame of odd total length ends on a single byte.
    if (holding) WRITE_PORT_UCHAR(DataPortByte(Adapter), held);

    *Length = total;
    return TRUE;
}
