#include "platform/host/ndis_library.h"

#include <algorithm>
#include <cstring>

#include "platform/host/ndis_library_internal.h"

namespace host {

// ---------------------------------------------------------------------------
// Protocols
// ---------------------------------------------------------------------------

Binding& NdisLibrary::bind(MiniportAdapter& a, Protocol& protocol) {
    if (a.state_ != AdapterState::Running) error("bind to " + a.name() + ", which is " + to_string(a.state_));
    a.bindings_.push_back(std::make_unique<Binding>(*this, a, protocol));
    return *a.bindings_.back();
}

void NdisLibrary::unbind(Binding& binding) {
    if (!binding.open_) return;
    if (binding.adapter_.state_ == AdapterState::Running) {
        push_filter(binding, FilterSettings{}, false);
        push_filter(binding, FilterSettings{}, true);
    }
    binding.open_ = false;
}

NDIS_STATUS Binding::send(PNDIS_PACKET packet) {
    return library_.send(*this, packet);
}

NDIS_STATUS Binding::query(NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed) {
    return library_.request(*this, NdisLibrary::RequestKind::Query, oid, buffer, length, written, needed);
}

NDIS_STATUS Binding::set(NDIS_OID oid, PVOID buffer, ULONG length, PULONG read, PULONG needed) {
    return library_.request(*this, NdisLibrary::RequestKind::Set, oid, buffer, length, read, needed);
}

NDIS_STATUS Binding::set_packet_filter(ULONG filter) {
    FilterSettings wanted = filter_;
    wanted.packet_filter = filter;
    return library_.push_filter(*this, wanted, false);
}

NDIS_STATUS Binding::set_multicast_list(std::vector<MacAddress> list) {
    FilterSettings wanted = filter_;
    wanted.multicast = std::move(list);
    return library_.push_filter(*this, wanted, true);
}

NDIS_STATUS ReceiveIndication::transfer_data(PNDIS_PACKET packet, UINT offset, UINT count,
                                             PUINT transferred) const {
    if (library_ == nullptr) return NDIS_STATUS_FAILURE;
    return library_->transfer_data(*this, packet, offset, count, transferred);
}

NDIS_STATUS NdisLibrary::send(Binding& binding, PNDIS_PACKET packet) {
    MiniportAdapter& a = binding.adapter_;
    if (!binding.open_ || a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    if (packet == nullptr) {
        error("NdisSend of a null packet");
        return NDIS_STATUS_FAILURE;
    }
    const bool waiting = std::any_of(a.queued_sends_.begin(), a.queued_sends_.end(),
                                     [&](const auto& h) { return h.packet == packet; });
    if (a.holds_packet(packet) || waiting) {
        error("NdisSend of packet " + pointer(packet) + " while it has not been completed");
        return NDIS_STATUS_FAILURE;
    }
    // Protocols reuse their packets: MiniportReserved holds whatever the last
    // miniport (or nobody) left there, never a cleared area.
    std::memset(packet->MiniportReserved, PacketPool::kReservedFill, sizeof packet->MiniportReserved);
    if (busy(a) || held_off()) {
        a.queued_sends_.push_back({packet, &binding});
        a.waiting_.push_back([this, &a, packet] {
            Binding* sender = MiniportAdapter::take(a.queued_sends_, packet);
            if (sender == nullptr) return;  // aborted meanwhile
            if (a.state_ != AdapterState::Running)
                complete_to_protocol(*sender, packet, NDIS_STATUS_REQUEST_ABORTED);
            else
                hand_over_send(*sender, packet, true);
        });
        return NDIS_STATUS_PENDING;
    }
    run_waiting_work();
    if (a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    return hand_over_send(binding, packet, false);
}

// A send handler that returns anything but NDIS_STATUS_PENDING has finished
// with the packet; if it also called NdisMSendComplete the packet would be
// completed twice.
NDIS_STATUS NdisLibrary::hand_over_send(Binding& binding, PNDIS_PACKET packet, bool waited) {
    MiniportAdapter& a = binding.adapter_;
    a.outstanding_.push_back({packet, &binding, ++send_serial_});
    ++a.counters_.sends_handed;
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    call_handler(a, "Send", [&] {
        status = characteristics_.SendHandler(a.context(), packet, 0);
        if (status == NDIS_STATUS_PENDING) return;
        if (MiniportAdapter::take(a.outstanding_, packet) == nullptr) {
            error(a.name() + ": the send handler completed packet " + pointer(packet) +
                  " and also returned " + hex(status));
            return;
        }
        if (waited) complete_to_protocol(binding, packet, status);
    });
    return waited ? NDIS_STATUS_PENDING : status;
}

void NdisLibrary::complete_to_protocol(Binding& binding, PNDIS_PACKET packet, NDIS_STATUS status) {
    if (recording_) event(&binding.adapter_, "SendComplete " + hex(status));
    binding.protocol_.send_complete(binding, packet, status);
}

NDIS_STATUS NdisLibrary::request(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer, ULONG length,
                                 PULONG done, PULONG needed, std::shared_ptr<void> keep_alive) {
    MiniportAdapter& a = binding.adapter_;
    if (!binding.open_ || a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    if (busy(a) || held_off()) {
        a.waiting_.push_back([this, &a, &binding, kind, oid, buffer, length, done, needed, keep_alive] {
            const NDIS_STATUS status =
                a.state_ == AdapterState::Running
                    ? call_request_handler(binding, kind, oid, buffer, length, done, needed)
                    : NDIS_STATUS_CLOSING;
            binding.protocol_.request_complete(binding, oid, status);
        });
        return NDIS_STATUS_PENDING;
    }
    run_waiting_work();
    if (a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    return call_request_handler(binding, kind, oid, buffer, length, done, needed);
}

NDIS_STATUS NdisLibrary::call_request_handler(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer,
                                              ULONG length, PULONG done, PULONG needed) {
    MiniportAdapter& a = binding.adapter_;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    ULONG d = 0, n = 0;
    const bool query = kind == RequestKind::Query;
    call_handler(a, query ? "QueryInformation" : "SetInformation", [&] {
        status = query ? characteristics_.QueryInformationHandler(a.context(), oid, buffer, length, &d, &n)
                       : characteristics_.SetInformationHandler(a.context(), oid, buffer, length, &d, &n);
    });
    if (status == NDIS_STATUS_PENDING)
        error(a.name() + ": the " + (query ? "query" : "set") + " handler pended OID " + hex(oid) +
              ", and this library has no completion call for it");
    if (done) *done = d;
    if (needed) *needed = n;
    return status;
}

// The miniport is given the union over the open bindings; the binding keeps
// its own part for the filter once the miniport has taken the union.
NDIS_STATUS NdisLibrary::push_filter(Binding& binding, const FilterSettings& wanted, bool multicast) {
    MiniportAdapter& a = binding.adapter_;
    auto settings_of = [&](const Binding& b) -> const FilterSettings& {
        return &b == &binding ? wanted : b.filter_;
    };
    NDIS_STATUS status;
    if (!multicast) {
        auto value = std::make_shared<ULONG>(0);
        for (const auto& b : a.bindings_)
            if (b->open_) *value |= settings_of(*b).packet_filter;
        status = request(binding, RequestKind::Set, OID_GEN_CURRENT_PACKET_FILTER, value.get(), sizeof(ULONG),
                         nullptr, nullptr, value);
    } else {
        std::vector<MacAddress> all;
        for (const auto& b : a.bindings_)
            if (b->open_)
                for (const auto& m : settings_of(*b).multicast)
                    if (std::find(all.begin(), all.end(), m) == all.end()) all.push_back(m);
        auto bytes = std::make_shared<std::vector<UCHAR>>();
        for (const auto& m : all) bytes->insert(bytes->end(), m.begin(), m.end());
        status = request(binding, RequestKind::Set, OID_802_3_MULTICAST_LIST, bytes->data(),
                         static_cast<ULONG>(bytes->size()), nullptr, nullptr, bytes);
    }
    if (status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_PENDING) {
        if (multicast)
            binding.filter_.multicast = wanted.multicast;
        else
            binding.filter_.packet_filter = wanted.packet_filter;
    }
    return status;
}

NDIS_STATUS NdisLibrary::transfer_data(const ReceiveIndication& indication, PNDIS_PACKET packet, UINT offset,
                                       UINT count, PUINT transferred) {
    MiniportAdapter& a = *indication.adapter_;
    if (indication.serial_ == 0 || a.indication_serial_ != indication.serial_) {
        error(a.name() + ": NdisTransferData outside the receive indication of its frame");
        if (transferred) *transferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    UINT moved = 0;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    ++a.counters_.transfers;
    call_handler(a, "TransferData", [&] {
        status = characteristics_.TransferDataHandler(packet, &moved, a.context(),
                                                      indication.receive_context_, offset, count);
    });
    if (status == NDIS_STATUS_PENDING)
        error(a.name() +
              ": the transfer-data handler pended, and this library has no completion call for it");
    if (transferred) *transferred = moved;
    return status;
}

}  // namespace host
