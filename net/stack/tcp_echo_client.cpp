#include "net/stack/tcp_echo_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
}

namespace net {

struct EchoClientGlue {
    static TcpEchoClient* self(void* arg) { return static_cast<TcpEchoClient*>(arg); }

    // A callback that aborted its connection must say so, or lwIP goes on using it.
    static err_t outcome(TcpEchoClient* c) {
        const bool aborted = c->aborted_;
        c->aborted_ = false;
        return aborted ? ERR_ABRT : ERR_OK;
    }
    static err_t connected(void* arg, tcp_pcb*, err_t err) {
        TcpEchoClient* c = self(arg);
        if (c == nullptr) return ERR_OK;
        if (err != ERR_OK)
            c->on_error("connection failed");
        else
            c->on_connected();
        return outcome(c);
    }
    static err_t sent(void* arg, tcp_pcb*, u16_t) {
        TcpEchoClient* c = self(arg);
        if (c == nullptr) return ERR_OK;
        c->push();
        return outcome(c);
    }
    static err_t received(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
        TcpEchoClient* c = self(arg);
        if (c == nullptr) {
            // Nobody listens any more: take it as the default handler would.
            return tcp_recv_null(nullptr, pcb, p, ERR_OK);
        }
        c->on_receive(p);
        return outcome(c);
    }
    static void error(void* arg, err_t err) {
        if (TcpEchoClient* c = self(arg)) {
            c->pcb_ = nullptr;  // lwIP has freed it already
            c->aborted_ = false;
            c->on_error(err == ERR_RST    ? "connection reset"
                        : err == ERR_ABRT ? "connection aborted"
                                          : "connection failed");
        }
    }
};

namespace {

// One mix per eight bytes: the pattern costs little next to the stack that carries it.
std::uint64_t pattern_word(std::uint32_t seed, std::uint64_t index) {
    std::uint64_t x = (index + 1) * 0x9E3779B97F4A7C15ull ^ seed;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return x;
}

}  // namespace

std::uint8_t TcpEchoClient::pattern(std::uint32_t seed, std::uint64_t position) {
    return static_cast<std::uint8_t>(pattern_word(seed, position / 8) >> (8 * (position % 8)));
}

void TcpEchoClient::fill_pattern(std::uint32_t seed, std::uint64_t position, std::span<std::uint8_t> out) {
    std::size_t i = 0;
    for (; i < out.size() && (position + i) % 8 != 0; ++i) out[i] = pattern(seed, position + i);
    for (; i + 8 <= out.size(); i += 8) {
        const std::uint64_t word = pattern_word(seed, (position + i) / 8);
        for (unsigned b = 0; b < 8; ++b) out[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    for (; i < out.size(); ++i) out[i] = pattern(seed, position + i);
}

TcpEchoClient::TcpEchoClient(LwipStack& stack, Ipv4Address server, std::uint16_t port, std::uint64_t bytes,
                             std::uint32_t seed)
    : stack_(stack), server_(server), port_(port), total_(bytes), seed_(seed) {}

TcpEchoClient::~TcpEchoClient() {
    if (pcb_ != nullptr) {
        detach();
        tcp_abort(pcb_);
        pcb_ = nullptr;
    }
}

bool TcpEchoClient::start() {
    report_.started_at = stack_.clock().now();
    wall_start_ = std::chrono::steady_clock::now();
    pcb_ = tcp_new_ip_type(IPADDR_TYPE_V4);
    if (pcb_ == nullptr) {
        report_.error = "no memory for a connection";
        return false;
    }
    tcp_arg(pcb_, this);
    tcp_err(pcb_, EchoClientGlue::error);
    tcp_recv(pcb_, EchoClientGlue::received);
    tcp_sent(pcb_, EchoClientGlue::sent);
    ip_addr_t to;
    IP_ADDR4(&to, server_.value >> 24, server_.value >> 16 & 0xFF, server_.value >> 8 & 0xFF,
             server_.value & 0xFF);
    const err_t err = tcp_connect(pcb_, &to, port_, EchoClientGlue::connected);
    if (err != ERR_OK) {
        detach();
        tcp_abort(pcb_);
        pcb_ = nullptr;
        report_.error = err == ERR_RTE ? "no route to the server" : "connect refused by the stack";
        return false;
    }
    return true;
}

void TcpEchoClient::on_connected() {
    report_.connected = true;
    report_.connected_at = stack_.clock().now();
    push();
}

void TcpEchoClient::push() {
    if (pcb_ == nullptr || report_.sent >= total_) return;
    std::vector<std::uint8_t>& chunk = outgoing_;
    bool wrote = false;
    while (report_.sent < total_) {
        const std::uint64_t room = std::min<std::uint64_t>(tcp_sndbuf(pcb_), total_ - report_.sent);
        const std::uint64_t size = std::min<std::uint64_t>(room, 0xFFFF);
        if (size == 0 || tcp_sndqueuelen(pcb_) >= TCP_SND_QUEUELEN) break;
        chunk.resize(size);
        fill_pattern(seed_, report_.sent, chunk);
        if (tcp_write(pcb_, chunk.data(), static_cast<u16_t>(size), TCP_WRITE_FLAG_COPY) != ERR_OK) break;
        report_.sent += size;
        wrote = true;
    }
    if (wrote) tcp_output(pcb_);
}

void TcpEchoClient::on_receive(pbuf* data) {
    if (data == nullptr) {
        // The server closed before everything came back.
        if (!report_.finished) on_error("server closed the connection early");
        return;
    }
    if (report_.received == 0) report_.first_echo_at = stack_.clock().now();
    for (const pbuf* q = data; q != nullptr; q = q->next) {
        const auto* bytes = static_cast<const std::uint8_t*>(q->payload);
        if (!report_.first_mismatch) {
            expected_.resize(q->len);
            fill_pattern(seed_, report_.received, expected_);
            const bool beyond = report_.received + q->len > total_;
            if (beyond || std::memcmp(bytes, expected_.data(), q->len) != 0) {
                u16_t i = 0;
                while (i < q->len && report_.received + i < total_ && bytes[i] == expected_[i]) ++i;
                report_.first_mismatch = report_.received + i;
            }
        }
        report_.received += q->len;
    }
    if (pcb_ != nullptr) tcp_recved(pcb_, data->tot_len);
    pbuf_free(data);
    if (report_.first_mismatch) {
        on_error("echoed data differs from what was sent");
        return;
    }
    if (report_.received == total_) finish();
}

void TcpEchoClient::finish() {
    report_.finished = true;
    report_.finished_at = stack_.clock().now();
    report_.wall = std::chrono::steady_clock::now() - wall_start_;
    if (pcb_ != nullptr) {
        detach();
        if (tcp_close(pcb_) != ERR_OK) tcp_abort(pcb_);
        pcb_ = nullptr;
    }
}

void TcpEchoClient::on_error(const char* what) {
    if (report_.error.empty()) report_.error = what;
    if (pcb_ != nullptr) {
        detach();
        tcp_abort(pcb_);
        pcb_ = nullptr;
        aborted_ = true;
    }
}

void TcpEchoClient::detach() {
    tcp_arg(pcb_, nullptr);
    tcp_err(pcb_, nullptr);
    tcp_sent(pcb_, nullptr);
    tcp_recv(pcb_, nullptr);  // lwIP's default handler takes what still arrives
}

}  // namespace net
