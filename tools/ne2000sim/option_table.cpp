// The command line of ne2000sim: one table of options from which both the
// parser and the usage text are made, so the two cannot drift apart.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string_view>

#include "tools/ne2000sim/modes.h"
#include "tools/ne2000sim/options.h"

namespace sim {

namespace {

using Problem = std::optional<std::string>;

// Digits only ("0x.." hex, otherwise decimal): strtoull alone would take a
// sign (and wrap "-1") and leading blanks.
std::optional<std::uint64_t> number(const std::string& text, std::uint64_t most) {
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE || value > most) return std::nullopt;
    return value;
}

// Hex bytes separated by '-' or ':' ("00-1B-2C-3D-4E-5F"), any count.
std::optional<std::vector<std::uint8_t>> hex_bytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find_first_of("-:", at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        if (part.empty() || part.size() > 2) return std::nullopt;
        for (char c : part)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(part.c_str(), nullptr, 16)));
        at = end + 1;
    }
    return bytes;
}

struct OptionSpec {
    const char* name;
    const char* argument;  // nullptr for a flag
    const char* help;
    std::function<Problem(Options&, const std::string&)> apply;
};

// A keyword the option stands for: --irq 5 is --set InterruptNumber=5.
OptionSpec keyword_alias(const char* name, const char* keyword, const char* help) {
    return {name, "N", help, [name, keyword](Options& o, const std::string& v) -> Problem {
                const auto n = number(v, std::numeric_limits<std::uint32_t>::max());
                if (!n) return std::string(name) + " needs a number from 0 to 0xFFFFFFFF";
                o.settings.emplace_back(keyword, static_cast<std::uint32_t>(*n));
                return std::nullopt;
            }};
}

