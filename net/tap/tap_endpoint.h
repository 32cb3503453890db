#pragma once
// A Linux TAP device as a station on the wire: what the guest sends reaches
// the host kernel's own network stack, and what the kernel sends out of the
// device goes onto the wire, so ping, ssh or a browser on this host talk to
// the guest as to any machine on a LAN.
//
// The device is opened, never configured: giving the kernel's end an address
// and bringing the link up is the user's business (`ip addr add`, `ip link set
// up`), as is taking it down. A device that did not exist is created for as
// long as the endpoint holds it open; one made persistent beforehand
// (`ip tuntap add`) stays behind.
//
// The device plays the part of the other station's MAC: frames the kernel
// hands it too short for Ethernet are padded to the 60-byte minimum, frames
// too long for it (an MTU raised past 1500) are dropped and counted. Reading
// is bounded per round of the host loop so that a flood from the host cannot
// starve the machine, and a write the device will not take at once is dropped
// and counted, as a MAC drops what it has no room for, never buffered.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net/loop/host_loop.h"
#include "net/wire/ethernet_wire.h"

namespace net {

class TapEndpoint : public WireEndpoint, public HostLoop::Participant {
public:
    static constexpr std::size_t kMinimumFrame = 60;
    static constexpr std::size_t kMaximumFrame = 1514;
    // Frames taken from the device in one round of the host loop at most.
    static constexpr std::size_t kFramesPerRound = 32;

    struct Counters {
        std::uint64_t frames_to_device = 0;    // from the wire, written to the device
        std::uint64_t frames_from_device = 0;  // read from the device, put on the wire
        std::uint64_t dropped_too_long = 0;    // read from the device, over kMaximumFrame
        std::uint64_t dropped_unwritten = 0;   // from the wire, refused or not taken at once by the device
    };

    // Opens (creating if need be) the TAP device `name` and joins the wire and
    // the loop. Throws std::runtime_error with a one-line reason when it cannot:
    // no /dev/net/tun, not allowed (needs root), or the name is taken.
    TapEndpoint(EthernetWire& wire, HostLoop& loop, const std::string& name);
    // Leaves the wire and the loop, and closes the device.
    ~TapEndpoint() override;
    TapEndpoint(const TapEndpoint&) = delete;
    TapEndpoint& operator=(const TapEndpoint&) = delete;

    const std::string& name() const { return name_; }
    const Counters& counters() const { return counters_; }
    // The device went away under us (deleted): nothing more is read from it.
    bool lost() const { return lost_; }

    void receive_frame(std::span<const std::uint8_t> frame) override;
    void prepare(HostLoop& loop) override;
    void dispatch(HostLoop& loop) override;

private:
    EthernetWire& wire_;
    HostLoop& loop_;
    std::string name_;
    int fd_ = -1;
    int watch_ = -1;
    bool lost_ = false;
    std::vector<std::uint8_t> buffer_;  // one read: as long as any frame the device can hold
    Counters counters_;
};

}  // namespace net
