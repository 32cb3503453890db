#pragma once
// The bus traffic the driver's register sequences call for, worked out from
// those sequences alone, for one frame sent or received on an idle adapter:
// what the per-frame accounting of a run must match, access for access.
//
// The card is taken to answer at once: the remote-DMA address has moved at the
// first poll after a dummy read, and RDC is already up at the first poll of
// every RDC wait (no host write ever clears it while a copy runs).

#include <cstddef>
#include <cstdint>

#include "bench/bus_account.h"

namespace bench {

struct CardShape {
    bool word_wide = true;
};

// A frame of `length` bytes (60 to 1514) in one buffer, handed to an idle
// transmitter: copied down, started, and its transmit interrupt handled.
BusAccount prescribed_send(std::size_t length, CardShape card);

// Where a received frame lies in the ring, as the driver will read it, and
// how far the driver's batch count has run.
struct ReceiveState {
    std::uint32_t frame_page_address = 0;  // card address of the frame's first page (its header)
    std::uint32_t ring_start_address = 0;
    std::uint32_t ring_end_address = 0;  // one past the ring's last byte
    std::uint32_t frames_in_batch = 0;   // frames taken since the batch count was last zeroed
};

// A frame of `length` bytes (60 to 1514), the only one in the ring, taken by a
// protocol that asks for all of it: header read, lookahead copied, the rest
// transferred into one buffer (split at the ring's end), BNRY moved on. The
// frame that fills a batch ends its pass early, and a second pass finds the
// ring empty.
BusAccount prescribed_receive(std::size_t length, CardShape card, std::uint32_t lookahead, ReceiveState ring);

}  // namespace bench
