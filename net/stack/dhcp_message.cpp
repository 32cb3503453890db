#include "net/stack/dhcp_message.h"

#include <algorithm>

namespace net {

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kBootpFixed = 236;  // op .. file, before the options
// Clients send the full 312-byte options field of the original BOOTP record
// (a 576-byte IP datagram): some servers, the user-mode network's among them,
// read a whole record and ignore anything shorter.
constexpr std::size_t kOptionsField = 312;
constexpr std::uint8_t kCookie[4] = {99, 130, 83, 99};

enum Option : std::uint8_t {
    kPad = 0,
    kSubnetMask = 1,
    kRouter = 3,
    kDns = 6,
    kRequestedAddress = 50,
    kLeaseTime = 51,
    kMessageType = 53,
    kServerId = 54,
    kParameterList = 55,
    kRenewalTime = 58,
    kRebindingTime = 59,
    kEnd = 255,
};

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::uint16_t get16(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint16_t>(in[at] << 8 | in[at + 1]);
}

std::uint32_t get32(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint32_t>(in[at]) << 24 | static_cast<std::uint32_t>(in[at + 1]) << 16 |
           static_cast<std::uint32_t>(in[at + 2]) << 8 | in[at + 3];
}

std::uint32_t sum16(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (bytes.size() % 2 != 0) sum += static_cast<std::uint32_t>(bytes.back() << 8);
    return sum;
}

// Reads the options area into `message`; false on an option that runs past the end.
bool parse_options(std::span<const std::uint8_t> options, DhcpMessage& message) {
    std::size_t at = 0;
    while (at < options.size()) {
        const std::uint8_t code = options[at++];
        if (code == kPad) continue;
        if (code == kEnd) return true;
        if (at >= options.size()) return false;
        const std::size_t length = options[at++];
        if (length > options.size() - at) return false;
        const auto value = options.subspan(at, length);
        at += length;
        auto address = [&]() -> std::optional<Ipv4Address> {
            if (value.size() < 4) return std::nullopt;
            return Ipv4Address{get32(value, 0)};
        };
        auto seconds = [&]() -> std::optional<std::uint32_t> {
            if (value.size() != 4) return std::nullopt;
            return get32(value, 0);
        };
        switch (code) {
            case kMessageType:
                if (value.size() == 1 && value[0] >= 1 && value[0] <= 7)
                    message.type = static_cast<DhcpType>(value[0]);
                break;
            case kSubnetMask:
                message.netmask = address();
                break;
            case kRouter:
                message.router = address();
                break;
            case kServerId:
                message.server = address();
                break;
            case kRequestedAddress:
                message.requested = address();
                break;
            case kDns:
                for (std::size_t i = 0; i + 4 <= value.size(); i += 4)
                    message.dns.push_back(Ipv4Address{get32(value, i)});
                break;
            case kLeaseTime:
                message.lease_seconds = seconds();
                break;
            case kRenewalTime:
                message.renew_seconds = seconds();
                break;
            case kRebindingTime:
                message.rebind_seconds = seconds();
                break;
            default:
                break;  // everything else is of no use to us
        }
    }
    return true;  // options may end without an End option when the field is full
}

}  // namespace

