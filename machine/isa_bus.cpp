#include "machine/isa_bus.h"

#include <algorithm>
#include <cstring>

namespace machine {

std::uint16_t IoDevice::read16(std::uint16_t port) {
    const std::uint8_t lo = read8(port);
    return static_cast<std::uint16_t>(lo | (read8(static_cast<std::uint16_t>(port + 1)) << 8));
}

void IoDevice::write16(std::uint16_t port, std::uint16_t value) {
    write8(port, static_cast<std::uint8_t>(value));
    write8(static_cast<std::uint16_t>(port + 1), static_cast<std::uint8_t>(value >> 8));
}

void IoDevice::read8_string(std::uint16_t port, std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) data[i] = read8(port);
}

void IoDevice::write8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) write8(port, data[i]);
}

void IoDevice::read16_string(std::uint16_t port, std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t word = read16(port);
        data[2 * i] = static_cast<std::uint8_t>(word);
        data[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
    }
}

void IoDevice::write16_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        write16(port, static_cast<std::uint16_t>(data[2 * i] | data[2 * i + 1] << 8));
}

std::string IoDevice::port_name(std::uint16_t, bool) const {
    return {};
}

void IsaBus::attach(IoDevice& device) {
    io_.push_back(&device);
    note_devices_changed();
}
void IsaBus::detach(IoDevice& device) {
    std::erase(io_, &device);
    note_devices_changed();
}
void IsaBus::attach(MemoryDevice& device) {
    memory_.push_back(&device);
}
void IsaBus::detach(MemoryDevice& device) {
    std::erase(memory_, &device);
}

void IsaBus::note_devices_changed() {
    use_decode_cache_ = fast_paths_ && std::all_of(io_.begin(), io_.end(), [](const IoDevice* d) {
                            return d->reports_decode_changes();
                        });
    decode_changed();
}

IoDevice* IsaBus::scan(std::uint16_t port, IoWidth* width) const {
    for (IoDevice* d : io_) {
        const IoWidth w = d->decode(port);
        if (w != IoWidth::None) {
            *width = w;
            return d;
        }
    }
    *width = IoWidth::None;
    return nullptr;
}

const IsaBus::Decoded& IsaBus::find_again(std::uint16_t port) {
    Decoded found;
    found.port = port;
    found.device = scan(port, &found.width);
    if (!use_decode_cache_) {
        uncached_ = found;
        return uncached_;
    }
    if (found.device) found.passed = found.device->passes_to(port);
    found.generation = decode_generation();
    Decoded& entry = decoded_[port % kDecodeCacheSize];
    entry = found;
    return entry;
}

std::string IsaBus::name_of(std::uint16_t port, bool write) {
    const Decoded& d = find(port);
    return d.device ? d.device->port_name(port, write) : std::string{};
}

std::uint8_t IsaBus::raw_in8(std::uint16_t port) {
    const Decoded& d = find(port);
    if (d.passed) return d.passed.function->read8(d.passed.offset);
    return d.device ? d.device->read8(port) : 0xFF;
}

void IsaBus::raw_out8(std::uint16_t port, std::uint8_t value) {
    const Decoded& d = find(port);
    if (d.passed)
        d.passed.function->write8(d.passed.offset, value);
    else if (d.device)
        d.device->write8(port, value);
}

std::uint16_t IsaBus::raw_in16(std::uint16_t port) {
    const Decoded& d = find(port);
    if (d.width == IoWidth::Word)
        return d.passed ? d.passed.function->read16(d.passed.offset) : d.device->read16(port);
    // No IOCS16#: the bus splits the word into two byte cycles.
    const std::uint8_t lo = raw_in8(port);
    return static_cast<std::uint16_t>(lo | (raw_in8(static_cast<std::uint16_t>(port + 1)) << 8));
}

void IsaBus::raw_out16(std::uint16_t port, std::uint16_t value) {
    const Decoded& d = find(port);
    if (d.width == IoWidth::Word) {
        if (d.passed)
            d.passed.function->write16(d.passed.offset, value);
        else
            d.device->write16(port, value);
        return;
    }
    raw_out8(port, static_cast<std::uint8_t>(value));
    raw_out8(static_cast<std::uint16_t>(port + 1), static_cast<std::uint8_t>(value >> 8));
}

// The register name is taken before the access: reading or writing may change
// what the port means (a page select, the socket controller's index).
std::uint8_t IsaBus::in8_slow(std::uint16_t port) {
    if (!trace_.enabled()) {
        const std::uint8_t v = raw_in8(port);
        charge(1);
        return v;
    }
    std::string name = name_of(port, false);
    const std::uint8_t v = raw_in8(port);
    trace_.record({clock_.now(), TraceKind::In8, port, v, 1, std::move(name)});
    charge(1);
    return v;
}

