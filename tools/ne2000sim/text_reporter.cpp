// The run as text: one line a step as it ends, then what was found.

#include <unistd.h>

#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/reporters.h"

namespace sim {

namespace {

class TextReporter : public Reporter {
public:
    explicit TextReporter(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) != 0) {}

    void note(const std::string& line) override { std::fprintf(out_, "%s\n", line.c_str()); }

    void step_started(const std::string& title) override {
        if (!terminal_) return;
        std::fprintf(out_, "  ..   %s", title.c_str());
        std::fflush(out_);
        pending_ = true;
    }

    void step_finished(const StepResult& s) override {
        if (pending_) std::fprintf(out_, "\r\033[K");
        pending_ = false;
        std::fprintf(out_, "  %s %s: %s (%.1f ms virtual, %.1f ms host)\n", s.passed ? "ok  " : "FAIL",
                     s.title.c_str(), s.detail.c_str(), s.virtual_ms, s.host_ms);
    }

    void finish(const RunReport& r) override {
        print_machine(r);
        print_adapter(r);
        print_records(r);
        std::size_t passed = 0;
        for (const auto& s : r.steps) passed += s.passed ? 1 : 0;
        std::fprintf(out_, "%zu of %zu steps passed; exit status %d\n", passed, r.steps.size(),
                     r.exit_status);
        std::fflush(out_);
    }

private:
    void print_machine(const RunReport& r) {
        if (!r.controller_present) {
            std::fprintf(out_, "socket controller: none (ports 0x3E0/0x3E1 read 0xFF)\n");
            return;
        }
        std::fprintf(out_, "socket controller: 82365SL at 0x3E0, identification %s, %zu sockets\n",
                     hex(r.controller_identification, 2).c_str(), r.sockets.size());
        for (const SocketState& s : r.sockets) {
            if (!s.card) {
                std::fprintf(out_, "  socket %u: empty\n", s.socket);
                continue;
            }
            auto reg = [&](unsigned i) { return s.registers.at(i); };
            auto window = [&](unsigned first) {
                return hex(reg(first) | reg(first + 1) << 8, 3) + "-" +
                       hex(reg(first + 2) | reg(first + 3) << 8, 3);
            };
            std::fprintf(out_, "  socket %u: two-function PC Card (Ethernet + 8250 UART), %s%s\n", s.socket,
                         s.powered ? "powered" : "unpowered", s.in_reset ? ", held in reset" : "");
            std::fprintf(out_, "    interface status %s, power %s, I/O windows 0 %s %s, 1 %s %s\n",
                         hex(reg(0x01), 2).c_str(), hex(reg(0x02), 2).c_str(), window(0x08).c_str(),
                         (reg(0x06) & 0x40) ? "on" : "off", window(0x0C).c_str(),
                         (reg(0x06) & 0x80) ? "on" : "off");
            std::fprintf(
                out_, "    card IREQ# to IRQ %u%s, status change to IRQ %u (sources %s), memory window %s\n",
                reg(0x03) & 0x0F, (reg(0x03) & 0x20) ? " (I/O card)" : "", reg(0x05) >> 4,
                hex(reg(0x05) & 0x0F, 1).c_str(), (reg(0x06) & 0x01) ? "open" : "closed");
            std::fprintf(out_, "    card configuration option %s, status %s, serial control %s\n",
                         hex(s.configuration_option, 2).c_str(), hex(s.configuration_status, 2).c_str(),
                         hex(s.serial_control, 2).c_str());
            if (s.functions_enabled)
                std::fprintf(out_, "    Ethernet function at %s-%s, UART at %s-%s\n",
                             hex(s.ethernet_base, 3).c_str(), hex(s.ethernet_base + 0x1F, 3).c_str(),
                             hex(s.uart_base, 3).c_str(), hex(s.uart_base + 7, 3).c_str());
            else
                std::fprintf(out_, "    functions not configured\n");
        }
        std::fprintf(out_, "Ethernet controller: DP8390 with %s ASIC, PROM address %s\n", r.nic_width.c_str(),
                     r.prom_address.c_str());
    }