std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes, std::uint32_t initial) {
    std::uint32_t sum = initial + sum16(bytes);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> build_dhcp_frame(const DhcpMessage& m, const host::MacAddress& source,
                                           std::uint16_t ip_id) {
    const std::uint32_t ip_source = m.reply ? m.server.value_or(Ipv4Address{}).value : m.client.value;
    const std::uint16_t from_port = m.reply ? kDhcpServerPort : kDhcpClientPort;
    const std::uint16_t to_port = m.reply ? kDhcpClientPort : kDhcpServerPort;
    const std::size_t bootp = kBootpFixed + kOptionsField;
    const std::size_t udp_length = kUdpHeader + bootp;
    const std::size_t ip_length = kIpHeader + udp_length;
    std::vector<std::uint8_t> f(kEthernetHeader + ip_length, 0);

    // Ethernet: to everyone, from us, IPv4.
    std::fill_n(f.begin(), 6, 0xFF);
    std::copy(source.begin(), source.end(), f.begin() + 6);
    put16(f, 12, 0x0800);

    const std::size_t ip = kEthernetHeader;
    f[ip] = 0x45;
    put16(f, ip + 2, static_cast<std::uint16_t>(ip_length));
    put16(f, ip + 4, ip_id);
    f[ip + 8] = 64;  // TTL
    f[ip + 9] = 17;  // UDP
    put32(f, ip + 12, ip_source);
    put32(f, ip + 16, 0xFFFFFFFF);
    put16(f, ip + 10, internet_checksum(std::span(f).subspan(ip, kIpHeader)));

    const std::size_t udp = ip + kIpHeader;
    put16(f, udp, from_port);
    put16(f, udp + 2, to_port);
    put16(f, udp + 4, static_cast<std::uint16_t>(udp_length));

    const std::size_t b = udp + kUdpHeader;
    f[b] = m.reply ? 2 : 1;
    f[b + 1] = 1;  // Ethernet
    f[b + 2] = 6;  // address length
    put32(f, b + 4, m.xid);
    put16(f, b + 8, m.seconds);
    put16(f, b + 10, m.broadcast ? 0x8000 : 0);
    put32(f, b + 12, m.client.value);
    put32(f, b + 16, m.yours.value);
    std::copy(m.hardware.begin(), m.hardware.end(), f.begin() + static_cast<std::ptrdiff_t>(b + 28));

    std::size_t o = b + kBootpFixed;
    std::copy(std::begin(kCookie), std::end(kCookie), f.begin() + static_cast<std::ptrdiff_t>(o));
    o += 4;
    auto option = [&](std::uint8_t code, std::initializer_list<std::uint8_t> value) {
        f[o++] = code;
        f[o++] = static_cast<std::uint8_t>(value.size());
        for (std::uint8_t v : value) f[o++] = v;
    };
    auto address_option = [&](std::uint8_t code, Ipv4Address a) {
        option(code, {static_cast<std::uint8_t>(a.value >> 24), static_cast<std::uint8_t>(a.value >> 16),
                      static_cast<std::uint8_t>(a.value >> 8), static_cast<std::uint8_t>(a.value)});
    };
    auto seconds_option = [&](std::uint8_t code, std::uint32_t v) {
        option(code, {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    };
    if (m.type) option(kMessageType, {static_cast<std::uint8_t>(*m.type)});
    if (m.requested) address_option(kRequestedAddress, *m.requested);
    if (m.server) address_option(kServerId, *m.server);
    if (m.reply) {
        if (m.netmask) address_option(kSubnetMask, *m.netmask);
        if (m.router) address_option(kRouter, *m.router);
        // At most as many nameservers as the field can hold with the rest.
        if (!m.dns.empty()) {
            const std::size_t count = std::min<std::size_t>(m.dns.size(), 16);
            f[o++] = kDns;
            f[o++] = static_cast<std::uint8_t>(4 * count);
            for (std::size_t i = 0; i < count; ++i) {
                put32(f, o, m.dns[i].value);
                o += 4;
            }
        }
        if (m.lease_seconds) seconds_option(kLeaseTime, *m.lease_seconds);
        if (m.renew_seconds) seconds_option(kRenewalTime, *m.renew_seconds);
        if (m.rebind_seconds) seconds_option(kRebindingTime, *m.rebind_seconds);
    } else {
        option(kParameterList, {kSubnetMask, kRouter, kDns, kLeaseTime, kRenewalTime, kRebindingTime});
    }
    f[o] = kEnd;

    // UDP checksum over the pseudo-header (addresses, protocol, length) and the datagram.
    std::uint32_t pseudo = (ip_source >> 16) + (ip_source & 0xFFFF) + 0xFFFF + 0xFFFF + 17 +
                           static_cast<std::uint32_t>(udp_length);
    std::uint16_t udp_sum = internet_checksum(std::span(f).subspan(udp, udp_length), pseudo);
    put16(f, udp + 6, udp_sum == 0 ? 0xFFFF : udp_sum);  // 0 would mean "no checksum"
    return f;
}

std::optional<DhcpMessage> parse_dhcp_frame(std::span<const std::uint8_t> frame, bool reply) {
    if (frame.size() < kEthernetHeader + kIpHeader || get16(frame, 12) != 0x0800) return std::nullopt;
    const auto ip = frame.subspan(kEthernetHeader);
    const std::size_t header_length = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t total_length = get16(ip, 2);
    if ((ip[0] >> 4) != 4 || header_length < kIpHeader || total_length < header_length ||
        total_length > ip.size() || ip[9] != 17)
        return std::nullopt;
    if ((get16(ip, 6) & 0x3FFF) != 0) return std::nullopt;  // a fragment: not for this little parser
    if (internet_checksum(ip.subspan(0, header_length)) != 0) return std::nullopt;

    const auto udp = ip.subspan(header_length, total_length - header_length);
    if (udp.size() < kUdpHeader) return std::nullopt;
    const std::size_t udp_length = get16(udp, 4);
    if (get16(udp, 2) != (reply ? kDhcpClientPort : kDhcpServerPort) || udp_length < kUdpHeader ||
        udp_length > udp.size())
        return std::nullopt;
    if (get16(udp, 6) != 0) {
        const std::uint32_t source = get32(ip, 12);
        const std::uint32_t destination = get32(ip, 16);
        const std::uint32_t pseudo = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                                     (destination & 0xFFFF) + 17 + static_cast<std::uint32_t>(udp_length);
        if (internet_checksum(udp.subspan(0, udp_length), pseudo) != 0) return std::nullopt;
    }

    const auto b = udp.subspan(kUdpHeader, udp_length - kUdpHeader);
    if (b.size() < kBootpFixed + 4 || b[0] != (reply ? 2 : 1) || b[1] != 1 || b[2] != 6) return std::nullopt;
    if (!std::equal(std::begin(kCookie), std::end(kCookie), b.begin() + kBootpFixed)) return std::nullopt;

    DhcpMessage m;
    m.reply = reply;
    m.xid = get32(b, 4);
    m.seconds = get16(b, 8);
    m.broadcast = (get16(b, 10) & 0x8000) != 0;
    m.client = Ipv4Address{get32(b, 12)};
    m.yours = Ipv4Address{get32(b, 16)};
    std::copy_n(b.begin() + 28, 6, m.hardware.begin());
    if (!parse_options(b.subspan(kBootpFixed + 4), m)) return std::nullopt;
    if (!m.type) return std::nullopt;  // plain BOOTP: not a DHCP server
    return m;
}

}  // namespace net
