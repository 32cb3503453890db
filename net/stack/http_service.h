#pragma once
// An HTTP/1.1 server on the guest's lwIP: the pages a browser or curl on this
// host fetches through a host forward of the virtual network.
//
// One request per connection: every answer carries Content-Length and
// "Connection: close", and the server closes its side once the answer is
// queued. GET and HEAD are served by the handler (HEAD gets the same headers
// and no body; a handler that throws gives 500); any other method is answered
// 405, a malformed request line or header 400, a request head over 8 KB 431,
// an HTTP version other than 1.0 and 1.1 505. A connection that has not sent a
// complete head within `request_timeout_ms` is closed, as is one whose peer
// stops taking the answer for `stall_timeout_ms`; both are timed by lwIP's
// poll callback on the stack's virtual clock.
//
// The answer is the only buffer: it goes to TCP as the send buffer allows and
// the rest follows from the sent and poll callbacks, so memory per connection
// is the answer plus a request head of at most 8 KB, and the number of
// connections is bounded (others are reset at once).
//
// Destroy it before the LwipStack it listens on.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct tcp_pcb;
struct pbuf;

namespace net {

struct HttpRequest {
    std::string method;  // "GET" or "HEAD"
    std::string path;    // the target up to '?', as sent (not percent-decoded)
    std::string query;   // after '?', without it; empty when there is none
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    // Sent after the server's own; such as Refresh or Cache-Control.
    std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpServiceOptions {
    std::size_t max_connections = 8;
    std::uint32_t request_timeout_ms = 10'000;  // from accept to a complete request head
    std::uint32_t stall_timeout_ms = 30'000;    // without a byte of the answer acknowledged
};

class HttpService {
public:
    static constexpr std::size_t kMaxHeadBytes = 8 * 1024;
    // After the answer, what the client still sends is read and dropped this
    // long, so that a reset does not overtake the answer on its way.
    static constexpr std::uint32_t kLingerMs = 2'000;

    struct Counters {
        std::uint64_t accepted = 0;
        std::uint64_t refused = 0;    // over the connection limit
        std::uint64_t timed_out = 0;  // no complete request, or the answer stalled
        // Answers by status class: [2] counts 2xx, ..., [5] counts 5xx.
        std::array<std::uint64_t, 6> answered{};
        std::uint64_t bytes_sent = 0;  // heads and bodies handed to TCP
    };

    explicit HttpService(HttpHandler handler, HttpServiceOptions options = {});
    // Closes the listener and aborts connections still open.
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Listens on `port` of every address of the stack; false when it cannot.
    bool listen(std::uint16_t port);

    const Counters& counters() const { return counters_; }
    std::size_t open_connections() const { return connections_.size(); }

private:
    struct Connection;
    friend struct HttpServiceGlue;  // lwIP's C callbacks

    // Each returns what the lwIP callback must return: ERR_ABRT once the
    // connection was aborted.
    signed char accept(tcp_pcb* pcb);
    signed char receive(Connection& c, pbuf* data);
    signed char send_more(Connection& c);
    signed char poll(Connection& c);

    void respond(Connection& c);
    void answer(Connection& c, HttpResponse response, bool head_only);
    signed char close(Connection& c);
    signed char abort(Connection& c);
    void forget(Connection& c);

    HttpHandler handler_;
    HttpServiceOptions options_;
    tcp_pcb* listener_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
    Counters counters_;
};

}  // namespace net
