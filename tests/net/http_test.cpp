// The guest's web server on lwIP over the driver, reached from this host
// through a host forward of the virtual network: GETs by the loopback HTTP
// client, and what that client never sends by a socket of the test's own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/slirp/loopback_http_client.h"
#include "net/slirp/slirp_network.h"
#include "net/stack/dhcp_client.h"
#include "net/stack/http_service.h"
#include "net/stack/lwip_stack.h"
#include "net/stack/ndis_netif.h"
#include "tests/support/testbed.h"

namespace {

using machine::kMillisecond;
using machine::kSecond;

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// The driver on the card model, lwIP bound to it with a lease from the
// virtual network (confined to this host), and the web server forwarded from
// a port of this host.
struct Guest {
    testbed::Testbed tb{{.trace = false}};
    net::HostLoop loop{tb.pc().clock()};
    std::unique_ptr<net::SlirpNetwork> network;
    std::unique_ptr<net::LwipStack> stack;
    std::unique_ptr<net::NdisNetif> netif;
    std::unique_ptr<net::DhcpClient> dhcp;
    std::unique_ptr<net::HttpService> http;
    std::uint16_t port = 0;

    Guest(net::HttpHandler handler, net::HttpServiceOptions options = {}) {
        EXPECT_EQ(tb.load_driver(), STATUS_SUCCESS);
        EXPECT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
        tb.ndis().record_events(false);
        network =
            std::make_unique<net::SlirpNetwork>(tb.wire(), loop, net::SlirpNetworkOptions{.confine_to_host = true});
        stack = std::make_unique<net::LwipStack>(tb.pc().clock());
        netif = std::make_unique<net::NdisNetif>(*stack, tb.ndis(), tb.adapter());
        EXPECT_EQ(netif->open(), NDIS_STATUS_SUCCESS);
        dhcp = std::make_unique<net::DhcpClient>(*netif, tb.pc().clock());
        dhcp->start();
        EXPECT_TRUE(run_until([&] { return dhcp->bound(); }, 10 * kSecond));
        http = std::make_unique<net::HttpService>(std::move(handler), options);
        EXPECT_TRUE(http->listen(80));
        port = network->add_host_forward(net::SlirpNetwork::Transport::Tcp, 0, "10.0.2.15", 80).value_or(0);
        EXPECT_NE(port, 0);
    }

    // Runs virtual time until `done` or `limit` has passed, and a wall-clock
    // bound so a broken exchange cannot hang the suite.
    bool run_until(const std::function<bool()>& done, machine::Nanoseconds limit) {
        const machine::Nanoseconds deadline = tb.now() + limit;
        const auto wall_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && tb.now() < deadline && std::chrono::steady_clock::now() < wall_deadline)
            tb.run_for(kMillisecond);
        return done();
    }

    ULONG oid(NDIS_OID which) {
        ULONG value = 0, written = 0, needed = 0;
        EXPECT_EQ(tb.protocol().query(which, &value, sizeof value, &written, &needed), NDIS_STATUS_SUCCESS);
        return value;
    }

    // A connection to the guest's server through the forward, read and
    // written without waiting.
    int connect() {
        const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        where.sin_port = htons(port);
        ::connect(sock, reinterpret_cast<sockaddr*>(&where), sizeof where);
        // Completed once the virtual network accepts it, in its tick.
        pollfd writable{sock, POLLOUT, 0};
        EXPECT_TRUE(run_until([&] { return ::poll(&writable, 1, 0) == 1; }, kSecond));
        return sock;
    }

    void shut_down() {
        http.reset();
        dhcp.reset();
        netif->close();
        tb.run_for(20 * kMillisecond);
        tb.halt();
        EXPECT_TRUE(tb.errors().empty()) << joined(tb.errors());
        EXPECT_TRUE(tb.leaks().empty()) << joined(tb.leaks());
        EXPECT_EQ(netif->pool_outstanding(), 0u);
    }
};

