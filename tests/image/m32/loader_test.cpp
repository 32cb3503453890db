// The loader on the shipped image: what it refuses, and a load that runs the
// image on the stand-in at a base other than its preferred one, with INIT
// gone once DriverEntry has returned.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/image/image_exports.h"
#include "platform/host/image/loaded_driver.h"
#include "tests/driver/fixture.h"

namespace {

using host::image::PeImage;
using machine::kMillisecond;

std::vector<std::uint8_t> image_bytes() {
    std::ifstream in(NE2000_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether the page at `address` is readable and writable, as the kernel (or
// qemu-user, which maps guest code without host execute rights) reports it.
std::string page_permissions(std::uintptr_t address) {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    char line[512];
    std::string found;
    while (maps && std::fgets(line, sizeof line, maps)) {
        unsigned long from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &from, &to, perms) == 3 && address >= from && address < to)
            found = std::string(perms).substr(0, 2);
    }
    if (maps) std::fclose(maps);
    return found;
}

TEST(ImageLoader, RefusesWhatItCannotBind) {
    const std::vector<std::uint8_t> good = image_bytes();
    ASSERT_GT(good.size(), 0x400u) << NE2000_IMAGE_PATH;
    host::image::ExportTable without_send_complete = host::image::stand_in_exports();
    without_send_complete.erase("NdisMSendComplete");
    std::vector<std::uint8_t> truncated(good.begin(), good.begin() + 0x200);
    std::vector<std::uint8_t> relocations_cut = good;
    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        host::image::ExportTable exports;
        const char* error;
    } cases[] = {
        {"not an image", {'h', 'e', 'l', 'l', 'o'}, host::image::stand_in_exports(), "no MZ header"},
        {"cut after the headers", truncated, host::image::stand_in_exports(),
         "the headers run past the end of the file"},
        {"an import we do not have", good, without_send_complete,
         "unknown import NDIS.SYS!NdisMSendComplete"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(PeImage::load(c.bytes, c.exports, error), nullptr) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}

TEST(ImageLoader, RunsTheImageRelocatedAndDiscardsInit) {
    auto driver = std::make_shared<host::image::LoadedDriver>(NE2000_IMAGE_PATH);
    testbed::TestbedOptions options;
    options.driver = driver;
    testbed::Testbed tb(options);
    // The adapter is brought up inside the registration, before INIT goes.
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS) << driver->load_error();
    const PeImage* image = driver->image();
    EXPECT_NE(image->base(), image->preferred_base());
    EXPECT_GT(image->relocations_applied(), 0u);
    const auto* text = image->section(".text");
    const auto* init = image->section("INIT");
    ASSERT_TRUE(text && init);
    EXPECT_EQ(text->protection, PROT_READ | PROT_EXEC);
    EXPECT_EQ(page_permissions(text->address), "r-");
    EXPECT_EQ(tb.adapter().state(), host::AdapterState::Running);
    EXPECT_TRUE(image->init_discarded());
    EXPECT_EQ(page_permissions(init->address), "--");

    // A frame received through the relocated handlers.
    tb.protocol().attach(tb.ndis().bind(tb.adapter(), tb.protocol()));
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    tb.peer().send_at(tb.now() + 1 * kMillisecond, fixture::Frame(100, 1));
    tb.run_for(20 * kMillisecond);
    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    tb.halt();
    EXPECT_EQ(tb.adapter().state(), host::AdapterState::Halted);
    EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());
}

}  // namespace
