#include "platform/host/ethernet_filter.h"

#include <algorithm>
#include <cstring>

namespace host {

bool is_broadcast(const std::uint8_t* d) {
    return std::all_of(d, d + 6, [](std::uint8_t b) { return b == 0xFF; });
}

bool is_group(const std::uint8_t* d) {
    return (d[0] & 0x01) != 0;
}

bool filter_accepts(const FilterSettings& s, const MacAddress& station, const std::uint8_t* d) {
    const ULONG f = s.packet_filter;
    if (f & NDIS_PACKET_TYPE_PROMISCUOUS) return true;
    if (is_broadcast(d)) return (f & NDIS_PACKET_TYPE_BROADCAST) != 0;
    if (is_group(d)) {
        if (f & NDIS_PACKET_TYPE_ALL_MULTICAST) return true;
        if (!(f & NDIS_PACKET_TYPE_MULTICAST)) return false;
        return std::any_of(s.multicast.begin(), s.multicast.end(),
                           [&](const MacAddress& m) { return std::memcmp(m.data(), d, 6) == 0; });
    }
    return (f & NDIS_PACKET_TYPE_DIRECTED) != 0 && std::memcmp(station.data(), d, 6) == 0;
}

}  // namespace host
