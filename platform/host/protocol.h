#pragma once
// The protocol side of the library: a protocol is bound to an adapter and from
// then on sends packets, makes requests, and is called back with receive
// indications and completions, always through the wrapper.

#include <cstdint>
#include <span>
#include <vector>

#include "platform/host/ethernet_filter.h"
#include "platform/ndis.h"

namespace host {

class Binding;
class MiniportAdapter;
class NdisLibrary;

// One frame being indicated to one binding. Valid only while the protocol's
// receive callback runs: transfer_data() after that is refused and recorded.
class ReceiveIndication {
public:
    std::span<const std::uint8_t> header() const { return header_; }
    std::span<const std::uint8_t> lookahead() const { return lookahead_; }
    // The frame's size after the header, as the miniport reported it.
    UINT packet_size() const { return packet_size_; }

    // NdisTransferData: copies `count` bytes from `offset` (counted after the
    // header) into `packet` through the miniport's transfer-data handler.
    NDIS_STATUS transfer_data(PNDIS_PACKET packet, UINT offset, UINT count, PUINT transferred) const;

private:
    friend class NdisLibrary;
    NdisLibrary* library_ = nullptr;
    MiniportAdapter* adapter_ = nullptr;
    NDIS_HANDLE receive_context_ = nullptr;
    std::uint64_t serial_ = 0;
    std::span<const std::uint8_t> header_;
    std::span<const std::uint8_t> lookahead_;
    UINT packet_size_ = 0;
};

class Protocol {
public:
    virtual ~Protocol() = default;
    // Returns NDIS_STATUS_SUCCESS when the frame was taken, NDIS_STATUS_NOT_ACCEPTED otherwise.
    virtual NDIS_STATUS receive(Binding&, const ReceiveIndication&) { return NDIS_STATUS_NOT_ACCEPTED; }
    virtual void receive_complete(Binding&) {}
    // Every packet that send() answered with NDIS_STATUS_PENDING comes back here exactly once.
    virtual void send_complete(Binding&, PNDIS_PACKET, NDIS_STATUS) {}
    // A query or set that was answered NDIS_STATUS_PENDING has finished.
    virtual void request_complete(Binding&, NDIS_OID, NDIS_STATUS) {}
};

class Binding {
public:
    MiniportAdapter& adapter() const { return adapter_; }
    Protocol& protocol() const { return protocol_; }
    bool open() const { return open_; }

    // NdisSend. NDIS_STATUS_PENDING: send_complete() follows. Any other status
    // is final and there is no callback.
    NDIS_STATUS send(PNDIS_PACKET packet);
    // NdisRequest. When a miniport handler is running the request waits and
    // NDIS_STATUS_PENDING is returned; the buffers and counters must then stay
    // valid until request_complete().
    NDIS_STATUS query(NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed);
    NDIS_STATUS set(NDIS_OID oid, PVOID buffer, ULONG length, PULONG read, PULONG needed);

    // The filter library's view: this binding's own filter and list; the
    // miniport is given the union over all bindings of the adapter.
    NDIS_STATUS set_packet_filter(ULONG filter);
    NDIS_STATUS set_multicast_list(std::vector<MacAddress> list);
    const FilterSettings& filter() const { return filter_; }

    Binding(NdisLibrary& library, MiniportAdapter& adapter, Protocol& protocol)
        : library_(library), adapter_(adapter), protocol_(protocol) {}
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

private:
    friend class NdisLibrary;
    NdisLibrary& library_;
    MiniportAdapter& adapter_;
    Protocol& protocol_;
    FilterSettings filter_;
    bool open_ = true;
};

}  // namespace host
