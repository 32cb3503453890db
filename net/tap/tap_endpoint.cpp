#include "net/tap/tap_endpoint.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace net {

namespace {

constexpr const char* kCloneDevice = "/dev/net/tun";
// Without a virtio header the device hands over no GSO super-frames: a frame
// is at most the device's MTU (65535 at most) plus a header and a VLAN tag.
constexpr std::size_t kLongestRead = 65536 + 18;

std::runtime_error open_failure(int error) {
    std::string reason = std::strerror(error);
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        reason += " (the kernel's TUN/TAP driver is missing: modprobe tun)";
    else if (error == EACCES || error == EPERM)
        reason += " (TAP devices need root)";
    return std::runtime_error(std::string("cannot open ") + kCloneDevice + ": " + reason);
}

std::runtime_error attach_failure(const std::string& name, int error) {
    std::string reason;
    if (error == EPERM)
        reason = "not allowed (needs root, or a device made for this user: ip tuntap add dev " + name +
                 " mode tap user USER)";
    else if (error == EBUSY)
        reason = "the name is taken: another program holds that TAP device open";
    else if (error == EINVAL)
        reason = "the name is taken by a device that is no TAP device of ours to attach";
    else
        reason = std::strerror(error);
    return std::runtime_error("cannot attach TAP device " + name + ": " + reason);
}

}  // namespace

TapEndpoint::TapEndpoint(EthernetWire& wire, HostLoop& loop, const std::string& name)
    : wire_(wire), loop_(loop), buffer_(kLongestRead) {
    if (name.empty() || name.size() >= IFNAMSIZ)
        throw std::runtime_error("TAP device names are 1 to " + std::to_string(IFNAMSIZ - 1) + " characters");
    fd_ = ::open(kCloneDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw open_failure(errno);
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::memcpy(request.ifr_name, name.data(), name.size());
    if (::ioctl(fd_, TUNSETIFF, &request) < 0) {
        const int error = errno;
        ::close(fd_);
        throw attach_failure(name, error);
    }
    name_ = request.ifr_name;  // the kernel's, should it have expanded a pattern
    wire_.attach(*this);
    loop_.add(*this);
}

TapEndpoint::~TapEndpoint() {
    loop_.remove(*this);
    wire_.detach(*this);
    ::close(fd_);
}

void TapEndpoint::receive_frame(std::span<const std::uint8_t> frame) {
    // One write is one frame. A device that is down or gone refuses it, and a
    // full one would block: either way the frame is lost, as on a dead link.
    const ssize_t written = ::write(fd_, frame.data(), frame.size());
    if (written == static_cast<ssize_t>(frame.size()))
        ++counters_.frames_to_device;
    else
        ++counters_.dropped_unwritten;
}

void TapEndpoint::prepare(HostLoop& loop) {
    watch_ = lost_ ? -1 : loop.watch(fd_, POLLIN);
}

void TapEndpoint::dispatch(HostLoop& loop) {
    if (watch_ < 0 || !(loop.ready(watch_) & (POLLIN | POLLERR))) return;
    for (std::size_t taken = 0; taken < kFramesPerRound; ++taken) {
        const ssize_t length = ::read(fd_, buffer_.data(), buffer_.size());
        if (length <= 0) {
            // A device deleted under us stays readable with an error forever;
            // watching it on would keep the loop from ever waiting again.
            if (length < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) lost_ = true;
            return;
        }
        const auto size = static_cast<std::size_t>(length);
        if (size > kMaximumFrame) {
            ++counters_.dropped_too_long;
            continue;
        }
        if (size < kMinimumFrame) std::memset(buffer_.data() + size, 0, kMinimumFrame - size);
        ++counters_.frames_from_device;
        wire_.transmit(this, std::span(buffer_).first(std::max(size, kMinimumFrame)));
    }
}

}  // namespace net
