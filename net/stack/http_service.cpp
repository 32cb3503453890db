#include "net/stack/http_service.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

extern "C" {
#include "lwip/priv/tcp_priv.h"
#include "lwip/sys.h"
#include "lwip/tcp.h"
}

namespace net {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool is_token_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool is_token(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char);
}

// A header value may hold tabs, spaces, visible characters and bytes over
// 0x7F; any other control character (CR and LF above all) is refused.
bool is_field_value(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '\t' || (u >= 0x20 && u != 0x7F);
    });
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Just past the blank line that ends the request head, or npos while it has
// not come. Lines end in CR LF or a bare LF; blank lines before the request
// line are skipped, as clients may send one after an earlier request.
std::size_t head_end(std::string_view data) {
    bool started = false;
    for (std::size_t line = 0;;) {
        const std::size_t lf = data.find('\n', line);
        if (lf == npos) return npos;
        const bool blank = lf == line || (lf == line + 1 && data[line] == '\r');
        if (blank && started) return lf + 1;
        started = started || !blank;
        line = lf + 1;
    }
}

struct ParsedHead {
    int status = 0;  // an error to answer with; 0 when the request is served
    HttpRequest request;
};

ParsedHead parse_head(std::string_view head) {
    std::vector<std::string_view> lines;
    for (std::size_t line = 0; line < head.size();) {
        const std::size_t lf = head.find('\n', line);
        std::string_view text = head.substr(line, lf - line);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (!text.empty()) lines.push_back(text);
        line = lf + 1;
    }
    ParsedHead out;
    // METHOD SP target SP HTTP/1.x, nothing more.
    const std::string_view first = lines.front();
    const std::size_t sp1 = first.find(' ');
    const std::size_t sp2 = sp1 == npos ? npos : first.find(' ', sp1 + 1);
    if (sp2 == npos || first.find(' ', sp2 + 1) != npos) return {400, {}};
    const std::string_view method = first.substr(0, sp1);
    const std::string_view target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = first.substr(sp2 + 1);
    out.request.method = method;
    if (!is_token(method) || target.empty() || target.front() != '/' ||
        !std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
        out.status = 400;
    else if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
             !std::isdigit(static_cast<unsigned char>(version[5])) || version[6] != '.' ||
             !std::isdigit(static_cast<unsigned char>(version[7])))
        out.status = 400;
    for (std::size_t i = 1; i < lines.size() && out.status == 0; ++i) {
        // No space before the colon, and no folded continuation lines.
        const std::size_t colon = lines[i].find(':');
        if (colon == npos || !is_token(lines[i].substr(0, colon)) ||
            !is_field_value(lines[i].substr(colon + 1)))
            out.status = 400;
    }
    if (out.status != 0) return out;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return {505, std::move(out.request)};
    if (method != "GET" && method != "HEAD") return {405, std::move(out.request)};
    const std::size_t question = target.find('?');
    out.request.path = target.substr(0, question);
    if (question != npos) out.request.query = target.substr(question + 1);
    return out;
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "";
    }
}

HttpResponse error_page(int status) {
    HttpResponse page;
    page.status = status;
    page.body = std::to_string(status) + " " + reason(status) + "\n";
    if (status == 405) page.headers.emplace_back("Allow", "GET, HEAD");
    return page;
}

// The framing headers are the server's own: a handler's copy could only
// contradict them.
bool is_own_header(std::string_view name) {
    for (std::string_view own : {"Content-Length", "Content-Type", "Connection", "Transfer-Encoding"})
        if (same_name(name, own)) return true;
    return false;
}

// lwIP hands over received data in a pbuf the callback must free, whatever happens.
struct PbufHolder {
    pbuf* p;
    ~PbufHolder() { pbuf_free(p); }
};

}  // namespace

struct HttpService::Connection {
    enum class Phase { Reading, Sending, Lingering };

    Connection(HttpService& owner, tcp_pcb* connection)
        : service(owner), pcb(connection), since_ms(sys_now()) {}

    HttpService& service;
    tcp_pcb* pcb;
    Phase phase = Phase::Reading;
    std::uint32_t since_ms;    // start of the phase, or the last progress of the answer
    bool peer_closed = false;  // the client's FIN has come
    std::string head;          // the request as far as it came, at most one byte over the limit
    std::string outgoing;      // the answer, head and body
    std::size_t offset = 0;    // of `outgoing`, handed to TCP
};

struct HttpServiceGlue {
    using Connection = HttpService::Connection;

