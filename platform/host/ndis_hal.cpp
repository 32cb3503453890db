#include "platform/host/ndis_library.h"

#include "platform/host/ndis_library_internal.h"

namespace host {

// ---------------------------------------------------------------------------
// HAL
// ---------------------------------------------------------------------------

bool NdisLibrary::port_in_range(ULONG_PTR port, const char* caller, unsigned width) {
    if (port + width - 1 <= 0xFFFF) return true;
    error(std::string(caller) + " of port " + pointer(reinterpret_cast<const void*>(port)) +
          ", outside the I/O space");
    return false;
}

std::uint8_t NdisLibrary::port_read8(ULONG_PTR port) {
    if (!port_access(port, "READ_PORT_UCHAR", 1)) return 0xFF;
    before_bus_access();
    const std::uint8_t value = bus_.in8(static_cast<std::uint16_t>(port));
    after_port_access();
    return value;
}

std::uint16_t NdisLibrary::port_read16(ULONG_PTR port) {
    if (!port_access(port, "READ_PORT_USHORT", 2)) return 0xFFFF;
    before_bus_access();
    const std::uint16_t value = bus_.in16(static_cast<std::uint16_t>(port));
    after_port_access();
    return value;
}

void NdisLibrary::port_write8(ULONG_PTR port, std::uint8_t value) {
    if (!port_access(port, "WRITE_PORT_UCHAR", 1)) return;
    before_bus_access();
    last_written_[port] = value;
    bus_.out8(static_cast<std::uint16_t>(port), value);
    after_port_access();
}

void NdisLibrary::port_write16(ULONG_PTR port, std::uint16_t value) {
    if (!port_access(port, "WRITE_PORT_USHORT", 2)) return;
    before_bus_access();
    last_written_[port] = static_cast<std::uint8_t>(value);
    last_written_[port + 1] = static_cast<std::uint8_t>(value >> 8);
    bus_.out16(static_cast<std::uint16_t>(port), value);
    after_port_access();
}

void NdisLibrary::port_read8_string(ULONG_PTR port, std::uint8_t* data, ULONG count) {
    if (!port_access(port, "READ_PORT_BUFFER_UCHAR", 1)) return;
    before_bus_access();
    bus_.in8_string(static_cast<std::uint16_t>(port), data, count);
    after_port_access();
}

void NdisLibrary::port_read16_string(ULONG_PTR port, std::uint16_t* data, ULONG count) {
    if (!port_access(port, "READ_PORT_BUFFER_USHORT", 2)) return;
    before_bus_access();
    bus_.in16_string(static_cast<std::uint16_t>(port), data, count);
    after_port_access();
}

void NdisLibrary::port_write8_string(ULONG_PTR port, const std::uint8_t* data, ULONG count) {
    if (!port_access(port, "WRITE_PORT_BUFFER_UCHAR", 1)) return;
    before_bus_access();
    if (count != 0) last_written_[port] = data[count - 1];
    bus_.out8_string(static_cast<std::uint16_t>(port), data, count);
    after_port_access();
}

void NdisLibrary::port_write16_string(ULONG_PTR port, const std::uint16_t* data, ULONG count) {
    if (!port_access(port, "WRITE_PORT_BUFFER_USHORT", 2)) return;
    before_bus_access();
    if (count != 0) {
        // The buffer may start at an odd address: read the last word bytewise.
        const auto* last = reinterpret_cast<const unsigned char*>(data) + 2 * (count - 1);
        last_written_[port] = last[0];
        last_written_[port + 1] = last[1];
    }
    bus_.out16_string(static_cast<std::uint16_t>(port), data, count);
    after_port_access();
}

// Recorded in the trace as the bus records a stall, then virtual time moves
// on one device event at a time so interrupts are taken when they happen.
void NdisLibrary::stall(ULONG microseconds) {
    const CallContext* c = context();
    if (c != nullptr && c->level != RunLevel::Passive && microseconds > BusyStalls::kThresholdUs)
        busy_stalls_.add(c->name, microseconds);
    before_bus_access();
    auto& clock = bus_.clock();
    bus_.trace().record({clock.now(), machine::TraceKind::Stall, 0, microseconds, 0, {}});
    advance_to(clock.now() + static_cast<machine::Nanoseconds>(microseconds) * machine::kMicrosecond);
}

}  // namespace host
