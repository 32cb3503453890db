#include "tools/ne2000sim/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "machine/nic/dp8390_registers.h"

namespace sim {

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string mac(const UCHAR* a) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return text;
}

std::string status_name(NDIS_STATUS status) {
    switch (status) {
        case NDIS_STATUS_SUCCESS:
            return "NDIS_STATUS_SUCCESS";
        case NDIS_STATUS_PENDING:
            return "NDIS_STATUS_PENDING";
        case NDIS_STATUS_FAILURE:
            return "NDIS_STATUS_FAILURE";
        case NDIS_STATUS_RESOURCES:
            return "NDIS_STATUS_RESOURCES";
        case NDIS_STATUS_ADAPTER_NOT_FOUND:
            return "NDIS_STATUS_ADAPTER_NOT_FOUND";
        case NDIS_STATUS_UNSUPPORTED_MEDIA:
            return "NDIS_STATUS_UNSUPPORTED_MEDIA";
        case NDIS_STATUS_RESOURCE_CONFLICT:
            return "NDIS_STATUS_RESOURCE_CONFLICT";
        case NDIS_STATUS_REQUEST_ABORTED:
            return "NDIS_STATUS_REQUEST_ABORTED";
        default:
            return hex(status, 8);
    }
}

namespace {

// An I/O window from its four registers (start low/high, stop low/high).
std::string io_window(machine::I82365& c, unsigned socket, std::uint8_t first) {
    const unsigned start = c.peek(socket, first) | c.peek(socket, first + 1) << 8;
    const unsigned stop = c.peek(socket, first + 2) | c.peek(socket, first + 3) << 8;
    return hex(start, 3) + "-" + hex(stop, 3);
}

}  // namespace

void print_machine(machine::EmulatedPc& pc) {
    machine::I82365& c = pc.socket_controller();
    if (!c.present()) {
        std::printf("socket controller: none (ports 0x3E0/0x3E1 read 0xFF)\n");
        return;
    }
    std::printf("socket controller: 82365SL at 0x3E0, identification %s, %u sockets\n",
                hex(c.peek(0, 0x00), 2).c_str(), machine::I82365::kSocketCount);
    for (unsigned s = 0; s < machine::I82365::kSocketCount; ++s) {
        machine::TwoFunctionCard* card = c.card(s);
        if (card == nullptr) {
            std::printf("  socket %u: empty\n", s);
            continue;
        }
        const std::uint8_t enable = c.peek(s, machine::I82365::kWindowEnable);
        const std::uint8_t control = c.peek(s, machine::I82365::kInterruptControl);
        const std::uint8_t change = c.peek(s, machine::I82365::kStatusChangeConfig);
        std::printf("  socket %u: two-function PC Card (Ethernet + 8250 UART), %s%s\n", s,
                    card->powered() ? "powered" : "unpowered", card->in_reset() ? ", held in reset" : "");
        std::printf("    interface status %s, power %s, I/O windows 0 %s %s, 1 %s %s\n",
                    hex(c.peek(s, machine::I82365::kInterfaceStatus), 2).c_str(),
                    hex(c.peek(s, machine::I82365::kPowerControl), 2).c_str(),
                    io_window(c, s, machine::I82365::kIoWindow0).c_str(), (enable & 0x40) ? "on" : "off",
                    io_window(c, s, machine::I82365::kIoWindow1).c_str(), (enable & 0x80) ? "on" : "off");
        std::printf("    card IREQ# to IRQ %u%s, status change to IRQ %u (sources %s), memory window %s\n",
                    control & 0x0F, (control & 0x20) ? " (I/O card)" : "", change >> 4,
                    hex(change & 0x0F, 1).c_str(), (enable & 0x01) ? "open" : "closed");
        std::printf("    card configuration option %s, status %s, serial control %s\n",
                    hex(card->configuration_option(), 2).c_str(),
                    hex(card->configuration_status(), 2).c_str(), hex(card->serial_control(), 2).c_str());
        if (card->functions_enabled())
            std::printf("    Ethernet function at %s-%s, UART at %s-%s\n",
                        hex(card->ethernet_base(), 3).c_str(), hex(card->ethernet_base() + 0x1F, 3).c_str(),
                        hex(card->uart_base(), 3).c_str(), hex(card->uart_base() + 7, 3).c_str());
        else
            std::printf("    functions not configured\n");
    }
    const auto& nic = pc.nic().config();
    std::printf("Ethernet controller: DP8390 with %s ASIC, PROM address %s, %u KB RAM at %s\n",
                nic.width == machine::Dp8390Config::Width::Bits16 ? "16-bit" : "8-bit",
                mac(nic.station_address.data()).c_str(), static_cast<unsigned>(nic.ram_size / 1024),
                hex(nic.ram_start, 4).c_str());
}

namespace {

// Binds for as long as it lives, to ask the driver through the wrapper as any
// protocol would; it takes no frames.
class OidReader : public host::Protocol {
public:
    OidReader(host::NdisLibrary& ndis, host::MiniportAdapter& adapter)
        : ndis_(ndis), binding_(ndis.bind(adapter, *this)) {}
    ~OidReader() override { ndis_.unbind(binding_); }
    OidReader(const OidReader&) = delete;
    OidReader& operator=(const OidReader&) = delete;

