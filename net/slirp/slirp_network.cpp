#include "net/slirp/slirp_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <slirp/libslirp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace net {

namespace {

// libslirp treats a clock reading of 0 as "timer not armed" in places, so its
// clock starts one second into virtual time.
constexpr std::int64_t kClockOffsetNs = 1'000'000'000;
constexpr std::size_t kMinimumFrame = 60;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;

in_addr parse_address(const std::string& text, const char* what) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        throw std::runtime_error(std::string("virtual network: bad ") + what + " address '" + text + "'");
    return address;
}

std::uint32_t host_order(const std::string& text, const char* what) {
    return ntohl(parse_address(text, what).s_addr);
}

short to_poll_events(int slirp_events) {
    short events = 0;
    if (slirp_events & SLIRP_POLL_IN) events |= POLLIN;
    if (slirp_events & SLIRP_POLL_OUT) events |= POLLOUT;
    if (slirp_events & SLIRP_POLL_PRI) events |= POLLPRI;
    if (slirp_events & SLIRP_POLL_ERR) events |= POLLERR;
    if (slirp_events & SLIRP_POLL_HUP) events |= POLLHUP;
    return events;
}

int to_slirp_events(short revents) {
    int events = 0;
    if (revents & POLLIN) events |= SLIRP_POLL_IN;
    if (revents & POLLOUT) events |= SLIRP_POLL_OUT;
    if (revents & POLLPRI) events |= SLIRP_POLL_PRI;
    if (revents & POLLERR) events |= SLIRP_POLL_ERR;
    if (revents & POLLHUP) events |= SLIRP_POLL_HUP;
    return events;
}

// A port nobody listens on at the moment, for a forward asked for with port 0.
std::optional<std::uint16_t> free_tcp_port(in_addr address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr = address;
    socklen_t length = sizeof where;
    std::optional<std::uint16_t> port;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0)
        port = ntohs(where.sin_port);
    ::close(fd);
    return port;
}

}  // namespace

struct SlirpNetwork::Timer {
    SlirpNetwork* owner;
    SlirpTimerId id;
    void* cb_opaque;
    machine::VirtualClock::EventId event = 0;
};

// libslirp calls back through plain C function pointers with our `this` as opaque.
struct SlirpGlue {
    static SlirpNetwork& self(void* opaque) { return *static_cast<SlirpNetwork*>(opaque); }

    static ssize_t send_packet(const void* buf, size_t len, void* opaque) {
        self(opaque).send_to_guest(static_cast<const std::uint8_t*>(buf), len);
        return static_cast<ssize_t>(len);
    }
    static void guest_error(const char* message, void* opaque) {
        self(opaque).guest_errors_.emplace_back(message);
    }
    static int64_t clock_get_ns(void* opaque) { return self(opaque).clock_ns(); }
    static void* timer_new_opaque(SlirpTimerId id, void* cb_opaque, void* opaque) {
        return self(opaque).new_timer(id, cb_opaque);
    }
    static void timer_free(void* timer, void* opaque) {
        self(opaque).free_timer(static_cast<SlirpNetwork::Timer*>(timer));
    }
    static void timer_mod(void* timer, int64_t expire_ms, void* opaque) {
        self(opaque).arm_timer(static_cast<SlirpNetwork::Timer*>(timer), expire_ms);
    }
    // We poll every tick anyway, so registration and wake-ups need no action.
    static void register_poll_fd(int, void*) {}
    static void unregister_poll_fd(int, void*) {}
    static void notify(void*) {}
    static int add_poll(int fd, int events, void* opaque) {
        return self(opaque).loop_.watch(fd, to_poll_events(events));
    }
    static int get_revents(int index, void* opaque) {
        return to_slirp_events(self(opaque).loop_.ready(index));
    }

    static const SlirpCb callbacks;
};

const SlirpCb SlirpGlue::callbacks = {
    .send_packet = SlirpGlue::send_packet,
    .guest_error = SlirpGlue::guest_error,
    .clock_get_ns = SlirpGlue::clock_get_ns,
    .timer_new = nullptr,
    .timer_free = SlirpGlue::timer_free,
    .timer_mod = SlirpGlue::timer_mod,
    .register_poll_fd = SlirpGlue::register_poll_fd,
    .unregister_poll_fd = SlirpGlue::unregister_poll_fd,
    .notify = SlirpGlue::notify,
    .init_completed = nullptr,
    .timer_new_opaque = SlirpGlue::timer_new_opaque,
};

SlirpNetwork::SlirpNetwork(EthernetWire& wire, HostLoop& loop, SlirpNetworkOptions options)
    : wire_(wire), loop_(loop), options_(std::move(options)) {
    if (options_.prefix_length < 1 || options_.prefix_length > 30)
        throw std::runtime_error("virtual network: prefix length must be 1..30");
    netmask_ = ~std::uint32_t{0} << (32 - options_.prefix_length);
    network_ = host_order(options_.network, "network") & netmask_;
    router_ = host_order(options_.host, "host");

    SlirpConfig config{};
    config.version = 4;
    config.restricted = 0;
    config.in_enabled = true;
    config.vnetwork.s_addr = htonl(network_);
    config.vnetmask.s_addr = htonl(netmask_);
    config.vhost = parse_address(options_.host, "host");
    config.in6_enabled = false;  // the guest's stack is IPv4 only
    config.vhostname = options_.hostname.c_str();
    config.vdhcp_start = parse_address(options_.dhcp_start, "DHCP start");
    config.vnameserver = parse_address(options_.nameserver, "nameserver");
    config.if_mtu = 1500;
    config.if_mru = 1500;
    config.disable_host_loopback = false;
    config.enable_emu = false;
    config.disable_dns = false;
    config.disable_dhcp = false;

    slirp_ = slirp_new(&config, &SlirpGlue::callbacks, this);
    if (slirp_ == nullptr) throw std::runtime_error("virtual network: libslirp refused the configuration");
    wire_.attach(*this);
    loop_.add(*this);
}

