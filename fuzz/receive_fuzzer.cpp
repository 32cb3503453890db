// The receive path against any receive-ring contents: the input fills the
// card's ring from the page the driver takes next, and places CURR; the chip
// then raises PRX and the deferred handler runs over whatever is there.
//
// Input: the ring bytes first; the last bytes choose the card width, the
// driver's next page, CURR, the lookahead size and how the protocol fetches
// frames (FuzzedDataProvider takes numbers from the end).
//
// What must hold whatever the ring holds:
// - every remote read stays inside the ring; a lookahead read stays inside
//   the frame it reads, bar the 14 bytes the lookahead copy may run on past a
//   short frame (it copies min(length, lookahead) + 14 bytes, and hands up
//   only what lies inside the frame);
// - every indicated frame is 60..1514 bytes with a lookahead no longer than
//   it, and what reaches the protocol equals the ring's bytes at the address
//   the driver took it from;
// - no stand-in rule breach or model violation, nothing left held after halt;
// - the deferred handler ends and virtual time moves on.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_adapter.h"

namespace {

// The receive ring as the driver laid it out.
struct Ring {
    std::uint32_t start;  // card address of PSTART
    std::uint32_t end;    // card address of PSTOP
    std::uint32_t size() const { return end - start; }
    // Ring offset of a card address inside the ring.
    std::uint32_t offset(std::uint32_t address) const { return address - start; }
    bool holds(std::uint32_t address) const { return address >= start && address < end; }
    // Whether [from, from + count) in ring order lies inside [first, first + length).
    bool within(std::uint32_t from, std::uint32_t count, std::uint32_t first, std::uint32_t length) const {
        const std::uint32_t skip = (offset(from) + size() - offset(first)) % size();
        return skip + count <= length;
    }
};

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// Stands between the bus and the socket controller and checks every remote
// read the driver starts, against the start address and count it loaded last
// and the frame its record describes at that moment.
class RemoteReadWatch : public machine::IoDevice {
public:
    RemoteReadWatch(machine::IsaBus& bus, machine::IoDevice& inner, const Ne2000Adapter& adapter,
                    const Ring& ring)
        : bus_(bus),
          inner_(inner),
          adapter_(adapter),
          ring_(ring),
          base_(static_cast<std::uint16_t>(adapter.IoBaseAddress)) {
        bus_.detach(inner_);
        bus_.attach(*this);
    }
    ~RemoteReadWatch() override {
        bus_.detach(*this);
        bus_.attach(inner_);
    }
    RemoteReadWatch(const RemoteReadWatch&) = delete;
    RemoteReadWatch& operator=(const RemoteReadWatch&) = delete;

    machine::IoWidth decode(std::uint16_t port) const override { return inner_.decode(port); }
    std::uint8_t read8(std::uint16_t port) override { return inner_.read8(port); }
    std::uint16_t read16(std::uint16_t port) override { return inner_.read16(port); }
    void write16(std::uint16_t port, std::uint16_t value) override { inner_.write16(port, value); }
    std::string port_name(std::uint16_t port, bool write) const override {
        return inner_.port_name(port, write);
    }
    void write8(std::uint16_t port, std::uint8_t value) override {
        note(port, value);
        inner_.write8(port, value);
    }

private:
    void note(std::uint16_t port, std::uint8_t value) {
        if (port < base_ || port > base_ + NIC_RBCR1) return;
        const auto reg = static_cast<std::uint8_t>(port - base_);
        if (reg == NIC_CR) {
            page_ = value >> 6;
            if ((value & (CR_REMOTE_READ | CR_REMOTE_WRITE | CR_NO_DMA)) == CR_REMOTE_READ) check_read();
            return;
        }
        if (page_ != 0) return;
        if (reg == NIC_RSAR0) start_ = (start_ & 0xFF00) | value;
        if (reg == NIC_RSAR1) start_ = (start_ & 0x00FF) | static_cast<std::uint32_t>(value) << 8;
        if (reg == NIC_RBCR0) count_ = (count_ & 0xFF00) | value;
        if (reg == NIC_RBCR1) count_ = (count_ & 0x00FF) | static_cast<std::uint32_t>(value) << 8;
    }

