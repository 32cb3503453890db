#include "tools/ne2000sim/options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace sim {

namespace {

std::optional<unsigned> number(const std::string& text) {
    // strtoul would take a sign (and wrap "-1") and leading blanks: digits only.
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);  // 0x... hex, otherwise decimal
    if (*end != '\0' || errno == ERANGE || value > std::numeric_limits<unsigned>::max()) return std::nullopt;
    return static_cast<unsigned>(value);
}

std::optional<host::MacAddress> mac(const std::string& text) {
    host::MacAddress m{};
    unsigned parts = 0;
    std::size_t at = 0;
    while (parts < 6 && at <= text.size()) {
        const std::size_t colon = text.find(':', at);
        const std::string part = text.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        char* end = nullptr;
        const unsigned long byte = std::strtoul(part.c_str(), &end, 16);
        if (part.empty() || part.size() > 2 || *end != '\0' || byte > 0xFF) return std::nullopt;
        m[parts++] = static_cast<std::uint8_t>(byte);
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    if (parts != 6 || text.find(':', at) != std::string::npos) return std::nullopt;
    return m;
}

}  // namespace

const char* usage() {
    return "usage: ne2000sim [options]\n"
           "Brings up the emulated PC (82365 socket controller, two-function PC Card with a\n"
           "DP8390 Ethernet controller and an 8250 UART), loads the driver through DriverEntry,\n"
           "initialises the adapter and exchanges a frame with a peer on the wire. Then it\n"
           "binds a TCP/IP stack (lwIP) to the adapter, puts the user-mode virtual network\n"
           "10.0.2.0/24 on the wire, takes an address by DHCP and sends data to a TCP echo\n"
           "server it runs on 127.0.0.1, reached through the virtual network's NAT as\n"
           "10.0.2.2. It halts the adapter and reports what it found; exit status 0 when\n"
           "every byte came back and everything was given back cleanly.\n"
           "  --io-base N       \"IoBaseAddress\" (default 0x300)\n"
           "  --irq N           \"InterruptNumber\" (default 5)\n"
           "  --socket N        \"Slot\": the socket the card sits in and the driver uses (default 0)\n"
           "  --com-port N      \"ComPort\" of the card's serial function (default 2)\n"
           "  --com-irq N       \"ComIRQ\" (default 3)\n"
           "  --eight-bit       an 8-bit card instead of the 16-bit one\n"
           "  --mac XX:..:XX    a configured network address\n"
           "  --trace           print every port access and stall of the run\n"
           "  --pcap FILE       capture the wire to FILE\n"
           "  --bytes N         bytes to send through the echo server (default 102400)\n"
           "  --open-network    let the guest's traffic leave this host (default: only the\n"
           "                    host's loopback, as 10.0.2.2, is reachable)\n"
           "  --driver FILE     run the NT image FILE (ne2000.sys) instead of the linked\n"
           "                    driver; it brings the adapter up inside DriverEntry, as NT\n"
           "                    does (32-bit build only)\n"
           "  --help            this text\n";
}

std::optional<std::string> parse(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        auto numeric = [&](unsigned& field) -> std::optional<std::string> {
            const auto text = value();
            const auto n = text ? number(*text) : std::nullopt;
            if (!n) return a + " needs a number";
            field = *n;
            return std::nullopt;
        };
        std::optional<std::string> problem;
        if (a == "--io-base")
            problem = numeric(o.io_base);
        else if (a == "--irq")
            problem = numeric(o.irq);
        else if (a == "--socket")
            problem = numeric(o.socket);
        else if (a == "--com-port")
            problem = numeric(o.com_port);
        else if (a == "--com-irq")
            problem = numeric(o.com_irq);
        else if (a == "--bytes") {
            unsigned bytes = 0;
            problem = numeric(bytes);
            if (!problem && bytes == 0) problem = "--bytes needs at least 1 byte to echo";
            o.echo_bytes = bytes;
        } else if (a == "--open-network")
            o.open_network = true;
        else if (a == "--eight-bit")
            o.eight_bit = true;
        else if (a == "--trace")
            o.trace = true;
        else if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--pcap") {
            const auto text = value();
            if (!text || text->empty())
                problem = "--pcap needs a file name";
            else
                o.pcap_path = *text;
        } else if (a == "--driver") {
            const auto text = value();
            if (!text || text->empty())
                problem = "--driver needs a file name";
            else
                o.driver_path = *text;
        } else if (a == "--mac") {
            const auto text = value();
            o.network_address = text ? mac(*text) : std::nullopt;
            if (!o.network_address) problem = "--mac needs an address like 02:00:00:00:00:01";
        } else {
            problem = "unknown option " + a;
        }
        if (problem) return problem;
    }
    if (o.socket > 1) return std::string("--socket: the machine has sockets 0 and 1");
    return std::nullopt;
}

}  // namespace sim
