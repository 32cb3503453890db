#pragma once
// The Ethernet filter's decision for one binding: does a received frame go to
// it? The card may accept more than the protocols asked for (the multicast hash
// lets through every group that shares a bit), so the filter judges each frame
// by its destination again and passes on only what the binding asked for.

#include <array>
#include <cstdint>
#include <vector>

#include "platform/ndis.h"

namespace host {

using MacAddress = std::array<std::uint8_t, 6>;

struct FilterSettings {
    ULONG packet_filter = 0;  // NDIS_PACKET_TYPE_* bits
    std::vector<MacAddress> multicast;
};

bool is_broadcast(const std::uint8_t* destination);
bool is_group(const std::uint8_t* destination);

// `station` is the adapter's current address; `destination` the frame's first six bytes.
bool filter_accepts(const FilterSettings& settings, const MacAddress& station,
                    const std::uint8_t* destination);

}  // namespace host
