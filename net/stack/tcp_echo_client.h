#pragma once
// A TCP client on the guest's lwIP that sends a run of bytes to an echo server
// and checks that exactly the same bytes come back, in order. The bytes are a
// function of their position and a seed, so a lost, doubled, reordered or
// corrupted byte shows at the first place it differs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "machine/clock.h"
#include "net/stack/ipv4_address.h"
#include "net/stack/lwip_stack.h"

struct tcp_pcb;
struct pbuf;

namespace net {

class TcpEchoClient {
public:
    struct Report {
        bool connected = false;
        bool finished = false;       // every byte came back and the connection was closed by us
        std::string error;           // why it failed; empty while it has not
        std::uint64_t sent = 0;      // bytes accepted by TCP
        std::uint64_t received = 0;  // bytes echoed and checked
        std::optional<std::uint64_t> first_mismatch;  // position of the first wrong byte
        // Virtual time of each step.
        machine::Nanoseconds started_at = 0;
        machine::Nanoseconds connected_at = 0;
        machine::Nanoseconds first_echo_at = 0;
        machine::Nanoseconds finished_at = 0;
        // Wall time from start to the last byte back.
        std::chrono::steady_clock::duration wall = {};
    };

    static std::uint8_t pattern(std::uint32_t seed, std::uint64_t position);
    // The pattern from `position` on, into `out`.
    static void fill_pattern(std::uint32_t seed, std::uint64_t position, std::span<std::uint8_t> out);

    TcpEchoClient(LwipStack& stack, Ipv4Address server, std::uint16_t port, std::uint64_t bytes,
                  std::uint32_t seed = 1);
    // Aborts a connection still open.
    ~TcpEchoClient();
    TcpEchoClient(const TcpEchoClient&) = delete;
    TcpEchoClient& operator=(const TcpEchoClient&) = delete;

    // Opens the connection; false (with the reason in the report) when lwIP refuses at once.
    bool start();
    bool done() const { return report_.finished || !report_.error.empty(); }
    bool succeeded() const { return report_.finished && report_.error.empty(); }
    const Report& report() const { return report_; }

private:
    friend struct EchoClientGlue;  // lwIP's C callbacks

    void on_connected();
    void push();
    void on_receive(pbuf* data);
    void on_error(const char* what);
    void finish();
    void detach();

    LwipStack& stack_;
    // The pattern as it goes out, and as it should come back: apart, because
    // an echo may arrive while a send is being queued.
    std::vector<std::uint8_t> outgoing_;
    std::vector<std::uint8_t> expected_;
    Ipv4Address server_;
    std::uint16_t port_;
    std::uint64_t total_;
    std::uint32_t seed_;
    tcp_pcb* pcb_ = nullptr;
    bool aborted_ = false;  // by us, inside an lwIP callback
    std::chrono::steady_clock::time_point wall_start_;
    Report report_;
};

}  // namespace net
