#pragma once
// Plugs a DP8390 into the wire: what the chip transmits goes onto the medium,
// and what the medium carries to it arrives at the chip's receiver.

#include "machine/nic/dp8390.h"
#include "net/wire/ethernet_wire.h"

namespace net {

class NicPort : public WireEndpoint {
public:
    NicPort(EthernetWire& wire, machine::Dp8390& nic);
    ~NicPort() override;
    NicPort(const NicPort&) = delete;
    NicPort& operator=(const NicPort&) = delete;

    void receive_frame(std::span<const std::uint8_t> frame) override { nic_.receive_frame(frame); }
    void medium_busy(machine::Nanoseconds start, machine::Nanoseconds end) override {
        nic_.medium_busy(start, end);
    }

private:
    EthernetWire& wire_;
    machine::Dp8390& nic_;
};

}  // namespace net
