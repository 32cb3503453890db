#pragma once
// Loads a 32-bit x86 PE kernel image (ne2000.sys) into this process as NT's
// loader would: every section mapped at a base other than the preferred one
// and relocated, every import bound by name to one of our routines, each
// section given the protections its flags ask for. The entry point is then
// called through call_entry(); the INIT section is discarded after it, so a
// later call into it faults.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace host::image {

// What an import binds to: "NDIS.SYS!NdisMSendComplete" style names are not
// used; NT binds by routine name within the module, and our names are unique.
using ExportTable = std::map<std::string, void*>;

struct Section {
    std::string name;
    std::uintptr_t address = 0;  // in this process
    std::size_t size = 0;        // rounded to whole pages
    int protection = 0;          // PROT_* while mapped
};

class PeImage {
public:
    // Maps `bytes` anywhere but at the preferred base, or at exactly `at` when
    // it is given (page-aligned and free); on failure returns null and says
    // why in `error`.
    static std::unique_ptr<PeImage> load(const std::vector<std::uint8_t>& bytes, const ExportTable& exports,
                                         std::string& error, std::uintptr_t at = 0);
    static std::unique_ptr<PeImage> load_file(const std::string& path, const ExportTable& exports,
                                              std::string& error, std::uintptr_t at = 0);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    std::uintptr_t base() const { return base_; }
    std::uintptr_t preferred_base() const { return preferred_base_; }
    std::size_t size() const { return size_; }
    const std::vector<Section>& sections() const { return sections_; }
    const Section* section(const std::string& name) const;
    std::uintptr_t entry_point() const { return entry_; }
    // Relocation sites patched (HIGHLOW entries).
    std::size_t relocations_applied() const { return relocations_; }

    // Calls DriverEntry, then discards INIT (no access at all) as NT frees it.
    NTSTATUS call_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
    bool init_discarded() const { return init_discarded_; }

private:
    PeImage() = default;
    bool map(const std::vector<std::uint8_t>& bytes, const ExportTable& exports, std::string& error,
             std::uintptr_t at);
    bool reserve(std::uintptr_t at, std::string& error);

    std::uintptr_t base_ = 0;
    std::uintptr_t preferred_base_ = 0;
    std::size_t size_ = 0;
    std::uintptr_t entry_ = 0;
    std::size_t relocations_ = 0;
    std::vector<Section> sections_;
    bool init_discarded_ = false;
};

}  // namespace host::image
