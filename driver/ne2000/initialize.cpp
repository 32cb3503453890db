// The initialise handler: agree on the medium, allocate the adapter record,
// read and check the configuration, and hand the record to registration,
// which does all the hardware work and logs a refused configuration.

#include "driver/adapter.h"

namespace {

// Defaults where the configuration says nothing.
constexpr ULONG kDefaultIoBase = 0x300;
constexpr CCHAR kDefaultInterrupt = 5;
constexpr USHORT kDefaultBaseMemory = 0xD800;
constexpr CCHAR kDefaultComPort = 2;
constexpr CCHAR kDefaultComIrq = 3;
constexpr ULONG kDefaultMulticastList = kMulticastSlots;

// Micro Channel adapter identifiers whose POS data this driver decodes.
constexpr USHORT kMcaAdapterA = 0x67B0;
constexpr USHORT kMcaAdapterB = 0x7154;

// I/O base and interrupt by the fields of POS byte 1, for the two adapters.
constexpr ULONG kMcaIoBaseA[8] = {0x300, 0x1000, 0x2020, 0x8020, 0x300, 0x320, 0x340, 0x360};
constexpr ULONG kMcaIoBaseB[8] = {0x300, 0x1000, 0x2020, 0x8020, 0xA0A0, 0xB0B0, 0xC0C0, 0xC3D0};
constexpr CCHAR kMcaInterruptA[4] = {3, 4, 5, 9};
constexpr CCHAR kMcaInterruptB[4] = {4, 5, 9, 10};

// The value logged when the configuration as a whole is refused.
constexpr ULONG kConfigurationRefused = NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;

// What the keywords give, defaults filled in.
struct Configuration {
    UCHAR BusType;
    ULONG IoBaseAddress;
    CCHAR InterruptNumber;
    USHORT BaseMemory;
    UCHAR Slot;
    CCHAR ComPort;
    CCHAR ComIrq;
    ULONG MaximumMulticastList;
    BOOLEAN Refused;
    ULONG RefusedValue;
};

// Reads one integer keyword. An absent or unreadable keyword is not an error:
// FALSE, and the caller keeps its default.
BOOLEAN ReadKeyword(NDIS_HANDLE ConfigurationHandle, NDIS_STRING Keyword, NDIS_PARAMETER_TYPE Type,
                    ULONG* Value) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    PNDIS_CONFIGURATION_PARAMETER parameter = 0;
    NdisReadConfiguration(&status, &parameter, ConfigurationHandle, &Keyword, Type);
    if (status != NDIS_STATUS_SUCCESS || parameter == 0) return FALSE;
    *Value = parameter->ParameterData.IntegerData;
    return TRUE;
}

VOID Refuse(Configuration* Config, ULONG Value) {
    Config->Refused = TRUE;
    Config->RefusedValue = Value;
}

// Sign extension of an 8-bit configuration value, as it is logged.
ULONG Extended(CCHAR Value) {
    return (ULONG)(LONG)Value;
}

// The keyword path. Each value is cut to the width of its field before it is
// checked; the first value out of range is refused and ends the reading.
BOOLEAN ReadHardwareKeywords(NDIS_HANDLE Handle, Configuration* Config) {
    ULONG value;

    NDIS_STRING ioBase = NDIS_STRING_CONST("IoBaseAddress");
    if (ReadKeyword(Handle, ioBase, NdisParameterHexInteger, &value)) {
        Config->IoBaseAddress = value;
        if (value < 0x120 || value > 0xC3D0) {
            Refuse(Config, value);
            return FALSE;
        }
    }

    NDIS_STRING interrupt = NDIS_STRING_CONST("InterruptNumber");
    if (ReadKeyword(Handle, interrupt, NdisParameterHexInteger, &value)) {
        Config->InterruptNumber = (CCHAR)value;
        if (Config->InterruptNumber < 2 || Config->InterruptNumber > 15) {
            Refuse(Config, Extended(Config->InterruptNumber));
            return FALSE;
        }
    }

    NDIS_STRING baseMemory = NDIS_STRING_CONST("BaseMemory");
    if (ReadKeyword(Handle, baseMemory, NdisParameterHexInteger, &value)) {
        Config->BaseMemory = (USHORT)value;
        if (Config->BaseMemory < 0xC000 || Config->BaseMemory > 0xF000) {
            Refuse(Config, Config->BaseMemory);
            return FALSE;
        }
    }

    NDIS_STRING slot = NDIS_STRING_CONST("Slot");
    if (ReadKeyword(Handle, slot, NdisParameterHexInteger, &value)) {
        Config->Slot = (UCHAR)value;
        if (Config->Slot > 4) {
            Refuse(Config, Config->Slot);
            return FALSE;
        }
    }

    NDIS_STRING comPort = NDIS_STRING_CONST("ComPort");
    if (ReadKeyword(Handle, comPort, NdisParameterHexInteger, &value)) {
        Config->ComPort = (CCHAR)value;
        if (Config->ComPort < 2 || Config->ComPort > 4) {
            Refuse(Config, Extended(Config->ComPort));
            return FALSE;
        }
    }

    // Compared as a signed byte: 0x80-0xFF count as negative and pass.
    NDIS_STRING comIrq = NDIS_STRING_CONST("ComIRQ");
    if (ReadKeyword(Handle, comIrq, NdisParameterHexInteger, &value)) {
        Config->ComIrq = (CCHAR)value;
        if (Config->ComIrq > 15) {
            Refuse(Config, Extended(Config->ComIrq));
            return FALSE;
        }
    }
    return TRUE;
}

