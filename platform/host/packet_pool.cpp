#include "platform/host/packet_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host {

namespace {
std::string pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}
}  // namespace

PacketPool::~PacketPool() {
    for (PNDIS_PACKET p : live_) delete p;
}

PNDIS_PACKET PacketPool::allocate() {
    if (live_.size() >= capacity_) return nullptr;
    auto* p = new NDIS_PACKET{};
    p->Private.Pool = this;
    std::memset(p->MiniportReserved, kReservedFill, sizeof p->MiniportReserved);
    live_.insert(p);
    return p;
}

void PacketPool::free(PNDIS_PACKET packet) {
    if (live_.erase(packet) == 0) {
        errors_.push_back("packet " + pointer(packet) + " freed but not allocated from this pool");
        return;
    }
    delete packet;
}

#if defined(NDIS_NT_TARGET)
// As NdisAllocateBuffer does on NT: an MDL built for non-paged pool, which
// carries its system address, so NdisQueryBuffer needs no mapping.
void describe_buffer(PNDIS_BUFFER buffer, PVOID address, UINT length) {
    const auto va = reinterpret_cast<ULONG_PTR>(address);
    buffer->Next = nullptr;
    buffer->Size = static_cast<SHORT>(sizeof(MDL));
    buffer->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    buffer->MappedSystemVa = address;
    buffer->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR{PAGE_SIZE - 1});
    buffer->ByteCount = length;
    buffer->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
}

PVOID buffer_address(const NDIS_BUFFER* buffer) {
    return static_cast<UCHAR*>(buffer->StartVa) + buffer->ByteOffset;
}

UINT buffer_length(const NDIS_BUFFER* buffer) {
    return buffer->ByteCount;
}
#else
void describe_buffer(PNDIS_BUFFER buffer, PVOID address, UINT length) {
    *buffer = NDIS_BUFFER{nullptr, address, length};
}

PVOID buffer_address(const NDIS_BUFFER* buffer) {
    return buffer->VirtualAddress;
}

UINT buffer_length(const NDIS_BUFFER* buffer) {
    return buffer->Length;
}
#endif

BufferPool::~BufferPool() {
    for (PNDIS_BUFFER b : live_) delete b;
}

PNDIS_BUFFER BufferPool::allocate(PVOID address, UINT length) {
    if (live_.size() >= capacity_) return nullptr;
    auto* b = new NDIS_BUFFER{};
    describe_buffer(b, address, length);
    live_.insert(b);
    return b;
}

void BufferPool::free(PNDIS_BUFFER buffer) {
    if (live_.erase(buffer) == 0) {
        errors_.push_back("buffer " + pointer(buffer) + " freed but not allocated from this pool");
        return;
    }
    delete buffer;
}

void chain_buffer_at_back(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
    buffer->Next = nullptr;
    if (packet->Private.Tail)
        packet->Private.Tail->Next = buffer;
    else
        packet->Private.Head = buffer;
    packet->Private.Tail = buffer;
    packet->Private.ValidCounts = FALSE;
}

void chain_buffer_at_front(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
    buffer->Next = packet->Private.Head;
    packet->Private.Head = buffer;
    if (!packet->Private.Tail) packet->Private.Tail = buffer;
    packet->Private.ValidCounts = FALSE;
}

PNDIS_BUFFER unchain_buffer_at_front(PNDIS_PACKET packet) {
    PNDIS_BUFFER b = packet->Private.Head;
    if (!b) return nullptr;
    packet->Private.Head = b->Next;
    if (!packet->Private.Head) packet->Private.Tail = nullptr;
    b->Next = nullptr;
    packet->Private.ValidCounts = FALSE;
    return b;
}

FramePacket::FramePacket(PacketPool& packets, BufferPool& buffers, std::vector<std::uint8_t> bytes,
                         const std::vector<std::size_t>& split)
    : packets_(packets), buffers_(buffers), bytes_(std::move(bytes)) {
    packet_ = packets_.allocate();
    if (!packet_) return;
    std::size_t at = 0;
    for (std::size_t size : split) {
        const std::size_t n = std::min(size, bytes_.size() - at);
        if (PNDIS_BUFFER b = buffers_.allocate(bytes_.data() + at, static_cast<UINT>(n)))
            chain_buffer_at_back(packet_, b);
        at += n;
    }
    if (at < bytes_.size() || split.empty())
        if (PNDIS_BUFFER b = buffers_.allocate(bytes_.data() + at, static_cast<UINT>(bytes_.size() - at)))
            chain_buffer_at_back(packet_, b);
}

FramePacket::~FramePacket() {
    if (!packet_) return;
    while (PNDIS_BUFFER b = unchain_buffer_at_front(packet_)) buffers_.free(b);
    packets_.free(packet_);
}

std::vector<std::uint8_t> FramePacket::contents() const {
    std::vector<std::uint8_t> out;
    if (!packet_) return out;
    for (PNDIS_BUFFER b = packet_->Private.Head; b; b = b->Next) {
        const auto* p = static_cast<const std::uint8_t*>(buffer_address(b));
        out.insert(out.end(), p, p + buffer_length(b));
    }
    return out;
}

}  // namespace host
