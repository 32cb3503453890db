#pragma once
// Anything attached to the Ethernet wire: a network card, a scripted peer, a
// capture. Frames travel without their FCS.

#include <cstdint>
#include <span>

#include "machine/clock.h"

namespace net {

class WireEndpoint {
public:
    virtual ~WireEndpoint() = default;
    // Called when the last bit of a frame sent by another endpoint has arrived.
    virtual void receive_frame(std::span<const std::uint8_t> frame) = 0;
    // Told as another endpoint's frame is handed to the medium: it will hold
    // the medium over [start, end). Carrier sense for those that need it.
    virtual void medium_busy(machine::Nanoseconds /*start*/, machine::Nanoseconds /*end*/) {}
};

}  // namespace net
