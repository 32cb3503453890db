#pragma once
// A scripted station on the wire: it sends the frames it is given at the
// virtual times it is given, padding short ones as any Ethernet MAC does, and
// remembers every frame it hears together with the time it arrived. A frame
// shorter than 60 bytes or longer than 1514 (without FCS) is no Ethernet
// frame: a real MAC drops it as a runt or a giant, and so does the peer,
// counting it instead.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "machine/clock.h"
#include "net/wire/ethernet_wire.h"

namespace net {

class PeerStation : public WireEndpoint {
public:
    static constexpr std::size_t kMinimumFrame = 60;
    static constexpr std::size_t kMaximumFrame = 1514;

    struct Arrival {
        machine::Nanoseconds time;
        std::vector<std::uint8_t> frame;
    };

    explicit PeerStation(EthernetWire& wire);
    ~PeerStation() override;
    PeerStation(const PeerStation&) = delete;
    PeerStation& operator=(const PeerStation&) = delete;

    // Queues `frame` to go onto the wire at `when` (now, if that has passed).
    void send_at(machine::Nanoseconds when, std::vector<std::uint8_t> frame);
    void send(std::vector<std::uint8_t> frame) { send_at(wire_.clock().now(), std::move(frame)); }
    std::size_t frames_sent() const { return frames_sent_; }

    const std::vector<Arrival>& received() const { return received_; }
    void clear_received() { received_.clear(); }
    // Frames heard but dropped for their length.
    std::size_t runts() const { return runts_; }
    std::size_t giants() const { return giants_; }
    // Called after each arrival has been recorded, e.g. to answer it.
    void on_receive(std::function<void(std::span<const std::uint8_t>)> handler) {
        handler_ = std::move(handler);
    }

    void receive_frame(std::span<const std::uint8_t> frame) override;

private:
    void send_now(std::vector<std::uint8_t>& frame);

    EthernetWire& wire_;
    std::vector<Arrival> received_;
    std::vector<machine::VirtualClock::EventId> scheduled_;
    std::function<void(std::span<const std::uint8_t>)> handler_;
    std::size_t frames_sent_ = 0;
    std::size_t runts_ = 0;
    std::size_t giants_ = 0;
};

}  // namespace net
