// The HAL's port and delay functions of platform/ndis.h. A port "address" is
// the port number itself, as on x86 NT. Each call is one bus operation (a
// string call moves its whole block in one), after which the stand-in serves
// any interrupt that became due.

#include "platform/host/ndis_library.h"

using host::NdisLibrary;

namespace {
ULONG_PTR port_number(const void* port) {
    return reinterpret_cast<ULONG_PTR>(port);
}
}  // namespace

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
    return NdisLibrary::require("READ_PORT_UCHAR").port_read8(port_number(Port));
}

USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
    return NdisLibrary::require("READ_PORT_USHORT").port_read16(port_number(Port));
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    NdisLibrary::require("WRITE_PORT_UCHAR").port_write8(port_number(Port), Value);
}

VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
    NdisLibrary::require("WRITE_PORT_USHORT").port_write16(port_number(Port), Value);
}

VOID NTAPI READ_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
    NdisLibrary::require("READ_PORT_BUFFER_UCHAR").port_read8_string(port_number(Port), Buffer, Count);
}

VOID NTAPI READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
    NdisLibrary::require("READ_PORT_BUFFER_USHORT").port_read16_string(port_number(Port), Buffer, Count);
}

VOID NTAPI WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
    NdisLibrary::require("WRITE_PORT_BUFFER_UCHAR").port_write8_string(port_number(Port), Buffer, Count);
}

VOID NTAPI WRITE_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
    NdisLibrary::require("WRITE_PORT_BUFFER_USHORT").port_write16_string(port_number(Port), Buffer, Count);
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    NdisLibrary::require("KeStallExecutionProcessor").stall(MicroSeconds);
}

}  // extern "C"
