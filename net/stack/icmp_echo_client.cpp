#include "net/stack/icmp_echo_client.h"

#include <lwip/etharp.h>
#include <lwip/icmp.h>
#include <lwip/inet_chksum.h>
#include <lwip/ip4.h>
#include <lwip/pbuf.h>
#include <lwip/prot/ip4.h>
#include <lwip/raw.h>

#include <cstdio>
#include <cstring>

namespace net {

namespace {

constexpr std::size_t kPayload = 32;

std::uint8_t payload_byte(std::uint16_t sequence, std::size_t i) {
    return static_cast<std::uint8_t>(sequence * 31 + i);
}

ip4_addr_t to_lwip(Ipv4Address a) {
    ip4_addr_t out;
    IP4_ADDR(&out, a.value >> 24, a.value >> 16 & 0xFF, a.value >> 8 & 0xFF, a.value & 0xFF);
    return out;
}

}  // namespace

struct IcmpClientGlue {
    static u8_t received(void* arg, raw_pcb*, pbuf* p, const ip_addr_t*) {
        auto* self = static_cast<IcmpEchoClient*>(arg);
        if (!self->on_packet(p)) return 0;  // not ours: lwIP goes on with it
        pbuf_free(p);
        return 1;
    }
};

IcmpEchoClient::IcmpEchoClient(LwipStack& stack, Ipv4Address target, unsigned count, std::uint16_t identifier)
    : stack_(stack), target_(target), count_(count), identifier_(identifier) {}

IcmpEchoClient::~IcmpEchoClient() {
    if (pcb_ != nullptr) raw_remove(pcb_);
}

bool IcmpEchoClient::start() {
    pcb_ = raw_new(IP_PROTO_ICMP);
    if (pcb_ == nullptr) {
        error_ = "no memory for a raw socket";
        return false;
    }
    raw_recv(pcb_, IcmpClientGlue::received, this);
    return send_request();
}

bool IcmpEchoClient::send_request() {
    const auto sequence = static_cast<std::uint16_t>(sent_ + 1);
    const std::size_t length = sizeof(icmp_echo_hdr) + kPayload;
    pbuf* p = pbuf_alloc(PBUF_IP, static_cast<u16_t>(length), PBUF_RAM);
    if (p == nullptr) {
        error_ = "no memory for a request";
        return false;
    }
    auto* header = static_cast<icmp_echo_hdr*>(p->payload);
    ICMPH_TYPE_SET(header, ICMP_ECHO);
    ICMPH_CODE_SET(header, 0);
    header->id = lwip_htons(identifier_);
    header->seqno = lwip_htons(sequence);
    auto* data = reinterpret_cast<std::uint8_t*>(header + 1);
    for (std::size_t i = 0; i < kPayload; ++i) data[i] = payload_byte(sequence, i);
    header->chksum = 0;
    header->chksum = inet_chksum(header, static_cast<u16_t>(length));
    ip_addr_t to;
    ip_addr_copy_from_ip4(to, to_lwip(target_));
    const err_t err = raw_sendto(pcb_, p, &to);
    pbuf_free(p);
    if (err != ERR_OK) {
        error_ = err == ERR_RTE ? "no route to the target" : "the stack refused the request";
        return false;
    }
    ++sent_;
    waiting_ = true;
    sent_at_ = stack_.clock().now();
    return true;
}

void IcmpEchoClient::poll(machine::Nanoseconds timeout) {
    if (!error_.empty() || pcb_ == nullptr) return;
    if (waiting_ && stack_.clock().now() - sent_at_ >= timeout) waiting_ = false;  // lost
    if (!waiting_ && sent_ < count_) send_request();
}

bool IcmpEchoClient::on_packet(pbuf* p) {
    if (!waiting_ || p->tot_len < IP_HLEN) return false;
    std::uint8_t ip[IP_HLEN];
    pbuf_copy_partial(p, ip, IP_HLEN, 0);
    const std::size_t header = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if (p->tot_len < header + sizeof(icmp_echo_hdr) + kPayload) return false;
    std::uint8_t icmp[sizeof(icmp_echo_hdr) + kPayload];
    pbuf_copy_partial(p, icmp, sizeof icmp, static_cast<u16_t>(header));
    icmp_echo_hdr h;
    std::memcpy(&h, icmp, sizeof h);
    const auto sequence = static_cast<std::uint16_t>(sent_);
    if (ICMPH_TYPE(&h) != ICMP_ER || lwip_ntohs(h.id) != identifier_ || lwip_ntohs(h.seqno) != sequence)
        return false;
    for (std::size_t i = 0; i < kPayload; ++i)
        if (icmp[sizeof h + i] != payload_byte(sequence, i)) return false;
    round_trips_.push_back(stack_.clock().now() - sent_at_);
    waiting_ = false;
    return true;
}

std::optional<std::string> IcmpEchoClient::resolved_mac(struct netif* netif, Ipv4Address target) {
    const ip4_addr_t address = to_lwip(target);
    struct eth_addr* mac = nullptr;
    const ip4_addr_t* entry = nullptr;
    if (etharp_find_addr(netif, &address, &mac, &entry) < 0 || mac == nullptr) return std::nullopt;
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac->addr[0], mac->addr[1],
                  mac->addr[2], mac->addr[3], mac->addr[4], mac->addr[5]);
    return text;
}

}  // namespace net