const std::vector<OptionSpec>& table() {
    static const std::vector<OptionSpec> options = {
        {"--set", "KEYWORD=VALUE",
         "a registry value for the adapter: a number (0x..\n"
         "hex or decimal) handed to the driver as it stands,\n"
         "which judges its range; repeatable. The driver\n"
         "reads IoBaseAddress, InterruptNumber, Slot,\n"
         "ComPort, ComIRQ, MaximumMulticastList, BusType",
         [](Options& o, const std::string& v) -> Problem {
             const auto equals = v.find('=');
             if (equals == std::string::npos || equals == 0) return "--set needs KEYWORD=VALUE";
             const auto n = number(v.substr(equals + 1), std::numeric_limits<std::uint32_t>::max());
             if (!n) return "--set " + v.substr(0, equals) + " needs a number from 0 to 0xFFFFFFFF";
             o.settings.emplace_back(v.substr(0, equals), static_cast<std::uint32_t>(*n));
             return std::nullopt;
         }},
        keyword_alias("--io-base", "IoBaseAddress", "same as --set IoBaseAddress=N (default 0x300)"),
        keyword_alias("--irq", "InterruptNumber", "same as --set InterruptNumber=N (default 5)"),
        keyword_alias("--com-port", "ComPort", "same as --set ComPort=N (default 2)"),
        keyword_alias("--com-irq", "ComIRQ", "same as --set ComIRQ=N (default 3)"),
        {"--network-address", "XX-XX-XX-XX-XX-XX",
         "the configured network address: hex bytes, any\n"
         "count, as the registry could hold it (the driver\n"
         "takes 6 bytes without the group bit)",
         [](Options& o, const std::string& v) -> Problem {
             o.network_address = hex_bytes(v);
             if (!o.network_address) return "--network-address needs hex bytes like 02-00-00-00-00-01";
             return std::nullopt;
         }},
        {"--mac", "XX:XX:XX:XX:XX:XX", "same as --network-address",
         [](Options& o, const std::string& v) -> Problem {
             o.network_address = hex_bytes(v);
             if (!o.network_address) return "--mac needs hex bytes like 02:00:00:00:00:01";
             return std::nullopt;
         }},
        {"--socket", "N", "the socket (0 or 1) the card sits in; also \"Slot\"\nunless set (default 0)",
         [](Options& o, const std::string& v) -> Problem {
             const auto n = number(v, 1);
             if (!n) return std::string("--socket: the machine has sockets 0 and 1");
             o.socket = static_cast<unsigned>(*n);
             return std::nullopt;
         }},
        {"--processors", "N", "processors the system reports to the driver, 1 to\n32 (default 1)",
         [](Options& o, const std::string& v) -> Problem {
             const auto n = number(v, 32);
             if (!n || *n == 0) return std::string("--processors needs a number from 1 to 32");
             o.processors = static_cast<unsigned>(*n);
             return std::nullopt;
         }},
        {"--bus", "isa|mca", "the bus the adapter is listed on: BusType 1 or 3\n(default isa)",
         [](Options& o, const std::string& v) -> Problem {
             if (v != "isa" && v != "mca") return std::string("--bus needs isa or mca");
             o.settings.emplace_back("BusType", v == "isa" ? 1u : 3u);
             return std::nullopt;
         }},
        {"--pos", "ID-P1-P2-P3-P4",
         "Micro Channel POS data for --bus mca: the adapter\n"
         "ID (two bytes, high first) and the four POS bytes",
         [](Options& o, const std::string& v) -> Problem {
             auto bytes = hex_bytes(v);
             if (!bytes || bytes->size() != 6)
                 return std::string("--pos needs 6 hex bytes like 6F-1A-01-02-03-04");
             o.pos_data = std::move(bytes);
             return std::nullopt;
         }},
        {"--eight-bit", nullptr, "an 8-bit card instead of the 16-bit one",
         [](Options& o, const std::string&) -> Problem {
             o.eight_bit = true;
             return std::nullopt;
         }},
        {"--bytes", "N", "bytes each way through the TCP echo (default\n1048576)",
         [](Options& o, const std::string& v) -> Problem {
             const auto n = number(v, std::numeric_limits<std::uint32_t>::max());
             if (!n || *n == 0) return std::string("--bytes needs a number from 1 to 0xFFFFFFFF");
             o.echo_bytes = *n;
             return std::nullopt;
         }},
        {"--open-network", nullptr,
         "let the guest's traffic leave this host (default:\n"
         "only the host's loopback, as 10.0.2.2, is reachable)",
         [](Options& o, const std::string&) -> Problem {
             o.open_network = true;
             return std::nullopt;
         }},
        {"--serve", "PORT",
         "run in real time, 127.0.0.1:PORT forwarded to the\n"
         "guest's web server, until Ctrl-C or --for",
         [](Options& o, const std::string& v) -> Problem {
             const auto n = number(v, 65535);
             if (!n || *n == 0) return std::string("--serve needs a port from 1 to 65535");
             o.serve_port = static_cast<std::uint16_t>(*n);
             o.mode = "serve";
             return std::nullopt;
         }},
        {"--tap", "NAME",
         "the Linux TAP device NAME as the wire's other\n"
         "station (root or a device made for the user, and\n"
         "/dev/net/tun), in real time until Ctrl-C or --for",
         [](Options& o, const std::string& v) -> Problem {
             if (v.empty() || v.size() > 15)
                 return std::string("--tap needs a device name of 1 to 15 characters");
             o.tap_name = v;
             o.mode = "tap";
             return std::nullopt;
         }},
        {"--guest-address", "A.B.C.D/N", "with --tap: a static address for the guest\ninstead of DHCP",
         [](Options& o, const std::string& v) -> Problem {
             if (v.empty()) return std::string("--guest-address needs an address like 192.168.77.2/24");
             o.guest_address = v;
             return std::nullopt;
         }},
        {"--for", "SECONDS", "with --serve or --tap: stop after this many\nseconds of real time",
         [](Options& o, const std::string& v) -> Problem {
             char* end = nullptr;
             const double s = std::strtod(v.c_str(), &end);
             if (v.empty() || *end != '\0' || !(s > 0 && s <= 1e6))
                 return std::string("--for needs a number of seconds above 0");
             o.serve_seconds = s;
             return std::nullopt;
         }},
        {"--json", nullptr,
         "one JSON document of the run on standard output\n(the text goes to standard error)",
         [](Options& o, const std::string&) -> Problem {
             o.json = true;
             return std::nullopt;
         }},
        {"--pcap", "FILE", "capture the wire to FILE (for Wireshark or tshark)",
         [](Options& o, const std::string& v) -> Problem {
             if (v.empty()) return std::string("--pcap needs a file name");
             o.pcap_path = v;
             return std::nullopt;
         }},
        {"--trace", "FILE", "every port access and stall, decoded, to FILE\n(-: standard output)",
         [](Options& o, const std::string& v) -> Problem {
             if (v.empty()) return std::string("--trace needs a file name");
             o.trace_path = v;
             return std::nullopt;
         }},
        {"--driver", "FILE",
         "run the NT image FILE (ne2000.sys) instead of the\n"
         "linked driver; it brings the adapter up inside\n"
         "DriverEntry, as NT does (32-bit build only)",
         [](Options& o, const std::string& v) -> Problem {
             if (v.empty()) return std::string("--driver needs a file name");
             o.driver_path = v;
             return std::nullopt;
         }},
        {"--help", nullptr, "this text",
         [](Options& o, const std::string&) -> Problem {
             o.help = true;
             return std::nullopt;
         }},
    };
    return options;
}

}  // namespace

