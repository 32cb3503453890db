// The image test programs run ne2000.sys. Every testbed maps a fresh copy at
// the address the program's driver names were resolved for (see
// driver_symbols.py), so the tests' direct calls and reads land in the image
// that testbed loaded. Between testbeds a resident copy (mapped, relocated
// and bound, its DriverEntry never called) sits at that address, so tests of
// the driver's plain routines that build no testbed run the image's code too.

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/host/image/image_exports.h"
#include "platform/host/image/loaded_driver.h"
#include "tests/support/testbed.h"

namespace {

std::unique_ptr<host::image::PeImage> resident;

void map_resident() {
    std::string error;
    resident = host::image::PeImage::load_file(NE2000_IMAGE_PATH, host::image::stand_in_exports(), error,
                                               NE2000_IMAGE_BASE);
    if (!resident) {
        std::fprintf(stderr, "cannot map %s at 0x%X: %s\n", NE2000_IMAGE_PATH, NE2000_IMAGE_BASE,
                     error.c_str());
        std::abort();
    }
}

// Mapped before any test runs; gone for as long as a testbed's image lives.
const bool resident_mapped = (map_resident(), true);

class ImageAtTheBase final : public host::DriverImage {
public:
    ImageAtTheBase()
        : loaded_(std::make_unique<host::image::LoadedDriver>(NE2000_IMAGE_PATH, NE2000_IMAGE_BASE)) {}
    ~ImageAtTheBase() override {
        if (!entered_) return;
        loaded_.reset();
        map_resident();
    }
    std::string name() const override { return loaded_->name(); }
    NTSTATUS entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) override {
        resident.reset();
        entered_ = true;
        const NTSTATUS status = loaded_->entry(driver_object, registry_path);
        if (!loaded_->image()) std::fprintf(stderr, "%s\n", loaded_->load_error().c_str());
        return status;
    }
    bool initializes_at_registration() const override { return true; }

private:
    std::unique_ptr<host::image::LoadedDriver> loaded_;
    bool entered_ = false;
};

}  // namespace

namespace testbed {

std::shared_ptr<host::DriverImage> default_driver() {
    (void)resident_mapped;
    return std::make_shared<ImageAtTheBase>();
}

}  // namespace testbed
