#include "net/stack/ndis_netif.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include "lwip/etharp.h"
#include "lwip/igmp.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "netif/ethernet.h"
}

namespace net {

namespace {

constexpr std::size_t kHeaderSize = 14;
constexpr std::size_t kMaximumFrame = 1514;  // header + 1500

ip4_addr_t to_lwip(Ipv4Address address) {
    ip4_addr_t out;
    ip4_addr_set_u32(&out, lwip_htonl(address.value));
    return out;
}

}  // namespace

// One frame on its way through the driver: the bytes, and the packet and
// buffer that describe them.
struct NdisNetif::InFlight {
    std::vector<std::uint8_t> bytes;
    PNDIS_PACKET packet = nullptr;
    PNDIS_BUFFER buffer = nullptr;
};

struct NetifGlue {
    static NdisNetif& self(struct netif* n) { return *static_cast<NdisNetif*>(n->state); }

    static err_t init(struct netif* n) {
        NdisNetif& owner = self(n);
        n->name[0] = 'n';
        n->name[1] = 'e';
        n->hwaddr_len = ETH_HWADDR_LEN;
        std::copy(owner.mac_.begin(), owner.mac_.end(), n->hwaddr);
        n->mtu = static_cast<u16_t>(owner.mtu_);
        n->flags = NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET;
        if (owner.options_.igmp) {
            n->flags |= NETIF_FLAG_IGMP;
            netif_set_igmp_mac_filter(n, igmp_filter);
        }
        n->output = etharp_output;
        n->linkoutput = link_output;
        return ERR_OK;
    }
    static err_t link_output(struct netif* n, struct pbuf* frame) {
        return self(n).transmit(frame) ? ERR_OK : ERR_IF;
    }
    static err_t igmp_filter(struct netif* n, const ip4_addr_t* group, enum netif_mac_filter_action action) {
        self(n).update_multicast(group, action == NETIF_ADD_MAC_FILTER);
        return ERR_OK;
    }
};

NdisNetif::NdisNetif(LwipStack& stack, host::NdisLibrary& ndis, host::MiniportAdapter& adapter,
                     NdisNetifOptions options)
    : stack_(stack),
      ndis_(ndis),
      adapter_(adapter),
      options_(options),
      netif_(std::make_unique<struct netif>()) {}

NdisNetif::~NdisNetif() {
    close();
    // Packets the wrapper never gave back (it is gone, or the adapter was never
    // halted) still go back to the pools; their bytes go with the records.
    for (auto& [packet, record] : in_flight_) {
        host::unchain_buffer_at_front(packet);
        buffers_.free(record->buffer);
        packets_.free(packet);
    }
}

NDIS_STATUS NdisNetif::open() {
    if (binding_ != nullptr) return NDIS_STATUS_SUCCESS;
    host::Binding& binding = ndis_.bind(adapter_, *this);
    auto fail = [&](NDIS_STATUS status) {
        ndis_.unbind(binding);
        return status == NDIS_STATUS_SUCCESS ? NDIS_STATUS_FAILURE : status;
    };

    ULONG written = 0;
    ULONG needed = 0;
    std::uint8_t address[6] = {};
    NDIS_STATUS status = binding.query(OID_802_3_CURRENT_ADDRESS, address, sizeof address, &written, &needed);
    if (status != NDIS_STATUS_SUCCESS || written != sizeof address) return fail(status);
    std::copy(std::begin(address), std::end(address), mac_.begin());

    ULONG frame_size = 0;
    status = binding.query(OID_GEN_MAXIMUM_FRAME_SIZE, &frame_size, sizeof frame_size, &written, &needed);
    if (status != NDIS_STATUS_SUCCESS) return fail(status);
    // IP needs 576 bytes at least; an adapter answering less is not usable.
    if (frame_size < 576) return fail(NDIS_STATUS_FAILURE);
    mtu_ = std::min<unsigned>(frame_size, 1500);

    if (options_.lookahead) {
        ULONG lookahead = *options_.lookahead;
        ULONG read = 0;
        status = binding.set(OID_GEN_CURRENT_LOOKAHEAD, &lookahead, sizeof lookahead, &read, &needed);
        if (status != NDIS_STATUS_SUCCESS) return fail(status);
    }
    status = binding.set_packet_filter(options_.packet_filter);
    if (status != NDIS_STATUS_SUCCESS) return fail(status);

    binding_ = &binding;
    ip4_addr_t any;
    ip4_addr_set_zero(&any);
    if (netif_add(netif_.get(), &any, &any, &any, this, NetifGlue::init, ethernet_input) == nullptr) {
        binding_ = nullptr;
        return fail(NDIS_STATUS_FAILURE);
    }
    netif_added_ = true;
    netif_set_up(netif_.get());
    netif_set_link_up(netif_.get());
    return NDIS_STATUS_SUCCESS;
}

void NdisNetif::close() {
    if (netif_added_) {
        // Leaving IGMP groups would make lwIP send; the adapter may be on its way out.
        netif_->igmp_mac_filter = nullptr;
        netif_remove(netif_.get());
        netif_added_ = false;
    }
    if (binding_ != nullptr) {
        ndis_.unbind(*binding_);
        binding_ = nullptr;
    }
}

void NdisNetif::set_address(Ipv4Address address, Ipv4Address netmask, Ipv4Address gateway) {
    if (!netif_added_) return;
    const ip4_addr_t a = to_lwip(address);
    const ip4_addr_t m = to_lwip(netmask);
    const ip4_addr_t g = to_lwip(gateway);
    netif_set_addr(netif_.get(), &a, &m, &g);
}

Ipv4Address NdisNetif::address() const {
    if (!netif_added_) return {};
    return Ipv4Address{lwip_ntohl(ip4_addr_get_u32(netif_ip4_addr(netif_.get())))};
}

std::optional<ULONG> NdisNetif::query_ulong(NDIS_OID oid) {
    if (binding_ == nullptr) return std::nullopt;
    ULONG value = 0;
    ULONG written = 0;
    ULONG needed = 0;
    if (binding_->query(oid, &value, sizeof value, &written, &needed) != NDIS_STATUS_SUCCESS)
        return std::nullopt;
    return value;
}

bool NdisNetif::send_frame(std::span<const std::uint8_t> frame) {
    if (frame.size() < kHeaderSize || frame.size() > kMaximumFrame) return false;
    pbuf* p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(frame.size()), PBUF_RAM);
    if (p == nullptr) {
        ++counters_.sends_dropped;
        return false;
    }
    pbuf_take(p, frame.data(), static_cast<u16_t>(frame.size()));
    const bool sent = transmit(p);
    pbuf_free(p);
    return sent;
}

