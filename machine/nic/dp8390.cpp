// The DP8390's register file, command register and interrupt logic, and the
// NE2000 ASIC's port decoding around them. Remote DMA, transmission and
// reception are in their own files.

#include "machine/nic/dp8390.h"

#include <algorithm>
#include <cstdio>

#include "machine/nic/dp8390_registers.h"

namespace machine {

using namespace dp8390;

namespace {

// Registers are decoded by page and offset: 0xPR.
constexpr unsigned at(unsigned page, unsigned reg) {
    return page << 4 | reg;
}

constexpr const char* kPage0ReadNames[16] = {"CR",   "CLDA0", "CLDA1", "BNRY",  "TSR", "NCR",
                                             "FIFO", "ISR",   "CRDA0", "CRDA1", "",    "",
                                             "RSR",  "CNTR0", "CNTR1", "CNTR2"};
constexpr const char* kPage0WriteNames[16] = {"CR",    "PSTART", "PSTOP", "BNRY",  "TPSR",  "TBCR0",
                                              "TBCR1", "ISR",    "RSAR0", "RSAR1", "RBCR0", "RBCR1",
                                              "RCR",   "TCR",    "DCR",   "IMR"};
constexpr const char* kPage1Names[16] = {"CR",   "PAR0", "PAR1", "PAR2", "PAR3", "PAR4", "PAR5", "CURR",
                                         "MAR0", "MAR1", "MAR2", "MAR3", "MAR4", "MAR5", "MAR6", "MAR7"};
// Page 2 is the diagnostic view of the page-0 write-only registers.
constexpr const char* kPage2Names[16] = {"CR", "PSTART", "PSTOP", "RNPP", "TPSR", "LNPP", "ACU", "ACL",
                                         "",   "",       "",      "",     "RCR",  "TCR",  "DCR", "IMR"};

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

}  // namespace

Dp8390::Dp8390(VirtualClock& clock, Dp8390Config config) : clock_(clock), config_(config), memory_(config_) {
    transmit_frame_.reserve(1536);
    power_up_registers();
}

Dp8390::~Dp8390() {
    if (transmit_event_ != 0) clock_.cancel(transmit_event_);
    if (reset_event_ != 0) clock_.cancel(reset_event_);
}

std::uint16_t Dp8390::port_count() const {
    return kPortCount;
}

bool Dp8390::word_port(std::uint16_t offset) const {
    return config_.drives_iois16 && offset >= kDataPort && offset < kResetPort;
}

std::uint8_t Dp8390::read8(std::uint16_t offset) {
    if (offset < kDataPort) return read_register(offset);
    if (offset < kResetPort) return read_data8();
    if (offset < kPortCount) {
        // The ASIC pulses the controller's RESET pin on any read of the reset port.
        reset_chip(config_.realistic_timing ? kResetPortSettle : 0);
        return 0x00;
    }
    return 0xFF;
}

void Dp8390::write8(std::uint16_t offset, std::uint8_t value) {
    if (offset < kDataPort)
        write_register(offset, value);
    else if (offset < kResetPort)
        write_data8(value);
    // Writes to the reset port only end the pulse the read began: nothing to do.
}

std::uint16_t Dp8390::read16(std::uint16_t offset) {
    if (offset >= kDataPort && offset < kResetPort) return read_data16();
    return CardFunction::read16(offset);
}

void Dp8390::write16(std::uint16_t offset, std::uint16_t value) {
    if (offset >= kDataPort && offset < kResetPort)
        write_data16(value);
    else
        CardFunction::write16(offset, value);
}

void Dp8390::read8_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) {
    if (offset >= kDataPort && offset < kResetPort)
        read_data_string(data, count, false);
    else
        CardFunction::read8_string(offset, data, count);
}

void Dp8390::write8_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) {
    if (offset >= kDataPort && offset < kResetPort)
        write_data_string(data, count, false);
    else
        CardFunction::write8_string(offset, data, count);
}

void Dp8390::read16_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) {
    if (offset >= kDataPort && offset < kResetPort)
        read_data_string(data, count, true);
    else
        CardFunction::read16_string(offset, data, count);
}

void Dp8390::write16_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) {
    if (offset >= kDataPort && offset < kResetPort)
        write_data_string(data, count, true);
    else
        CardFunction::write16_string(offset, data, count);
}

std::string Dp8390::port_name(std::uint16_t offset, bool write) const {
    if (offset >= kPortCount) return {};
    if (offset >= kResetPort) return "RESET";
    if (offset >= kDataPort) return "DATA";
    switch (page_) {
        case 0:
            return write ? kPage0WriteNames[offset] : kPage0ReadNames[offset];
        case 1:
            return kPage1Names[offset];
        case 2:
            return kPage2Names[offset];
        default:
            return offset == kCommand ? "CR" : "";
    }
}

