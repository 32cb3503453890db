#pragma once
// The two-function PC Card: an Ethernet controller and an 8250 UART sharing one
// card edge. The card itself is little more than its configuration registers in
// attribute memory, which decide where each function answers and how each
// function's interrupt leaves the card:
//
//   0x3F8  configuration option  0x20 enables both functions; bits 1-0 place
//                                the Ethernet function at 0x300/0x320/0x340/0x360,
//                                bits 3-2 the UART at 0x3F8/0x2F8/0x3E8/0x2E8
//   0x3FA  configuration status  0x40 SigChg: the Ethernet interrupt drives
//                                STSCHG#; 0x08 audio (accepted, no effect);
//                                reads 0x02 (Intr) while the Ethernet function
//                                requests an interrupt
//   0x3F2  serial control        0x08 routes the UART interrupt onto IREQ#
//
// Attribute memory is byte-wide on even addresses only; odd addresses and
// everything else of it read 0xFF. The card decodes the low 12 bits of the
// attribute address. A card reset (RESET asserted, or power switched) clears
// the configuration, so both functions vanish until the driver configures the
// card again, and resets the functions themselves.

#include <cstdint>
#include <functional>

#include "machine/card_function.h"
#include "machine/clock.h"

namespace machine {

class TwoFunctionCard {
public:
    static constexpr std::uint32_t kConfigurationOption = 0x3F8;
    static constexpr std::uint32_t kConfigurationStatus = 0x3FA;
    static constexpr std::uint32_t kSerialControl = 0x3F2;

    static constexpr std::uint8_t kFunctionsEnabled = 0x20;
    static constexpr std::uint8_t kSigChg = 0x40;
    static constexpr std::uint8_t kAudio = 0x08;
    static constexpr std::uint8_t kIntr = 0x02;
    static constexpr std::uint8_t kSerialInterruptToIreq = 0x08;
    // With realistic timing: how long the card keeps READY low after it comes
    // out of reset. A PC Card host must allow 20 ms after RESET is released
    // before it touches the card; this card takes all of it.
    static constexpr Nanoseconds kBusyAfterReset = 20 * kMillisecond;

    using PortTarget = FunctionPort;

    TwoFunctionCard(CardFunction& ethernet, CardFunction& uart);
    ~TwoFunctionCard();
    TwoFunctionCard(const TwoFunctionCard&) = delete;
    TwoFunctionCard& operator=(const TwoFunctionCard&) = delete;

    // --- The socket's side of the card edge ---
    // Vcc with the socket's outputs enabled. Switching power either way resets the card.
    void set_powered(bool on);
    // The RESET pin. Asserting it resets the card; the card stays dead until it is released.
    void set_reset(bool asserted);
    bool powered() const { return powered_; }
    bool in_reset() const { return in_reset_; }
    bool operational() const { return powered_ && !in_reset_; }
    // From now on the card is busy for `busy` each time it comes out of reset
    // (RESET released with power on, or power applied with RESET released).
    void set_busy_after_reset(const VirtualClock& clock, Nanoseconds busy) {
        clock_ = &clock;
        busy_after_reset_ = busy;
    }
    // Operational and past its busy time: what the socket shows as READY.
    bool ready() const { return operational() && (clock_ == nullptr || clock_->now() >= ready_at_); }
    // When an operational card that is still busy becomes ready.
    Nanoseconds ready_at() const { return ready_at_; }

    // The function that answers at a host I/O port, if the configuration placed one there.
    PortTarget function_at(std::uint16_t port) const;
    // `address` is the card's attribute-memory address as the socket presents it.
    std::uint8_t read_attribute(std::uint32_t address) const;
    void write_attribute(std::uint32_t address, std::uint8_t value);

    // Output signals, true = asserted (the pins themselves are active low).
    bool ireq() const;
    bool stschg() const;
    // Called whenever IREQ# or STSCHG# may have changed.
    void on_signals_change(std::function<void()> listener) { signals_listener_ = std::move(listener); }
    // Called whenever the ports the card answers may have changed: the
    // configuration option written, power or RESET switched (which also
    // starts a busy time). Readiness at the end of a busy time is not reported.
    void on_layout_change(std::function<void()> listener) { layout_listener_ = std::move(listener); }

    // --- Inspection ---
    CardFunction& ethernet() { return ethernet_; }
    CardFunction& uart() { return uart_; }
    std::uint8_t configuration_option() const { return option_; }
    std::uint8_t configuration_status() const { return status_; }
    std::uint8_t serial_control() const { return serial_control_; }
    bool functions_enabled() const { return operational() && (option_ & kFunctionsEnabled); }
    std::uint16_t ethernet_base() const;
    std::uint16_t uart_base() const;

private:
    void reset();
    void signals_changed();
    void layout_changed();
    void note_reset_released(bool was_operational);

    CardFunction& ethernet_;
    CardFunction& uart_;
    bool powered_ = false;
    bool in_reset_ = false;
    std::uint8_t option_ = 0;
    std::uint8_t status_ = 0;
    std::uint8_t serial_control_ = 0;
    std::function<void()> signals_listener_;
    std::function<void()> layout_listener_;
    const VirtualClock* clock_ = nullptr;
    Nanoseconds busy_after_reset_ = 0;
    Nanoseconds ready_at_ = 0;
};

}  // namespace machine
