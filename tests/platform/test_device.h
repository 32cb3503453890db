#pragma once
// A small interrupting device for the stand-in's tests, five ports from its base:
//   +0 CAUSE  read: pending causes; write: clears the causes written as 1
//   +1 MASK   read/write: the interrupt output is (CAUSE & MASK) != 0
//   +2 PAGE   read/write: stands for a register-page select
//   +3 RAISE  write: sets causes (as if the hardware had an event)
// and a memory range that records stores, so tests can see the order in which
// memory cycles and port writes reach the bus.

#include <cstdint>
#include <string>
#include <vector>

#include "machine/isa_bus.h"

namespace testdev {

constexpr std::uint16_t kCause = 0, kMask = 1, kPage = 2, kRaise = 3;

class Device : public machine::IoDevice {
public:
    Device(machine::IsaBus& bus, std::uint16_t base, int line) : bus_(bus), base_(base) {
        source_ = bus.irq().add_source("test device");
        bus.irq().steer(source_, line);
        bus.attach(*this);
    }
    ~Device() override { bus_.detach(*this); }

    machine::IoWidth decode(std::uint16_t port) const override {
        return port >= base_ && port < base_ + 4 ? machine::IoWidth::Byte : machine::IoWidth::None;
    }
    std::uint8_t read8(std::uint16_t port) override {
        switch (port - base_) {
            case kCause:
                return cause;
            case kMask:
                return mask;
            case kPage:
                return page;
            default:
                return 0xFF;
        }
    }
    void write8(std::uint16_t port, std::uint8_t value) override {
        if (sequence)
            sequence->push_back("port " + std::to_string(port - base_) + "=" + std::to_string(value));
        switch (port - base_) {
            case kCause:
                cause &= static_cast<std::uint8_t>(~value);
                break;
            case kMask:
                mask = value;
                break;
            case kPage:
                page = value;
                break;
            case kRaise:
                cause |= value;
                break;
        }
        update();
    }

    // Test side: an event of the hardware now, or at a virtual time.
    void raise(std::uint8_t bits) {
        cause |= bits;
        update();
    }
    void raise_at(machine::Nanoseconds when, std::uint8_t bits) {
        bus_.clock().schedule_at(when, [this, bits] { raise(bits); });
    }
    bool output() const { return (cause & mask) != 0; }

    std::uint8_t cause = 0, mask = 0, page = 0;
    std::vector<std::string>* sequence = nullptr;

private:
    void update() { bus_.irq().drive(source_, output()); }

    machine::IsaBus& bus_;
    std::uint16_t base_;
    machine::IrqLines::SourceId source_;
};

class RecordingMemory : public machine::MemoryDevice {
public:
    RecordingMemory(machine::IsaBus& bus, std::uint32_t base, std::uint32_t size)
        : bus_(bus), base_(base), bytes_(size, 0x11) {
        bus.attach(*this);
    }
    ~RecordingMemory() override { bus_.detach(*this); }
    bool decodes(std::uint32_t a) const override { return a >= base_ && a - base_ < bytes_.size(); }
    std::uint8_t read8(std::uint32_t a) override { return bytes_[a - base_]; }
    void write8(std::uint32_t a, std::uint8_t v) override {
        bytes_[a - base_] = v;
        if (sequence) sequence->push_back("mem " + std::to_string(a - base_) + "=" + std::to_string(v));
    }
    std::vector<std::string>* sequence = nullptr;

private:
    machine::IsaBus& bus_;
    std::uint32_t base_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace testdev
