// The remote DMA channel: the host moves card memory through the data port, one
// unit per access, while the chip counts the address up and the byte count
// down. A unit is a byte in byte mode (DCR.WTS clear) and a word in word mode,
// whatever the width of the host's bus cycle.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "machine/nic/dp8390.h"
#include "machine/nic/dp8390_registers.h"

namespace machine {

using namespace dp8390;

namespace {

std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

}  // namespace

bool Dp8390::word_mode() const {
    return (dcr_ & DCR_WTS) != 0;
}

// A remote command with a byte count of zero has nothing to move and completes
// on the spot.
void Dp8390::start_remote_dma(RemoteDma direction) {
    remote_count_ran_out_ = false;
    transmit_overwrite_reported_ = false;
    if (rbcr_ == 0) {
        complete_remote_dma();
        return;
    }
    remote_ = direction;
}

// "Send packet": the chip loads the start address from BNRY and the count from
// the receive header stored there, then reads like any remote read.
void Dp8390::start_send_packet() {
    crda_ = static_cast<std::uint16_t>(bnry_ << 8);
    rbcr_ = static_cast<std::uint16_t>(memory_.read(static_cast<std::uint16_t>(crda_ + 2)) |
                                       memory_.read(static_cast<std::uint16_t>(crda_ + 3)) << 8);
    start_remote_dma(RemoteDma::Read);
}

void Dp8390::complete_remote_dma() {
    remote_ = RemoteDma::Idle;
    remote_count_ran_out_ = true;
    if (!faults_.rdc_never_sets) raise_isr(ISR_RDC);
}

void Dp8390::abort_remote_dma() {
    remote_ = RemoteDma::Idle;
    remote_count_ran_out_ = false;
}

bool Dp8390::data_port_ready(RemoteDma wanted, const char* access) {
    if (remote_ == wanted) return true;
    std::string what = std::string("data port ") + access;
    if (remote_ != RemoteDma::Idle)
        what += remote_ == RemoteDma::Read ? " during a remote read" : " during a remote write";
    else if (remote_count_ran_out_)
        what += " after the remote byte count reached 0";
    else
        what += " with no remote DMA command active";
    violation(std::move(what));
    return false;
}

// In word mode the chip drives both halves of the data bus from an even
// address; starting a word transfer at an odd address swaps the bytes on a
// real card.
void Dp8390::check_word_alignment() {
    if (crda_ & 1) violation("word-mode transfer at odd card address " + hex4(crda_));
}

// The chip fetches a frame from card memory while it sends it (the model
// copies it when TXP is written, for simplicity): a remote write into those
// bytes before the transmission ends would change what a real card sends.
void Dp8390::check_transmit_buffer_write(std::uint16_t address) {
    if (!transmitting_ || transmit_overwrite_reported_) return;
    if (address < transmit_first_ || address >= transmit_end_) return;
    transmit_overwrite_reported_ = true;
    violation("remote write at " + hex4(address) + " into the frame being transmitted");
}

// The remote DMA shares the ring's wrap logic: reaching PSTOP goes on at PSTART.
std::uint16_t Dp8390::next_remote_address(std::uint16_t address) const {
    const auto next = static_cast<std::uint16_t>(address + 1);
    return next == static_cast<std::uint16_t>(pstop_ << 8) ? static_cast<std::uint16_t>(pstart_ << 8) : next;
}

void Dp8390::advance_remote_address(unsigned bytes) {
    if (faults_.remote_address_stuck) return;
    for (unsigned i = 0; i < bytes; ++i) crda_ = next_remote_address(crda_);
}

void Dp8390::count_remote_bytes(unsigned bytes) {
    rbcr_ = rbcr_ > bytes ? static_cast<std::uint16_t>(rbcr_ - bytes) : 0;
    if (rbcr_ == 0) complete_remote_dma();
}

// What the host gets for one card byte; a failed RAM cell gives its complement.
std::uint8_t Dp8390::remote_read_byte(std::uint16_t address) const {
    const std::uint8_t value = memory_.read(address);
    return faults_.bad_ram_byte == address ? static_cast<std::uint8_t>(~value) : value;
}

// A byte cycle in word mode still moves a whole unit: the host gets the byte
// at the (even) current address and the other one is skipped.
std::uint8_t Dp8390::read_data8() {
    if (!data_port_ready(RemoteDma::Read, "read")) return 0xFF;
    const unsigned unit = word_mode() ? 2 : 1;
    if (unit == 2) check_word_alignment();
    const std::uint8_t value = remote_read_byte(crda_);
    advance_remote_address(unit);
    count_remote_bytes(unit);
    return value;
}

void Dp8390::write_data8(std::uint8_t value) {
    if (!data_port_ready(RemoteDma::Write, "write")) return;
    const unsigned unit = word_mode() ? 2 : 1;
    if (unit == 2) check_word_alignment();
    check_transmit_buffer_write(crda_);
    memory_.write(crda_, value);
    advance_remote_address(unit);
    count_remote_bytes(unit);
}

// A word cycle in byte mode moves one byte on the low half of the bus; the
// high half is not driven.
std::uint16_t Dp8390::read_data16() {
    if (!data_port_ready(RemoteDma::Read, "word read")) return 0xFFFF;
    if (!word_mode()) {
        violation("word access to the data port in byte mode");
        const std::uint8_t value = remote_read_byte(crda_);
        advance_remote_address(1);
        count_remote_bytes(1);
        return static_cast<std::uint16_t>(0xFF00 | value);
    }
    check_word_alignment();
    const std::uint8_t low = remote_read_byte(crda_);
    const std::uint8_t high = remote_read_byte(next_remote_address(crda_));
    advance_remote_address(2);
    count_remote_bytes(2);
    return static_cast<std::uint16_t>(low | high << 8);
}

void Dp8390::write_data16(std::uint16_t value) {
    if (!data_port_ready(RemoteDma::Write, "word write")) return;
    if (!word_mode()) {
        violation("word access to the data port in byte mode");
        check_transmit_buffer_write(crda_);
        memory_.write(crda_, static_cast<std::uint8_t>(value));
        advance_remote_address(1);
        count_remote_bytes(1);
        return;
    }
    check_word_alignment();
    check_transmit_buffer_write(crda_);
    check_transmit_buffer_write(next_remote_address(crda_));
    memory_.write(crda_, static_cast<std::uint8_t>(value));
    memory_.write(next_remote_address(crda_), static_cast<std::uint8_t>(value >> 8));
    advance_remote_address(2);
    count_remote_bytes(2);
}

// A string instruction at the data port. Runs of cycles that do nothing but
// move bytes between the host and one stretch of card memory are copied at
// once; a cycle where anything else happens (a violation, a fault, the wrap
// at PSTOP) takes the ordinary path above, so the outcome is the same as
// cycle by cycle.
void Dp8390::read_data_string(std::uint8_t* data, std::size_t count, bool word_cycles) {
    const unsigned host_bytes = word_cycles ? 2 : 1;
    while (count != 0) {
        const CardMemory::Run run = memory_.readable_run(crda_);
        const std::size_t cycles = plain_cycles(RemoteDma::Read, word_cycles, count, run.length);
        if (cycles == 0) {
            if (word_cycles) {
                const std::uint16_t word = read_data16();
                data[0] = static_cast<std::uint8_t>(word);
                data[1] = static_cast<std::uint8_t>(word >> 8);
            } else {
                data[0] = read_data8();
            }
            data += host_bytes;
            --count;
            continue;
        }
        const unsigned unit = word_mode() ? 2 : 1;
        if (run.bytes == nullptr)
            std::memset(data, 0xFF, cycles * host_bytes);
        else if (unit == host_bytes)
            std::memcpy(data, run.bytes, cycles * unit);
        else
            for (std::size_t i = 0; i < cycles; ++i) data[i] = run.bytes[2 * i];  // the partner is skipped
        finish_plain_cycles(static_cast<std::uint32_t>(cycles * unit));
        data += cycles * host_bytes;
        count -= cycles;
    }
}

void Dp8390::write_data_string(const std::uint8_t* data, std::size_t count, bool word_cycles) {
    const unsigned host_bytes = word_cycles ? 2 : 1;
    while (count != 0) {
        const CardMemory::WritableRun run = memory_.writable_run(crda_);
        const std::size_t cycles = plain_cycles(RemoteDma::Write, word_cycles, count, run.length);
        if (cycles == 0) {
            if (word_cycles)
                write_data16(static_cast<std::uint16_t>(data[0] | data[1] << 8));
            else
                write_data8(data[0]);
            data += host_bytes;
            --count;
            continue;
        }
        const unsigned unit = word_mode() ? 2 : 1;
        if (run.bytes != nullptr) {
            if (unit == host_bytes)
                std::memcpy(run.bytes, data, cycles * unit);
            else
                for (std::size_t i = 0; i < cycles; ++i) run.bytes[2 * i] = data[i];
        }
        finish_plain_cycles(static_cast<std::uint32_t>(cycles * unit));
        data += cycles * host_bytes;
        count -= cycles;
    }
}

// How many of the next `wanted` cycles are plain copies within `run_length`
// bytes of one memory source: the transfer is running in this direction, the
// cycles are of the width the mode expects from an even address, no fault is
// armed, and neither PSTOP nor the end of the address space falls inside
// them. The last may complete the transfer. 0: the next cycle goes alone.
std::size_t Dp8390::plain_cycles(RemoteDma direction, bool word_cycles, std::size_t wanted,
                                 std::uint32_t run_length) const {
    if (remote_ != direction || faults_.remote_address_stuck) return 0;
    if (direction == RemoteDma::Read && faults_.bad_ram_byte) return 0;
    const bool words = word_mode();
    if (word_cycles && !words) return 0;
    if (words && (crda_ & 1)) return 0;
    const std::uint32_t unit = words ? 2 : 1;
    const std::uint32_t stop = static_cast<std::uint16_t>(pstop_ << 8);
    const std::uint32_t end = crda_ < stop ? stop : 0x10000;
    std::uint32_t bytes = std::min(end - crda_, run_length);
    bytes = std::min(bytes, (rbcr_ + unit - 1) / unit * unit);
    if (direction == RemoteDma::Write && transmitting_ && !transmit_overwrite_reported_) {
        // The cycle that first touches the frame going out reports it.
        const std::uint32_t first = std::max<std::uint32_t>(transmit_first_, crda_);
        if (first < transmit_end_ && first < crda_ + bytes) bytes = first - crda_;
    }
    return std::min<std::size_t>(wanted, bytes / unit);
}

// The address and count after `bytes` plain bytes, as byte-by-byte counting
// would leave them: only the last step can reach PSTOP.
void Dp8390::finish_plain_cycles(std::uint32_t bytes) {
    const std::uint32_t next = crda_ + bytes;
    crda_ = (next & 0xFFFF) == static_cast<std::uint16_t>(pstop_ << 8)
                ? static_cast<std::uint16_t>(pstart_ << 8)
                : static_cast<std::uint16_t>(next);
    count_remote_bytes(bytes);
}

}  // namespace machine
