#pragma once
// One function of a multi-function PC Card (the Ethernet controller, the UART):
// a block of I/O ports addressed relative to where the card's configuration
// placed it, and an interrupt output that the card routes (to IREQ# or to
// STSCHG#). The card and its socket decide whether the function is reachable at
// all; the function itself only sees offsets.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace machine {

class CardFunction;

// Where a host port lands on a card: the function and the offset in its block.
struct FunctionPort {
    CardFunction* function = nullptr;
    std::uint16_t offset = 0;
    explicit operator bool() const { return function != nullptr; }
};

class CardFunction {
public:
    virtual ~CardFunction() = default;

    virtual std::uint16_t port_count() const = 0;
    virtual std::uint8_t read8(std::uint16_t offset) = 0;
    virtual void write8(std::uint16_t offset, std::uint8_t value) = 0;
    // Whether the function drives IOIS16# at this offset: a 16-bit access there
    // is one word cycle when the socket's window lets the card choose the width.
    virtual bool word_port(std::uint16_t) const { return false; }
    virtual std::uint16_t read16(std::uint16_t offset) {
        const std::uint8_t lo = read8(offset);
        return static_cast<std::uint16_t>(lo | read8(static_cast<std::uint16_t>(offset + 1)) << 8);
    }
    virtual void write16(std::uint16_t offset, std::uint16_t value) {
        write8(offset, static_cast<std::uint8_t>(value));
        write8(static_cast<std::uint16_t>(offset + 1), static_cast<std::uint8_t>(value >> 8));
    }
    // `count` accesses to one offset, as the socket passes a string
    // instruction on; the word forms only where a word cycle reaches the
    // function. Words are little-endian byte pairs (the host buffer may sit at
    // an odd address). By default one access after another; a function may
    // move the block at once if the result is exactly the same.
    virtual void read8_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) data[i] = read8(offset);
    }
    virtual void write8_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) write8(offset, data[i]);
    }
    virtual void read16_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t word = read16(offset);
            data[2 * i] = static_cast<std::uint8_t>(word);
            data[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
        }
    }
    virtual void write16_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            write16(offset, static_cast<std::uint16_t>(data[2 * i] | data[2 * i + 1] << 8));
    }
    // Register name for the bus trace; empty when the offset has none.
    virtual std::string port_name(std::uint16_t, bool) const { return {}; }
    // The card's RESET line or a power cycle: back to the power-up state.
    virtual void hardware_reset() {}

    bool interrupt() const { return interrupt_; }
    void on_interrupt_change(std::function<void(bool)> listener) { listener_ = std::move(listener); }

    // Accesses the hardware would not accept from a correct driver.
    const std::vector<std::string>& violations() const { return violations_; }
    void clear_violations() { violations_.clear(); }

protected:
    void set_interrupt(bool level) {
        if (level == interrupt_) return;
        interrupt_ = level;
        if (listener_) listener_(level);
    }
    void violation(std::string what) { violations_.push_back(std::move(what)); }

private:
    bool interrupt_ = false;
    std::function<void(bool)> listener_;
    std::vector<std::string> violations_;
};

}  // namespace machine