std::string usage() {
    std::string text =
        "usage: ne2000sim [options]\n"
        "Runs the driver on an emulated PC (82365 socket controller, two-function PC Card\n"
        "with a DP8390 Ethernet controller and an 8250 UART) through the NDIS stand-in,\n"
        "and puts real traffic through it.\n\nModes:\n";
    for (const Mode& m : modes()) {
        std::string summary = m.summary;
        for (std::size_t at = 0; (at = summary.find('\n', at)) != std::string::npos; at += 1 + 14)
            summary.insert(at + 1, 14, ' ');
        std::string name = "  " + std::string(m.name);
        text += name + std::string(14 - name.size(), ' ') + summary + "\n";
    }
    text += "\nOptions:\n";
    for (const OptionSpec& o : table()) {
        std::string head = "  " + std::string(o.name) + (o.argument ? " " + std::string(o.argument) : "");
        std::string_view help = o.help;
        bool first = true;
        while (!help.empty()) {
            const std::size_t cut = help.find('\n');
            const std::string_view line = help.substr(0, cut);
            if (first && head.size() < 26)
                text += head + std::string(26 - head.size(), ' ') + std::string(line) + "\n";
            else if (first)
                text += head + "\n" + std::string(26, ' ') + std::string(line) + "\n";
            else
                text += std::string(26, ' ') + std::string(line) + "\n";
            first = false;
            help = cut == std::string_view::npos ? std::string_view{} : help.substr(cut + 1);
        }
    }
    text +=
        "\nExit status: 0 when every step passed and everything was given back, 1 when a\n"
        "step failed or the adapter was refused, 2 for a command line it cannot use.\n";
    return text;
}

std::optional<std::string> parse(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            inline_value = name.substr(equals + 1);  // --irq=5
            name.erase(equals);
        }
        if (name == "-h") name = "--help";
        const OptionSpec* option = nullptr;
        for (const OptionSpec& s : table())
            if (name == s.name) option = &s;
        if (option == nullptr) return "unknown option " + args[i];
        std::string value;
        if (option->argument != nullptr) {
            if (inline_value)
                value = *inline_value;
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return name + " needs " + option->argument;
        } else if (inline_value) {
            return name + " takes no value";
        }
        if (auto problem = option->apply(o, value)) return problem;
    }
    if (o.mode != "tap" && !o.guest_address.empty()) return std::string("--guest-address goes with --tap");
    if (o.serve_port != 0 && !o.tap_name.empty()) return std::string("--serve and --tap are separate modes");
    if (o.serve_seconds > 0 && o.mode == "self-check") return std::string("--for goes with --serve or --tap");
    return std::nullopt;
}

}  // namespace sim
