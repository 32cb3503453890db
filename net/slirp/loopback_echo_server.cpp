#include "net/slirp/loopback_echo_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace net {

namespace {

bool make_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

LoopbackEchoServer::LoopbackEchoServer(std::uint16_t port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error(std::string("echo server: socket: ") + std::strerror(errno));
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, static_cast<int>(kMaxConnections)) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("echo server: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 reason);
    }
    port_ = ntohs(address.sin_port);
}

LoopbackEchoServer::~LoopbackEchoServer() {
    for (const Connection& c : connections_) ::close(c.fd);
    ::close(listener_);
}

void LoopbackEchoServer::poll() {
    accept_new();
    for (std::size_t i = 0; i < connections_.size();) {
        if (serve(connections_[i])) {
            ++i;
        } else {
            ::close(connections_[i].fd);
            connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void LoopbackEchoServer::accept_new() {
    while (connections_.size() < kMaxConnections) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;  // nothing waiting (or a transient error: try next poll)
        if (!make_nonblocking(fd)) {
            ::close(fd);
            continue;
        }
        ++accepted_;
        connections_.push_back(Connection{fd, {}, false});
    }
}

bool LoopbackEchoServer::serve(Connection& c) {
    std::uint8_t chunk[16 * 1024];
    // Read only while the backlog has room: a peer that never reads its
    // answers gets flow-controlled by TCP instead of growing our buffer.
    while (!c.peer_closed && c.pending.size() < kMaxBuffered) {
        const std::size_t room = std::min(sizeof chunk, kMaxBuffered - c.pending.size());
        const ssize_t got = ::recv(c.fd, chunk, room, 0);
        if (got > 0) {
            c.pending.insert(c.pending.end(), chunk, chunk + got);
        } else if (got == 0) {
            c.peer_closed = true;
        } else if (would_block(errno)) {
            break;
        } else {
            return false;  // reset by the peer
        }
    }
    while (!c.pending.empty()) {
        const ssize_t put = ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
        if (put > 0) {
            echoed_ += static_cast<std::uint64_t>(put);
            c.pending.erase(c.pending.begin(), c.pending.begin() + put);
        } else if (put < 0 && would_block(errno)) {
            break;
        } else {
            return false;
        }
    }
    // Everything the peer sent has been answered: close our side as well.
    return !(c.peer_closed && c.pending.empty());
}

}  // namespace net
