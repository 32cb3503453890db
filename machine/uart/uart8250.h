#pragma once
// The PC Card's serial function: an 8250 UART, eight ports from wherever the
// card's configuration places it.
//
// The line side is kept simple. A character written to THR leaves at once, so
// the transmitter is always empty again after a write. Received characters
// wait in a queue that stands for the line: the register file holds one at a
// time, the next one arrives as soon as the previous is read, and nothing is
// lost to overrun. A card reset clears the registers but not the line, so
// characters that were on their way before a bring-up are still there after it
// (which is exactly the situation the driver's drain exists for).

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "machine/card_function.h"

namespace machine {

class Uart8250 : public CardFunction {
public:
    // Register offsets.
    static constexpr std::uint16_t kRbrThrDll = 0;
    static constexpr std::uint16_t kIerDlm = 1;
    static constexpr std::uint16_t kIir = 2;
    static constexpr std::uint16_t kLcr = 3;
    static constexpr std::uint16_t kMcr = 4;
    static constexpr std::uint16_t kLsr = 5;
    static constexpr std::uint16_t kMsr = 6;
    static constexpr std::uint16_t kScr = 7;

    // Bits.
    static constexpr std::uint8_t kLcrDlab = 0x80;
    static constexpr std::uint8_t kIerReceivedData = 0x01;
    static constexpr std::uint8_t kIerTransmitterEmpty = 0x02;
    static constexpr std::uint8_t kIerLineStatus = 0x04;
    static constexpr std::uint8_t kIerModemStatus = 0x08;
    static constexpr std::uint8_t kLsrDataReady = 0x01;
    static constexpr std::uint8_t kLsrErrors = 0x1E;  // overrun, parity, framing, break
    static constexpr std::uint8_t kLsrThrEmpty = 0x20;
    static constexpr std::uint8_t kLsrTransmitterEmpty = 0x40;
    static constexpr std::uint8_t kMcrLoop = 0x10;
    static constexpr std::uint8_t kIirNonePending = 0x01;

    Uart8250() { hardware_reset(); }

    std::uint16_t port_count() const override { return 8; }
    std::uint8_t read8(std::uint16_t offset) override;
    void write8(std::uint16_t offset, std::uint8_t value) override;
    std::string port_name(std::uint16_t offset, bool write) const override;
    void hardware_reset() override;

    // --- The line (test side) ---
    // Characters arriving from the remote end; the first is in RBR at once.
    void queue_received(const std::vector<std::uint8_t>& chars);
    void queue_received(std::uint8_t c) { queue_received(std::vector<std::uint8_t>{c}); }
    // Fault: the receiver reports data ready forever (a stuck or floating line).
    // RBR then reads 0x00 whenever no real character is waiting.
    void set_data_ready_stuck(bool stuck);
    // A receive error (LSR bits 0x02-0x10) latched until LSR is read.
    void signal_line_error(std::uint8_t lsr_bits);
    // Everything written to THR outside loopback mode.
    const std::vector<std::uint8_t>& transmitted() const { return transmitted_; }

    // --- Inspection ---
    std::uint16_t divisor() const { return divisor_; }
    std::uint8_t line_control() const { return lcr_; }
    std::uint8_t interrupt_enable() const { return ier_; }
    std::uint8_t modem_control() const { return mcr_; }
    std::size_t characters_waiting() const { return line_.size(); }
    std::uint64_t receive_buffer_reads() const { return rbr_reads_; }

private:
    bool dlab() const { return (lcr_ & kLcrDlab) != 0; }
    bool data_ready() const { return !line_.empty() || data_ready_stuck_; }
    std::uint8_t line_status() const;
    std::uint8_t modem_status() const;
    // The highest-priority enabled cause, as IIR encodes it.
    std::uint8_t interrupt_identification() const;

    std::uint8_t take_received_character();
    void transmit(std::uint8_t c);
    void write_interrupt_enable(std::uint8_t value);
    void write_modem_control(std::uint8_t value);
    std::uint8_t read_line_status();
    std::uint8_t read_modem_status();
    std::uint8_t read_interrupt_identification();
    void update_interrupt();

    // Registers.
    std::uint16_t divisor_ = 0;
    std::uint8_t ier_ = 0;
    std::uint8_t lcr_ = 0;
    std::uint8_t mcr_ = 0;
    std::uint8_t scr_ = 0;
    std::uint8_t lsr_errors_ = 0;
    std::uint8_t msr_deltas_ = 0;
    // THRE interrupt: raised when the holding register empties (or the cause is
    // enabled while it is empty), cleared by reading IIR while it is the cause
    // shown, or by writing THR.
    bool thr_empty_pending_ = false;

    // The line.
    std::deque<std::uint8_t> line_;
    bool data_ready_stuck_ = false;
    std::vector<std::uint8_t> transmitted_;
    std::uint64_t rbr_reads_ = 0;
};

}  // namespace machine