    // Nothing may unwind through lwIP's C code: a connection whose callback
    // fails is aborted.
    template <typename Step>
    static err_t guarded(Connection* c, Step step) noexcept {
        try {
            return step();
        } catch (...) {
            return c->service.abort(*c);
        }
    }

    static err_t accepted(void* arg, tcp_pcb* pcb, err_t err) noexcept {
        auto* service = static_cast<HttpService*>(arg);
        if (err != ERR_OK || pcb == nullptr || service == nullptr) return ERR_VAL;
        try {
            return service->accept(pcb);
        } catch (...) {
            tcp_abort(pcb);
            return ERR_ABRT;
        }
    }
    static err_t received(void* arg, tcp_pcb* pcb, pbuf* data, err_t) noexcept {
        auto* c = static_cast<Connection*>(arg);
        if (c == nullptr) return tcp_recv_null(nullptr, pcb, data, ERR_OK);
        return guarded(c, [&] { return c->service.receive(*c, data); });
    }
    static err_t sent(void* arg, tcp_pcb*, u16_t) noexcept {
        auto* c = static_cast<Connection*>(arg);
        if (c == nullptr) return ERR_OK;
        c->since_ms = sys_now();  // the client is taking the answer
        return guarded(c, [&] { return c->service.send_more(*c); });
    }
    static err_t polled(void* arg, tcp_pcb*) noexcept {
        auto* c = static_cast<Connection*>(arg);
        if (c == nullptr) return ERR_OK;
        return guarded(c, [&] { return c->service.poll(*c); });
    }
    static void failed(void* arg, err_t) noexcept {
        // Reset, or aborted by lwIP: it has freed the connection already.
        if (auto* c = static_cast<Connection*>(arg)) {
            c->pcb = nullptr;
            c->service.forget(*c);
        }
    }

    static void detach(tcp_pcb* pcb) {
        tcp_arg(pcb, nullptr);
        tcp_err(pcb, nullptr);
        tcp_sent(pcb, nullptr);
        tcp_poll(pcb, nullptr, 0);
        tcp_recv(pcb, nullptr);  // lwIP's default handler takes what still arrives
    }
};

HttpService::HttpService(HttpHandler handler, HttpServiceOptions options)
    : handler_(std::move(handler)), options_(options) {}

HttpService::~HttpService() {
    for (const auto& c : connections_) {
        HttpServiceGlue::detach(c->pcb);
        tcp_abort(c->pcb);
    }
    if (listener_ != nullptr) tcp_close(listener_);
}

bool HttpService::listen(std::uint16_t port) {
    if (listener_ != nullptr) return false;
    tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_V4);
    if (pcb == nullptr) return false;
    if (tcp_bind(pcb, IP4_ADDR_ANY, port) != ERR_OK) {
        tcp_abort(pcb);
        return false;
    }
    listener_ = tcp_listen(pcb);
    if (listener_ == nullptr) {
        tcp_abort(pcb);
        return false;
    }
    tcp_arg(listener_, this);
    tcp_accept(listener_, HttpServiceGlue::accepted);
    return true;
}

signed char HttpService::accept(tcp_pcb* pcb) {
    if (connections_.size() >= options_.max_connections) {
        ++counters_.refused;
        tcp_abort(pcb);
        return ERR_ABRT;
    }
    connections_.push_back(std::make_unique<Connection>(*this, pcb));
    ++counters_.accepted;
    tcp_arg(pcb, connections_.back().get());
    tcp_recv(pcb, HttpServiceGlue::received);
    tcp_sent(pcb, HttpServiceGlue::sent);
    tcp_err(pcb, HttpServiceGlue::failed);
    // Every second: the timeouts, and a write refused for want of memory.
    tcp_poll(pcb, HttpServiceGlue::polled, 2);
    return ERR_OK;
}

signed char HttpService::receive(Connection& c, pbuf* data) {
    if (data == nullptr) {
        // The client has closed its side. An answer under way still goes out
        // (TCP sends after the peer's FIN); otherwise there is nothing left to do.
        c.peer_closed = true;
        if (c.phase == Connection::Phase::Sending) return ERR_OK;
        return close(c);
    }
    const PbufHolder hold{data};
    tcp_recved(c.pcb, data->tot_len);
    if (c.phase != Connection::Phase::Reading) return ERR_OK;  // one request per connection
    // Keep one byte past the limit: enough to tell a head that is too long.
    const std::size_t take = std::min<std::size_t>(data->tot_len, kMaxHeadBytes + 1 - c.head.size());
    const std::size_t had = c.head.size();
    c.head.resize(had + take);
    pbuf_copy_partial(data, c.head.data() + had, static_cast<u16_t>(take), 0);
    if (head_end(c.head) == npos && c.head.size() <= kMaxHeadBytes) return ERR_OK;
    respond(c);
    return send_more(c);
}

