#include "net/wire/ethernet_wire.h"

#include <algorithm>

namespace net {

EthernetWire::~EthernetWire() {
    for (const InFlight& frame : in_flight_) clock_.cancel(frame.event);
}

void EthernetWire::attach(WireEndpoint& endpoint) {
    if (std::find(endpoints_.begin(), endpoints_.end(), &endpoint) == endpoints_.end())
        endpoints_.push_back(&endpoint);
}

void EthernetWire::detach(WireEndpoint& endpoint) {
    std::erase(endpoints_, &endpoint);
}

machine::Nanoseconds EthernetWire::transmit(const WireEndpoint* sender, std::span<const std::uint8_t> frame) {
    const machine::Nanoseconds start = std::max(clock_.now(), busy_until_);
    busy_until_ = start + frame_time(frame.size());
    for (WireEndpoint* endpoint : endpoints_)
        if (endpoint != sender) endpoint->medium_busy(start, busy_until_);
    // Frames end in the order they started, so each delivery takes the oldest.
    const auto event = clock_.schedule_at(busy_until_, [this] { deliver_oldest(); });
    in_flight_.push_back({sender, std::vector<std::uint8_t>(frame.begin(), frame.end()), event});
    return busy_until_;
}

void EthernetWire::deliver_oldest() {
    // Taken off the queue first: a receiver may answer at once, and may attach
    // or detach endpoints while we deliver.
    InFlight frame = std::move(in_flight_.front());
    in_flight_.pop_front();
    ++frames_carried_;
    const std::vector<WireEndpoint*> listeners = endpoints_;
    for (WireEndpoint* endpoint : listeners) {
        if (endpoint == frame.sender) continue;
        if (std::find(endpoints_.begin(), endpoints_.end(), endpoint) == endpoints_.end()) continue;
        endpoint->receive_frame(frame.bytes);
    }
}

}  // namespace net
