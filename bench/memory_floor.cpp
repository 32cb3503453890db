#include "bench/memory_floor.h"

#include <algorithm>
#include <cstring>

namespace bench {

namespace {

constexpr std::size_t kTransmitArea = 12 * 256;
constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kReceiveHeader = 4;

}  // namespace

MemoryFloor::MemoryFloor() {
    for (std::size_t i = 0; i < protocol_.size(); ++i) protocol_[i] = static_cast<std::uint8_t>(i);
    station_ = protocol_;
}

void MemoryFloor::send(std::size_t length) {
    std::memcpy(card_.data(), protocol_.data(), length);
    std::memcpy(wire_.data(), card_.data(), length);
    std::memcpy(station_.data(), wire_.data(), length);
}

void MemoryFloor::receive(std::size_t length, std::size_t lookahead) {
    std::memcpy(wire_.data(), station_.data(), length);
    const std::size_t ring = card_.size() - kTransmitArea;
    if (ring_at_ + kReceiveHeader + length > ring) ring_at_ = 0;
    std::uint8_t* frame = card_.data() + kTransmitArea + ring_at_ + kReceiveHeader;
    std::memcpy(frame, wire_.data(), length);
    ring_at_ = (ring_at_ + kReceiveHeader + length + 255) / 256 * 256;
    // The driver reads the header and a lookahead's worth, which for a short
    // frame runs on past its end; it indicates what the frame holds of that.
    std::memcpy(lookahead_.data(), frame, std::min(length, lookahead) + kEthernetHeader);
    const std::size_t indicated = std::min(length, lookahead + kEthernetHeader);
    std::memcpy(protocol_.data(), lookahead_.data(), kEthernetHeader);
    if (indicated < length)
        std::memcpy(protocol_.data() + kEthernetHeader, frame + kEthernetHeader, length - kEthernetHeader);
    else
        std::memcpy(protocol_.data() + kEthernetHeader, lookahead_.data() + kEthernetHeader,
                    indicated - kEthernetHeader);
}

std::uint8_t MemoryFloor::checksum() const {
    return static_cast<std::uint8_t>(station_[13] ^ protocol_[59] ^ card_[kTransmitArea + 100] ^
                                     lookahead_[20]);
}

}  // namespace bench