    // The bytes the query wrote; nothing when it failed or did not finish at once.
    std::optional<std::vector<UCHAR>> bytes(NDIS_OID oid) {
        std::vector<UCHAR> buffer(256);
        ULONG written = 0, needed = 0;
        if (binding_.query(oid, buffer.data(), static_cast<ULONG>(buffer.size()), &written, &needed) !=
            NDIS_STATUS_SUCCESS)
            return std::nullopt;
        buffer.resize(std::min<std::size_t>(written, buffer.size()));
        return buffer;
    }
    // A ULONG, or a USHORT where the driver answers with one (its version).
    std::optional<ULONG> number(NDIS_OID oid) {
        const auto b = bytes(oid);
        if (!b) return std::nullopt;
        if (b->size() == sizeof(USHORT)) {
            USHORT value;
            std::memcpy(&value, b->data(), sizeof value);
            return value;
        }
        if (b->size() != sizeof(ULONG)) return std::nullopt;
        ULONG value;
        std::memcpy(&value, b->data(), sizeof value);
        return value;
    }
    std::string text(NDIS_OID oid) {
        const auto n = number(oid);
        return n ? std::to_string(*n) : "?";
    }
    std::string address(NDIS_OID oid) {
        const auto b = bytes(oid);
        return b && b->size() == 6 ? mac(b->data()) : "?";
    }

private:
    host::NdisLibrary& ndis_;
    host::Binding& binding_;
};

}  // namespace

void print_adapter(host::NdisLibrary& ndis, host::MiniportAdapter& adapter) {
    OidReader oid(ndis, adapter);
    std::printf("adapter: station address %s (permanent %s)\n",
                oid.address(OID_802_3_CURRENT_ADDRESS).c_str(),
                oid.address(OID_802_3_PERMANENT_ADDRESS).c_str());
    const auto version = oid.number(OID_GEN_DRIVER_VERSION);
    const auto speed = oid.number(OID_GEN_LINK_SPEED);  // in units of 100 bit/s
    std::printf(
        "  driver version %s, link speed %s, frames up to %s bytes (%s with the header)\n",
        version ? (std::to_string(*version >> 8) + "." + std::to_string(*version & 0xFF)).c_str() : "?",
        speed ? (std::to_string(*speed / 10000) + " Mbit/s").c_str() : "?",
        oid.text(OID_GEN_MAXIMUM_FRAME_SIZE).c_str(), oid.text(OID_GEN_MAXIMUM_TOTAL_SIZE).c_str());
    std::printf("  lookahead %s of at most %s bytes, multicast list of at most %s addresses\n",
                oid.text(OID_GEN_CURRENT_LOOKAHEAD).c_str(), oid.text(OID_GEN_MAXIMUM_LOOKAHEAD).c_str(),
                oid.text(OID_802_3_MAXIMUM_LIST_SIZE).c_str());
    std::printf("  buffer space: transmit %s bytes, receive %s bytes\n",
                oid.text(OID_GEN_TRANSMIT_BUFFER_SPACE).c_str(),
                oid.text(OID_GEN_RECEIVE_BUFFER_SPACE).c_str());
}

void print_card_memory(machine::EmulatedPc& pc) {
    // The layout lives in the chip: the transmit buffers below the ring, the
    // ring from PSTART up to PSTOP, BNRY and CURR chasing each other in it,
    // TPSR where the last frame went out from.
    const auto l = pc.nic().layout();
    const unsigned first_page = pc.nic().config().ram_start >> 8;
    std::printf("card memory: %s transfers, transmit pages %s-%s (last sent from %s)\n",
                (l.dcr & machine::dp8390::DCR_WTS) ? "word-wide" : "byte-wide", hex(first_page, 2).c_str(),
                hex((l.pstart - 1u) & 0xFF, 2).c_str(), hex(l.tpsr, 2).c_str());
    std::printf("  receive ring pages %s-%s (%s-%s), BNRY %s, CURR %s\n", hex(l.pstart, 2).c_str(),
                hex((l.pstop - 1u) & 0xFF, 2).c_str(), hex(l.pstart << 8, 4).c_str(),
                hex(((l.pstop << 8) - 1u) & 0xFFFF, 4).c_str(), hex(l.bnry, 2).c_str(),
                hex(l.curr, 2).c_str());
}

bool print_records(host::NdisLibrary& ndis, machine::EmulatedPc& pc) {
    const auto& log = ndis.error_log();
    std::printf("error log:%s\n", log.empty() ? " empty" : "");
    for (const auto& e : log.entries()) std::printf("  %s\n", e.to_string().c_str());
    // A figure, not a failure: how long handlers spun with DPCs held off.
    std::printf("busy stalls over 50 us at dispatch level or above: %s\n",
                ndis.busy_stalls().to_string().c_str());
    bool clean = true;
    auto list = [&](const char* title, const std::vector<std::string>& lines) {
        if (lines.empty()) return;
        clean = false;
        std::printf("%s:\n", title);
        for (const auto& l : lines) std::printf("  %s\n", l.c_str());
    };
    list("NDIS rules broken", ndis.errors());
    list("resources not given back", ndis.leaks());
    list("hardware protocol violations", pc.violations());
    return clean;
}

}  // namespace sim
