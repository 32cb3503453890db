#include "platform/host/image/pe_image.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace host::image {

namespace {

constexpr std::size_t kPage = 0x1000;
constexpr std::streamoff kLargestImage = 64 << 20;  // as the size check of the headers allows
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnRead = 0x40000000;
constexpr std::uint32_t kScnWrite = 0x80000000;
constexpr unsigned kDirectoryImport = 1;
constexpr unsigned kDirectoryRelocation = 5;
constexpr unsigned kRelocationAbsolute = 0;
constexpr unsigned kRelocationHighLow = 3;

std::size_t round_up(std::size_t n) {
    return (n + kPage - 1) & ~(kPage - 1);
}

std::string hex(std::uintptr_t v) {
    char text[2 + 2 * sizeof v + 1];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(v));
    return text;
}

// Bounds-checked little-endian reads of the file and of the mapped image:
// a damaged image must fail the load, not read past its end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool fits(std::size_t at, std::size_t n) const { return at <= size_ && n <= size_ - at; }
    std::uint16_t u16(std::size_t at) const {
        std::uint16_t v = 0;
        if (fits(at, 2)) std::memcpy(&v, data_ + at, 2);
        return v;
    }
    std::uint32_t u32(std::size_t at) const {
        std::uint32_t v = 0;
        if (fits(at, 4)) std::memcpy(&v, data_ + at, 4);
        return v;
    }
    // A zero-terminated name lying wholly inside.
    bool name(std::size_t at, std::string& out) const {
        out.clear();
        for (std::size_t i = at; i < size_; ++i) {
            if (data_[i] == 0) return true;
            out.push_back(static_cast<char>(data_[i]));
        }
        return false;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

int protection_of(std::uint32_t characteristics) {
    int p = PROT_NONE;
    if (characteristics & kScnRead) p |= PROT_READ;
    if (characteristics & kScnWrite) p |= PROT_WRITE;
    if (characteristics & kScnExecute) p |= PROT_EXEC | PROT_READ;
    return p;
}

}  // namespace

std::unique_ptr<PeImage> PeImage::load(const std::vector<std::uint8_t>& bytes, const ExportTable& exports,
                                       std::string& error, std::uintptr_t at) {
    std::unique_ptr<PeImage> image(new PeImage);
    if (!image->map(bytes, exports, error, at)) return nullptr;
    return image;
}

std::unique_ptr<PeImage> PeImage::load_file(const std::string& path, const ExportTable& exports,
                                            std::string& error, std::uintptr_t at) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = path + ": cannot be read";
        return nullptr;
    }
    // Sized first, read in one go: a driver image is tens of kilobytes, and a
    // large file given by mistake is refused without being read.
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kLargestImage) {
        error = path + ": too large for a driver image";
        return nullptr;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = path + ": cannot be read";
        return nullptr;
    }
    return load(bytes, exports, error, at);
}

PeImage::~PeImage() {
    if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
}

const Section* PeImage::section(const std::string& name) const {
    for (const Section& s : sections_)
        if (s.name == name) return &s;
    return nullptr;
}

// Reserves size_ bytes for the image: at `at` exactly when it is given, or
// anywhere but the preferred base, so that the relocations are exercised.
bool PeImage::reserve(std::uintptr_t at, std::string& error) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    void* got = MAP_FAILED;
    if (at != 0) {
        got = mmap(reinterpret_cast<void*>(at), size_, PROT_READ | PROT_WRITE, flags | MAP_FIXED_NOREPLACE,
                   -1, 0);
        // A kernel without MAP_FIXED_NOREPLACE takes the address as a hint.
        if (got != MAP_FAILED && reinterpret_cast<std::uintptr_t>(got) != at) {
            munmap(got, size_);
            got = MAP_FAILED;
        }
    } else {
        got = mmap(nullptr, size_, PROT_READ | PROT_WRITE, flags, -1, 0);
        if (got != MAP_FAILED && reinterpret_cast<std::uintptr_t>(got) == preferred_base_) {
            void* other = mmap(nullptr, size_, PROT_READ | PROT_WRITE, flags, -1, 0);
            munmap(got, size_);
            got = other;
        }
    }
    if (got == MAP_FAILED) {
        error = at != 0 ? "cannot place the image at " + hex(at) + " (the range is taken)"
                        : "cannot reserve the image's address range";
        size_ = 0;
        return false;
    }
    base_ = reinterpret_cast<std::uintptr_t>(got);
    return true;
}