// Micro Channel: I/O base and interrupt come from POS byte 1 for the adapters
// this driver knows. FALSE when they did not (the keyword path applies).
BOOLEAN DecodePosData(const NDIS_MCA_POS_DATA* Pos, Configuration* Config) {
    const ULONG* ioBases;
    const CCHAR* interrupts;
    if (Pos->AdapterId == kMcaAdapterA) {
        ioBases = kMcaIoBaseA;
        interrupts = kMcaInterruptA;
    } else if (Pos->AdapterId == kMcaAdapterB) {
        ioBases = kMcaIoBaseB;
        interrupts = kMcaInterruptB;
    } else {
        return FALSE;
    }
    Config->IoBaseAddress = ioBases[(Pos->PosData1 & 0x0E) >> 1];
    Config->InterruptNumber = interrupts[(Pos->PosData1 & 0x60) >> 5];
    return TRUE;
}

// Everything read from the open configuration, in the order the library is
// asked. Returns with the configuration either complete or refused.
VOID ReadConfiguration(PNe2000Adapter Adapter, NDIS_HANDLE Handle, NDIS_HANDLE WrapperConfigurationContext,
                       Configuration* Config) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    PVOID networkAddress = 0;
    UINT networkAddressLength = 0;
    NdisReadNetworkAddress(&status, &networkAddress, &networkAddressLength, Handle);
    // Only a station address replaces the card's own: six bytes, group bit clear.
    if (status == NDIS_STATUS_SUCCESS && networkAddressLength == kEthernetAddressLength &&
        networkAddress != 0 && (((PUCHAR)networkAddress)[0] & 0x01) == 0) {
        NdisMoveMemory(Adapter->CurrentAddress, networkAddress, kEthernetAddressLength);
    }

    // One adapter only on a multiprocessor machine.
    if (NdisSystemProcessorCount() > 1 && Ne2000MiniportBlock.AdapterQueue != 0) {
        Refuse(Config, kConfigurationRefused);
        return;
    }

    ULONG value;
    NDIS_STRING busType = NDIS_STRING_CONST("BusType");
    if (ReadKeyword(Handle, busType, NdisParameterHexInteger, &value)) Config->BusType = (UCHAR)value;

    BOOLEAN decoded = FALSE;
    if (Config->BusType == (UCHAR)NdisInterfaceMca) {
        NDIS_MCA_POS_DATA pos;
        NdisZeroMemory(&pos, sizeof pos);
        UINT channel = 0;
        NdisReadMcaPosInformation(&status, WrapperConfigurationContext, &channel, &pos);
        if (status != NDIS_STATUS_SUCCESS) {
            Refuse(Config, kConfigurationRefused);
            return;
        }
        decoded = DecodePosData(&pos, Config);
    }
    if (!decoded && !ReadHardwareKeywords(Handle, Config)) return;

    NDIS_STRING multicast = NDIS_STRING_CONST("MaximumMulticastList");
    if (ReadKeyword(Handle, multicast, NdisParameterInteger, &value)) Config->MaximumMulticastList = value;
}

ULONG UartPortFor(CCHAR ComPort) {
    switch (ComPort) {
        case 1:
            return 0x3F8;
        case 3:
            return 0x3E8;
        case 4:
            return 0x2E8;
        default:
            return 0x2F8;
    }
}

}  // namespace

NDIS_STATUS NTAPI Ne2000Initialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                   PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                   NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE WrapperConfigurationContext) {
    (VOID) OpenErrorStatus;

    UINT medium = 0;
    while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
    if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = medium;

    PNe2000Adapter adapter = 0;
    const NDIS_PHYSICAL_ADDRESS highestAcceptable = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
    NDIS_STATUS status = NdisAllocateMemory((PVOID*)&adapter, sizeof(Ne2000Adapter), 0, highestAcceptable);
    if (status != NDIS_STATUS_SUCCESS) return status;
    NdisZeroMemory(adapter, sizeof(Ne2000Adapter));

    NDIS_HANDLE configurationHandle = 0;
    NdisOpenConfiguration(&status, &configurationHandle, WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(adapter, sizeof(Ne2000Adapter), 0);
        return status;
    }

    Configuration config;
    NdisZeroMemory(&config, sizeof config);
    config.IoBaseAddress = kDefaultIoBase;
    config.InterruptNumber = kDefaultInterrupt;
    config.BaseMemory = kDefaultBaseMemory;
    config.ComPort = kDefaultComPort;
    config.ComIrq = kDefaultComIrq;
    config.MaximumMulticastList = kDefaultMulticastList;
    ReadConfiguration(adapter, configurationHandle, WrapperConfigurationContext, &config);
    NdisCloseConfiguration(configurationHandle);

    adapter->MiniportAdapterHandle = MiniportAdapterHandle;
    adapter->TransmitPageCount = kTransmitPages;
    adapter->IoBaseAddress = config.IoBaseAddress;
    adapter->InterruptNumber = config.InterruptNumber;
    adapter->MaximumMulticastList = config.MaximumMulticastList;
    adapter->BusType = config.BusType;
    adapter->BaseMemory = config.BaseMemory;
    adapter->Slot = config.Slot;
    adapter->ComPort = config.ComPort;
    adapter->ComIrq = config.ComIrq;
    adapter->UartPortAddress = UartPortFor(config.ComPort);
    adapter->CurrentLookahead = kMaxLookahead;

    if (Ne2000RegisterAdapter(adapter, config.Refused, config.RefusedValue) == NDIS_STATUS_SUCCESS) {
        return NDIS_STATUS_SUCCESS;
    }
    NdisFreeMemory(adapter, sizeof(Ne2000Adapter), 0);
    return NDIS_STATUS_FAILURE;
}
