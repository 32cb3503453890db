#include "tools/ne2000sim/machine_state.h"

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

std::string mac(const std::uint8_t* a) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return text;
}

double milliseconds(machine::Nanoseconds t) {
    return static_cast<double>(t) / machine::kMillisecond;
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

void record_machine(machine::EmulatedPc& pc, RunReport& report) {
    machine::I82365& c = pc.socket_controller();
    report.controller_present = c.present();
    const auto& nic = pc.nic().config();
    report.nic_width = nic.width == machine::Dp8390Config::Width::Bits16 ? "16-bit" : "8-bit";
    report.prom_address = mac(nic.station_address.data());
    if (!c.present()) return;
    report.controller_identification = c.peek(0, 0x00);
    report.sockets.clear();
    for (unsigned s = 0; s < machine::I82365::kSocketCount; ++s) {
        SocketState state;
        state.socket = s;
        for (std::uint8_t r = 0; r < 0x40; ++r) state.registers.push_back(c.peek(s, r));
        if (machine::TwoFunctionCard* card = c.card(s)) {
            state.card = true;
            state.powered = card->powered();
            state.in_reset = card->in_reset();
            state.configuration_option = card->configuration_option();
            state.configuration_status = card->configuration_status();
            state.serial_control = card->serial_control();
            state.functions_enabled = card->functions_enabled();
            if (state.functions_enabled) {
                state.ethernet_base = card->ethernet_base();
                state.uart_base = card->uart_base();
            }
        }
        report.sockets.push_back(std::move(state));
    }
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
    std::optional<std::string> address(NDIS_OID oid) {
        const auto b = bytes(oid);
        if (!b || b->size() != 6) return std::nullopt;
        return mac(b->data());
    }

private:
    host::NdisLibrary& ndis_;
    host::Binding& binding_;
};

}  // namespace

void record_adapter(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, RunReport& report) {
    OidReader oid(ndis, adapter);
    report.station_address = oid.address(OID_802_3_CURRENT_ADDRESS);
    report.permanent_address = oid.address(OID_802_3_PERMANENT_ADDRESS);
    const std::pair<const char*, NDIS_OID> facts[] = {
        {"driver_version", OID_GEN_DRIVER_VERSION},
        {"link_speed_100bps", OID_GEN_LINK_SPEED},
        {"maximum_frame_size", OID_GEN_MAXIMUM_FRAME_SIZE},
        {"maximum_total_size", OID_GEN_MAXIMUM_TOTAL_SIZE},
        {"current_lookahead", OID_GEN_CURRENT_LOOKAHEAD},
        {"maximum_lookahead", OID_GEN_MAXIMUM_LOOKAHEAD},
        {"maximum_list_size", OID_802_3_MAXIMUM_LIST_SIZE},
        {"transmit_buffer_space", OID_GEN_TRANSMIT_BUFFER_SPACE},
        {"receive_buffer_space", OID_GEN_RECEIVE_BUFFER_SPACE},
    };
    for (const auto& [name, which] : facts)
        if (const auto v = oid.number(which)) report.adapter[name] = *v;
}

void record_statistics(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, RunReport& report) {
    OidReader oid(ndis, adapter);
    const std::pair<const char*, NDIS_OID> counters[] = {
        {"transmitted", OID_GEN_XMIT_OK},
        {"received", OID_GEN_RCV_OK},
        {"transmit_errors", OID_GEN_XMIT_ERROR},
        {"receive_errors", OID_GEN_RCV_ERROR},
        {"no_buffer", OID_GEN_RCV_NO_BUFFER},
        {"alignment_errors", OID_802_3_RCV_ERROR_ALIGNMENT},
        {"one_collision", OID_802_3_XMIT_ONE_COLLISION},
        {"more_collisions", OID_802_3_XMIT_MORE_COLLISIONS},
    };
    for (const auto& [name, which] : counters)
        if (const auto v = oid.number(which)) report.statistics[name] = *v;
}

void record_card_memory(machine::EmulatedPc& pc, RunReport& report) {
    const auto l = pc.nic().layout();
    const auto& nic = pc.nic().config();
    report.card_memory = CardMemory{.word_wide = (l.dcr & machine::dp8390::DCR_WTS) != 0,
                                    .ram_start = nic.ram_start,
                                    .ram_size = static_cast<unsigned>(nic.ram_size),
                                    .dcr = l.dcr,
                                    .pstart = l.pstart,
                                    .pstop = l.pstop,
                                    .bnry = l.bnry,
                                    .curr = l.curr,
                                    .tpsr = l.tpsr};
}

void record_records(host::NdisLibrary& ndis, machine::EmulatedPc& pc, RunReport& report) {
    report.error_log.clear();
    for (const auto& e : ndis.error_log().entries())
        report.error_log.push_back(
            {e.code, host::error_code_name(e.code), {e.values.begin(), e.values.end()}});
    // A figure, not a failure: how long handlers spun with DPCs held off.
    report.busy_stalls = ndis.busy_stalls().to_string();
    report.rules_broken = ndis.errors();
    report.not_given_back = ndis.leaks();
    report.violations = pc.violations();
}

}  // namespace sim
