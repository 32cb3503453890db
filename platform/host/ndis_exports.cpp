// The NDIS library routines of platform/ndis.h, each handed to the installed
// stand-in (NdisLibrary::current()).

#include <cstdarg>

#include "platform/host/ndis_library.h"

using host::NdisLibrary;

extern "C" {

VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID, PVOID, PVOID) {
    NdisLibrary::require("NdisInitializeWrapper").initialize_wrapper(NdisWrapperHandle);
}

NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength) {
    return NdisLibrary::require("NdisMRegisterMiniport")
        .register_miniport(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength);
}

NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS) {
    return NdisLibrary::require("NdisAllocateMemory").allocate_memory(VirtualAddress, Length, MemoryFlags);
}

VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    NdisLibrary::require("NdisFreeMemory").free_memory(VirtualAddress, Length, MemoryFlags);
}

VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext) {
    NdisLibrary::require("NdisOpenConfiguration")
        .open_configuration(Status, ConfigurationHandle, WrapperConfigurationContext);
}

VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType) {
    NdisLibrary::require("NdisReadConfiguration")
        .read_configuration(Status, ParameterValue, ConfigurationHandle, Keyword, ParameterType);
}

VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                                  NDIS_HANDLE ConfigurationHandle) {
    NdisLibrary::require("NdisReadNetworkAddress")
        .read_network_address(Status, NetworkAddress, NetworkAddressLength, ConfigurationHandle);
}

VOID NTAPI NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE WrapperConfigurationContext,
                                     PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData) {
    NdisLibrary::require("NdisReadMcaPosInformation")
        .read_pos_information(Status, WrapperConfigurationContext, ChannelNumber, McaData);
}

VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    NdisLibrary::require("NdisCloseConfiguration").close_configuration(ConfigurationHandle);
}

CCHAR NTAPI NdisSystemProcessorCount(VOID) {
    return static_cast<CCHAR>(NdisLibrary::require("NdisSystemProcessorCount").processor_count());
}

VOID NTAPI NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                              BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    NdisLibrary::require("NdisMSetAttributes")
        .set_attributes(MiniportAdapterHandle, MiniportAdapterContext, BusMaster, AdapterType);
}

NDIS_STATUS NTAPI NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                           UINT InitialPort, UINT NumberOfPorts) {
    return NdisLibrary::require("NdisMRegisterIoPortRange")
        .register_port_range(PortOffset, MiniportAdapterHandle, InitialPort, NumberOfPorts);
}

VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                      PVOID PortOffset) {
    NdisLibrary::require("NdisMDeregisterIoPortRange")
        .deregister_port_range(MiniportAdapterHandle, InitialPort, NumberOfPorts, PortOffset);
}

NDIS_STATUS NTAPI NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                         NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                         UINT InterruptLevel, BOOLEAN RequestIsr, BOOLEAN SharedInterrupt,
                                         NDIS_INTERRUPT_MODE InterruptMode) {
    return NdisLibrary::require("NdisMRegisterInterrupt")
        .register_interrupt(Interrupt, MiniportAdapterHandle, InterruptVector, InterruptLevel, RequestIsr,
                            SharedInterrupt, InterruptMode);
}

VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    NdisLibrary::require("NdisMDeregisterInterrupt").deregister_interrupt(Interrupt);
}

BOOLEAN NTAPI NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            PNDIS_SYNCHRONIZE_ROUTINE SynchronizeFunction,
                                            PVOID SynchronizeContext) {
    return NdisLibrary::require("NdisMSynchronizeWithInterrupt")
        .synchronize_with_interrupt(Interrupt, SynchronizeFunction, SynchronizeContext);
}

NDIS_STATUS NTAPI NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                                  NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length) {
    return NdisLibrary::require("NdisMMapIoSpace")
        .map_io_space(VirtualAddress, MiniportAdapterHandle, PhysicalAddress, Length);
}

VOID NTAPI NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length) {
    NdisLibrary::require("NdisMUnmapIoSpace").unmap_io_space(MiniportAdapterHandle, VirtualAddress, Length);
}

VOID NTAPI NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                                  ULONG NumberOfErrorValues, ...) {
    NdisLibrary& library = NdisLibrary::require("NdisWriteErrorLogEntry");
    std::vector<ULONG> values;
    va_list args;
    va_start(args, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; ++i) values.push_back(va_arg(args, ULONG));
    va_end(args);
    library.write_error_log(NdisAdapterHandle, ErrorCode, std::move(values));
}

VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    NdisLibrary::require("NdisMSendComplete").send_complete(MiniportAdapterHandle, Packet, Status);
}

VOID NTAPI EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                       PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                       UINT LookaheadBufferSize, UINT PacketSize) {
    NdisLibrary::require("EthFilterDprIndicateReceive")
        .indicate_receive(Filter, MacReceiveContext, Address, HeaderBuffer, HeaderBufferSize, LookaheadBuffer,
                          LookaheadBufferSize, PacketSize);
}

VOID NTAPI EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
    NdisLibrary::require("EthFilterDprIndicateReceiveComplete").indicate_receive_complete(Filter);
}

}  // extern "C"
