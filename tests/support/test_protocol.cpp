#include "tests/support/test_protocol.h"

#include <algorithm>

namespace testbed {

TestProtocol::~TestProtocol() = default;

std::uint64_t TestProtocol::send(std::vector<std::uint8_t> bytes, const std::vector<std::size_t>& split,
                                 std::size_t first_offset) {
    const std::uint64_t id = next_id_++;
    // The offset is a leading buffer over filler bytes, unchained again before the send.
    std::vector<std::size_t> pieces = split;
    if (first_offset != 0) {
        bytes.insert(bytes.begin(), first_offset, 0xA5);
        pieces.insert(pieces.begin(), first_offset);
    }
    auto frame = std::make_unique<host::FramePacket>(packets_, buffers_, std::move(bytes), pieces);
    PNDIS_PACKET packet = frame->packet();
    if (first_offset != 0 && packet != nullptr) buffers_.free(host::unchain_buffer_at_front(packet));
    in_flight_.emplace(id, std::move(frame));
    const NDIS_STATUS status = binding_->send(packet);
    if (status != NDIS_STATUS_PENDING) finish(packet, status, true);
    return id;
}

void TestProtocol::send_complete(host::Binding&, PNDIS_PACKET packet, NDIS_STATUS status) {
    finish(packet, status, false);
}

void TestProtocol::finish(PNDIS_PACKET packet, NDIS_STATUS status, bool synchronous) {
    auto it = std::find_if(in_flight_.begin(), in_flight_.end(),
                           [&](const auto& entry) { return entry.second->packet() == packet; });
    if (it == in_flight_.end()) {
        completions_.push_back({0, status, clock_.now(), synchronous});  // not ours: id 0 shows it
        return;
    }
    completions_.push_back({it->first, status, clock_.now(), synchronous});
    in_flight_.erase(it);
}

std::optional<NDIS_STATUS> TestProtocol::completion_of(std::uint64_t id) const {
    for (const auto& c : completions_)
        if (c.id == id) return c.status;
    return std::nullopt;
}

PNDIS_PACKET TestProtocol::packet_of(std::uint64_t id) const {
    auto it = in_flight_.find(id);
    return it == in_flight_.end() ? nullptr : it->second->packet();
}

NDIS_STATUS TestProtocol::receive(host::Binding& binding, const host::ReceiveIndication& indication) {
    ReceivedFrame r;
    r.time = clock_.now();
    r.frame.assign(indication.header().begin(), indication.header().end());
    r.lookahead.assign(indication.lookahead().begin(), indication.lookahead().end());
    r.packet_size = indication.packet_size();
    const bool fetch =
        transfer == Transfer::Always ||
        (transfer == Transfer::WhenNeeded && indication.lookahead().size() < indication.packet_size());
    if (fetch) {
        host::FramePacket into(packets_, buffers_, std::vector<std::uint8_t>(indication.packet_size()));
        UINT moved = 0;
        r.transferred = true;
        r.transfer_status = indication.transfer_data(into.packet(), 0, indication.packet_size(), &moved);
        r.bytes_transferred = moved;
        const auto data = into.contents();
        r.frame.insert(r.frame.end(), data.begin(), data.begin() + std::min<std::size_t>(moved, data.size()));
    } else {
        r.frame.insert(r.frame.end(), r.lookahead.begin(), r.lookahead.end());
    }
    received_.push_back(std::move(r));
    if (on_receive) on_receive(binding, indication);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TestProtocol::query(NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed) {
    return binding_->query(oid, buffer, length, written, needed);
}

NDIS_STATUS TestProtocol::set(NDIS_OID oid, PVOID buffer, ULONG length, PULONG read, PULONG needed) {
    return binding_->set(oid, buffer, length, read, needed);
}

std::vector<std::string> TestProtocol::errors() const {
    std::vector<std::string> out = packets_.errors();
    out.insert(out.end(), buffers_.errors().begin(), buffers_.errors().end());
    return out;
}

}  // namespace testbed
