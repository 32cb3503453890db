#pragma once
// A tiny miniport for the stand-in's tests: it drives the test device, holds
// the packets it is sent, indicates a canned frame from its deferred handler,
// and logs every handler call. Options choose how well it behaves.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/ethernet_filter.h"
#include "platform/ndis.h"

namespace testmp {

// Device causes the deferred handler acts on.
constexpr UCHAR kCauseInterrupt = 0x01;  // nothing to do but acknowledge
constexpr UCHAR kCauseReceive = 0x02;    // indicate options.frame
constexpr UCHAR kCauseTransmit = 0x04;   // complete every held packet

struct Options {
    UINT base = 0x280;
    UINT irq = 5;
    BOOLEAN shared = TRUE;
    BOOLEAN request_isr = FALSE;
    NDIS_INTERRUPT_MODE mode = NdisInterruptLatched;
    bool isr_masks = true;  // a correct ISR masks the device; false: it never quietens it
    int isr_pulses = 0;     // the ISR drops and raises its line again this many times
    // A correct ISR writes both flags, FALSE when the interrupt is not its own.
    bool isr_writes_recognized = true;
    bool isr_writes_queue = true;
    bool reset_writes_addressing = true;
    UCHAR enabled_mask = 0xFF;
    NDIS_STATUS send_status = NDIS_STATUS_PENDING;
    bool complete_in_send = false;  // NdisMSendComplete from inside the send handler
    bool halt_gives_back = true;    // halt deregisters the interrupt and the ports
    bool close_configuration = true;
    std::vector<std::uint8_t> frame;
    UINT lookahead = 32;  // bytes after the header
    host::MacAddress address{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    // Called on entry of every handler with its name ("Send", "ISR", "Halt", ...):
    // what a wrong miniport does there.
    std::function<void(const std::string&)> misdeed;
};

struct Adapter {
    NDIS_HANDLE handle;
    NDIS_MINIPORT_INTERRUPT interrupt;
    PVOID ports;
    PNDIS_PACKET held[16];
    unsigned held_count;
};

struct Log {
    std::vector<std::string> calls;
    int isr_depth = 0;
    int max_isr_depth = 0;
    int handler_depth = 0;
    int max_handler_depth = 0;  // TransferData inside the deferred handler makes 2
    std::vector<NDIS_HANDLE> transfer_contexts;
    std::vector<std::pair<NDIS_OID, std::vector<std::uint8_t>>> sets;
    std::vector<std::vector<std::uint8_t>> reserved_seen;  // MiniportReserved of each packet sent
};

extern Options options;
extern Log log;
extern Adapter* adapter;  // the last one initialised

// Fresh options and log for a test.
void reset();
NDIS30_MINIPORT_CHARACTERISTICS characteristics();
// What DriverEntry would do: bind to the wrapper and register.
NDIS_STATUS load();

UCHAR read(UCHAR reg);
void write(UCHAR reg, UCHAR value);
// Completes the held packets, oldest first, with `status`.
void complete_held(NDIS_STATUS status);

}  // namespace testmp