SlirpNetwork::~SlirpNetwork() {
    loop_.remove(*this);
    wire_.detach(*this);
    slirp_cleanup(slirp_);
    for (const auto& timer : timers_) wire_.clock().cancel(timer->event);
}

void SlirpNetwork::receive_frame(std::span<const std::uint8_t> frame) {
    if (!admitted(frame)) {
        ++counters_.frames_refused;
        return;
    }
    ++counters_.frames_from_guest;
    slirp_input(slirp_, frame.data(), static_cast<int>(frame.size()));
}

bool SlirpNetwork::admitted(std::span<const std::uint8_t> frame) const {
    if (frame.size() < 14 || frame.size() > 1514) return false;
    if (!options_.confine_to_host) return true;
    const std::uint16_t type = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
    if (type == kEtherTypeArp) return true;
    if (type != kEtherTypeIpv4 || frame.size() < 14 + 20) return false;
    const std::uint32_t destination =
        static_cast<std::uint32_t>(frame[30]) << 24 | frame[31] << 16 | frame[32] << 8 | frame[33];
    const std::uint32_t network_broadcast = network_ | ~netmask_;
    return destination == router_ || destination == 0xFFFFFFFFu || destination == network_broadcast;
}

void SlirpNetwork::send_to_guest(const std::uint8_t* frame, std::size_t length) {
    // libslirp hands over bare frames; as any MAC would, we pad runts (ARP
    // replies, bare ACKs) to the Ethernet minimum before they go on the wire.
    std::vector<std::uint8_t> bytes(frame, frame + length);
    if (bytes.size() < kMinimumFrame) bytes.resize(kMinimumFrame, 0);
    ++counters_.frames_to_guest;
    wire_.transmit(this, bytes);
}

std::int64_t SlirpNetwork::clock_ns() const {
    return static_cast<std::int64_t>(wire_.clock().now()) + kClockOffsetNs;
}

SlirpNetwork::Timer* SlirpNetwork::new_timer(int id, void* cb_opaque) {
    timers_.push_back(std::make_unique<Timer>(Timer{this, static_cast<SlirpTimerId>(id), cb_opaque}));
    return timers_.back().get();
}

void SlirpNetwork::free_timer(Timer* timer) {
    wire_.clock().cancel(timer->event);
    std::erase_if(timers_, [timer](const auto& t) { return t.get() == timer; });
}

void SlirpNetwork::arm_timer(Timer* timer, std::int64_t expire_ms) {
    machine::VirtualClock& clock = wire_.clock();
    clock.cancel(timer->event);
    const std::int64_t due_ns = expire_ms * 1'000'000 - kClockOffsetNs;
    const machine::Nanoseconds due = std::max<machine::Nanoseconds>(
        clock.now(), due_ns < 0 ? 0 : static_cast<machine::Nanoseconds>(due_ns));
    timer->event =
        clock.schedule_at(due, [this, timer] { slirp_handle_timer(slirp_, timer->id, timer->cb_opaque); });
}

void SlirpNetwork::prepare(HostLoop&) {
    std::uint32_t timeout = 0;  // the loop never waits inside a tick
    slirp_pollfds_fill(slirp_, &timeout, SlirpGlue::add_poll, this);
}

void SlirpNetwork::dispatch(HostLoop&) {
    ++counters_.polls;
    // A failed poll reports nothing ready (the loop clears it): libslirp
    // still runs its timers and does the socket work nothing waits for.
    slirp_pollfds_poll(slirp_, 0, SlirpGlue::get_revents, this);
}

std::optional<std::uint16_t> SlirpNetwork::add_host_forward(Transport transport, std::uint16_t host_port,
                                                            const std::string& guest_address,
                                                            std::uint16_t guest_port,
                                                            const std::string& host_address) {
    const in_addr host = parse_address(host_address, "forward host");
    const in_addr guest = parse_address(guest_address, "forward guest");
    if (host_port == 0) {
        const auto port = free_tcp_port(host);
        if (!port) return std::nullopt;
        host_port = *port;
    }
    const int is_udp = transport == Transport::Udp ? 1 : 0;
    if (slirp_add_hostfwd(slirp_, is_udp, host, host_port, guest, guest_port) != 0) return std::nullopt;
    return host_port;
}

bool SlirpNetwork::remove_host_forward(Transport transport, std::uint16_t host_port,
                                       const std::string& host_address) {
    const in_addr host = parse_address(host_address, "forward host");
    return slirp_remove_hostfwd(slirp_, transport == Transport::Udp ? 1 : 0, host, host_port) == 0;
}

std::string SlirpNetwork::connection_info() const {
    char* text = slirp_connection_info(slirp_);
    std::string info = text != nullptr ? text : "";
    std::free(text);  // g_free: libslirp allocates with glib, which uses malloc
    return info;
}

}  // namespace net
