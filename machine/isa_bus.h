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

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    // Register name for the trace ("CR", "ISR", "I365 data [0x04]"); empty when unknown.
    virtual std::string port_name(std::uint16_t port, bool write) const;
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

    std::uint8_t in8(std::uint16_t port);
    void out8(std::uint16_t port, std::uint8_t value);
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

private:
    IoDevice* find(std::uint16_t port, IoWidth* width) const;
    std::uint8_t raw_in8(std::uint16_t port);
    void raw_out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t raw_in16(std::uint16_t port);
    void raw_out16(std::uint16_t port, std::uint16_t value);
    std::string name_of(std::uint16_t port, bool write) const;
    void charge(std::size_t accesses);

    VirtualClock clock_;
    IrqLines irq_;
    BusTrace trace_;
    std::vector<IoDevice*> io_;
    std::vector<MemoryDevice*> memory_;
    Nanoseconds access_cost_ = 0;
    std::uint64_t port_accesses_ = 0;
};

}  // namespace machine
