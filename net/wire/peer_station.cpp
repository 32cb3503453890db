#include "net/wire/peer_station.h"

#include <algorithm>
#include <memory>

namespace net {

PeerStation::PeerStation(EthernetWire& wire) : wire_(wire) {
    wire_.attach(*this);
}

PeerStation::~PeerStation() {
    for (auto id : scheduled_) wire_.clock().cancel(id);
    wire_.detach(*this);
}

void PeerStation::send_at(machine::Nanoseconds when, std::vector<std::uint8_t> frame) {
    if (frame.size() < kMinimumFrame) frame.resize(kMinimumFrame, 0);
    // The clock's actions must be copyable, so the frame rides in a shared buffer.
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(frame));
    auto& clock = wire_.clock();
    const auto id = clock.schedule_at(std::max(when, clock.now()), [this, bytes] { send_now(*bytes); });
    std::erase_if(scheduled_, [&clock](machine::VirtualClock::EventId e) { return !clock.pending(e); });
    scheduled_.push_back(id);
}

void PeerStation::send_now(std::vector<std::uint8_t>& frame) {
    ++frames_sent_;
    wire_.transmit(this, frame);
}

void PeerStation::receive_frame(std::span<const std::uint8_t> frame) {
    if (frame.size() < kMinimumFrame) {
        ++runts_;
        return;
    }
    if (frame.size() > kMaximumFrame) {
        ++giants_;
        return;
    }
    received_.push_back({wire_.clock().now(), std::vector<std::uint8_t>(frame.begin(), frame.end())});
    if (handler_) handler_(frame);
}

}  // namespace net
