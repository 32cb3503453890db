#pragma once
// Packet and buffer pools for protocols, with the NDIS chaining operations and
// leak accounting. A packet or buffer given back to its pool is really freed,
// so a miniport that keeps using a packet after completing it is caught by the
// address sanitizer. A new packet's MiniportReserved is garbage, as it is in a
// packet a protocol reuses: a miniport must set up whatever it keeps there.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace host {

class PacketPool {
public:
    // What MiniportReserved holds when a miniport is handed a packet.
    static constexpr UCHAR kReservedFill = 0xE7;

    explicit PacketPool(std::size_t capacity = 1024) : capacity_(capacity) {}
    ~PacketPool();
    PacketPool(const PacketPool&) = delete;
    PacketPool& operator=(const PacketPool&) = delete;

    // NdisAllocatePacket: a packet with no buffers, MiniportReserved filled with
    // kReservedFill and the rest cleared; null when the pool is used up.
    PNDIS_PACKET allocate();
    // NdisFreePacket: the buffers stay with their owner.
    void free(PNDIS_PACKET packet);
    std::size_t outstanding() const { return live_.size(); }
    const std::vector<std::string>& errors() const { return errors_; }

private:
    std::size_t capacity_;
    std::set<PNDIS_PACKET> live_;
    std::vector<std::string> errors_;
};

class BufferPool {
public:
    explicit BufferPool(std::size_t capacity = 4096) : capacity_(capacity) {}
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // NdisAllocateBuffer: describes `length` bytes at `address`; null when used up.
    PNDIS_BUFFER allocate(PVOID address, UINT length);
    void free(PNDIS_BUFFER buffer);
    std::size_t outstanding() const { return live_.size(); }
    const std::vector<std::string>& errors() const { return errors_; }

private:
    std::size_t capacity_;
    std::set<PNDIS_BUFFER> live_;
    std::vector<std::string> errors_;
};

// A buffer's fields, whichever layout ndis.h gives it (an MDL on NT).
void describe_buffer(PNDIS_BUFFER buffer, PVOID address, UINT length);
PVOID buffer_address(const NDIS_BUFFER* buffer);
UINT buffer_length(const NDIS_BUFFER* buffer);

// NdisChainBufferAtBack / AtFront / NdisUnchainBufferAtFront. Each makes the
// packet's cached counts stale, as the platform's macros do.
void chain_buffer_at_back(PNDIS_PACKET packet, PNDIS_BUFFER buffer);
void chain_buffer_at_front(PNDIS_PACKET packet, PNDIS_BUFFER buffer);
PNDIS_BUFFER unchain_buffer_at_front(PNDIS_PACKET packet);

// A protocol's packet holding a copy of `bytes`, split into buffers at the given
// sizes (what is left after them goes into one last buffer; zero sizes make
// empty buffers). Gives everything back to the pools when destroyed.
class FramePacket {
public:
    FramePacket(PacketPool& packets, BufferPool& buffers, std::vector<std::uint8_t> bytes,
                const std::vector<std::size_t>& split = {});
    ~FramePacket();
    FramePacket(const FramePacket&) = delete;
    FramePacket& operator=(const FramePacket&) = delete;

    PNDIS_PACKET packet() const { return packet_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // The bytes the buffers describe now, in chain order (what the miniport reads or wrote).
    std::vector<std::uint8_t> contents() const;

private:
    PacketPool& packets_;
    BufferPool& buffers_;
    std::vector<std::uint8_t> bytes_;
    PNDIS_PACKET packet_ = nullptr;
};

}  // namespace host
