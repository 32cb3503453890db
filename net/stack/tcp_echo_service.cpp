#include "net/stack/tcp_echo_service.h"

#include <algorithm>

extern "C" {
#include "lwip/priv/tcp_priv.h"
#include "lwip/tcp.h"
}

namespace net {

struct EchoServiceGlue {
    static TcpEchoService* self(void* arg) { return static_cast<TcpEchoService*>(arg); }

    static err_t accepted(void* arg, tcp_pcb* connection, err_t err) {
        TcpEchoService* service = self(arg);
        if (err != ERR_OK || connection == nullptr || service == nullptr) return ERR_VAL;
        if (!service->accept(connection)) {
            tcp_abort(connection);
            return ERR_ABRT;
        }
        return ERR_OK;
    }
    static err_t received(void* arg, tcp_pcb* connection, pbuf* data, err_t) {
        TcpEchoService* service = self(arg);
        if (data == nullptr) {
            // The client is done: close our side too.
            if (service != nullptr) service->forget(connection);
            tcp_arg(connection, nullptr);
            if (tcp_close(connection) != ERR_OK) {
                tcp_abort(connection);
                return ERR_ABRT;
            }
            return ERR_OK;
        }
        if (service == nullptr) return tcp_recv_null(nullptr, connection, data, ERR_OK);
        return service->echo(connection, data);
    }
    static err_t sent(void*, tcp_pcb* connection, u16_t) {
        // Room in the send buffer again: data refused earlier is offered again
        // by lwIP on its next timer, this only hurries the output along.
        tcp_output(connection);
        return ERR_OK;
    }
};

TcpEchoService::~TcpEchoService() {
    for (tcp_pcb* connection : connections_) {
        tcp_arg(connection, nullptr);
        tcp_err(connection, nullptr);
        tcp_abort(connection);
    }
    if (listener_ != nullptr) tcp_close(listener_);
}

bool TcpEchoService::listen(std::uint16_t port) {
    if (listener_ != nullptr) return false;
    tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_V4);
    if (pcb == nullptr) return false;
    if (tcp_bind(pcb, IP4_ADDR_ANY, port) != ERR_OK) {
        tcp_abort(pcb);
        return false;
    }
    listener_ = tcp_listen_with_backlog(pcb, kMaxConnections);
    if (listener_ == nullptr) {
        tcp_abort(pcb);
        return false;
    }
    tcp_arg(listener_, this);
    tcp_accept(listener_, EchoServiceGlue::accepted);
    return true;
}

bool TcpEchoService::accept(tcp_pcb* connection) {
    if (connections_.size() >= kMaxConnections) return false;
    ++accepted_;
    connections_.push_back(connection);
    tcp_arg(connection, this);
    tcp_recv(connection, EchoServiceGlue::received);
    tcp_sent(connection, EchoServiceGlue::sent);
    tcp_err(connection, [](void* arg, err_t) {
        // Reset or aborted by lwIP: it has freed the connection, so we may
        // not touch it, only stop counting it. Which one it was is not said,
        // so the service forgets every connection lwIP no longer knows.
        if (auto* service = static_cast<TcpEchoService*>(arg)) service->forget(nullptr);
    });
    return true;
}

signed char TcpEchoService::echo(tcp_pcb* connection, pbuf* data) {
    if (tcp_sndbuf(connection) < data->tot_len ||
        tcp_sndqueuelen(connection) + pbuf_clen(data) >= TCP_SND_QUEUELEN)
        return ERR_MEM;  // lwIP keeps it and offers it again
    for (const pbuf* q = data; q != nullptr; q = q->next) {
        if (tcp_write(connection, q->payload, q->len, TCP_WRITE_FLAG_COPY) != ERR_OK) {
            // Nothing of this chunk is lost: what was queued goes, and the rest
            // is a write error the client sees as a short echo. Should not
            // happen, since the room was checked above.
            break;
        }
        echoed_ += q->len;
    }
    tcp_recved(connection, data->tot_len);
    pbuf_free(data);
    tcp_output(connection);
    return ERR_OK;
}

void TcpEchoService::forget(tcp_pcb* connection) {
    if (connection != nullptr) {
        std::erase(connections_, connection);
        return;
    }
    // Keep only connections lwIP still has among its active ones.
    std::erase_if(connections_, [](tcp_pcb* c) {
        for (tcp_pcb* p = tcp_active_pcbs; p != nullptr; p = p->next)
            if (p == c) return false;
        return true;
    });
}

}  // namespace net
