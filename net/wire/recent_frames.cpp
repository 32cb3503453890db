#include "net/wire/recent_frames.h"

#include <cstdio>

namespace net {

namespace {

std::string mac_at(std::span<const std::uint8_t> f, std::size_t at) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", f[at], f[at + 1], f[at + 2], f[at + 3],
                  f[at + 4], f[at + 5]);
    return text;
}

std::string ipv4_at(std::span<const std::uint8_t> f, std::size_t at) {
    return std::to_string(f[at]) + "." + std::to_string(f[at + 1]) + "." + std::to_string(f[at + 2]) + "." +
           std::to_string(f[at + 3]);
}

unsigned u16_at(std::span<const std::uint8_t> f, std::size_t at) {
    return static_cast<unsigned>(f[at] << 8 | f[at + 1]);
}

std::string tcp_flags(std::uint8_t flags) {
    static const char* const names[] = {"FIN", "SYN", "RST", "PSH", "ACK", "URG"};
    std::string out = "[";
    for (int i = 0; i < 6; ++i) {
        if (!(flags & (1 << i))) continue;
        if (out.size() > 1) out += ',';
        out += names[i];
    }
    return out + "]";
}

std::string summarize_ipv4(std::span<const std::uint8_t> f) {
    constexpr std::size_t ip = 14;
    if (f.size() < ip + 20 || (f[ip] >> 4) != 4) return "IPv4 (truncated)";
    const std::size_t header = static_cast<std::size_t>(f[ip] & 0x0F) * 4;
    const std::size_t total = u16_at(f, ip + 2);
    const std::uint8_t protocol = f[ip + 9];
    const std::string from = ipv4_at(f, ip + 12), to = ipv4_at(f, ip + 16);
    const std::size_t l4 = ip + header;
    if (header < 20 || total < header || f.size() < l4) return from + " > " + to + " IPv4 (bad header)";
    const std::size_t l4_length = std::min(total, f.size() - ip) - header;
    if (protocol == 6 && f.size() >= l4 + 20) {
        const std::size_t data_offset = static_cast<std::size_t>(f[l4 + 12] >> 4) * 4;
        const std::size_t payload = l4_length > data_offset ? l4_length - data_offset : 0;
        return from + ":" + std::to_string(u16_at(f, l4)) + " > " + to + ":" +
               std::to_string(u16_at(f, l4 + 2)) + " TCP " + tcp_flags(f[l4 + 13]) + " len " +
               std::to_string(payload);
    }
    if (protocol == 17 && f.size() >= l4 + 8)
        return from + ":" + std::to_string(u16_at(f, l4)) + " > " + to + ":" +
               std::to_string(u16_at(f, l4 + 2)) + " UDP len " +
               std::to_string(l4_length >= 8 ? l4_length - 8 : 0);
    if (protocol == 1 && f.size() >= l4 + 1) {
        const std::uint8_t type = f[l4];
        return from + " > " + to + " ICMP " +
               (type == 8   ? "echo request"
                : type == 0 ? "echo reply"
                            : "type " + std::to_string(type));
    }
    return from + " > " + to + " IP protocol " + std::to_string(protocol);
}

}  // namespace

std::string summarize_frame(std::span<const std::uint8_t> f) {
    if (f.size() < 14) return "runt of " + std::to_string(f.size()) + " bytes";
    const unsigned type = u16_at(f, 12);
    if (type == 0x0800) return summarize_ipv4(f);
    if (type == 0x0806 && f.size() >= 42) {
        const unsigned op = u16_at(f, 20);
        if (op == 1) return "ARP who has " + ipv4_at(f, 38) + " tell " + ipv4_at(f, 28);
        if (op == 2) return "ARP " + ipv4_at(f, 28) + " is at " + mac_at(f, 22);
        return "ARP operation " + std::to_string(op);
    }
    if (type <= 1500) return "802.3 length " + std::to_string(type);
    char text[32];
    std::snprintf(text, sizeof text, "EtherType 0x%04X", type);
    return text;
}

RecentFrames::RecentFrames(EthernetWire& wire, std::size_t capacity) : wire_(wire), capacity_(capacity) {
    wire_.attach(*this);
}

RecentFrames::~RecentFrames() {
    wire_.detach(*this);
}

void RecentFrames::receive_frame(std::span<const std::uint8_t> frame) {
    ++seen_;
    if (capacity_ == 0) return;
    if (entries_.size() == capacity_) entries_.pop_front();
    entries_.push_back({wire_.clock().now(), frame.size(), frame.size() >= 12 ? mac_at(frame, 6) : "?",
                        frame.size() >= 6 ? mac_at(frame, 0) : "?", summarize_frame(frame)});
}

}  // namespace net
