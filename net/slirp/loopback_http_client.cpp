#include "net/slirp/loopback_http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace net {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Just past the blank line that ends the head, or npos while it has not
// come. `from` keeps where the next unscanned line starts, so a head that
// arrives in pieces is scanned once.
std::size_t head_end(std::string_view data, std::size_t& from) {
    for (;;) {
        const std::size_t lf = data.find('\n', from);
        if (lf == npos) return npos;
        const bool blank = lf == from || (lf == from + 1 && data[from] == '\r');
        from = lf + 1;
        if (blank) return from;
    }
}

}  // namespace

const std::string* LoopbackHttpClient::Result::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (same_name(key, name)) return &value;
    return nullptr;
}

LoopbackHttpClient::LoopbackHttpClient(std::size_t max_response_bytes) : limit_(max_response_bytes) {}

LoopbackHttpClient::~LoopbackHttpClient() {
    close_socket();
}

bool LoopbackHttpClient::start(std::uint16_t port, std::string_view path) {
    close_socket();
    result_ = {};
    state_ = State::Idle;
    port_ = port;
    request_sent_ = 0;
    received_.clear();
    scanned_ = 0;
    head_done_ = false;
    content_length_.reset();
    started_ = std::chrono::steady_clock::now();
    // The path goes into the request line as it is: nothing in it may end
    // that line early or add another.
    if (path.empty() || path.front() != '/' ||
        !std::all_of(path.begin(), path.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
        fail("the path must start with '/' and hold only visible ASCII characters");
        return false;
    }
    request_ = "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\nUser-Agent: ne2000sim\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fail(std::string("socket: ") + std::strerror(errno));
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        state_ = State::Sending;
    } else if (errno == EINPROGRESS) {
        state_ = State::Connecting;
    } else {
        fail("connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

void LoopbackHttpClient::poll() {
    if (state_ == State::Connecting) {
        if (!connected()) return;
        state_ = State::Sending;
    }
    if (state_ == State::Sending) {
        if (!send_request()) return;
        state_ = State::Receiving;
    }
    if (state_ == State::Receiving) receive();
}

bool LoopbackHttpClient::connected() {
    pollfd ready{fd_, POLLOUT, 0};
    if (::poll(&ready, 1, 0) <= 0) return false;  // still under way
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return true;
    fail("connect to 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(error));
    return false;
}

bool LoopbackHttpClient::send_request() {
    while (request_sent_ < request_.size()) {
        const ssize_t put =
            ::send(fd_, request_.data() + request_sent_, request_.size() - request_sent_, MSG_NOSIGNAL);
        if (put > 0) {
            request_sent_ += static_cast<std::size_t>(put);
        } else if (put < 0 && would_block(errno)) {
            return false;
        } else {
            fail(std::string("send: ") + std::strerror(errno));
            return false;
        }
    }
    return true;
}

void LoopbackHttpClient::receive() {
    char chunk[16 * 1024];
    while (state_ == State::Receiving) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got == 0) return at_end_of_stream();
        if (got < 0) {
            if (!would_block(errno)) fail(std::string("receive: ") + std::strerror(errno));
            return;
        }
        result_.bytes += static_cast<std::uint64_t>(got);
        if (result_.bytes > limit_) return fail("answer larger than " + std::to_string(limit_) + " bytes");
        if (head_done_) {
            result_.body.append(chunk, static_cast<std::size_t>(got));
        } else {
            received_.append(chunk, static_cast<std::size_t>(got));
            const std::size_t end = head_end(received_, scanned_);
            if (end == npos || !parse_head(std::string_view(received_).substr(0, end))) continue;
            result_.body.assign(received_, end);
            std::string().swap(received_);
            head_done_ = true;
        }
        take_body();
    }
}

bool LoopbackHttpClient::parse_head(std::string_view head) {
    std::vector<std::string_view> lines;
    for (std::size_t line = 0; line < head.size();) {
        const std::size_t lf = head.find('\n', line);
        std::string_view text = head.substr(line, lf - line);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (!text.empty()) lines.push_back(text);
        line = lf + 1;
    }
    // HTTP/1.x SP three digits, then SP and a reason that may be empty or absent.
    const std::string_view first = lines.empty() ? std::string_view() : lines.front();
    if (first.size() < 12 || first.substr(0, 7) != "HTTP/1." || !all_digits(first.substr(7, 1)) ||
        first[8] != ' ' || !all_digits(first.substr(9, 3)) || (first.size() > 12 && first[12] != ' ')) {
        fail("malformed status line");
        return false;
    }
    result_.status = std::stoi(std::string(first.substr(9, 3)));
    if (result_.status < 200) {
        fail("interim answer " + std::to_string(result_.status) + " is not supported");
        return false;
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(':');
        const std::string_view name = lines[i].substr(0, colon);
        if (colon == npos || name.empty() || name.find_first_of(" \t") != npos) {
            fail("malformed header line");
            return false;
        }
        const std::string_view value = trimmed(lines[i].substr(colon + 1));
        result_.headers.emplace_back(name, value);
        if (same_name(name, "Transfer-Encoding")) {
            fail("Transfer-Encoding " + std::string(value) + " is not supported");
            return false;
        }
        if (same_name(name, "Content-Length")) {
            const bool valid = all_digits(value) && value.size() <= 18;
            const std::uint64_t length = valid ? std::stoull(std::string(value)) : 0;
            if (!valid || (content_length_ && *content_length_ != length)) {
                fail("bad Content-Length");
                return false;
            }
            content_length_ = length;
        }
    }
    if (content_length_ && *content_length_ > limit_ - std::min(limit_, head.size())) {
        fail("answer larger than " + std::to_string(limit_) + " bytes");
        return false;
    }
    return true;
}

void LoopbackHttpClient::take_body() {
    if (!content_length_ || result_.body.size() < *content_length_) return;
    result_.body.resize(*content_length_);  // a server's surplus is not part of the answer
    finish();
}

void LoopbackHttpClient::at_end_of_stream() {
    if (!head_done_)
        return fail(result_.bytes == 0 ? "connection closed without an answer"
                                       : "connection closed inside the answer's head");
    if (content_length_)
        return fail("connection closed after " + std::to_string(result_.body.size()) + " of " +
                    std::to_string(*content_length_) + " body bytes");
    finish();  // no length given: the close ends the body
}

void LoopbackHttpClient::fail(std::string reason) {
    result_.error = std::move(reason);
    result_.elapsed = std::chrono::steady_clock::now() - started_;
    close_socket();
}

void LoopbackHttpClient::finish() {
    result_.complete = true;
    result_.elapsed = std::chrono::steady_clock::now() - started_;
    close_socket();
}

void LoopbackHttpClient::close_socket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = State::Idle;
}

}  // namespace net
