#pragma once
// A driver as the programs that load one see it: a name to report and an entry
// point to call, as the I/O manager calls it when it loads the driver. Today
// the driver is linked into the program; a driver image mapped from its file
// is another implementation of the same thing.

#include <string>

#include "platform/ndis.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host {

class DriverImage {
public:
    virtual ~DriverImage() = default;
    // What reports call this driver ("linked", a file name, ...).
    virtual std::string name() const = 0;
    // Calls the driver's entry point once; it registers with the wrapper.
    virtual NTSTATUS entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) = 0;
    // Whether the wrapper runs the initialise handler of every listed adapter
    // inside the registration, as NT's does for a loaded image (whose INIT
    // code is gone once DriverEntry returns). A linked driver is initialised
    // when its caller asks, so tests can prepare the machine in between.
    virtual bool initializes_at_registration() const { return false; }
};

// The driver compiled for this host and linked into the program. Kept inline so
// that whoever uses it names DriverEntry itself and the linker finds the driver
// library wherever it stands on the link line.
class LinkedDriver final : public DriverImage {
public:
    std::string name() const override { return "linked"; }
    NTSTATUS entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) override {
        return DriverEntry(driver_object, registry_path);
    }
};

}  // namespace host