// Whether the peer has closed `sock` (end of stream or reset); never waits.
bool closed_by_peer(int sock) {
    char byte;
    const ssize_t got = ::recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string big_body() {
    std::string body(256 * 1024, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return body;
}

const std::string kPage = "<html><body>ne2000</body></html>\n";

net::HttpResponse site(const net::HttpRequest& request) {
    // Every page also tries to smuggle a header in; the server must drop it.
    std::vector<std::pair<std::string, std::string>> extra = {{"Cache-Control", "no-store"},
                                                              {"X-Note", "a\r\nInjected: 1"}};
    if (request.path == "/") return {200, "text/html; charset=utf-8", kPage, extra};
    if (request.path == "/big") return {200, "application/octet-stream", big_body(), extra};
    if (request.path == "/throw") throw std::runtime_error("a page that fails");
    return {404, "text/plain", "no page " + request.path + " (query " + request.query + ")\n", extra};
}

// A request whose head (through its blank line) is exactly `size` bytes.
std::string head_of_size(std::size_t size) {
    const std::string start = "GET / HTTP/1.1\r\nHost: guest\r\nX-Pad: ";
    return start + std::string(size - start.size() - 4, 'p') + "\r\n\r\n";
}

TEST(HttpThroughDriver, AnswersEachRequestOnItsOwnConnection) {
    Guest g(site);
    struct Case {
        const char* name;
        std::string request;  // a path the loopback client GETs, or bytes sent as they stand
        int status;
        std::vector<std::pair<std::string, std::string>> headers;  // that the answer must carry
        std::optional<std::string> body;
    };
    const std::string big = big_body();
    const std::string upload = "POST / HTTP/1.1\r\nContent-Length: 131072\r\n\r\n" + std::string(131072, 'u');
    const std::vector<Case> cases = {
        {"page", "/", 200, {{"content-type", "text/html; charset=utf-8"}}, kPage},
        {"256 KB", "/big", 200, {{"Content-Length", "262144"}, {"cache-control", "no-store"}}, big},
        {"unknown path", "/nothing?x=1", 404, {}, "no page /nothing (query x=1)\n"},
        {"handler throws", "/throw", 500, {}, "500 Internal Server Error\n"},
        // The body comes after the answer: read and dropped, so no reset
        // follows and reaches the client while it may still be reading.
        {"POST of 128 KB", upload, 405, {{"Allow", "GET, HEAD"}}, {}},
        {"HEAD", "HEAD /big HTTP/1.1\r\nHost: guest\r\n\r\n", 200, {{"Content-Length", "262144"}}, ""},
        {"request line without version", "GET /\r\n\r\n", 400, {}, {}},
        {"header without colon", "GET / HTTP/1.1\r\nHost guest\r\n\r\n", 400, {}, {}},
        {"head of 8 KB", head_of_size(8192), 200, {}, kPage},
        {"head one byte over", head_of_size(8193), 431, {}, {}},
    };
    const ULONG sent_before = g.oid(OID_GEN_XMIT_OK);
    const ULONG received_before = g.oid(OID_GEN_RCV_OK);
    std::uint64_t bytes_received = 0;
    net::LoopbackHttpClient client;  // one for every GET: start() begins anew
    net::PolledService polled([&] { client.poll(); });
    const auto joined = g.loop.join(polled);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int status = 0;
        std::string head;  // CR LF, then each header line ending in CR LF
        std::string body;
        // The 256 KB take 3.2 s of virtual time at the driver's pace; twice
        // that when only the poll callback, once a second, refills the send
        // buffer instead of each acknowledgement.
        const machine::Nanoseconds limit = 4 * kSecond;
        if (c.request.front() == '/') {
            ASSERT_TRUE(client.start(g.port, c.request)) << client.result().error;
            ASSERT_TRUE(g.run_until([&] { return client.done(); }, limit));
            const auto& r = client.result();
            ASSERT_TRUE(client.succeeded()) << r.error;
            status = r.status;
            head = "\r\n";
            for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
            for (const auto& [name, value] : c.headers) {
                ASSERT_NE(r.header(name), nullptr) << name;
                EXPECT_EQ(*r.header(name), value);
            }
            body = r.body;
            bytes_received += r.bytes;
        } else {
            const int sock = g.connect();
            std::size_t offset = 0;
            std::string answer;
            const bool closed = g.run_until(
                [&] {
                    if (offset < c.request.size()) {
                        const ssize_t put = ::send(sock, c.request.data() + offset, c.request.size() - offset,
                                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                        if (put > 0) offset += static_cast<std::size_t>(put);
                    }
                    char chunk[4096];
                    ssize_t got;
                    while ((got = ::recv(sock, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
                        answer.append(chunk, got);
                    return got == 0 && offset == c.request.size();
                },
                limit);
            // What the client sent after the answer must not draw a reset,
            // which the virtual network passes on to this socket.
            g.tb.run_for(200 * kMillisecond);
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length);
            ::close(sock);
            ASSERT_TRUE(closed) << "the server closes after its answer; got so far:\n" << answer;
            EXPECT_EQ(error, 0) << std::strerror(error);
            bytes_received += answer.size();
            const std::size_t end = answer.find("\r\n\r\n");
            ASSERT_NE(end, std::string::npos) << answer;
            ASSERT_EQ(answer.compare(0, 9, "HTTP/1.1 "), 0) << answer;
            status = std::stoi(answer.substr(9, 3));
            head = answer.substr(answer.find("\r\n"), end + 2 - answer.find("\r\n"));
            body = answer.substr(end + 4);
            for (const auto& [name, value] : c.headers)
                EXPECT_NE(head.find("\r\n" + name + ": " + value + "\r\n"), std::string::npos) << head;
        }
        EXPECT_EQ(status, c.status);
        EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << head;
        EXPECT_EQ(head.find("Injected"), std::string::npos) << "a handler's CR LF split the head:\n" << head;
        if (c.body) {
            EXPECT_TRUE(body == *c.body) << "body of " << body.size() << " bytes differs";
        } else {
            EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
                      std::string::npos)
                << head;
        }
    }
    const auto& counters = g.http->counters();
    EXPECT_EQ(counters.answered[2], 4u);
    EXPECT_EQ(counters.answered[4], 5u);
    EXPECT_EQ(counters.answered[5], 1u);
    EXPECT_EQ(counters.bytes_sent, bytes_received) << "every byte handed to TCP reached this host";
    EXPECT_EQ(counters.refused + counters.timed_out, 0u);
    // The bytes crossed the driver: the body in full-size frames one way, the
    // two 8 KB heads the other way.
    EXPECT_GT(g.oid(OID_GEN_XMIT_OK) - sent_before, big.size() / 1514);
    EXPECT_GT(g.oid(OID_GEN_RCV_OK) - received_before, 2 * 8192 / 1514);
    EXPECT_EQ(g.oid(OID_GEN_XMIT_ERROR) + g.oid(OID_GEN_RCV_ERROR), 0u);
    EXPECT_TRUE(g.run_until([&] { return g.http->open_connections() == 0; }, 3 * kSecond));
    g.shut_down();
}

TEST(HttpThroughDriver, RefusesConnectionsOverItsLimitAndClosesThoseThatNeverFinishARequest) {
    Guest g(site, {.max_connections = 2, .request_timeout_ms = 3000});
    std::vector<int> socks;
    for (int i = 0; i < 3; ++i) {
        socks.push_back(g.connect());
        const std::string partial = "GET / HTTP/1.1\r\n";  // and never the rest
        ASSERT_EQ(::send(socks.back(), partial.data(), partial.size(), MSG_NOSIGNAL),
                  ssize_t(partial.size()));
        // Taken from the host's backlog (of one) before the next one comes.
        g.tb.run_for(20 * kMillisecond);
    }
    const auto closed_count = [&] { return std::count_if(socks.begin(), socks.end(), closed_by_peer); };
    // The first goes on sending a byte of its head every 100 ms: its time
    // still runs from its accept, not from its last byte.
    int ticks = 0;
    const auto trickle = [&] {
        if (++ticks % 100 == 0) ::send(socks[0], "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    };
    // The timeout is checked once a second: closed 3 to 4 s after its accept.
    const machine::Nanoseconds accepted = g.tb.now();
    g.run_until([&] { return trickle(), false; }, 2500 * kMillisecond);
    EXPECT_EQ(closed_count(), 1) << "the one over the limit, at once; the others wait for their requests";
    EXPECT_EQ(g.http->counters().refused, 1u);
    EXPECT_EQ(g.http->counters().accepted, 2u);
    EXPECT_TRUE(g.run_until([&] { return trickle(), closed_count() == 3; }, 2 * kSecond));
    EXPECT_LT(g.tb.now() - accepted, 4 * kSecond);
    EXPECT_EQ(g.http->counters().timed_out, 2u);
    EXPECT_EQ(g.http->counters().answered[2] + g.http->counters().answered[4], 0u);
    for (int sock : socks) ::close(sock);
    g.shut_down();
}

// Against a server of the test's own on loopback, answering each case's bytes
// and then closing: the client's failures, each with its reason, and an
// answer without Content-Length that the close ends.
TEST(LoopbackHttpClient, FailsWithOneLineAndTakesABodyEndedByTheClose) {
    struct Case {
        const char* name;
        std::optional<std::string> answer;  // nothing: no server listens
        std::string error;
        std::string body;
    };
    const std::string over(2000, 'o');
    const std::vector<Case> cases = {
        {"nothing listening", std::nullopt, "Connection refused", ""},
        {"declared over the limit", "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n",
         "answer larger than 1000 bytes", ""},
        {"over the limit by the close", "HTTP/1.1 200 OK\r\n\r\n" + over, "answer larger than 1000 bytes",
         ""},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd", "closed after 4 of 10 body bytes",
         ""},
        {"another protocol", "ICAP/1.0 200 OK\r\n\r\n", "malformed status line", ""},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "chunked is not supported", ""},
        {"ended by the close", "HTTP/1.0 200 OK\r\nServer: test\r\n\r\n" + over.substr(0, 900), "",
         over.substr(0, 900)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof where;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length), 0);
        if (c.answer)
            ASSERT_EQ(::listen(listener, 1), 0);
        else
            ::close(listener);  // the port is free again: nothing answers there

        net::LoopbackHttpClient client(1000);
        client.start(ntohs(where.sin_port), "/");
        int served = -1;
        const auto wall_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!client.done() && std::chrono::steady_clock::now() < wall_deadline) {
            client.poll();
            if (c.answer && served < 0 && (served = ::accept(listener, nullptr, nullptr)) >= 0) {
                ASSERT_EQ(::send(served, c.answer->data(), c.answer->size(), MSG_NOSIGNAL),
                          ssize_t(c.answer->size()));
                ::shutdown(served, SHUT_WR);
            }
        }
        if (served >= 0) ::close(served);
        if (c.answer) ::close(listener);
        ASSERT_TRUE(client.done());
        const auto& r = client.result();
        if (c.error.empty()) {
            EXPECT_TRUE(client.succeeded()) << r.error;
            EXPECT_EQ(r.status, 200);
            ASSERT_NE(r.header("SERVER"), nullptr);
            EXPECT_EQ(*r.header("SERVER"), "test");
            EXPECT_EQ(r.body, c.body);
        } else {
            EXPECT_FALSE(client.succeeded());
            EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
            EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
        }
    }
}

}  // namespace
