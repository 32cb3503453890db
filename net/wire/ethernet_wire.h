#pragma once
// A shared 10 Mbit/s Ethernet segment on virtual time. One frame is on the
// medium at a time; a frame handed over while another is under way goes out
// right after it (carrier sense and deferral, without collisions). Every other
// attached endpoint receives the frame when it ends.
//
// The wire carries exactly the bytes a sender hands it. Padding short frames to
// the 60-byte minimum is the sending MAC's business, not the medium's.

#include <cstdint>
#include <span>
#include <vector>

#include "machine/clock.h"
#include "net/wire/wire_endpoint.h"

namespace net {

class EthernetWire {
public:
    // 0.8 µs per byte; a frame holds the medium for itself, its 4-byte FCS, the
    // 8-byte preamble and the 12-byte inter-frame gap.
    static constexpr machine::Nanoseconds kByteTime = 800;
    static constexpr machine::Nanoseconds frame_time(std::size_t frame_bytes) {
        return static_cast<machine::Nanoseconds>(frame_bytes + 4 + 8 + 12) * kByteTime;
    }

    explicit EthernetWire(machine::VirtualClock& clock) : clock_(clock) {}
    ~EthernetWire();
    EthernetWire(const EthernetWire&) = delete;
    EthernetWire& operator=(const EthernetWire&) = delete;

    machine::VirtualClock& clock() { return clock_; }

    // Endpoints are not owned; one must be detached before it goes away.
    void attach(WireEndpoint& endpoint);
    void detach(WireEndpoint& endpoint);

    // Starts `frame` on the medium as soon as it is free and returns the time at
    // which it has passed; `sender` does not hear its own frame.
    machine::Nanoseconds transmit(const WireEndpoint* sender, std::span<const std::uint8_t> frame);

    std::uint64_t frames_carried() const { return frames_carried_; }
    machine::Nanoseconds busy_until() const { return busy_until_; }

private:
    struct InFlight {
        const WireEndpoint* sender;
        std::vector<std::uint8_t> bytes;
        machine::VirtualClock::EventId event;
    };
    void deliver_oldest();

    static constexpr std::size_t kSpareFrames = 16;

    machine::VirtualClock& clock_;
    std::vector<WireEndpoint*> endpoints_;
    std::vector<WireEndpoint*> listeners_;  // the endpoints a delivery goes to
    bool delivering_ = false;
    std::vector<std::vector<std::uint8_t>> spare_;  // byte storage of delivered frames, for reuse
    // Oldest first; rarely more than two, and a vector keeps its storage (a
    // deque takes a new block every few frames as the queue walks through it).
    std::vector<InFlight> in_flight_;
    machine::Nanoseconds busy_until_ = 0;
    std::uint64_t frames_carried_ = 0;
};

}  // namespace net