void IsaBus::out8_slow(std::uint16_t port, std::uint8_t value) {
    if (trace_.enabled()) trace_.record({clock_.now(), TraceKind::Out8, port, value, 1, name_of(port, true)});
    raw_out8(port, value);
    charge(1);
}

std::uint16_t IsaBus::in16(std::uint16_t port) {
    if (!trace_.enabled()) {
        const std::uint16_t v = raw_in16(port);
        charge(1);
        return v;
    }
    std::string name = name_of(port, false);
    const std::uint16_t v = raw_in16(port);
    trace_.record({clock_.now(), TraceKind::In16, port, v, 1, std::move(name)});
    charge(1);
    return v;
}

void IsaBus::out16(std::uint16_t port, std::uint16_t value) {
    if (trace_.enabled())
        trace_.record({clock_.now(), TraceKind::Out16, port, value, 1, name_of(port, true)});
    raw_out16(port, value);
    charge(1);
}

void IsaBus::in8_string(std::uint16_t port, std::uint8_t* data, std::size_t count) {
    if (trace_.enabled())
        trace_.record({clock_.now(), TraceKind::InString8, port, 0, static_cast<std::uint32_t>(count),
                       name_of(port, false)});
    if (!fast_paths_) {
        for (std::size_t i = 0; i < count; ++i) data[i] = raw_in8(port);
    } else if (const Decoded& d = find(port); d.passed) {
        d.passed.function->read8_string(d.passed.offset, data, count);
    } else if (d.device) {
        d.device->read8_string(port, data, count);
    } else {
        std::fill_n(data, count, std::uint8_t{0xFF});
    }
    charge(count);
}

void IsaBus::out8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) {
    if (trace_.enabled())
        trace_.record({clock_.now(), TraceKind::OutString8, port, 0, static_cast<std::uint32_t>(count),
                       name_of(port, true)});
    if (!fast_paths_) {
        for (std::size_t i = 0; i < count; ++i) raw_out8(port, data[i]);
    } else if (const Decoded& d = find(port); d.passed) {
        d.passed.function->write8_string(d.passed.offset, data, count);
    } else if (d.device) {
        d.device->write8_string(port, data, count);
    }
    charge(count);
}

// The HAL's caller may hand an odd buffer address (x86 string instructions
// accept one), so words move bytewise.
void IsaBus::in16_string(std::uint16_t port, std::uint16_t* data, std::size_t count) {
    if (trace_.enabled())
        trace_.record({clock_.now(), TraceKind::InString16, port, 0, static_cast<std::uint32_t>(count),
                       name_of(port, false)});
    auto* bytes = reinterpret_cast<std::uint8_t*>(data);
    const Decoded* d = fast_paths_ ? &find(port) : nullptr;
    if (d && d->width == IoWidth::Word) {
        if (d->passed)
            d->passed.function->read16_string(d->passed.offset, bytes, count);
        else
            d->device->read16_string(port, bytes, count);
    } else {
        // Split into byte cycles, or the plain path: element by element.
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t word = raw_in16(port);
            std::memcpy(bytes + 2 * i, &word, sizeof word);
        }
    }
    charge(count);
}

void IsaBus::out16_string(std::uint16_t port, const std::uint16_t* data, std::size_t count) {
    if (trace_.enabled())
        trace_.record({clock_.now(), TraceKind::OutString16, port, 0, static_cast<std::uint32_t>(count),
                       name_of(port, true)});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    const Decoded* d = fast_paths_ ? &find(port) : nullptr;
    if (d && d->width == IoWidth::Word) {
        if (d->passed)
            d->passed.function->write16_string(d->passed.offset, bytes, count);
        else
            d->device->write16_string(port, bytes, count);
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint16_t word;
            std::memcpy(&word, bytes + 2 * i, sizeof word);
            raw_out16(port, word);
        }
    }
    charge(count);
}

std::uint8_t IsaBus::mem_read8(std::uint32_t address) {
    address &= 0xFFFFFF;
    std::uint8_t v = 0xFF;
    for (MemoryDevice* m : memory_)
        if (m->decodes(address)) {
            v = m->read8(address);
            break;
        }
    if (trace_.enabled()) trace_.record({clock_.now(), TraceKind::MemRead8, address, v, 1, {}});
    return v;
}

void IsaBus::mem_write8(std::uint32_t address, std::uint8_t value) {
    address &= 0xFFFFFF;
    if (trace_.enabled()) trace_.record({clock_.now(), TraceKind::MemWrite8, address, value, 1, {}});
    for (MemoryDevice* m : memory_)
        if (m->decodes(address)) {
            m->write8(address, value);
            return;
        }
}

void IsaBus::stall(std::uint32_t microseconds) {
    if (trace_.enabled()) trace_.record({clock_.now(), TraceKind::Stall, 0, microseconds, 0, {}});
    clock_.advance(static_cast<Nanoseconds>(microseconds) * kMicrosecond);
}

}  // namespace machine
