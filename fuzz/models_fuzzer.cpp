// The machine models under any sequence of bus cycles: port reads and writes
// of both widths, string transfers, memory cycles through the socket's
// window, time passing, frames from the wire, characters on the serial line,
// the card pulled and put back, the controller's faults. No driver is
// involved, so the models may well record protocol violations; what must
// hold is that they neither crash nor trip a sanitizer, and that once the
// input ends the events they scheduled run out.
//
// Input: a sequence of operations, each an operation byte followed by its
// operands (little-endian), read from the front until the input ends:
//   0 out8 port16 value8      1 in8 port16       2 out16 port16 value16
//   3 in16 port16             4 outs8 port16 n8 bytes[n]      5 ins8 port16 n8
//   6 outs16 port16 n8 words[n]                   7 ins16 port16 n8
//   8 memory write address24 value8              9 memory read address24
//  10 wait microseconds16    11 frame from the wire length16 bytes[length]
//  12 serial line op8 value8 13 card to socket (bit 0: in or out, bit 1: socket)
//  14 controller fault op8 value16
// The operation is the low four bits of its byte; 15 is no operation.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "machine/emulated_pc.h"

namespace {

// Reads operands from the front; an input that ends early reads zeros.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
    std::uint32_t u24() { return u16() | static_cast<std::uint32_t>(u8()) << 16; }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        std::vector<std::uint8_t> out;
        while (n-- > 0 && !done()) out.push_back(u8());
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// How many events may still run after the input ended before the models
// count as never settling.
constexpr unsigned kEventsAfterInput = 100000;

void Operate(machine::EmulatedPc& pc, Reader& in) {
    machine::IsaBus& bus = pc.bus();
    const std::uint8_t op = in.u8() & 0x0F;
    switch (op) {
        case 0: {
            const std::uint16_t port = in.u16();
            bus.out8(port, in.u8());
            break;
        }
        case 1:
            bus.in8(in.u16());
            break;
        case 2: {
            const std::uint16_t port = in.u16();
            bus.out16(port, in.u16());
            break;
        }
        case 3:
            bus.in16(in.u16());
            break;
        case 4: {
            const std::uint16_t port = in.u16();
            const auto bytes = in.bytes(in.u8());
            bus.out8_string(port, bytes.data(), bytes.size());
            break;
        }
        case 5: {
            const std::uint16_t port = in.u16();
            std::vector<std::uint8_t> bytes(in.u8());
            bus.in8_string(port, bytes.data(), bytes.size());
            break;
        }
        case 6: {
            const std::uint16_t port = in.u16();
            std::vector<std::uint16_t> words(in.u8());
            for (auto& w : words) w = in.u16();
            bus.out16_string(port, words.data(), words.size());
            break;
        }
        case 7: {
            const std::uint16_t port = in.u16();
            std::vector<std::uint16_t> words(in.u8());
            bus.in16_string(port, words.data(), words.size());
            break;
        }
        case 8: {
            const std::uint32_t address = in.u24();
            bus.mem_write8(address, in.u8());
            break;
        }
        case 9:
            bus.mem_read8(in.u24());
            break;
        case 10:
            pc.clock().advance(in.u16() * machine::kMicrosecond);
            break;
        case 11: {
            const auto frame = in.bytes(in.u16());
            pc.nic().receive_frame(frame);
            break;
        }
        case 12: {
            const std::uint8_t what = in.u8();
            const std::uint8_t value = in.u8();
            if (what % 3 == 0) pc.uart().queue_received(value);
            if (what % 3 == 1) pc.uart().signal_line_error(value);
            if (what % 3 == 2) pc.uart().set_data_ready_stuck(value & 1);
            break;
        }
        case 13: {
            const std::uint8_t what = in.u8();
            const unsigned socket = (what >> 1) & 1;
            if (what & 1)
                pc.socket_controller().insert(socket, pc.card());
            else
                pc.socket_controller().remove(socket);
            break;
        }
        case 14: {
            const std::uint8_t what = in.u8();
            const std::uint16_t value = in.u16();
            machine::Dp8390Faults& f = pc.nic().faults();
            switch (what % 8) {
                case 0:
                    f.abort_transmissions = value & 3;
                    break;
                case 1:
                    f.collide_transmissions = value & 3;
                    break;
                case 2:
                    f.crc_errors = value & 3;
                    break;
                case 3:
                    f.alignment_errors = value & 3;
                    break;
                case 4:
                    f.corrupt_next_header = machine::Dp8390Faults::HeaderCorruption{
                        value & 3u, static_cast<std::uint8_t>(value >> 8)};
                    break;
                case 5:
                    f.remote_address_stuck = value & 1;
                    break;
                case 6:
                    f.rdc_never_sets = value & 1;
                    break;
                default:
                    f.bad_ram_byte = value;
                    break;
            }
            break;
        }
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    machine::EmulatedPcOptions options;
    if (in.u8() & 1) options.nic = machine::Dp8390Config::eight_bit_card();
    machine::EmulatedPc pc(options);
    while (!in.done()) Operate(pc, in);

    // Whatever the models scheduled (a frame on the wire, a pending
    // insertion) must come to an end.
    unsigned events = 0;
    while (pc.clock().run_next()) {
        if (++events > kEventsAfterInput) {
            std::fprintf(stderr, "the models never settle: still scheduling after %u events\n", events);
            std::abort();
        }
    }
    return 0;
}