std::uint8_t Dp8390::read_register(std::uint16_t reg) {
    if (reg == kCommand) return command_value();
    switch (at(page_, reg)) {
        case at(0, CLDA0):
            return static_cast<std::uint8_t>(clda_);
        case at(0, CLDA1):
            return static_cast<std::uint8_t>(clda_ >> 8);
        case at(0, BNRY):
            return bnry_;
        case at(0, TSR):
            return tsr_;
        case at(0, NCR):
            return ncr_;
        case at(0, ISR):
            return isr_;
        case at(0, CRDA0):
            return static_cast<std::uint8_t>(crda_);
        case at(0, CRDA1):
            return static_cast<std::uint8_t>(crda_ >> 8);
        case at(0, RSR):
            return rsr_;
        case at(0, CNTR0):
            return read_and_clear(cntr_alignment_);
        case at(0, CNTR1):
            return read_and_clear(cntr_crc_);
        case at(0, CNTR2):
            return read_and_clear(cntr_missed_);

        case at(1, PAR0):
        case at(1, PAR0 + 1):
        case at(1, PAR0 + 2):
        case at(1, PAR0 + 3):
        case at(1, PAR0 + 4):
        case at(1, PAR0 + 5):
            return par_[reg - PAR0];
        case at(1, CURR):
            return curr_;
        case at(1, MAR0):
        case at(1, MAR0 + 1):
        case at(1, MAR0 + 2):
        case at(1, MAR0 + 3):
        case at(1, MAR0 + 4):
        case at(1, MAR0 + 5):
        case at(1, MAR0 + 6):
        case at(1, MAR0 + 7):
            return mar_[reg - MAR0];

        case at(2, PSTART):
            return pstart_;
        case at(2, PSTOP):
            return pstop_;
        case at(2, TPSR):
            return tpsr_;
        case at(2, RCR):
            return rcr_;
        case at(2, TCR):
            return tcr_;
        case at(2, DCR):
            return dcr_;
        case at(2, IMR):
            return imr_;

        default:
            return 0x00;  // FIFO, reserved offsets, the rest of pages 2 and 3
    }
}

void Dp8390::write_register(std::uint16_t reg, std::uint8_t value) {
    if (reg == kCommand) {
        write_command(value);
        return;
    }
    switch (at(page_, reg)) {
        case at(0, PSTART):
            write_ring_bound(pstart_, value, "PSTART");
            break;
        case at(0, PSTOP):
            write_ring_bound(pstop_, value, "PSTOP");
            break;
        case at(0, BNRY):
            write_boundary(value);
            break;
        case at(0, TPSR):
            tpsr_ = value;
            break;
        case at(0, TBCR0):
            tbcr_ = static_cast<std::uint16_t>((tbcr_ & 0xFF00) | value);
            break;
        case at(0, TBCR1):
            tbcr_ = static_cast<std::uint16_t>((tbcr_ & 0x00FF) | value << 8);
            break;
        case at(0, ISR):
            clear_isr(value);
            break;
        // Writing the start address loads the current-address counter directly.
        case at(0, RSAR0):
            crda_ = static_cast<std::uint16_t>((crda_ & 0xFF00) | value);
            break;
        case at(0, RSAR1):
            crda_ = static_cast<std::uint16_t>((crda_ & 0x00FF) | value << 8);
            break;
        case at(0, RBCR0):
            rbcr_ = static_cast<std::uint16_t>((rbcr_ & 0xFF00) | value);
            note_remote_count_write(reg, value);
            break;
        case at(0, RBCR1):
            rbcr_ = static_cast<std::uint16_t>((rbcr_ & 0x00FF) | value << 8);
            note_remote_count_write(reg, value);
            break;
        case at(0, RCR):
            rcr_ = value & 0x3F;
            break;
        case at(0, TCR):
            write_transmit_config(value);
            break;
        case at(0, DCR):
            dcr_ = value & 0x7F;
            break;
        case at(0, IMR):
            imr_ = value & ISR_CAUSES;
            update_interrupt();
            break;

        case at(1, PAR0):
        case at(1, PAR0 + 1):
        case at(1, PAR0 + 2):
        case at(1, PAR0 + 3):
        case at(1, PAR0 + 4):
        case at(1, PAR0 + 5):
            par_[reg - PAR0] = value;
            break;
        case at(1, CURR):
            write_current_page(value);
            break;
        case at(1, MAR0):
        case at(1, MAR0 + 1):
        case at(1, MAR0 + 2):
        case at(1, MAR0 + 3):
        case at(1, MAR0 + 4):
        case at(1, MAR0 + 5):
        case at(1, MAR0 + 6):
        case at(1, MAR0 + 7):
            mar_[reg - MAR0] = value;
            break;

        default:
            break;  // pages 2 and 3 are read-only here
    }
}

