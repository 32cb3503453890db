// The TAP endpoint against the real kernel: each case runs in a network
// namespace of its own (so devices and frames never meet the host's), with a
// packet socket as the kernel's end of the device. Skipped where that cannot
// be had (not root, no /dev/net/tun).

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/clock.h"
#include "net/loop/host_loop.h"
#include "net/tap/tap_endpoint.h"
#include "net/wire/ethernet_wire.h"
#include "net/wire/peer_station.h"

namespace {

using machine::kMillisecond;
using net::TapEndpoint;

constexpr std::uint16_t kTestType = 0x88B5;  // local experimental: nothing else in the namespace sends it
const char* const kName = "tapt0";

// A frame of the test's EtherType, numbered in its first payload bytes.
std::vector<std::uint8_t> numbered_frame(std::size_t length, std::uint16_t number) {
    std::vector<std::uint8_t> f(length, 0x5A);
    const std::uint8_t addresses[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0x77, 0x01};
    std::copy(std::begin(addresses), std::end(addresses), f.begin());
    f[12] = kTestType >> 8;
    f[13] = kTestType & 0xFF;
    f[14] = static_cast<std::uint8_t>(number >> 8);
    f[15] = static_cast<std::uint8_t>(number);
    return f;
}

bool is_test_frame(std::span<const std::uint8_t> f) {
    return f.size() >= 16 && (f[12] << 8 | f[13]) == kTestType;
}

// The kernel's end of the device: the link up with room for giants, and a
// packet socket that sends raw frames on it and hears those of the test's type.
class KernelEnd {
public:
    explicit KernelEnd(const char* name) {
        const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request{};
        std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
        request.ifr_mtu = 2000;
        if (::ioctl(control, SIOCSIFMTU, &request) < 0) throw std::runtime_error("SIOCSIFMTU");
        if (::ioctl(control, SIOCGIFFLAGS, &request) < 0) throw std::runtime_error("SIOCGIFFLAGS");
        request.ifr_flags |= IFF_UP;
        if (::ioctl(control, SIOCSIFFLAGS, &request) < 0) throw std::runtime_error("SIOCSIFFLAGS");
        ::close(control);
        fd_ = ::socket(AF_PACKET, SOCK_RAW, htons(kTestType));
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(kTestType);
        where.sll_ifindex = static_cast<int>(if_nametoindex(name));
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) < 0)
            throw std::runtime_error("packet socket");
    }
    ~KernelEnd() { ::close(fd_); }
    bool send(const std::vector<std::uint8_t>& frame) {
        return ::send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
    }
    std::optional<std::vector<std::uint8_t>> receive() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) return std::nullopt;
        std::vector<std::uint8_t> frame(4096);
        const ssize_t n = ::recv(fd_, frame.data(), frame.size(), 0);
        if (n < 0) return std::nullopt;
        frame.resize(static_cast<std::size_t>(n));
        return frame;
    }

private:
    int fd_ = -1;
};

class TapEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/net/tun", F_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
        if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace of our own (needs root)";
    }
    std::vector<std::vector<std::uint8_t>> test_frames_heard() const {
        std::vector<std::vector<std::uint8_t>> frames;
        for (const auto& a : peer.received())
            if (is_test_frame(a.frame)) frames.push_back(a.frame);
        return frames;
    }

    machine::VirtualClock clock;
    net::EthernetWire wire{clock};
    net::PeerStation peer{wire};
    net::HostLoop loop{clock};
};

// Kernel to wire as the other station's MAC would send: runts padded with
// zeros, frames past 1514 bytes dropped and counted; wire to kernel as it
// stands, and lost (counted) while the link is down.
TEST_F(TapEndpointTest, CarriesFramesBothWaysAsAMacWould) {
    TapEndpoint tap(wire, loop, kName);
    peer.send(numbered_frame(100, 0));  // the link is still down: refused
    clock.advance(kMillisecond);
    EXPECT_EQ(tap.counters().dropped_unwritten, 1u);
    EXPECT_EQ(tap.counters().frames_to_device, 0u);

    KernelEnd kernel(kName);
    const std::size_t lengths[] = {42, 60, 1514, 1515, 1600};
    for (std::uint16_t i = 0; i < std::size(lengths); ++i)
        ASSERT_TRUE(kernel.send(numbered_frame(lengths[i], i)));
    clock.advance(10 * kMillisecond);
    const auto heard = test_frames_heard();
    ASSERT_EQ(heard.size(), 3u);
    auto padded = numbered_frame(42, 0);
    padded.resize(60, 0);
    EXPECT_EQ(heard[0], padded);
    EXPECT_EQ(heard[1], numbered_frame(60, 1));
    EXPECT_EQ(heard[2], numbered_frame(1514, 2));
    EXPECT_EQ(peer.runts() + peer.giants(), 0u);
    EXPECT_EQ(tap.counters().dropped_too_long, 2u);

    const auto out = numbered_frame(333, 7);
    peer.send(out);
    clock.advance(kMillisecond);
    EXPECT_EQ(kernel.receive(), out);
    EXPECT_EQ(tap.counters().frames_to_device, 1u);
}

// A flood from the host is taken a bounded batch per round, nothing lost and
// in order.
TEST_F(TapEndpointTest, TakesABoundedBatchPerRound) {
    TapEndpoint tap(wire, loop, kName);
    KernelEnd kernel(kName);
    const auto before = tap.counters().frames_from_device;  // the kernel's own, if it sent any yet
    constexpr std::uint16_t kFlood = 3 * TapEndpoint::kFramesPerRound + 5;
    for (std::uint16_t i = 0; i < kFlood; ++i) ASSERT_TRUE(kernel.send(numbered_frame(64, i)));
    loop.round(0);
    EXPECT_EQ(tap.counters().frames_from_device - before, TapEndpoint::kFramesPerRound);
    clock.advance(20 * kMillisecond);
    const auto heard = test_frames_heard();
    ASSERT_EQ(heard.size(), kFlood);
    for (std::uint16_t i = 0; i < kFlood; ++i) EXPECT_EQ(heard[i], numbered_frame(64, i)) << i;
}

// A name is refused with a reason while it is taken, and free again once the
// endpoint that held it is gone (the device went with it).
TEST_F(TapEndpointTest, RefusesATakenNameAndFreesItsOwnOnClosing) {
    auto refusal = [&](const std::string& name) -> std::string {
        try {
            TapEndpoint other(wire, loop, name);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "accepted";
    };
    {
        TapEndpoint tap(wire, loop, kName);
        EXPECT_EQ(tap.name(), kName);
        EXPECT_NE(if_nametoindex(kName), 0u);
        EXPECT_EQ(refusal(kName), std::string("cannot attach TAP device ") + kName +
                                      ": the name is taken: another program holds that TAP device open");
        EXPECT_EQ(refusal("lo"),
                  "cannot attach TAP device lo: the name is taken by a device that is no TAP device of ours "
                  "to attach");
        EXPECT_EQ(refusal("sixteen-chars-xx"), "TAP device names are 1 to 15 characters");
    }
    EXPECT_EQ(if_nametoindex(kName), 0u);
    TapEndpoint again(wire, loop, kName);
}

}  // namespace
