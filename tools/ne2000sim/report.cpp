#include "tools/ne2000sim/report.h"

#include <cstdio>

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

void print_adapter(const Ne2000Adapter& a) {
    std::printf("adapter: I/O base %s (port base %s), IRQ %d, socket %u, attribute window %s\n",
                hex(a.IoBaseAddress, 3).c_str(),
                hex(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(a.IoPortBase)), 3).c_str(),
                a.InterruptNumber, a.Slot, hex(a.BaseMemory * 16u, 5).c_str());
    std::printf("  serial function COM%d at %s, IRQ %d\n", a.ComPort, hex(a.UartPortAddress, 3).c_str(),
                a.ComIrq);
    std::printf("  station address %s (permanent %s)\n", mac(a.CurrentAddress).c_str(),
                mac(a.PermanentAddress).c_str());
    std::printf("  card memory: %s transfers, RAM %s-%s\n", a.ByteWideTransfers ? "byte-wide" : "word-wide",
                hex(a.CardRamStart, 4).c_str(), hex(a.CardRamStart + a.CardRamLength - 1, 4).c_str());
    std::printf("    %lu transmit pages %s-%s, receive ring pages %s-%s (%s-%s)\n",
                static_cast<unsigned long>(a.TransmitPageCount), hex(a.TransmitStartPage, 2).c_str(),
                hex(a.TransmitStartPage + a.TransmitPageCount - 1, 2).c_str(),
                hex(a.RingStartPage, 2).c_str(),
                hex(static_cast<unsigned>(a.RingStopPage - 1) & 0xFF, 2).c_str(),
                hex(a.RingStartAddress, 4).c_str(), hex(a.RingEndAddress - 1, 4).c_str());
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