    void check_read() const {
        const std::string what = "remote read of " + std::to_string(count_) + " bytes at " + Hex(start_);
        FUZZ_REQUIRE(ring_.holds(start_) && count_ <= ring_.size(), what + " outside the ring");
        const std::uint32_t page =
            adapter_.RingStartAddress +
            static_cast<std::uint32_t>(adapter_.NextPacketPage - adapter_.RingStartPage) * kPageSize;
        if (start_ == page && count_ == 6) return;  // the receive header and two bytes behind it
        // Any other read belongs to the frame the driver accepted: its
        // header's count less the FCS, from the address behind the header. The
        // lookahead copy, the read that starts at the frame, may run on for
        // the 14 bytes of the Ethernet header.
        const std::uint32_t length =
            static_cast<std::uint32_t>(adapter_.ReceiveHeader[3] << 8 | adapter_.ReceiveHeader[2]) - 4;
        const std::uint32_t slack = start_ == adapter_.ReceivePacketAddress ? kEthernetHeaderSize : 0;
        FUZZ_REQUIRE(length >= kMinimumFrameSize && length <= kMaximumFrameSize,
                     what + " for a header that was refused");
        FUZZ_REQUIRE(ring_.within(start_, count_, adapter_.ReceivePacketAddress, length + slack),
                     what + " outside the frame of " + std::to_string(length) + " bytes at " +
                         Hex(adapter_.ReceivePacketAddress));
    }

    machine::IsaBus& bus_;
    machine::IoDevice& inner_;
    const Ne2000Adapter& adapter_;
    const Ring ring_;
    std::uint16_t base_;
    unsigned page_ = 0;
    std::uint32_t start_ = 0;
    std::uint32_t count_ = 0;
};

// Writes the input's bytes into the card's ring from `first` on through the
// chip's remote DMA (which wraps at PSTOP as the chip's own stores do), as the
// test side of the bus: no interrupt is served in between. The rest of the
// ring keeps what it held, the same for every input.
void WriteRing(testbed::Testbed& tb, const Ne2000Adapter& a, std::uint32_t first,
               const std::vector<std::uint8_t>& bytes) {
    machine::IsaBus& bus = tb.bus();
    const auto base = static_cast<std::uint16_t>(a.IoBaseAddress);
    auto out = [&](UCHAR reg, std::uint32_t v) { bus.out8(base + reg, static_cast<std::uint8_t>(v)); };
    out(NIC_CR, kCrStartPage0);
    out(NIC_RSAR0, first);
    out(NIC_RSAR1, first >> 8);
    out(NIC_RBCR0, bytes.size());
    out(NIC_RBCR1, bytes.size() >> 8);
    out(NIC_CR, CR_STA | CR_REMOTE_WRITE);
    if (a.ByteWideTransfers) {
        bus.out8_string(base + NIC_DATA, bytes.data(), bytes.size());
    } else {
        std::vector<std::uint16_t> words(bytes.size() / 2);
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        bus.out16_string(base + NIC_DATA, words.data(), words.size());
    }
    out(NIC_ISR, ISR_RDC);
}

void SetRingPointers(testbed::Testbed& tb, Ne2000Adapter& a, UCHAR next, UCHAR current) {
    machine::IsaBus& bus = tb.bus();
    const auto base = static_cast<std::uint16_t>(a.IoBaseAddress);
    const UCHAR boundary = next == a.RingStartPage ? a.RingStopPage - 1 : next - 1;
    bus.out8(base + NIC_BNRY, boundary);
    bus.out8(base + NIC_CR, CR_PAGE1 | kCrStartPage0);
    bus.out8(base + NIC_CURR, current);
    bus.out8(base + NIC_CR, kCrStartPage0);
    // As if the driver had taken every frame before `next`.
    a.NextPacketPage = next;
    a.LastCurrentPage = next;
}

// What the driver said about each frame it indicated, taken inside the indication.
struct Indicated {
    std::uint32_t address;
    std::uint32_t length;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool eight_bit = in.ConsumeBool();
    // Promiscuous: every frame the driver indicates reaches the protocol.
    auto tb = fuzz::BringUp({.eight_bit = eight_bit, .packet_filter = NDIS_PACKET_TYPE_PROMISCUOUS});
    Ne2000Adapter& a = *tb->record();
    const Ring ring{a.RingStartAddress, a.RingEndAddress};
    const unsigned pages = a.RingStopPage - a.RingStartPage;
    const auto next = static_cast<UCHAR>(a.RingStartPage + in.ConsumeIntegralInRange<unsigned>(0, pages - 1));
    const auto current =
        static_cast<UCHAR>(a.RingStartPage + in.ConsumeIntegralInRange<unsigned>(0, pages - 1));
    ULONG lookahead = in.ConsumeIntegralInRange<ULONG>(0, kMaxLookahead);
    using Transfer = testbed::TestProtocol::Transfer;
    tb->protocol().transfer = in.PickValueInArray({Transfer::WhenNeeded, Transfer::Always, Transfer::Never});
    FUZZ_REQUIRE(
        tb->protocol().set(OID_GEN_CURRENT_LOOKAHEAD, &lookahead, sizeof lookahead) == NDIS_STATUS_SUCCESS,
        "lookahead refused");

