#include "machine/trace.h"

#include <cstdio>

namespace machine {

namespace {
std::string hex(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
    return buf;
}
std::string where(const TraceEntry& e) {
    return e.name.empty() ? "port " + hex(e.port, 3) : e.name;
}
}  // namespace

bool TraceEntry::is_port_read() const {
    return kind == TraceKind::In8 || kind == TraceKind::In16 || kind == TraceKind::InString8 ||
           kind == TraceKind::InString16;
}

bool TraceEntry::is_port_write() const {
    return kind == TraceKind::Out8 || kind == TraceKind::Out16 || kind == TraceKind::OutString8 ||
           kind == TraceKind::OutString16;
}

std::string TraceEntry::to_string() const {
    switch (kind) {
        case TraceKind::In8:
            return where(*this) + " -> " + hex(value, 2);
        case TraceKind::Out8:
            return where(*this) + " <- " + hex(value, 2);
        case TraceKind::In16:
            return where(*this) + " -> " + hex(value, 4) + " (word)";
        case TraceKind::Out16:
            return where(*this) + " <- " + hex(value, 4) + " (word)";
        case TraceKind::InString8:
            return where(*this) + " -> " + std::to_string(count) + " bytes";
        case TraceKind::OutString8:
            return where(*this) + " <- " + std::to_string(count) + " bytes";
        case TraceKind::InString16:
            return where(*this) + " -> " + std::to_string(count) + " words";
        case TraceKind::OutString16:
            return where(*this) + " <- " + std::to_string(count) + " words";
        case TraceKind::MemRead8:
            return "mem " + hex(port, 5) + " -> " + hex(value, 2);
        case TraceKind::MemWrite8:
            return "mem " + hex(port, 5) + " <- " + hex(value, 2);
        case TraceKind::Stall:
            return "stall " + std::to_string(value) + "us";
    }
    return "?";
}

std::string BusTrace::dump(std::size_t from) const {
    std::string out;
    for (std::size_t i = from; i < entries_.size(); ++i) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%12.3f us  ", static_cast<double>(entries_[i].time) / 1000.0);
        out += stamp + entries_[i].to_string() + "\n";
    }
    return out;
}

std::vector<std::string> BusTrace::lines(std::size_t from) const {
    std::vector<std::string> out;
    for (std::size_t i = from; i < entries_.size(); ++i) {
        const TraceEntry& e = entries_[i];
        if (e.kind == TraceKind::MemRead8 || e.kind == TraceKind::MemWrite8) continue;
        out.push_back(e.to_string());
    }
    return out;
}

}  // namespace machine
