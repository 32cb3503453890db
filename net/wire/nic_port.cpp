#include "net/wire/nic_port.h"

namespace net {

NicPort::NicPort(EthernetWire& wire, machine::Dp8390& nic) : wire_(wire), nic_(nic) {
    nic_.set_transmit_hook(
        [this](std::span<const std::uint8_t> frame) { return wire_.transmit(this, frame); });
    wire_.attach(*this);
}

NicPort::~NicPort() {
    wire_.detach(*this);
    nic_.set_transmit_hook({});
}

}  // namespace net