    std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();
    bytes.resize(std::min<std::size_t>((bytes.size() + 1) & ~std::size_t{1}, ring.size()));

    // A frame the chip stores and flags with PRX; the ring is then written
    // over, so the handler finds the input's bytes instead.
    std::vector<std::uint8_t> frame(60, 0x5A);
    std::copy(a.CurrentAddress, a.CurrentAddress + 6, frame.begin());
    tb->nic().receive_frame(frame);
    FUZZ_REQUIRE(tb->nic().isr() & ISR_PRX, "the chip raised no PRX");

    const std::uint32_t first = a.RingStartAddress + (next - a.RingStartPage) * kPageSize;
    WriteRing(*tb, a, first, bytes);
    SetRingPointers(*tb, a, next, current);
    for (std::uint32_t i = 0; i < bytes.size(); i += 97) {
        const std::uint32_t at = ring.start + (ring.offset(first) + i) % ring.size();
        FUZZ_REQUIRE(tb->nic().peek_memory(static_cast<std::uint16_t>(at)) == bytes[i], "ring not written");
    }

    std::vector<Indicated> frames;
    tb->protocol().on_receive = [&](host::Binding&, const host::ReceiveIndication&) {
        frames.push_back({a.ReceivePacketAddress, a.ReceivePacketLength});
    };
    RemoteReadWatch watch(tb->bus(), tb->socket_controller(), a, ring);
    const machine::Nanoseconds before = tb->now();
    tb->run_for(20 * machine::kMillisecond);
    FUZZ_REQUIRE(tb->now() > before, "virtual time stood still");

    const auto& received = tb->protocol().received_frames();
    FUZZ_REQUIRE(received.size() == frames.size(), "indications and records differ");
    for (std::size_t i = 0; i < received.size(); ++i) {
        const auto& r = received[i];
        const std::uint32_t length = r.packet_size + kEthernetHeaderSize;
        FUZZ_REQUIRE(length >= kMinimumFrameSize && length <= kMaximumFrameSize,
                     "indicated a frame of " + std::to_string(length) + " bytes");
        FUZZ_REQUIRE(r.lookahead.size() <= r.packet_size, "lookahead longer than the frame");
        FUZZ_REQUIRE(frames[i].length == length, "indicated size differs from the frame length");
        FUZZ_REQUIRE(ring.holds(frames[i].address), "frame address outside the ring");
        FUZZ_REQUIRE(r.transfer_status == NDIS_STATUS_SUCCESS, "transfer failed");
        FUZZ_REQUIRE(r.frame.size() <= length, "more handed up than the frame holds");
        for (std::size_t k = 0; k < r.frame.size(); ++k) {
            const std::uint32_t at = ring.start + (ring.offset(frames[i].address) + k) % ring.size();
            FUZZ_REQUIRE(
                r.frame[k] == tb->nic().peek_memory(static_cast<std::uint16_t>(at)),
                "frame " + std::to_string(i) + " byte " + std::to_string(k) + " differs from the ring");
        }
    }
    fuzz::RequireClean(*tb, "receive");
    tb->halt();
    fuzz::RequireNoLeaks(*tb);
    return 0;
}
