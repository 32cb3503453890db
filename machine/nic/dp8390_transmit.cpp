// Transmission: TXP sends TBCR bytes from TPSR × 256 as they stand (the chip
// pads nothing; it appends the FCS), at the medium's pace. The chip defers to
// a frame already on the medium; TSR and ISR report the outcome when the
// medium is done with the frame.

#include <algorithm>
#include <cstdio>

#include "machine/nic/dp8390.h"
#include "machine/nic/dp8390_registers.h"

namespace machine {

using namespace dp8390;

void Dp8390::start_transmission() {
    transmitting_ = true;
    check_transmit_area();

    // The local DMA reads the buffer straight through; it does not wrap at the
    // ring's end, only at the end of the address space. Resizing within the
    // reserved capacity does not allocate.
    transmit_frame_.resize(tbcr_);
    auto address = static_cast<std::uint16_t>(tpsr_ << 8);
    transmit_first_ = address;
    transmit_end_ = transmit_first_ + tbcr_;
    for (std::size_t done = 0; done < transmit_frame_.size();) {
        const CardMemory::Run run = memory_.readable_run(address);
        const std::size_t n = std::min<std::size_t>(run.length, transmit_frame_.size() - done);
        if (run.bytes != nullptr)
            std::copy_n(run.bytes, n, transmit_frame_.begin() + static_cast<std::ptrdiff_t>(done));
        else
            std::fill_n(transmit_frame_.begin() + static_cast<std::ptrdiff_t>(done), n, std::uint8_t{0xFF});
        done += n;
        address = static_cast<std::uint16_t>(address + n);
    }

    const Nanoseconds duration = wire_time(transmit_frame_.size());
    if (faults_.abort_transmissions != 0) {
        --faults_.abort_transmissions;
        ncr_ = 0;  // sixteen collisions wrap the 4-bit collision count
        transmit_ends_ = clock_.now() + duration;
        transmit_event_ =
            clock_.schedule_at(transmit_ends_, [this] { finish_transmission(TSR_ABT, ISR_TXE); });
        return;
    }
    if (tcr_ & TCR_LOOPBACK) {
        // The frame goes round inside the chip; nothing reaches the medium.
        ncr_ = 0;
        transmit_ends_ = clock_.now() + duration;
        transmit_event_ =
            clock_.schedule_at(transmit_ends_, [this] { finish_transmission(TSR_PTX, ISR_PTX); });
        return;
    }
    // Carrier sense: the frame waits until the medium falls quiet. Until then
    // it has not started, and a stop drops it.
    const Nanoseconds free = medium_free_at();
    if (free > clock_.now()) {
        transmit_deferred_ = true;
        transmit_event_ = clock_.schedule_at(free, [this] {
            transmit_deferred_ = false;
            begin_on_wire();
        });
        return;
    }
    begin_on_wire();
}

// The local DMA fetches the frame from card RAM; TPSR and TBCR naming bytes
// outside it send whatever the undriven bus reads.
void Dp8390::check_transmit_area() {
    const std::uint32_t first = static_cast<std::uint32_t>(tpsr_) << 8;
    const std::uint32_t end = first + tbcr_;
    if (first >= memory_.ram_begin() && end <= memory_.ram_end()) return;
    char text[96];
    std::snprintf(text, sizeof text, "transmit area 0x%04X-0x%04X lies outside the card's RAM", first,
                  static_cast<unsigned>(end - 1));
    violation(text);
}

void Dp8390::begin_on_wire() {
    if (faults_.collide_transmissions != 0) {
        --faults_.collide_transmissions;
        ncr_ = 1;
        pending_tsr_ = TSR_PTX | TSR_COL;
        transmit_ends_ = clock_.now() + kSlotTime + wire_time(transmit_frame_.size());
        transmit_event_ = clock_.schedule_in(kSlotTime, [this] { put_frame_on_wire(); });
        return;
    }
    ncr_ = 0;
    pending_tsr_ = TSR_PTX;
    put_frame_on_wire();
}

void Dp8390::put_frame_on_wire() {
    const Nanoseconds done =
        transmit_hook_ ? transmit_hook_(transmit_frame_) : clock_.now() + wire_time(transmit_frame_.size());
    transmit_ends_ = done;
    transmit_event_ = clock_.schedule_at(done, [this] { finish_transmission(pending_tsr_, ISR_PTX); });
}

// A stop before the frame got onto the medium: it is not sent, and nothing
// (no PTX, no TXE) says so -- the host must send it again.
void Dp8390::drop_deferred_transmission() {
    clock_.cancel(transmit_event_);
    transmit_event_ = 0;
    transmit_deferred_ = false;
    transmitting_ = false;
}

void Dp8390::finish_transmission(std::uint8_t tsr, std::uint8_t isr_bits) {
    transmit_event_ = 0;
    transmitting_ = false;
    tsr_ = tsr;
    raise_isr(isr_bits);
}

void Dp8390::medium_busy(Nanoseconds start, Nanoseconds end) {
    forget_past_carrier();
    carrier_.push_back({start, end});
}

void Dp8390::forget_past_carrier() {
    std::erase_if(carrier_, [now = clock_.now()](const Carrier& c) { return c.end <= now; });
}

// Frames on the medium follow one another without a pause, so it is free once
// the last one known has ended.
Nanoseconds Dp8390::medium_free_at() {
    forget_past_carrier();
    Nanoseconds free = clock_.now();
    for (const Carrier& c : carrier_) free = std::max(free, c.end);
    return free;
}

std::optional<Nanoseconds> Dp8390::reception_in_progress_end() {
    forget_past_carrier();
    for (const Carrier& c : carrier_)
        if (c.start <= clock_.now()) return c.end;
    return std::nullopt;
}

}  // namespace machine
