#pragma once
// A TCP echo server on this host's loopback, for the guest to reach through
// the virtual network's NAT (the router address 10.0.2.2 is the host's
// 127.0.0.1). It never blocks and has no thread: poll() does whatever the
// sockets allow at that moment; added to the host loop it runs every round,
// so that the whole exchange is paced by virtual time.
//
// It listens on 127.0.0.1 only, serves a bounded number of connections, and
// buffers at most a bounded amount per connection (it stops reading while its
// answer cannot be written), so a misbehaving peer cannot make it grow.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/loop/host_loop.h"

namespace net {

class LoopbackEchoServer : public HostLoop::Participant {
public:
    static constexpr std::size_t kMaxConnections = 8;
    static constexpr std::size_t kMaxBuffered = 256 * 1024;

    // Listens on 127.0.0.1:`port` (0: a free port). Throws std::runtime_error on failure.
    explicit LoopbackEchoServer(std::uint16_t port = 0);
    ~LoopbackEchoServer();
    LoopbackEchoServer(const LoopbackEchoServer&) = delete;
    LoopbackEchoServer& operator=(const LoopbackEchoServer&) = delete;

    std::uint16_t port() const { return port_; }
    void poll();
    void prepare(HostLoop&) override {}
    void dispatch(HostLoop&) override { poll(); }

    std::uint64_t connections_accepted() const { return accepted_; }
    std::uint64_t bytes_echoed() const { return echoed_; }
    std::size_t open_connections() const { return connections_.size(); }

private:
    struct Connection {
        int fd;
        std::vector<std::uint8_t> pending;  // read, not yet written back
        bool peer_closed = false;
    };
    void accept_new();
    // False when the connection is finished and was closed.
    bool serve(Connection& connection);

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::vector<Connection> connections_;
    std::uint64_t accepted_ = 0;
    std::uint64_t echoed_ = 0;
};

}  // namespace net
