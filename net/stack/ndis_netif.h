#pragma once
// lwIP bound to the adapter as an NDIS protocol: one lwIP network interface
// whose frames go out as NDIS packets through the wrapper, and whose frames
// come in as receive indications.
//
// Sending: lwIP hands over a finished Ethernet frame (a pbuf chain); it is
// copied into one buffer of a packet from our pools and sent. The packet comes
// back in send_complete() (or, when the driver finished with it at once, from
// send() itself), and only then goes back to the pools. A send made from
// inside a receive indication, as lwIP's ACKs are, waits in the wrapper until
// the driver's handler returns; that is the wrapper's business, not ours.
//
// Receiving: an indication carries the 14-byte header and a lookahead of the
// frame's start. When the lookahead holds the whole frame it is copied
// straight into a pbuf; otherwise the rest is fetched with NdisTransferData
// into a packet whose one buffer describes the pbuf's own memory behind the
// lookahead, so every byte is copied once. The frame goes into lwIP from
// inside the indication, as a real protocol driver would take it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "net/stack/ipv4_address.h"
#include "net/stack/lwip_stack.h"
#include "platform/host/ndis_library.h"
#include "platform/host/packet_pool.h"
#include "platform/host/protocol.h"

struct netif;
struct pbuf;
struct ip4_addr;

namespace net {

struct NdisNetifOptions {
    // The frames this protocol wants: its own, broadcasts (ARP, DHCP) and the
    // multicast groups lwIP joins.
    ULONG packet_filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;
    // A lookahead to ask the driver for; a short one sends most of every frame
    // through NdisTransferData. Unset: the driver's own.
    std::optional<ULONG> lookahead;
    // Run IGMP: lwIP joins the all-hosts group at once, which puts its
    // multicast address into the adapter's list.
    bool igmp = true;
    // Packets in flight at most; a frame beyond that is dropped (TCP resends).
    std::size_t max_in_flight = 256;
};

class NdisNetif : public host::Protocol {
public:
    struct Counters {
        std::uint64_t frames_sent = 0;        // completed with success
        std::uint64_t send_failures = 0;      // completed with another status, or refused at once
        std::uint64_t sends_dropped = 0;      // no packet or buffer to be had, or not open
        std::uint64_t frames_received = 0;    // passed into the stack (or to the frame tap)
        std::uint64_t frames_tapped = 0;      // of those, taken by the frame tap
        std::uint64_t frames_refused = 0;     // malformed, too long, or no memory
        std::uint64_t transfers = 0;          // NdisTransferData calls
        std::uint64_t transfer_failures = 0;  // a transfer that failed or came back short
        std::uint64_t bytes_sent = 0;
        std::uint64_t bytes_received = 0;
    };

    // Sees every frame before lwIP does; returning true takes the frame away
    // from lwIP. The DHCP client uses it: the packaged lwIP drops what is not
    // addressed to a configured interface.
    using FrameTap = std::function<bool(std::span<const std::uint8_t>)>;

    NdisNetif(LwipStack& stack, host::NdisLibrary& ndis, host::MiniportAdapter& adapter,
              NdisNetifOptions options = {});
    ~NdisNetif() override;
    NdisNetif(const NdisNetif&) = delete;
    NdisNetif& operator=(const NdisNetif&) = delete;

    // Binds to the adapter, reads its current address and frame size, sets the
    // lookahead and packet filter and brings the interface up with no address.
    // Must be called while no miniport handler runs. NDIS_STATUS_SUCCESS or the
    // first failure (nothing is left bound then).
    NDIS_STATUS open();
    // Takes the interface out of lwIP and unbinds. Packets still in flight
    // stay ours until the wrapper gives them back (at the latest when the
    // adapter is halted), so close before halting and destroy after.
    void close();
    bool is_open() const { return binding_ != nullptr; }

    // The interface's IPv4 configuration (zero: unconfigured).
    void set_address(Ipv4Address address, Ipv4Address netmask, Ipv4Address gateway);
    Ipv4Address address() const;
    const host::MacAddress& mac_address() const { return mac_; }
    unsigned mtu() const { return mtu_; }
    const std::vector<host::MacAddress>& multicast_list() const { return multicast_; }

    // An NdisRequest query of a counter or other ULONG-sized value; nothing
    // when it fails, pends, or the interface is not open.
    std::optional<ULONG> query_ulong(NDIS_OID oid);

    void set_frame_tap(FrameTap tap) { tap_ = std::move(tap); }
    // Sends a complete Ethernet frame built outside lwIP. False when it could not be sent.
    bool send_frame(std::span<const std::uint8_t> frame);

    const Counters& counters() const { return counters_; }
    std::size_t in_flight() const { return in_flight_.size(); }
    // Packets and buffers taken from our pools and not given back.
    std::size_t pool_outstanding() const { return packets_.outstanding() + buffers_.outstanding(); }
    struct netif* lwip_netif() {
        return netif_.get();
    }

    // host::Protocol
    NDIS_STATUS receive(host::Binding&, const host::ReceiveIndication&) override;
    void send_complete(host::Binding&, PNDIS_PACKET, NDIS_STATUS) override;

private:
    struct InFlight;
    friend struct NetifGlue;  // lwIP's C callbacks

    bool transmit(const pbuf* frame);
    void finish_send(PNDIS_PACKET packet, NDIS_STATUS status);
    bool fetch_rest(const host::ReceiveIndication& indication, std::uint8_t* destination, UINT offset,
                    UINT count);
    void deliver(pbuf* frame);
    void update_multicast(const ip4_addr* group, bool add);

    LwipStack& stack_;
    host::NdisLibrary& ndis_;
    host::MiniportAdapter& adapter_;
    NdisNetifOptions options_;
    host::Binding* binding_ = nullptr;
    std::unique_ptr<struct netif> netif_;
    bool netif_added_ = false;
    host::MacAddress mac_{};
    unsigned mtu_ = 1500;
    std::vector<host::MacAddress> multicast_;
    host::PacketPool packets_;
    host::BufferPool buffers_;
    std::map<PNDIS_PACKET, std::unique_ptr<InFlight>> in_flight_;
    FrameTap tap_;
    Counters counters_;
};

}  // namespace net