    void print_adapter(const RunReport& r) {
        if (r.station_address)
            std::fprintf(out_, "adapter: station address %s (permanent %s)\n", r.station_address->c_str(),
                         r.permanent_address.value_or("?").c_str());
        auto fact = [&](const char* name) {
            const auto it = r.adapter.find(name);
            return it == r.adapter.end() ? std::string("?") : std::to_string(it->second);
        };
        if (!r.adapter.empty()) {
            const auto version = r.adapter.find("driver_version");
            const auto speed = r.adapter.find("link_speed_100bps");
            std::fprintf(
                out_, "  driver version %s, link speed %s, frames up to %s bytes (%s with the header)\n",
                version != r.adapter.end()
                    ? (std::to_string(version->second >> 8) + "." + std::to_string(version->second & 0xFF))
                          .c_str()
                    : "?",
                speed != r.adapter.end() ? (std::to_string(speed->second / 10000) + " Mbit/s").c_str() : "?",
                fact("maximum_frame_size").c_str(), fact("maximum_total_size").c_str());
            std::fprintf(out_, "  lookahead %s of at most %s bytes, multicast list of at most %s addresses\n",
                         fact("current_lookahead").c_str(), fact("maximum_lookahead").c_str(),
                         fact("maximum_list_size").c_str());
            std::fprintf(out_, "  buffer space: transmit %s bytes, receive %s bytes\n",
                         fact("transmit_buffer_space").c_str(), fact("receive_buffer_space").c_str());
        }
        if (r.card_memory) {
            const CardMemory& m = *r.card_memory;
            std::fprintf(out_, "card memory: %s transfers, transmit pages %s-%s (last sent from %s)\n",
                         m.word_wide ? "word-wide" : "byte-wide", hex(m.ram_start >> 8, 2).c_str(),
                         hex((m.pstart - 1u) & 0xFF, 2).c_str(), hex(m.tpsr, 2).c_str());
            std::fprintf(out_, "  receive ring pages %s-%s (%s-%s), BNRY %s, CURR %s\n",
                         hex(m.pstart, 2).c_str(), hex((m.pstop - 1u) & 0xFF, 2).c_str(),
                         hex(m.pstart << 8, 4).c_str(), hex(((m.pstop << 8) - 1u) & 0xFFFF, 4).c_str(),
                         hex(m.bnry, 2).c_str(), hex(m.curr, 2).c_str());
        }
        if (!r.statistics.empty()) {
            std::string line = "driver counters:";
            for (const auto& [name, value] : r.statistics)
                line += " " + name + " " + std::to_string(value) + ",";
            line.pop_back();
            std::fprintf(out_, "%s\n", line.c_str());
        }
    }

    void print_records(const RunReport& r) {
        std::fprintf(out_, "error log:%s\n", r.error_log.empty() ? " empty" : "");
        for (const auto& e : r.error_log) {
            std::string values;
            for (auto v : e.values) {
                values += ' ';
                values += hex(v, 8);
            }
            std::fprintf(out_, "  %s (%s)%s%s\n", e.name.c_str(), hex(e.code, 8).c_str(),
                         values.empty() ? "" : " values", values.c_str());
        }
        std::fprintf(out_, "busy stalls over 50 us at dispatch level or above: %s\n", r.busy_stalls.c_str());
        auto list = [&](const char* title, const std::vector<std::string>& lines) {
            if (lines.empty()) return;
            std::fprintf(out_, "%s:\n", title);
            for (const auto& l : lines) std::fprintf(out_, "  %s\n", l.c_str());
        };
        list("NDIS rules broken", r.rules_broken);
        list("resources not given back", r.not_given_back);
        list("hardware protocol violations", r.violations);
    }

    std::FILE* out_;
    bool terminal_;
    bool pending_ = false;
};

}  // namespace

std::unique_ptr<Reporter> text_reporter(std::FILE* out) {
    return std::make_unique<TextReporter>(out);
}

}  // namespace sim
