#pragma once
// ne2000.sys mapped from its file, as a driver the testbed and ne2000sim can
// enter in place of the linked one. The image is mapped when entered and
// stays mapped as long as this object lives: anywhere but its preferred base,
// or at a fixed address for programs linked against the image's symbols.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/host/driver_image.h"
#include "platform/host/image/pe_image.h"

namespace host::image {

class LoadedDriver final : public DriverImage {
public:
    explicit LoadedDriver(std::string path, std::uintptr_t at = 0) : path_(std::move(path)), at_(at) {}
    std::string name() const override { return path_; }
    // Maps the image and calls its DriverEntry; a load that fails returns
    // STATUS_UNSUCCESSFUL and keeps the reason in load_error().
    NTSTATUS entry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) override;
    bool initializes_at_registration() const override { return true; }
    const std::string& load_error() const { return error_; }
    const PeImage* image() const { return image_.get(); }

private:
    std::string path_;
    std::uintptr_t at_;
    std::string error_;
    std::unique_ptr<PeImage> image_;
};

}  // namespace host::image
