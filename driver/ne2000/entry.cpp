// Driver entry: bind to the NDIS library and register the miniport's handlers.

#include "driver/adapter.h"

// All zero when the image loads; DriverEntry empties the queue again.
Ne2000DriverBlock Ne2000MiniportBlock;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NDIS_HANDLE wrapper = 0;
    NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, 0);

    Ne2000MiniportBlock.NdisWrapperHandle = wrapper;
    Ne2000MiniportBlock.AdapterQueue = 0;

    NDIS30_MINIPORT_CHARACTERISTICS characteristics;
    NdisZeroMemory(&characteristics, sizeof characteristics);
    characteristics.MajorNdisVersion = 3;
    characteristics.MinorNdisVersion = 0;
    characteristics.CheckForHangHandler = 0;  // no hang check: recovery only through reset
    characteristics.DisableInterruptHandler = Ne2000DisableInterrupt;
    characteristics.EnableInterruptHandler = Ne2000EnableInterrupt;
    characteristics.HaltHandler = Ne2000Halt;
    characteristics.HandleInterruptHandler = Ne2000HandleInterrupt;
    characteristics.InitializeHandler = Ne2000Initialize;
    characteristics.ISRHandler = Ne2000Isr;
    characteristics.QueryInformationHandler = Ne2000QueryInformation;
    characteristics.ReconfigureHandler = 0;
    characteristics.ResetHandler = Ne2000Reset;
    characteristics.SendHandler = Ne2000Send;
    characteristics.SetInformationHandler = Ne2000SetInformation;
    characteristics.TransferDataHandler = Ne2000TransferData;

    // The record is 60 bytes on the 32-bit target.
    const NDIS_STATUS status = NdisMRegisterMiniport(wrapper, &characteristics, sizeof characteristics);
    return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
