#include "bench/bus_account.h"

namespace bench {

namespace {

constexpr std::uint16_t kDataPortOffset = 0x10;
constexpr std::uint16_t kResetPortOffset = 0x1F;

}  // namespace

std::uint64_t BusAccount::bus_cycles() const {
    return register_reads + register_writes + data_byte_reads + data_byte_writes + data_word_reads +
           data_word_writes + socket_reads + socket_writes + other_accesses + string_elements;
}

const std::vector<NamedFigure>& account_figures() {
    static const std::vector<NamedFigure> figures{
        {"register reads", &BusAccount::register_reads},
        {"register writes", &BusAccount::register_writes},
        {"data port byte reads", &BusAccount::data_byte_reads},
        {"data port byte writes", &BusAccount::data_byte_writes},
        {"data port word reads", &BusAccount::data_word_reads},
        {"data port word writes", &BusAccount::data_word_writes},
        {"string read calls", &BusAccount::string_read_calls},
        {"string write calls", &BusAccount::string_write_calls},
        {"string elements", &BusAccount::string_elements},
        {"string bytes", &BusAccount::string_bytes},
        {"socket controller reads", &BusAccount::socket_reads},
        {"socket controller writes", &BusAccount::socket_writes},
        {"other port accesses", &BusAccount::other_accesses},
        {"stalls", &BusAccount::stalls},
        {"stall us", &BusAccount::stall_us},
        {"ISR calls", &BusAccount::isr_calls},
        {"deferred handler runs", &BusAccount::deferred_runs},
    };
    return figures;
}

BusAccount account_trace(const machine::BusTrace& trace, std::size_t from, std::uint16_t io_base) {
    using machine::TraceKind;
    BusAccount a;
    const auto& entries = trace.entries();
    for (std::size_t i = from; i < entries.size(); ++i) {
        const machine::TraceEntry& e = entries[i];
        if (e.kind == TraceKind::Stall) {
            ++a.stalls;
            a.stall_us += e.value;
            continue;
        }
        if (e.kind == TraceKind::MemRead8 || e.kind == TraceKind::MemWrite8) continue;
        const bool read = e.is_port_read();
        if (is_socket_controller_port(e.port)) {
            ++(read ? a.socket_reads : a.socket_writes);
            continue;
        }
        const std::uint32_t offset = e.port - io_base;
        if (e.port < io_base || offset > kResetPortOffset) {
            ++a.other_accesses;
            continue;
        }
        if (offset != kDataPortOffset) {
            ++(read ? a.register_reads : a.register_writes);
            continue;
        }
        switch (e.kind) {
            case TraceKind::In8:
                ++a.data_byte_reads;
                break;
            case TraceKind::Out8:
                ++a.data_byte_writes;
                break;
            case TraceKind::In16:
                ++a.data_word_reads;
                break;
            case TraceKind::Out16:
                ++a.data_word_writes;
                break;
            case TraceKind::InString8:
            case TraceKind::InString16:
            case TraceKind::OutString8:
            case TraceKind::OutString16: {
                const bool words = e.kind == TraceKind::InString16 || e.kind == TraceKind::OutString16;
                ++(read ? a.string_read_calls : a.string_write_calls);
                a.string_elements += e.count;
                a.string_bytes += e.count * (words ? 2u : 1u);
                break;
            }
            default:
                break;
        }
    }
    return a;
}

std::vector<std::string> differences(const BusAccount& measured, const BusAccount& prescribed) {
    std::vector<std::string> out;
    for (const NamedFigure& f : account_figures())
        if (measured.*f.field != prescribed.*f.field)
            out.push_back(std::string(f.name) + " " + std::to_string(measured.*f.field) + "/" +
                          std::to_string(prescribed.*f.field));
    return out;
}

}  // namespace bench