// CR reads back as written, except that STA/STP keep their state through a
// write that sets neither, and TXP stays set exactly while a frame is going out.
std::uint8_t Dp8390::command_value() const {
    return static_cast<std::uint8_t>(page_ << 6 | remote_bits_ | (transmitting_ ? CR_TXP : 0) | run_bits_);
}

void Dp8390::write_command(std::uint8_t value) {
    page_ = static_cast<std::uint8_t>(value >> 6);
    if (value & (CR_STP | CR_STA)) {
        run_bits_ = value & (CR_STP | CR_STA);
        if (value & CR_STP)
            stop();  // STP wins when both are written
        else
            start();
    }
    write_remote_command(value);
    if (value & CR_TXP) transmit_command();
}

// RD2-RD0: 1xx completes or aborts the remote DMA, 001-011 start a remote
// read, write or send-packet, and 000 is no command at all. Only an abort may
// end a remote DMA that has bytes left: a new command (or a write of 000)
// cuts in on the transfer the host is still making.
void Dp8390::write_remote_command(std::uint8_t value) {
    remote_bits_ = value & CR_RD_MASK;
    if (remote_bits_ & CR_RD_ABORT) {
        abort_remote_dma();
        return;
    }
    // Tolerated: the probing of a Micro Channel card writes CR = 0x00 over
    // the remote read it started only to wake the chip, and reprograms the
    // chip and aborts that read right after.
    if (remote_ != RemoteDma::Idle && value != 0x00) report_remote_cut_in(value);
    if (remote_bits_ == CR_RD_READ)
        start_remote_dma(RemoteDma::Read);
    else if (remote_bits_ == CR_RD_WRITE)
        start_remote_dma(RemoteDma::Write);
    else if (remote_bits_ == CR_RD_SEND)
        start_send_packet();
}

// Kept apart from the command path, which runs at every CR write, so that
// path need not make room for building the message.
void Dp8390::report_remote_cut_in(std::uint8_t value) {
    violation("CR " + hex2(value) +
              (remote_bits_ == 0 ? " (no remote command)" : " starts a remote command") +
              " over an unfinished remote " + (remote_ == RemoteDma::Read ? "read" : "write"));
}

// TXP is honoured only by a running chip with its transmitter idle; anything
// else is a driver that lost track of its transmitter, and nothing is sent.
void Dp8390::transmit_command() {
    if (!started_)
        violation("TXP while the chip is stopped");
    else if (transmitting_)
        violation("TXP while a frame is still going out");
    else
        start_transmission();
}

// Leaving loopback ends an overflow recovery; it must come after the ring
// was emptied, or frames arrive into a ring still full.
void Dp8390::write_transmit_config(std::uint8_t value) {
    const bool was_loopback = (tcr_ & TCR_LOOPBACK) != 0;
    tcr_ = value & 0x1F;
    if (recovery_ != OverflowRecovery::Draining || !was_loopback || (tcr_ & TCR_LOOPBACK)) return;
    if (!ring_drained_)
        violation("overflow recovery left loopback before draining the ring (BNRY has not moved)");
    recovery_ = OverflowRecovery::None;
}

// The local DMA reads the ring bounds while it runs: they may change only
// while the chip is stopped.
void Dp8390::write_ring_bound(std::uint8_t& bound, std::uint8_t value, const char* name) {
    if (started_) violation(std::string(name) + " <- " + hex2(value) + " while the chip runs");
    bound = value;
    ring_reported_ = false;
}

void Dp8390::note_remote_count_write(std::uint16_t reg, std::uint8_t value) {
    if (started_) return;
    (reg == RBCR0 ? remote_count_low_cleared_ : remote_count_high_cleared_) = value == 0;
}

// A chip that runs already has no stop to finish and no RST still to show;
// only an RST that a ring overflow raised goes.
void Dp8390::start() {
    isr_ &= static_cast<std::uint8_t>(~ISR_RST);
    if (started_) return;
    started_ = true;
    receive_through_.reset();
    if (reset_event_ != 0) clock_.cancel(reset_event_);
    reset_event_ = 0;
    if (recovery_ == OverflowRecovery::AwaitingRestart) check_overflow_restart();
}

// The restart after an overflow, each step it missed named.
void Dp8390::check_overflow_restart() {
    const Nanoseconds waited = clock_.now() - stopped_at_;
    if (waited < kOverflowStopWait)
        violation("overflow recovery restarted the chip " + std::to_string(waited / kMicrosecond) +
                  " us after the stop, without the 1.6 ms wait");
    if (!remote_count_low_cleared_ || !remote_count_high_cleared_)
        violation("overflow recovery restarted the chip without clearing RBCR0 and RBCR1");
    if (!(tcr_ & TCR_LOOPBACK))
        violation("overflow recovery restarted the chip without internal loopback (TCR LB0)");
    recovery_ = OverflowRecovery::Draining;
}

