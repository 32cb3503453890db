#pragma once
// The floor under the emulation's cost: the same bytes moved the same number
// of times in host memory, with nothing else. A send: protocol buffer -> card
// RAM -> wire -> station. A receive: station -> wire -> card RAM -> lookahead
// and, for a frame longer than the lookahead, the rest straight into the
// protocol's buffer (otherwise the protocol copies it from the lookahead).

#include <array>
#include <cstddef>
#include <cstdint>

namespace bench {

class MemoryFloor {
public:
    MemoryFloor();
    void send(std::size_t length);
    void receive(std::size_t length, std::size_t lookahead = 238);
    // Something of the copies, so that the compiler cannot drop them.
    std::uint8_t checksum() const;

private:
    static constexpr std::size_t kCardMemory = 16 * 1024;
    std::array<std::uint8_t, 1514> protocol_{};
    std::array<std::uint8_t, kCardMemory> card_{};
    std::array<std::uint8_t, 1514> wire_{};
    std::array<std::uint8_t, 1514> station_{};
    std::array<std::uint8_t, 252> lookahead_{};
    std::size_t ring_at_ = 0;  // the frames walk round the card memory as they do in the ring
};

}  // namespace bench
