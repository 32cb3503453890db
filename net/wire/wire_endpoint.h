#pragma once
// Anything attached to the Ethernet wire: a network card, a scripted peer, a
// capture. Frames travel without their FCS.

#include <cstdint>
#include <span>

namespace net {

class WireEndpoint {
public:
    virtual ~WireEndpoint() = default;
    // Called when the last bit of a frame sent by another endpoint has arrived.
    virtual void receive_frame(std::span<const std::uint8_t> frame) = 0;
};

}  // namespace net
