// Transmission: TXP sends TBCR bytes from TPSR × 256 as they stand (the chip
// pads nothing; it appends the FCS), at the medium's pace. TSR and ISR report
// the outcome when the medium is done with the frame.

#include "machine/nic/dp8390.h"
#include "machine/nic/dp8390_registers.h"

namespace machine {

using namespace dp8390;

void Dp8390::start_transmission() {
    if (transmitting_) return;  // TXP while a frame is going out changes nothing
    transmitting_ = true;

    // The local DMA reads the buffer straight through; it does not wrap at the
    // ring's end, only at the end of the address space. Resizing within the
    // reserved capacity does not allocate.
    transmit_frame_.resize(tbcr_);
    auto address = static_cast<std::uint16_t>(tpsr_ << 8);
    transmit_first_ = address;
    transmit_end_ = transmit_first_ + tbcr_;
    for (std::uint8_t& byte : transmit_frame_) byte = memory_.read(address++);

    const Nanoseconds duration = wire_time(transmit_frame_.size());
    if (faults_.abort_transmissions != 0) {
        --faults_.abort_transmissions;
        ncr_ = 0;  // sixteen collisions wrap the 4-bit collision count
        transmit_event_ = clock_.schedule_in(duration, [this] { finish_transmission(TSR_ABT, ISR_TXE); });
        return;
    }
    if (tcr_ & TCR_LOOPBACK) {
        // The frame goes round inside the chip; nothing reaches the medium.
        ncr_ = 0;
        transmit_event_ = clock_.schedule_in(duration, [this] { finish_transmission(TSR_PTX, ISR_PTX); });
        return;
    }
    if (faults_.collide_transmissions != 0) {
        --faults_.collide_transmissions;
        ncr_ = 1;
        pending_tsr_ = TSR_PTX | TSR_COL;
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
    transmit_event_ = clock_.schedule_at(done, [this] { finish_transmission(pending_tsr_, ISR_PTX); });
}

void Dp8390::finish_transmission(std::uint8_t tsr, std::uint8_t isr_bits) {
    transmit_event_ = 0;
    transmitting_ = false;
    tsr_ = tsr;
    raise_isr(isr_bits);
}

}  // namespace machine
