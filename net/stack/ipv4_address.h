#pragma once
// An IPv4 address as a value (host byte order), for the stack's public
// interfaces; lwIP's own types stay inside the .cpp files that talk to it.

#include <cstdint>
#include <optional>
#include <string>

namespace net {

struct Ipv4Address {
    std::uint32_t value = 0;  // host byte order: 10.0.2.15 is 0x0A00020F

    static constexpr Ipv4Address of(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        return Ipv4Address{static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
                           static_cast<std::uint32_t>(c) << 8 | d};
    }
    // "a.b.c.d" with each part 0..255; nothing for anything else.
    static std::optional<Ipv4Address> parse(const std::string& text) {
        std::uint32_t value = 0;
        std::size_t at = 0;
        for (int part = 0; part < 4; ++part) {
            if (part > 0) {
                if (at >= text.size() || text[at] != '.') return std::nullopt;
                ++at;
            }
            std::uint32_t number = 0;
            std::size_t digits = 0;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
                number = number * 10 + static_cast<std::uint32_t>(text[at] - '0');
                ++at;
                ++digits;
            }
            if (digits == 0 || digits > 3 || number > 255) return std::nullopt;
            value = value << 8 | number;
        }
        if (at != text.size()) return std::nullopt;
        return Ipv4Address{value};
    }
    std::string to_string() const {
        return std::to_string(value >> 24) + "." + std::to_string(value >> 16 & 0xFF) + "." +
               std::to_string(value >> 8 & 0xFF) + "." + std::to_string(value & 0xFF);
    }
    bool is_any() const { return value == 0; }
    friend bool operator==(Ipv4Address, Ipv4Address) = default;
};

}  // namespace net
