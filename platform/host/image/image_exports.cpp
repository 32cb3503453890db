#include "platform/host/image/image_exports.h"

#include "platform/host/ndis_library.h"

namespace {

// NT 3.5 to 4.0 initialise every adapter configured for the driver inside
// its NdisMRegisterMiniport call, that is before DriverEntry returns and its
// INIT code is freed: the initialise handler may use INIT code, and could not
// later. The host tests call the initialise handler on their own schedule
// instead, so this happens only for a loaded image. Called from image code,
// which keeps the stack only 4-byte aligned.
__attribute__((force_align_arg_pointer)) NDIS_STATUS NTAPI RegisterMiniportAndInitialize(
    NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
    UINT CharacteristicsLength) {
    const NDIS_STATUS status =
        NdisMRegisterMiniport(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength);
    if (status != NDIS_STATUS_SUCCESS) return status;
    host::NdisLibrary& ndis = host::NdisLibrary::require("NdisMRegisterMiniport");
    for (host::MiniportAdapter* adapter : ndis.adapters())
        if (adapter->listed() && adapter->state() == host::AdapterState::Configured)
            ndis.initialize(*adapter);
    return status;
}

template <typename Routine>
void* address_of(Routine* routine) {
    return reinterpret_cast<void*>(routine);
}

}  // namespace

namespace host::image {

ExportTable stand_in_exports() {
    return {
        // NDIS.SYS
        {"EthFilterDprIndicateReceive", address_of(EthFilterDprIndicateReceive)},
        {"EthFilterDprIndicateReceiveComplete", address_of(EthFilterDprIndicateReceiveComplete)},
        {"NdisAllocateMemory", address_of(NdisAllocateMemory)},
        {"NdisCloseConfiguration", address_of(NdisCloseConfiguration)},
        {"NdisFreeMemory", address_of(NdisFreeMemory)},
        {"NdisInitializeWrapper", address_of(NdisInitializeWrapper)},
        {"NdisMDeregisterInterrupt", address_of(NdisMDeregisterInterrupt)},
        {"NdisMDeregisterIoPortRange", address_of(NdisMDeregisterIoPortRange)},
        {"NdisMMapIoSpace", address_of(NdisMMapIoSpace)},
        {"NdisMRegisterInterrupt", address_of(NdisMRegisterInterrupt)},
        {"NdisMRegisterIoPortRange", address_of(NdisMRegisterIoPortRange)},
        {"NdisMRegisterMiniport", address_of(RegisterMiniportAndInitialize)},
        {"NdisMSendComplete", address_of(NdisMSendComplete)},
        {"NdisMSetAttributes", address_of(NdisMSetAttributes)},
        {"NdisMSynchronizeWithInterrupt", address_of(NdisMSynchronizeWithInterrupt)},
        {"NdisMUnmapIoSpace", address_of(NdisMUnmapIoSpace)},
        {"NdisOpenConfiguration", address_of(NdisOpenConfiguration)},
        {"NdisReadConfiguration", address_of(NdisReadConfiguration)},
        {"NdisReadMcaPosInformation", address_of(NdisReadMcaPosInformation)},
        {"NdisReadNetworkAddress", address_of(NdisReadNetworkAddress)},
        {"NdisSystemProcessorCount", address_of(NdisSystemProcessorCount)},
        {"NdisWriteErrorLogEntry", address_of(NdisWriteErrorLogEntry)},
        // HAL.dll
        {"KeStallExecutionProcessor", address_of(KeStallExecutionProcessor)},
        {"READ_PORT_UCHAR", address_of(READ_PORT_UCHAR)},
        {"READ_PORT_USHORT", address_of(READ_PORT_USHORT)},
        {"READ_PORT_BUFFER_UCHAR", address_of(READ_PORT_BUFFER_UCHAR)},
        {"READ_PORT_BUFFER_USHORT", address_of(READ_PORT_BUFFER_USHORT)},
        {"WRITE_PORT_UCHAR", address_of(WRITE_PORT_UCHAR)},
        {"WRITE_PORT_USHORT", address_of(WRITE_PORT_USHORT)},
        {"WRITE_PORT_BUFFER_UCHAR", address_of(WRITE_PORT_BUFFER_UCHAR)},
        {"WRITE_PORT_BUFFER_USHORT", address_of(WRITE_PORT_BUFFER_USHORT)},
        // ntoskrnl.exe
        {"MmMapLockedPages", address_of(MmMapLockedPages)},
    };
}

}  // namespace host::image