bool NdisNetif::transmit(const pbuf* frame) {
    if (binding_ == nullptr || frame->tot_len < kHeaderSize || frame->tot_len > kMaximumFrame ||
        in_flight_.size() >= options_.max_in_flight) {
        ++counters_.sends_dropped;
        return false;
    }
    auto record = std::make_unique<InFlight>();
    record->bytes.resize(frame->tot_len);
    pbuf_copy_partial(frame, record->bytes.data(), frame->tot_len, 0);
    record->packet = packets_.allocate();
    record->buffer = buffers_.allocate(record->bytes.data(), static_cast<UINT>(record->bytes.size()));
    if (record->packet == nullptr || record->buffer == nullptr) {
        if (record->buffer != nullptr) buffers_.free(record->buffer);
        if (record->packet != nullptr) packets_.free(record->packet);
        ++counters_.sends_dropped;
        return false;
    }
    host::chain_buffer_at_back(record->packet, record->buffer);
    const PNDIS_PACKET packet = record->packet;
    in_flight_.emplace(packet, std::move(record));

    const NDIS_STATUS status = binding_->send(packet);
    if (status != NDIS_STATUS_PENDING) finish_send(packet, status);
    return status == NDIS_STATUS_PENDING || status == NDIS_STATUS_SUCCESS;
}

void NdisNetif::send_complete(host::Binding&, PNDIS_PACKET packet, NDIS_STATUS status) {
    finish_send(packet, status);
}