bool PeImage::map(const std::vector<std::uint8_t>& bytes, const ExportTable& exports, std::string& error,
                  std::uintptr_t at) {
    const Reader file(bytes.data(), bytes.size());
    if (file.u16(0) != 0x5A4D) {
        error = "not an executable image (no MZ header)";
        return false;
    }
    const std::size_t pe = file.u32(0x3C);
    if (file.u32(pe) != 0x00004550 || !file.fits(pe, 24)) {
        error = "not a PE image (no PE signature)";
        return false;
    }
    if (file.u16(pe + 4) != kMachineI386) {
        error = "not an i386 image";
        return false;
    }
    const unsigned section_count = file.u16(pe + 6);
    const std::size_t optional = pe + 24;
    const std::size_t optional_size = file.u16(pe + 20);
    if (file.u16(optional) != kOptionalMagicPe32 || optional_size < 96 ||
        !file.fits(optional, optional_size)) {
        error = "not a PE32 image (optional header)";
        return false;
    }
    preferred_base_ = file.u32(optional + 28);
    const std::size_t image_size = file.u32(optional + 56);
    const std::size_t headers_size = file.u32(optional + 60);
    const unsigned directory_count = file.u32(optional + 92);
    auto directory = [&](unsigned index, std::uint32_t& rva, std::uint32_t& size) {
        rva = size = 0;
        if (index >= directory_count || 96 + 8 * (index + 1) > optional_size) return;
        rva = file.u32(optional + 96 + 8 * index);
        size = file.u32(optional + 100 + 8 * index);
    };
    if (image_size == 0 || image_size > static_cast<std::size_t>(kLargestImage) || headers_size > image_size) {
        error = "implausible image size";
        return false;
    }
    if (!file.fits(0, headers_size)) {
        error = "the headers run past the end of the file";
        return false;
    }

    size_ = round_up(image_size);
    if ((at % kPage) != 0) {
        error = "the image cannot be placed at " + hex(at) + ": not page-aligned";
        return false;
    }
    if (!reserve(at, error)) return false;
    auto* memory = reinterpret_cast<std::uint8_t*>(base_);
    std::memcpy(memory, bytes.data(), headers_size);

    const std::size_t table = optional + optional_size;
    std::vector<std::uint32_t> characteristics;
    for (unsigned i = 0; i < section_count; ++i) {
        const std::size_t h = table + 40 * i;
        if (!file.fits(h, 40)) {
            error = "section table runs past the end of the file";
            return false;
        }
        char raw_name[9] = {};
        std::memcpy(raw_name, bytes.data() + h, 8);
        const std::size_t virtual_size = file.u32(h + 8);
        const std::size_t rva = file.u32(h + 12);
        const std::size_t raw_size = file.u32(h + 16);
        const std::size_t raw_at = file.u32(h + 20);
        const std::size_t span = round_up(std::max(virtual_size, raw_size));
        const std::size_t copy = std::min(virtual_size ? virtual_size : raw_size, raw_size);
        if (rva % kPage != 0 || rva < round_up(headers_size) || rva > size_ || span > size_ - rva ||
            !file.fits(raw_at, copy)) {
            error = std::string("section ") + raw_name + " lies outside the image or the file";
            return false;
        }
        std::memcpy(memory + rva, bytes.data() + raw_at, copy);
        sections_.push_back(Section{raw_name, base_ + rva, span, protection_of(file.u32(h + 36))});
    }
    const Reader image(memory, size_);

    // Base relocations: NT 3.x images carry only 32-bit absolute ones.
    std::uint32_t reloc_rva = 0, reloc_size = 0;
    directory(kDirectoryRelocation, reloc_rva, reloc_size);
    const std::uint32_t delta = static_cast<std::uint32_t>(base_ - preferred_base_);
    if (reloc_size == 0 && delta != 0) {
        error = "the image has no relocations and cannot be placed elsewhere";
        return false;
    }
    for (std::size_t block = reloc_rva; block + 8 <= std::size_t{reloc_rva} + reloc_size;) {
        const std::uint32_t page = image.u32(block);
        const std::uint32_t block_size = image.u32(block + 4);
        if (block_size < 8 || !image.fits(block, block_size)) {
            error = "damaged relocation block";
            return false;
        }
        for (std::size_t e = block + 8; e + 2 <= block + block_size; e += 2) {
            const std::uint16_t entry = image.u16(e);
            const unsigned type = entry >> 12;
            const std::size_t site = page + (entry & 0x0FFF);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationHighLow || !image.fits(site, 4)) {
                error = "unsupported or misplaced relocation";
                return false;
            }
            const std::uint32_t value = image.u32(site) + delta;
            std::memcpy(memory + site, &value, 4);
            ++relocations_;
        }
        block += block_size;
    }

    // Imports, bound by name; an unknown one fails the load with its name.
    std::uint32_t import_rva = 0, import_size = 0;
    directory(kDirectoryImport, import_rva, import_size);
    for (std::size_t d = import_rva; import_size != 0; d += 20) {
        if (!image.fits(d, 20)) {
            error = "damaged import directory";
            return false;
        }
        const std::uint32_t lookup = image.u32(d);
        const std::uint32_t module_name = image.u32(d + 12);
        const std::uint32_t bound = image.u32(d + 16);
        if (module_name == 0 && bound == 0) break;
        std::string module;
        if (!image.name(module_name, module)) {
            error = "damaged import module name";
            return false;
        }
        for (std::size_t i = 0;; i += 4) {
            const std::uint32_t thunk = image.u32((lookup ? lookup : bound) + i);
            if (!image.fits((lookup ? lookup : bound) + i, 4) || !image.fits(bound + i, 4)) {
                error = "damaged import table of " + module;
                return false;
            }
            if (thunk == 0) break;
            if (thunk & 0x80000000u) {
                error = "import by ordinal from " + module + " (only names can be bound)";
                return false;
            }
            std::string name;
            if (!image.name(thunk + 2, name)) {
                error = "damaged import name in " + module;
                return false;
            }
            const auto found = exports.find(name);
            if (found == exports.end()) {
                error = "unknown import " + module + "!" + name;
                return false;
            }
            const auto address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(found->second));
            std::memcpy(memory + bound + i, &address, 4);
        }
    }

    const std::uint32_t entry = file.u32(optional + 16);
    if (entry == 0 || entry >= size_) {
        error = "no entry point";
        return false;
    }
    entry_ = base_ + entry;

    // Headers read-only, each section as its flags say; gaps stay writable
    // no more than the headers.
    if (mprotect(memory, round_up(headers_size), PROT_READ) != 0) {
        error = "cannot protect the headers";
        return false;
    }
    for (const Section& s : sections_)
        if (mprotect(reinterpret_cast<void*>(s.address), s.size, s.protection) != 0) {
            error = "cannot protect section " + s.name;
            return false;
        }
    return true;
}

NTSTATUS PeImage::call_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    using Entry = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);
    const NTSTATUS status = reinterpret_cast<Entry>(entry_)(driver, registry_path);
    // NT frees the initialisation code once the entry has returned; nothing
    // may reach it afterwards.
    for (Section& s : sections_)
        if (s.name == "INIT" && mprotect(reinterpret_cast<void*>(s.address), s.size, PROT_NONE) == 0) {
            s.protection = PROT_NONE;
            init_discarded_ = true;
        }
    return status;
}

}  // namespace host::image
