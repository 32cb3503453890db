// Reception: address recognition, then the local DMA stores the frame in the
// receive ring behind a 4-byte header, page by page from CURR, never into the
// page BNRY names.

#include <algorithm>
#include <cstdio>

#include "machine/nic/dp8390.h"
#include "machine/nic/dp8390_registers.h"
#include "machine/nic/ethernet_crc.h"

namespace machine {

using namespace dp8390;

namespace {

constexpr std::size_t kMinimumFrame = 60;  // 64 bytes on the wire with the FCS
constexpr std::size_t kFcsBytes = 4;
constexpr std::size_t kHeaderBytes = 4;

}  // namespace

void Dp8390::receive_frame(std::span<const std::uint8_t> frame) {
    // A frame that was already coming in when the chip was told to stop is
    // still taken (realistic timing only; otherwise a stop is instant).
    const bool finishing = !started_ && receive_through_ == clock_.now();
    receive_through_.reset();
    if ((!started_ && !finishing) || (tcr_ & TCR_LOOPBACK)) {
        ++frames_unheard_;
        return;
    }
    // Runts are thrown away before address recognition has anything to say.
    if (frame.size() < kMinimumFrame) return;
    if (!address_accepted(frame)) return;

    const bool group = (frame[0] & 1) != 0;
    const std::uint8_t physical = group ? RSR_PHY : 0;
    if (faults_.crc_errors != 0) {
        --faults_.crc_errors;
        rsr_ = RSR_CRC | physical;
        tally(cntr_crc_);
        raise_isr(ISR_RXE);
        return;
    }
    if (faults_.alignment_errors != 0) {
        --faults_.alignment_errors;
        rsr_ = RSR_FAE | physical;
        tally(cntr_alignment_);
        raise_isr(ISR_RXE);
        return;
    }
    // Monitor mode checks and counts frames but buffers none of them.
    if (rcr_ & RCR_MON) {
        tally(cntr_missed_);
        return;
    }
    if (receive_blocked_) {
        tally(cntr_missed_);
        return;
    }
    store_frame(frame, group);
}

bool Dp8390::address_accepted(std::span<const std::uint8_t> frame) const {
    const std::span<const std::uint8_t, 6> destination = frame.first<6>();
    if ((destination[0] & 1) == 0)
        return (rcr_ & RCR_PRO) || std::equal(destination.begin(), destination.end(), par_.begin());
    if (std::all_of(destination.begin(), destination.end(), [](std::uint8_t b) { return b == 0xFF; }))
        return (rcr_ & RCR_AB) != 0;
    if (!(rcr_ & RCR_AM)) return false;
    const unsigned index = ethernet::multicast_hash_index(destination);
    return (mar_[index >> 3] & (1u << (index & 7))) != 0;
}

std::uint8_t Dp8390::next_ring_page(std::uint8_t page) const {
    const auto next = static_cast<std::uint8_t>(page + 1);
    return next == pstop_ ? pstart_ : next;
}

// Whether `pages` ring pages from CURR are free, i.e. none of them is the page
// the host has not released yet (BNRY). On success `after` is the page
// following them, where the next frame will go.
bool Dp8390::ring_has_room(unsigned pages, std::uint8_t& after) const {
    std::uint8_t page = curr_;
    for (unsigned i = 0; i < pages; ++i) {
        if (page == bnry_) return false;
        page = next_ring_page(page);
    }
    after = page;
    return true;
}

void Dp8390::store_frame(std::span<const std::uint8_t> frame, bool group) {
    const std::size_t count = frame.size() + kFcsBytes;
    if (count > 0xFFFF) return;  // no such frame exists on a real medium; the count field cannot hold it
    const auto pages = static_cast<unsigned>((kHeaderBytes + count + 255) / 256);
    std::uint8_t next_page = 0;
    if (!ring_has_room(pages, next_page)) {
        ring_overflow();
        return;
    }

    check_ring_placement();
    const std::uint8_t status = RSR_PRX | (group ? RSR_PHY : 0);
    std::array<std::uint8_t, kHeaderBytes> header{status, next_page, static_cast<std::uint8_t>(count),
                                                  static_cast<std::uint8_t>(count >> 8)};
    if (faults_.corrupt_next_header) {
        header[faults_.corrupt_next_header->byte % kHeaderBytes] = faults_.corrupt_next_header->value;
        faults_.corrupt_next_header.reset();
    }
    const std::array<std::uint8_t, kFcsBytes> fcs = ethernet::frame_check_sequence(frame);

    // Page by page, and within a page as far as one stretch of memory goes
    // (bytes outside the RAM are lost).
    std::uint8_t page = curr_;
    unsigned offset = 0;
    auto put = [&](std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const CardMemory::WritableRun run =
                memory_.writable_run(static_cast<std::uint16_t>(page << 8 | offset));
            const std::size_t n = std::min<std::size_t>({bytes.size(), 256 - offset, run.length});
            if (run.bytes != nullptr) std::copy_n(bytes.begin(), n, run.bytes);
            bytes = bytes.subspan(n);
            offset += static_cast<unsigned>(n);
            if (offset == 256) {
                offset = 0;
                page = next_ring_page(page);
            }
        }
    };
    put(header);
    put(frame);
    put(fcs);

    clda_ = static_cast<std::uint16_t>(page << 8 | offset);
    curr_ = next_page;
    rsr_ = status;
    raise_isr(ISR_PRX);
}

// The local DMA writes the ring where PSTART and PSTOP put it; outside the
// card's RAM a frame goes nowhere. Recorded once per placement.
void Dp8390::check_ring_placement() {
    if (ring_reported_) return;
    const std::uint32_t first = static_cast<std::uint32_t>(pstart_) << 8;
    const std::uint32_t end = static_cast<std::uint32_t>(pstop_) << 8;
    if (pstart_ < pstop_ && first >= memory_.ram_begin() && end <= memory_.ram_end()) return;
    ring_reported_ = true;
    char text[96];
    std::snprintf(text, sizeof text,
                  "frame stored into ring PSTART 0x%02X PSTOP 0x%02X outside the card's RAM", pstart_,
                  pstop_);
    violation(text);
}

// The frame does not fit before BNRY: it is lost, and so is every later one
// until the host moves BNRY. The host then owes the chip the full recovery.
void Dp8390::ring_overflow() {
    tally(cntr_missed_);
    receive_blocked_ = true;
    recovery_ = OverflowRecovery::AwaitingRestart;
    ring_drained_ = false;
    raise_isr(ISR_OVW | ISR_RST);
}

}  // namespace machine
