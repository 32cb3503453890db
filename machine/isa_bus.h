#pragma once
// The emulated ISA bus: the 64 K I/O port space, the memory space that windows
// (such as the socket controller's) decode, the IRQ lines and the virtual clock.
//
// A device says per port whether it answers and how wide. A 16-bit access to a
// port whose device answers only 8 bits wide is split by the bus into two byte
// accesses at P and P+1, as the ISA bus does when IOCS16# stays high. A port
// nobody decodes reads 0xFF (0xFFFF for a word) and swallows writes.
//
// Every access costs `access_cost()` of virtual time (per element for string
// accesses); the clock runs device events that fall due meanwhile.
//
// A string access is decoded once and handed to the device as one block; the
// device's decode answers are kept per port while every attached device
// reports its changes, and so is the card function that a device merely
// passes a port on to, which the bus then reaches directly. With the fast
// paths off, every access is decoded afresh, goes through every device on
// the way and every string moves element by element: the plain behaviour the
// fast paths must match exactly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "machine/card_function.h"
#include "machine/clock.h"
#include "machine/irq.h"
#include "machine/trace.h"

namespace machine {

enum class IoWidth { None, Byte, Word };

class IoDevice {
public:
    virtual ~IoDevice() = default;
    // Whether this device answers at `port` now, and whether it drives IOCS16#.
    virtual IoWidth decode(std::uint16_t port) const = 0;
    virtual std::uint8_t read8(std::uint16_t port) = 0;
    virtual void write8(std::uint16_t port, std::uint8_t value) = 0;
    // Only called for ports that decode as Word.
    virtual std::uint16_t read16(std::uint16_t port);
    virtual void write16(std::uint16_t port, std::uint16_t value);
    // `count` accesses to one port, as a string instruction makes them; the
    // word forms only for ports that decode as Word. Words are little-endian
    // byte pairs, as the host buffer may sit at an odd address. By default one
    // access after another; a device may move the block at once if the result
    // is exactly the same.
    virtual void read8_string(std::uint16_t port, std::uint8_t* data, std::size_t count);
    virtual void write8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count);
    virtual void read16_string(std::uint16_t port, std::uint8_t* data, std::size_t count);
    virtual void write16_string(std::uint16_t port, const std::uint8_t* data, std::size_t count);
    // Register name for the trace ("CR", "ISR", "I365 data [0x04]"); empty when unknown.
    virtual std::string port_name(std::uint16_t port, bool write) const;
    // True for a device that calls IsaBus::decode_changed() (or
    // decode_changes_at()) whenever its decode() answers may change: the bus
    // then remembers them per port instead of asking at every access.
    virtual bool reports_decode_changes() const { return false; }
    // The card function behind `port` when this device does nothing there
    // but pass every access on to it unchanged (a socket's open window onto
    // a ready card). Asked only of devices that report their decode changes,
    // and relied on until the next change.
    virtual FunctionPort passes_to(std::uint16_t) const { return {}; }
};

class MemoryDevice {
public:
    virtual ~MemoryDevice() = default;
    virtual bool decodes(std::uint32_t address) const = 0;
    virtual std::uint8_t read8(std::uint32_t address) = 0;
    virtual void write8(std::uint32_t address, std::uint8_t value) = 0;
};

class IsaBus {
public:
    IsaBus() = default;
    IsaBus(const IsaBus&) = delete;
    IsaBus& operator=(const IsaBus&) = delete;

    VirtualClock& clock() { return clock_; }
    IrqLines& irq() { return irq_; }
    BusTrace& trace() { return trace_; }

    // Devices are not owned. The first attached device that decodes a port wins.
    void attach(IoDevice& device);
    void detach(IoDevice& device);
    void attach(MemoryDevice& device);
    void detach(MemoryDevice& device);

    void set_access_cost(Nanoseconds cost) { access_cost_ = cost; }
    Nanoseconds access_cost() const { return access_cost_; }

