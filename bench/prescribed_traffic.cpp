#include "bench/prescribed_traffic.h"

#include <algorithm>

namespace bench {

namespace {

constexpr std::uint64_t kSocketWaitUs = 4096;
constexpr std::uint32_t kEthernetHeader = 14;
constexpr std::uint32_t kReceiveHeader = 4;
constexpr std::uint32_t kHeaderRead = 6;
constexpr std::uint32_t kBatchLimit = 10;  // a pass ends once it has taken more frames than this

// RSAR0, RSAR1, RBCR0, RBCR1, then the command to CR.
void remote_dma_setup(BusAccount& a) {
    a.register_writes += 5;
}

// Up at the first poll.
void rdc_wait(BusAccount& a) {
    a.register_reads += 1;
}

void string_transfer(BusAccount& a, bool read, std::uint64_t elements, unsigned width) {
    if (elements == 0) return;
    ++(read ? a.string_read_calls : a.string_write_calls);
    a.string_elements += elements;
    a.string_bytes += elements * width;
}

// CR = 0, a two-byte remote read, the two bytes read, one poll of CRDA0/CRDA1.
void dummy_read(BusAccount& a, CardShape card) {
    a.register_writes += 1;
    remote_dma_setup(a);
    if (card.word_wide)
        a.data_word_reads += 1;
    else
        a.data_byte_reads += 2;
    a.register_reads += 2;
}

void copy_up(BusAccount& a, CardShape card, std::uint32_t source, std::uint32_t count) {
    if (count == 0) return;
    a.register_reads += 1;   // CR, read and ignored
    a.register_writes += 1;  // CR = 0
    if (!card.word_wide) {
        remote_dma_setup(a);
        string_transfer(a, true, count, 1);
        rdc_wait(a);
        return;
    }
    if (source & 1) {  // the byte at an odd address comes as the high half of a word
        remote_dma_setup(a);
        a.data_word_reads += 1;
        rdc_wait(a);
        --count;
    }
    remote_dma_setup(a);
    string_transfer(a, true, count / 2, 2);
    if (count & 1) a.data_byte_reads += 1;
    rdc_wait(a);
}

// One buffer to an even transmit-page address.
void copy_down_packet(BusAccount& a, CardShape card, std::uint32_t length) {
    dummy_read(a, card);
    a.register_writes += 1;  // CR = 0
    remote_dma_setup(a);
    if (card.word_wide) {
        string_transfer(a, false, length / 2, 2);
        rdc_wait(a);
        if (length & 1) a.data_byte_writes += 1;  // the held last byte
    } else {
        string_transfer(a, false, length, 1);
        rdc_wait(a);
    }
}

// TPSR, TBCR1, TBCR0, CR read, CR = 0x26.
void start_transmit(BusAccount& a) {
    a.register_writes += 4;
    a.register_reads += 1;
}

// CR = 0x62, CURR, CR = 0x22.
void get_current(BusAccount& a) {
    a.register_writes += 2;
    a.register_reads += 1;
}

// The ISR (ISR read, IMR = 0), then the deferred handler up to its first
// cause: the socket controller's two status-change reads with their four
// waits, ISR read and written back.
void interrupt_taken(BusAccount& a) {
    a.isr_calls += 1;
    a.register_reads += 1;
    a.register_writes += 1;
    a.deferred_runs += 1;
    a.socket_writes += 2;
    a.socket_reads += 2;
    a.stalls += 4;
    a.stall_us += 4 * kSocketWaitUs;
    a.register_reads += 1;
    a.register_writes += 1;
}

// The last ISR read (written back when the handler's own copies raised RDC),
// then IMR restored by the enable handler.
void handler_ends(BusAccount& a, bool remote_dma_done_meanwhile) {
    a.register_reads += 1;
    if (remote_dma_done_meanwhile) a.register_writes += 1;
    a.register_writes += 1;
}

}  // namespace

BusAccount prescribed_send(std::size_t length, CardShape card) {
    BusAccount a;
    copy_down_packet(a, card, static_cast<std::uint32_t>(length));
    start_transmit(a);
    interrupt_taken(a);
    a.register_reads += 2;  // TSR by the handler, and again by the transmit completion
    handler_ends(a, false);
    return a;
}

BusAccount prescribed_receive(std::size_t length, CardShape card, std::uint32_t lookahead,
                              ReceiveState ring) {
    BusAccount a;
    const auto frame_length = static_cast<std::uint32_t>(length);
    interrupt_taken(a);
    get_current(a);
    copy_up(a, card, ring.frame_page_address, kHeaderRead);
    const std::uint32_t frame_address = ring.frame_page_address + kReceiveHeader;
    copy_up(a, card, frame_address, std::min(frame_length, lookahead) + kEthernetHeader);
    if (frame_length > lookahead + kEthernetHeader) {
        // The rest goes from card memory into the protocol's buffer, split where the ring ends.
        std::uint32_t at = frame_address + kEthernetHeader;
        if (at > ring.ring_end_address) at = at - ring.ring_end_address + ring.ring_start_address;
        std::uint32_t left = frame_length - kEthernetHeader;
        while (left > 0) {
            if (at == ring.ring_end_address) at = ring.ring_start_address;
            const std::uint32_t n = std::min(left, ring.ring_end_address - at);
            copy_up(a, card, at, n);
            at += n;
            left -= n;
        }
    }
    a.register_writes += 1;  // BNRY
    if (ring.frames_in_batch + 1 > kBatchLimit) {
        // The pass ends at the batch limit with the receive cause left set: ISR
        // is read (and its RDC written back), and the next pass finds the ring
        // empty on its cached CURR and on a fresh one, after which ISR is clear.
        a.register_reads += 1;
        a.register_writes += 1;
        get_current(a);
        get_current(a);
        a.register_reads += 1;
        a.register_writes += 1;  // IMR restored
        return a;
    }
    get_current(a);  // the ring looks empty: CURR read again to be sure
    handler_ends(a, true);
    return a;
}

}  // namespace bench
