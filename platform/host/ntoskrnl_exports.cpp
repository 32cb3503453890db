// The one kernel routine the driver calls on NT: NdisQueryBuffer is a macro
// there, and maps a buffer that carries no system address yet through
// MmMapLockedPages. In user mode every buffer is addressable already, so
// mapping only records the address in the MDL, as the kernel does, so that
// the next query finds it there.

#include "platform/ndis.h"

extern "C" {

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    (void)AccessMode;
    PMDL mdl = MemoryDescriptorList;
    mdl->MappedSystemVa = static_cast<UCHAR*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags = static_cast<SHORT>(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return mdl->MappedSystemVa;
}

}  // extern "C"