void NdisNetif::finish_send(PNDIS_PACKET packet, NDIS_STATUS status) {
    const auto found = in_flight_.find(packet);
    if (found == in_flight_.end()) return;  // not ours
    if (status == NDIS_STATUS_SUCCESS) {
        ++counters_.frames_sent;
        counters_.bytes_sent += found->second->bytes.size();
    } else {
        ++counters_.send_failures;
    }
    host::unchain_buffer_at_front(packet);
    buffers_.free(found->second->buffer);
    packets_.free(packet);
    in_flight_.erase(found);
}

NDIS_STATUS NdisNetif::receive(host::Binding&, const host::ReceiveIndication& indication) {
    const auto header = indication.header();
    const auto lookahead = indication.lookahead();
    const std::size_t total = header.size() + indication.packet_size();
    if (binding_ == nullptr || !netif_added_ || header.size() != kHeaderSize || total > kMaximumFrame ||
        lookahead.size() > indication.packet_size()) {
        ++counters_.frames_refused;
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    pbuf* frame = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(total), PBUF_RAM);
    if (frame == nullptr) {
        ++counters_.frames_refused;
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    auto* bytes = static_cast<std::uint8_t*>(frame->payload);
    std::memcpy(bytes, header.data(), header.size());
    if (!lookahead.empty()) std::memcpy(bytes + header.size(), lookahead.data(), lookahead.size());
    const UINT rest = indication.packet_size() - static_cast<UINT>(lookahead.size());
    if (rest > 0 && !fetch_rest(indication, bytes + header.size() + lookahead.size(),
                                static_cast<UINT>(lookahead.size()), rest)) {
        pbuf_free(frame);
        ++counters_.frames_refused;
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    ++counters_.frames_received;
    counters_.bytes_received += total;
    deliver(frame);
    return NDIS_STATUS_SUCCESS;
}

bool NdisNetif::fetch_rest(const host::ReceiveIndication& indication, std::uint8_t* destination, UINT offset,
                           UINT count) {
    PNDIS_PACKET packet = packets_.allocate();
    PNDIS_BUFFER buffer = buffers_.allocate(destination, count);
    bool ok = false;
    if (packet != nullptr && buffer != nullptr) {
        host::chain_buffer_at_back(packet, buffer);
        UINT transferred = 0;
        ++counters_.transfers;
        const NDIS_STATUS status = indication.transfer_data(packet, offset, count, &transferred);
        ok = status == NDIS_STATUS_SUCCESS && transferred == count;
        if (!ok) ++counters_.transfer_failures;
        host::unchain_buffer_at_front(packet);
    }
    if (buffer != nullptr) buffers_.free(buffer);
    if (packet != nullptr) packets_.free(packet);
    return ok;
}

void NdisNetif::deliver(pbuf* frame) {
    if (tap_) {
        const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(frame->payload),
                                                  frame->len);
        if (tap_(bytes)) {
            ++counters_.frames_tapped;
            pbuf_free(frame);
            return;
        }
    }
    // The frame may have closed us meanwhile (a tap that reconfigures); lwIP
    // frees what it takes, including on error.
    if (!netif_added_ || netif_->input(frame, netif_.get()) != ERR_OK) pbuf_free(frame);
}

void NdisNetif::update_multicast(const ip4_addr* group, bool add) {
    // 01-00-5E and the group's low 23 bits: the Ethernet address an IPv4
    // multicast group is sent to.
    const std::uint32_t g = lwip_ntohl(ip4_addr_get_u32(group));
    const host::MacAddress mac = {0x01,
                                  0x00,
                                  0x5E,
                                  static_cast<std::uint8_t>(g >> 16 & 0x7F),
                                  static_cast<std::uint8_t>(g >> 8),
                                  static_cast<std::uint8_t>(g)};
    const auto at = std::find(multicast_.begin(), multicast_.end(), mac);
    if (add && at == multicast_.end())
        multicast_.push_back(mac);
    else if (!add && at != multicast_.end())
        multicast_.erase(at);
    else
        return;
    // From inside a handler this waits in the wrapper and is answered in
    // request_complete(); either way the wrapper carries it to the driver.
    if (binding_ != nullptr) binding_->set_multicast_list(multicast_);
}

}  // namespace net