    // The single byte accesses that go straight to a card function are
    // inline: they are most of what a driver does.
    std::uint8_t in8(std::uint16_t port) {
        if (const FunctionPort* to = passed_on(port)) {
            const std::uint8_t value = to->function->read8(to->offset);
            charge(1);
            return value;
        }
        return in8_slow(port);
    }
    void out8(std::uint16_t port, std::uint8_t value) {
        if (const FunctionPort* to = passed_on(port)) {
            to->function->write8(to->offset, value);
            charge(1);
            return;
        }
        out8_slow(port, value);
    }
    std::uint16_t in16(std::uint16_t port);
    void out16(std::uint16_t port, std::uint16_t value);
    // String accesses: `count` accesses to the same port, recorded as one trace entry.
    void in8_string(std::uint16_t port, std::uint8_t* data, std::size_t count);
    void out8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count);
    void in16_string(std::uint16_t port, std::uint16_t* data, std::size_t count);
    void out16_string(std::uint16_t port, const std::uint16_t* data, std::size_t count);

    // Memory space (24-bit ISA addresses). Unclaimed memory reads 0xFF.
    std::uint8_t mem_read8(std::uint32_t address);
    void mem_write8(std::uint32_t address, std::uint8_t value);

    // Records a HAL stall in the trace and advances the clock by it.
    void stall(std::uint32_t microseconds);

    // Total port accesses so far (string elements each count), for benchmarks.
    std::uint64_t port_access_count() const { return port_accesses_; }

    // For devices that report their decode changes: what the bus (and the
    // device itself) remembered of decoding is void now, or from `when` on.
    void decode_changed() { ++decode_generation_; }
    void decode_changes_at(Nanoseconds when) {
        if (when < decode_expiry_) decode_expiry_ = when;
    }
    // Tags what a device remembers of its decoding; changes with every
    // decode_changed() and once the clock reaches a decode_changes_at() time.
    std::uint64_t decode_generation() {
        if (clock_.now() >= decode_expiry_) {
            decode_expiry_ = kNever;
            ++decode_generation_;
        }
        return decode_generation_;
    }

    void set_fast_paths(bool on) {
        fast_paths_ = on;
        note_devices_changed();
    }
    bool fast_paths() const { return fast_paths_; }

private:
    static constexpr Nanoseconds kNever = ~Nanoseconds{0};
    // Direct-mapped on the low port bits; the card's and the socket
    // controller's ports do not collide.
    static constexpr std::size_t kDecodeCacheSize = 256;
    struct Decoded {
        std::uint64_t generation = 0;
        IoDevice* device = nullptr;
        FunctionPort passed;  // the function the device passes the port on to, if it does
        std::uint16_t port = 0;
        IoWidth width = IoWidth::None;
    };

    // Who answers at `port`: what is remembered when that is still good (the
    // common case, kept inline), else found by asking each device. Valid until
    // the next access. Nothing is remembered while the cache is off, and
    // turning it off moves the generation on, so no entry can match then.
    const Decoded& find(std::uint16_t port) {
        const Decoded& d = decoded_[port % kDecodeCacheSize];
        if (d.generation == decode_generation() && d.port == port) return d;
        return find_again(port);
    }
    const Decoded& find_again(std::uint16_t port);
    // The function that `port` is remembered to pass on to, when the access
    // needs nothing else of the bus: no trace entry, a decoding still good.
    const FunctionPort* passed_on(std::uint16_t port) {
        const Decoded& d = decoded_[port % kDecodeCacheSize];
        if (!d.passed || d.port != port || trace_.enabled() || d.generation != decode_generation())
            return nullptr;
        return &d.passed;
    }
    std::uint8_t in8_slow(std::uint16_t port);
    void out8_slow(std::uint16_t port, std::uint8_t value);
    IoDevice* scan(std::uint16_t port, IoWidth* width) const;
    void note_devices_changed();
    std::uint8_t raw_in8(std::uint16_t port);
    void raw_out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t raw_in16(std::uint16_t port);
    void raw_out16(std::uint16_t port, std::uint16_t value);
    std::string name_of(std::uint16_t port, bool write);
    void charge(std::size_t accesses) {
        port_accesses_ += accesses;
        if (access_cost_ != 0) clock_.advance(access_cost_ * accesses);
    }

    VirtualClock clock_;
    IrqLines irq_;
    BusTrace trace_;
    std::vector<IoDevice*> io_;
    std::vector<MemoryDevice*> memory_;
    Nanoseconds access_cost_ = 0;
    std::uint64_t port_accesses_ = 0;
    bool fast_paths_ = true;
    bool use_decode_cache_ = true;  // fast paths on, and every device reports its decode changes
    std::uint64_t decode_generation_ = 1;
    Nanoseconds decode_expiry_ = kNever;
    std::array<Decoded, kDecodeCacheSize> decoded_{};
    Decoded uncached_;  // the answer of the last lookup while nothing is remembered
};

}  // namespace machine
