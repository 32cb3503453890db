#include "machine/uart/uart8250.h"

namespace machine {

namespace {
// Modem status: the lines in the high nibble, their change flags in the low one.
constexpr std::uint8_t kMsrCts = 0x10, kMsrDsr = 0x20, kMsrRi = 0x40, kMsrDcd = 0x80;
constexpr std::uint8_t kMsrDeltaCts = 0x01, kMsrDeltaDsr = 0x02, kMsrTrailingRi = 0x04, kMsrDeltaDcd = 0x08;
constexpr std::uint8_t kMcrDtr = 0x01, kMcrRts = 0x02, kMcrOut1 = 0x04, kMcrOut2 = 0x08;

// IIR values, highest priority first.
constexpr std::uint8_t kIirLineStatus = 0x06;
constexpr std::uint8_t kIirReceivedData = 0x04;
constexpr std::uint8_t kIirTransmitterEmpty = 0x02;
constexpr std::uint8_t kIirModemStatus = 0x00;
}  // namespace

void Uart8250::hardware_reset() {
    divisor_ = 0;
    ier_ = 0;
    lcr_ = 0;
    mcr_ = 0;
    scr_ = 0;
    lsr_errors_ = 0;
    msr_deltas_ = 0;
    thr_empty_pending_ = false;
    update_interrupt();
}

std::uint8_t Uart8250::read8(std::uint16_t offset) {
    switch (offset) {
        case kRbrThrDll:
            return dlab() ? static_cast<std::uint8_t>(divisor_) : take_received_character();
        case kIerDlm:
            return dlab() ? static_cast<std::uint8_t>(divisor_ >> 8) : ier_;
        case kIir:
            return read_interrupt_identification();
        case kLcr:
            return lcr_;
        case kMcr:
            return mcr_;
        case kLsr:
            return read_line_status();
        case kMsr:
            return read_modem_status();
        case kScr:
            return scr_;
        default:
            return 0xFF;  // not one of ours; the card never routes it here
    }
}

void Uart8250::write8(std::uint16_t offset, std::uint8_t value) {
    switch (offset) {
        case kRbrThrDll:
            if (dlab())
                divisor_ = static_cast<std::uint16_t>((divisor_ & 0xFF00) | value);
            else
                transmit(value);
            break;
        case kIerDlm:
            if (dlab())
                divisor_ = static_cast<std::uint16_t>((divisor_ & 0x00FF) | value << 8);
            else
                write_interrupt_enable(value);
            break;
        case kIir:
            break;  // read-only on the 8250 (it has no FIFO control register)
        case kLcr:
            lcr_ = value;
            break;
        case kMcr:
            write_modem_control(value);
            break;
        case kLsr:
            break;  // factory test register; writes have no effect here
        case kMsr:
            break;
        case kScr:
            scr_ = value;
            break;
        default:
            break;
    }
}

std::string Uart8250::port_name(std::uint16_t offset, bool write) const {
    switch (offset) {
        case kRbrThrDll:
            return dlab() ? "DLL" : (write ? "THR" : "RBR");
        case kIerDlm:
            return dlab() ? "DLM" : "IER";
        case kIir:
            return "IIR";
        case kLcr:
            return "LCR";
        case kMcr:
            return "MCR";
        case kLsr:
            return "LSR";
        case kMsr:
            return "MSR";
        case kScr:
            return "SCR";
        default:
            return {};
    }
}

void Uart8250::queue_received(const std::vector<std::uint8_t>& chars) {
    line_.insert(line_.end(), chars.begin(), chars.end());
    update_interrupt();
}

void Uart8250::set_data_ready_stuck(bool stuck) {
    data_ready_stuck_ = stuck;
    update_interrupt();
}

void Uart8250::signal_line_error(std::uint8_t lsr_bits) {
    lsr_errors_ |= static_cast<std::uint8_t>(lsr_bits & kLsrErrors);
    update_interrupt();
}

std::uint8_t Uart8250::line_status() const {
    std::uint8_t v = static_cast<std::uint8_t>(kLsrThrEmpty | kLsrTransmitterEmpty | lsr_errors_);
    if (data_ready()) v |= kLsrDataReady;
    return v;
}

std::uint8_t Uart8250::modem_status() const {
    std::uint8_t lines = 0;
    if (mcr_ & kMcrLoop) {
        // Loopback ties the modem-control outputs back to the status inputs.
        if (mcr_ & kMcrRts) lines |= kMsrCts;
        if (mcr_ & kMcrDtr) lines |= kMsrDsr;
        if (mcr_ & kMcrOut1) lines |= kMsrRi;
        if (mcr_ & kMcrOut2) lines |= kMsrDcd;
    }
    // Outside loopback nothing is attached to the modem inputs: all inactive.
    return static_cast<std::uint8_t>(lines | msr_deltas_);
}

std::uint8_t Uart8250::interrupt_identification() const {
    if ((ier_ & kIerLineStatus) && lsr_errors_) return kIirLineStatus;
    if ((ier_ & kIerReceivedData) && data_ready()) return kIirReceivedData;
    if ((ier_ & kIerTransmitterEmpty) && thr_empty_pending_) return kIirTransmitterEmpty;
    if ((ier_ & kIerModemStatus) && msr_deltas_) return kIirModemStatus;
    return kIirNonePending;
}

std::uint8_t Uart8250::take_received_character() {
    ++rbr_reads_;
    std::uint8_t c = 0x00;  // a stuck receiver with nothing behind it yields zeros
    if (!line_.empty()) {
        c = line_.front();
        line_.pop_front();
    }
    update_interrupt();
    return c;
}

void Uart8250::transmit(std::uint8_t c) {
    // The character leaves at once, so the holding register is empty again
    // straight away and the transmitter-empty interrupt is due once more.
    if (mcr_ & kMcrLoop)
        line_.push_back(c);
    else
        transmitted_.push_back(c);
    thr_empty_pending_ = true;
    update_interrupt();
}

void Uart8250::write_interrupt_enable(std::uint8_t value) {
    const bool thre_newly_enabled = !(ier_ & kIerTransmitterEmpty) && (value & kIerTransmitterEmpty);
    ier_ = value & 0x0F;  // the upper four bits do not exist and read as zero
    // Enabling the transmitter-empty cause while the holding register is empty
    // interrupts at once; that is how drivers prime a transmission.
    if (thre_newly_enabled) thr_empty_pending_ = true;
    update_interrupt();
}

void Uart8250::write_modem_control(std::uint8_t value) {
    const std::uint8_t before = modem_status();
    mcr_ = value & 0x1F;
    const std::uint8_t after = modem_status();
    const std::uint8_t changed = static_cast<std::uint8_t>(before ^ after);
    if (changed & kMsrCts) msr_deltas_ |= kMsrDeltaCts;
    if (changed & kMsrDsr) msr_deltas_ |= kMsrDeltaDsr;
    if ((before & kMsrRi) && !(after & kMsrRi)) msr_deltas_ |= kMsrTrailingRi;
    if (changed & kMsrDcd) msr_deltas_ |= kMsrDeltaDcd;
    update_interrupt();
}

std::uint8_t Uart8250::read_line_status() {
    const std::uint8_t v = line_status();
    lsr_errors_ = 0;  // error bits are cleared by reading them
    update_interrupt();
    return v;
}

std::uint8_t Uart8250::read_modem_status() {
    const std::uint8_t v = modem_status();
    msr_deltas_ = 0;
    update_interrupt();
    return v;
}

std::uint8_t Uart8250::read_interrupt_identification() {
    const std::uint8_t v = interrupt_identification();
    // Of all causes only transmitter-empty is acknowledged by reading IIR; the
    // others clear at their source (LSR, RBR, MSR).
    if (v == kIirTransmitterEmpty) thr_empty_pending_ = false;
    update_interrupt();
    return v;
}

void Uart8250::update_interrupt() {
    set_interrupt(interrupt_identification() != kIirNonePending);
}

}  // namespace machine
