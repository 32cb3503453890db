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
    // The bytes go into storage an earlier frame has finished with, so a
    // steady stream of frames costs no allocation.
    std::vector<std::uint8_t> bytes;
    if (!spare_.empty()) {
        bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    bytes.assign(frame.begin(), frame.end());
    in_flight_.push_back({sender, std::move(bytes), event});
    return busy_until_;
}

void EthernetWire::deliver_oldest() {
    // Taken off the queue first: a receiver may answer at once, and may attach
    // or detach endpoints while we deliver.
    InFlight frame = std::move(in_flight_.front());
    in_flight_.erase(in_flight_.begin());
    ++frames_carried_;
    // A receiver that runs the clock may see the next frame delivered inside
    // its own delivery: only the outermost delivery uses the kept list.
    std::vector<WireEndpoint*> nested;
    std::vector<WireEndpoint*>& listeners = delivering_ ? nested : listeners_;
    const bool outermost = !delivering_;
    delivering_ = true;
    listeners.assign(endpoints_.begin(), endpoints_.end());
    for (WireEndpoint* endpoint : listeners) {
        if (endpoint == frame.sender) continue;
        if (std::find(endpoints_.begin(), endpoints_.end(), endpoint) == endpoints_.end()) continue;
        endpoint->receive_frame(frame.bytes);
    }
    if (outermost) delivering_ = false;
    if (spare_.size() < kSpareFrames) spare_.push_back(std::move(frame.bytes));
}

}  // namespace net