void HttpService::respond(Connection& c) {
    const std::size_t end = head_end(c.head);
    if (end == npos || end > kMaxHeadBytes) return answer(c, error_page(431), false);
    ParsedHead parsed = parse_head(std::string_view(c.head).substr(0, end));
    std::string().swap(c.head);
    const bool head_only = parsed.request.method == "HEAD";
    if (parsed.status != 0) return answer(c, error_page(parsed.status), head_only);
    HttpResponse response;
    try {
        response = handler_(parsed.request);
    } catch (...) {
        response = error_page(500);
    }
    if (response.status < 200 || response.status > 599) response = error_page(500);
    answer(c, std::move(response), head_only);
}

void HttpService::answer(Connection& c, HttpResponse response, bool head_only) {
    std::string& out = c.outgoing;
    out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    if (!response.content_type.empty() && is_field_value(response.content_type))
        out += "Content-Type: " + response.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\nConnection: close\r\n";
    // A handler's header that would split the head (CR, LF) or redo the
    // framing is left out rather than sent.
    for (const auto& [name, value] : response.headers)
        if (is_token(name) && is_field_value(value) && !is_own_header(name))
            out += name + ": " + value + "\r\n";
    out += "\r\n";
    if (!head_only) out += response.body;
    c.phase = Connection::Phase::Sending;
    c.since_ms = sys_now();
    ++counters_.answered[static_cast<std::size_t>(response.status / 100)];
}

signed char HttpService::send_more(Connection& c) {
    if (c.phase != Connection::Phase::Sending) return ERR_OK;
    bool queued = false;
    while (c.offset < c.outgoing.size()) {
        const std::size_t left = c.outgoing.size() - c.offset;
        const std::size_t size = std::min<std::size_t>({tcp_sndbuf(c.pcb), left, 0xFFFF});
        if (size == 0 || tcp_sndqueuelen(c.pcb) >= TCP_SND_QUEUELEN) break;
        const u8_t flags = TCP_WRITE_FLAG_COPY | (size < left ? TCP_WRITE_FLAG_MORE : 0);
        // Refused for want of memory: the next sent or poll callback tries again.
        if (tcp_write(c.pcb, c.outgoing.data() + c.offset, static_cast<u16_t>(size), flags) != ERR_OK) break;
        c.offset += size;
        counters_.bytes_sent += size;
        queued = true;
    }
    if (queued) tcp_output(c.pcb);
    if (c.offset < c.outgoing.size()) return ERR_OK;
    // All of it is with TCP, which sends the FIN behind it.
    std::string().swap(c.outgoing);
    if (c.peer_closed || tcp_shutdown(c.pcb, 0, 1) != ERR_OK) return close(c);
    c.phase = Connection::Phase::Lingering;
    c.since_ms = sys_now();
    return ERR_OK;
}

signed char HttpService::poll(Connection& c) {
    const std::uint32_t waited = sys_now() - c.since_ms;
    switch (c.phase) {
        case Connection::Phase::Reading:
            if (waited < options_.request_timeout_ms) return ERR_OK;
            ++counters_.timed_out;
            return close(c);
        case Connection::Phase::Sending:
            if (waited < options_.stall_timeout_ms) return send_more(c);
            ++counters_.timed_out;
            return abort(c);
        case Connection::Phase::Lingering:
            if (waited < kLingerMs) return ERR_OK;
            return close(c);
    }
    return ERR_OK;
}

signed char HttpService::close(Connection& c) {
    tcp_pcb* pcb = c.pcb;
    HttpServiceGlue::detach(pcb);
    forget(c);
    if (tcp_close(pcb) != ERR_OK) {
        tcp_abort(pcb);
        return ERR_ABRT;
    }
    return ERR_OK;
}

signed char HttpService::abort(Connection& c) {
    tcp_pcb* pcb = c.pcb;
    forget(c);
    if (pcb == nullptr) return ERR_OK;
    HttpServiceGlue::detach(pcb);
    tcp_abort(pcb);
    return ERR_ABRT;
}

void HttpService::forget(Connection& c) {
    std::erase_if(connections_, [&](const auto& held) { return held.get() == &c; });
}

}  // namespace net