// A reception or transmission under way runs to its end; the chip then stays
// offline. RST shows the stopped state -- with realistic timing only once
// those have ended. A frame still waiting for the medium never starts.
void Dp8390::stop() {
    const bool was_started = started_;
    started_ = false;
    if (transmit_deferred_) drop_deferred_transmission();
    if (!was_started) {
        if (reset_event_ == 0) raise_isr(ISR_RST);  // a reset still settling shows RST when it is over
        return;
    }
    stopped_at_ = clock_.now();
    remote_count_low_cleared_ = remote_count_high_cleared_ = false;
    if (recovery_ != OverflowRecovery::None) recovery_ = OverflowRecovery::AwaitingRestart;
    if (!config_.realistic_timing) {
        raise_isr(ISR_RST);
        return;
    }
    Nanoseconds at_rest = clock_.now();
    if (const std::optional<Nanoseconds> end = reception_in_progress_end()) {
        receive_through_ = *end;
        at_rest = std::max(at_rest, *end);
    }
    if (transmitting_) at_rest = std::max(at_rest, transmit_ends_);
    show_reset_at(at_rest);
}

void Dp8390::show_reset_at(Nanoseconds when) {
    if (reset_event_ != 0) clock_.cancel(reset_event_);
    reset_event_ = 0;
    if (when <= clock_.now()) {
        raise_isr(ISR_RST);
        return;
    }
    reset_event_ = clock_.schedule_at(when, [this] {
        reset_event_ = 0;
        raise_isr(ISR_RST);
    });
}

// What the ASIC's reset port does to the controller: stopped, page 0, remote
// DMA aborted, every interrupt source masked, an overflow forgotten. A frame
// going out is cut off. RST shows after `settle`.
void Dp8390::reset_chip(Nanoseconds settle) {
    page_ = 0;
    run_bits_ = CR_STP;
    remote_bits_ = CR_RD_ABORT;
    started_ = false;
    abort_remote_dma();
    if (transmit_event_ != 0) clock_.cancel(transmit_event_);
    transmit_event_ = 0;
    transmitting_ = false;
    transmit_deferred_ = false;
    receive_blocked_ = false;
    recovery_ = OverflowRecovery::None;
    receive_through_.reset();
    isr_ = 0;
    imr_ = 0;
    show_reset_at(clock_.now() + settle);
    update_interrupt();
}

void Dp8390::power_up_registers() {
    dcr_ = tcr_ = rcr_ = tsr_ = ncr_ = rsr_ = 0;
    cntr_alignment_ = cntr_crc_ = cntr_missed_ = 0;
    pstart_ = pstop_ = bnry_ = curr_ = tpsr_ = 0;
    clda_ = tbcr_ = crda_ = rbcr_ = 0;
    par_.fill(0);
    mar_.fill(0);
    reset_chip();
}

void Dp8390::hardware_reset() {
    memory_.clear_ram();
    power_up_registers();
}

// Moving the store pointer frees nothing: after an overflow only BNRY does.
void Dp8390::write_current_page(std::uint8_t page) {
    curr_ = page;
}

// BNRY tells the chip how far the host has emptied the ring; after an
// overflow, moving it is what lets reception resume. Writing back the page it
// already holds frees nothing, so the ring stays blocked.
void Dp8390::write_boundary(std::uint8_t page) {
    const bool moved = page != bnry_;
    bnry_ = page;
    if (!moved) return;
    if (recovery_ != OverflowRecovery::None) ring_drained_ = true;
    if (receive_blocked_) {
        receive_blocked_ = false;
        if (started_) isr_ &= static_cast<std::uint8_t>(~ISR_RST);
    }
}

void Dp8390::raise_isr(std::uint8_t bits) {
    isr_ |= bits;
    update_interrupt();
}

// RST reflects the chip's state and cannot be acknowledged away.
void Dp8390::clear_isr(std::uint8_t bits) {
    isr_ &= static_cast<std::uint8_t>(~(bits & ISR_CAUSES));
    update_interrupt();
}

void Dp8390::update_interrupt() {
    set_interrupt((isr_ & imr_ & ISR_CAUSES) != 0);
}

// Tally counters saturate instead of wrapping; CNT asks the host to read them
// once one is half way.
void Dp8390::tally(std::uint8_t& counter) {
    if (counter != 0xFF) ++counter;
    if (counter & 0x80) raise_isr(ISR_CNT);
}

std::uint8_t Dp8390::read_and_clear(std::uint8_t& counter) {
    const std::uint8_t value = counter;
    counter = 0;
    return value;
}

}  // namespace machine
