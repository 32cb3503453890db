#include "platform/host/image/loaded_driver.h"

#include "platform/host/image/image_exports.h"

namespace host::image {

NTSTATUS LoadedDriver::entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
    image_ = PeImage::load_file(path_, stand_in_exports(), error_, at_);
    if (!image_) return STATUS_UNSUCCESSFUL;
    return image_->call_entry(driver_object, registry_path);
}

}  // namespace host::image
