#pragma once
// An HTTP/1.1 GET client for a server on this host's loopback: how a host
// program fetches the guest's pages through a host forward of the virtual
// network. It never blocks and has no thread: start() opens a non-blocking
// connection, and poll() does what the socket allows at that moment (finish
// the connect, send the request, read the answer). It is meant to run in the
// virtual network's tick, like the loopback echo server, so that the guest
// answering it is paced by virtual time.
//
// A small socket client rather than libcurl: the same sources are also built
// for 32 bits, against a set of i386 libraries that has no libcurl.
//
// The answer is read up to its Content-Length, or to the close when it has
// none; one larger than the client's limit fails as soon as that is known, so
// a runaway server cannot make it grow. Chunked transfer coding and interim
// (1xx) answers are not spoken: they fail with a reason.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace net {

class LoopbackHttpClient {
public:
    static constexpr std::size_t kDefaultLimit = 16 * 1024 * 1024;

    struct Result {
        bool complete = false;  // the whole answer came
        std::string error;      // one line saying why it failed; empty while it has not
        int status = 0;
        std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
        std::string body;
        std::uint64_t bytes = 0;                        // received: head and body
        std::chrono::steady_clock::duration elapsed{};  // real time from start() to the end

        // The first header of that name, in any case; null when there is none.
        const std::string* header(std::string_view name) const;
    };

    // `max_response_bytes` bounds the head and body together.
    explicit LoopbackHttpClient(std::size_t max_response_bytes = kDefaultLimit);
    ~LoopbackHttpClient();
    LoopbackHttpClient(const LoopbackHttpClient&) = delete;
    LoopbackHttpClient& operator=(const LoopbackHttpClient&) = delete;

    // Begins a GET of `path` (starting with '/') from 127.0.0.1:`port`,
    // dropping any earlier one; false when it failed at once (the reason in
    // result().error).
    bool start(std::uint16_t port, std::string_view path);
    void poll();

    bool done() const { return result_.complete || !result_.error.empty(); }
    bool succeeded() const { return result_.complete && result_.error.empty(); }
    const Result& result() const { return result_; }

private:
    enum class State { Idle, Connecting, Sending, Receiving };

    bool connected();
    bool send_request();
    void receive();
    // False when the head is malformed (and the client has failed).
    bool parse_head(std::string_view head);
    void take_body();
    void at_end_of_stream();
    void fail(std::string reason);
    void finish();
    void close_socket();

    std::size_t limit_;
    int fd_ = -1;
    State state_ = State::Idle;
    std::uint16_t port_ = 0;
    std::string request_;
    std::size_t request_sent_ = 0;
    std::string received_;     // the head while it is incomplete
    std::size_t scanned_ = 0;  // of `received_`, looked through for the head's end
    bool head_done_ = false;
    std::optional<std::uint64_t> content_length_;
    std::chrono::steady_clock::time_point started_;
    Result result_;
};

}  // namespace net
