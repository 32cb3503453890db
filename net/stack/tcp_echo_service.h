#pragma once
// A TCP echo server on the guest's lwIP: what a host program reaches through
// a host forward of the virtual network. It writes back whatever arrives; data
// it cannot queue for sending yet is left with lwIP (refused), which offers it
// again later and meanwhile closes the receive window, so a fast sender is
// flow-controlled rather than buffered without bound.

#include <cstdint>
#include <vector>

struct tcp_pcb;
struct pbuf;

namespace net {

class TcpEchoService {
public:
    static constexpr std::size_t kMaxConnections = 4;

    TcpEchoService() = default;
    // Closes the listener and aborts connections still open.
    ~TcpEchoService();
    TcpEchoService(const TcpEchoService&) = delete;
    TcpEchoService& operator=(const TcpEchoService&) = delete;

    // Listens on `port` of every address of the stack; false when it cannot.
    bool listen(std::uint16_t port);

    std::uint64_t connections_accepted() const { return accepted_; }
    std::uint64_t bytes_echoed() const { return echoed_; }
    std::size_t open_connections() const { return connections_.size(); }

private:
    friend struct EchoServiceGlue;  // lwIP's C callbacks

    bool accept(tcp_pcb* connection);
    // ERR_OK when taken, ERR_MEM when lwIP should offer it again later.
    signed char echo(tcp_pcb* connection, pbuf* data);
    void forget(tcp_pcb* connection);

    tcp_pcb* listener_ = nullptr;
    std::vector<tcp_pcb*> connections_;
    std::uint64_t accepted_ = 0;
    std::uint64_t echoed_ = 0;
};

}  // namespace net
