#pragma once
// The last frames the wire carried, each with its virtual time and a one-line
// summary (addresses, EtherType, and for IPv4 the protocol and ports), for a
// live view of the wire. Bounded: the oldest entry goes when a new one comes.

#include <cstdint>
#include <deque>
#include <span>
#include <string>

#include "net/wire/ethernet_wire.h"

namespace net {

// "10.0.2.15:49153 > 10.0.2.2:80 TCP [SYN] len 0", "ARP who has 10.0.2.2 tell 10.0.2.15", ...
std::string summarize_frame(std::span<const std::uint8_t> frame);

class RecentFrames : public WireEndpoint {
public:
    struct Entry {
        machine::Nanoseconds time;
        std::size_t length;
        std::string source, destination;  // MAC addresses
        std::string summary;
    };

    RecentFrames(EthernetWire& wire, std::size_t capacity = 32);
    ~RecentFrames() override;
    RecentFrames(const RecentFrames&) = delete;
    RecentFrames& operator=(const RecentFrames&) = delete;

    void receive_frame(std::span<const std::uint8_t> frame) override;
    const std::deque<Entry>& entries() const { return entries_; }
    std::uint64_t frames_seen() const { return seen_; }

private:
    EthernetWire& wire_;
    std::size_t capacity_;
    std::deque<Entry> entries_;
    std::uint64_t seen_ = 0;
};

}  // namespace net
