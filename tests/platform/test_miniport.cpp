#include "test_miniport.h"

#include <algorithm>

#include "test_device.h"

namespace testmp {

Options options;
Log log;
Adapter* adapter = nullptr;

namespace {

PUCHAR port(const Adapter* a, UCHAR reg) {
    return (PUCHAR)((ULONG_PTR)a->ports + reg);
}

void misdeed(const char* where) {
    if (options.misdeed) options.misdeed(where);
}

struct Scope {
    explicit Scope(const char* name) {
        log.calls.push_back(name);
        log.max_handler_depth = std::max(log.max_handler_depth, ++log.handler_depth);
        misdeed(name);
    }
    ~Scope() { --log.handler_depth; }
};

NDIS_STATUS NTAPI Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count, NDIS_HANDLE handle,
                             NDIS_HANDLE context) {
    Scope s("Initialize");
    UINT i = 0;
    while (i < count && media[i] != NdisMedium802_3) ++i;
    if (i == count) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *selected = i;

    Adapter* a = nullptr;
    NDIS_STATUS status = NdisAllocateMemory((PVOID*)&a, sizeof *a, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
    if (status != NDIS_STATUS_SUCCESS) return status;
    NdisZeroMemory(a, sizeof *a);
    a->handle = handle;

    NDIS_HANDLE config;
    NdisOpenConfiguration(&status, &config, context);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(a, sizeof *a, 0);
        return status;
    }
    UINT base = options.base;
    NDIS_STRING keyword = NDIS_STRING_CONST("IoBaseAddress");
    PNDIS_CONFIGURATION_PARAMETER value;
    NdisReadConfiguration(&status, &value, config, &keyword, NdisParameterHexInteger);
    if (status == NDIS_STATUS_SUCCESS) base = value->ParameterData.IntegerData;
    if (options.close_configuration) NdisCloseConfiguration(config);

    NdisMSetAttributes(handle, a, FALSE, NdisInterfaceIsa);
    status = NdisMRegisterIoPortRange(&a->ports, handle, base, 4);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(a, sizeof *a, 0);
        return status;
    }
    status = NdisMRegisterInterrupt(&a->interrupt, handle, options.irq, options.irq, options.request_isr,
                                    options.shared, options.mode);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisMDeregisterIoPortRange(handle, base, 4, a->ports);
        NdisFreeMemory(a, sizeof *a, 0);
        return status;
    }
    adapter = a;
    WRITE_PORT_UCHAR(port(a, testdev::kMask), options.enabled_mask);
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE context) {
    auto* a = static_cast<Adapter*>(context);
    log.calls.push_back("ISR");
    log.max_isr_depth = std::max(log.max_isr_depth, ++log.isr_depth);
    misdeed("ISR");
    if (options.isr_writes_recognized) *recognized = FALSE;
    if (options.isr_writes_queue) *queue = FALSE;
    const UCHAR pending =
        READ_PORT_UCHAR(port(a, testdev::kCause)) & READ_PORT_UCHAR(port(a, testdev::kMask));
    if (pending != 0) {
        if (options.isr_pulses > 0) {
            // Drops its line and raises it again instead of masking: a new edge from inside the ISR.
            --options.isr_pulses;
            WRITE_PORT_UCHAR(port(a, testdev::kCause), 0xFF);
            WRITE_PORT_UCHAR(port(a, testdev::kRaise), kCauseInterrupt);
        } else if (options.isr_masks) {
            WRITE_PORT_UCHAR(port(a, testdev::kMask), 0);
        }
        if (options.isr_writes_recognized) *recognized = TRUE;
        if (options.isr_writes_queue) *queue = TRUE;
    }
    --log.isr_depth;
}

VOID NTAPI DisableInterrupt(NDIS_HANDLE context) {
    log.calls.push_back("DisableInterrupt");
    misdeed("DisableInterrupt");
    WRITE_PORT_UCHAR(port(static_cast<Adapter*>(context), testdev::kMask), 0);
}

VOID NTAPI EnableInterrupt(NDIS_HANDLE context) {
    Scope s("EnableInterrupt");
    WRITE_PORT_UCHAR(port(static_cast<Adapter*>(context), testdev::kMask), options.enabled_mask);
}

VOID NTAPI HandleInterrupt(NDIS_HANDLE context) {
    Scope s("HandleInterrupt");
    auto* a = static_cast<Adapter*>(context);
    const UCHAR cause = READ_PORT_UCHAR(port(a, testdev::kCause));
    WRITE_PORT_UCHAR(port(a, testdev::kCause), cause);
    if ((cause & kCauseReceive) && options.frame.size() >= 14) {
        const UINT size = static_cast<UINT>(options.frame.size()) - 14;
        NdisMEthIndicateReceive(a->handle, a, options.frame.data(), 14, options.frame.data() + 14,
                                std::min(options.lookahead, size), size);
        NdisMEthIndicateReceiveComplete(a->handle);
    }
    if (cause & kCauseTransmit) complete_held(NDIS_STATUS_SUCCESS);
}

NDIS_STATUS NTAPI Send(NDIS_HANDLE context, PNDIS_PACKET packet, UINT) {
    Scope s("Send");
    auto* a = static_cast<Adapter*>(context);
    log.reserved_seen.emplace_back(packet->MiniportReserved,
                                   packet->MiniportReserved + sizeof packet->MiniportReserved);
    if (options.complete_in_send) {
        NdisMSendComplete(a->handle, packet, NDIS_STATUS_SUCCESS);
        return options.send_status;
    }
    if (options.send_status == NDIS_STATUS_PENDING && a->held_count < 16) a->held[a->held_count++] = packet;
    return options.send_status;
}

NDIS_STATUS NTAPI TransferData(PNDIS_PACKET packet, PUINT transferred, NDIS_HANDLE,
                               NDIS_HANDLE receive_context, UINT offset, UINT count) {
    Scope s("TransferData");
    log.transfer_contexts.push_back(receive_context);
    UINT done = 0;
    PNDIS_BUFFER buffer;
    NdisQueryPacket(packet, nullptr, nullptr, &buffer, nullptr);
    for (; buffer && done < count; buffer = buffer->Next) {
        PVOID va;
        UINT length;
        NdisQueryBuffer(buffer, &va, &length);
        for (UINT i = 0; i < length && done < count && 14 + offset + done < options.frame.size(); ++i, ++done)
            static_cast<PUCHAR>(va)[i] = options.frame[14 + offset + done];
    }
    *transferred = done;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length, PULONG written,
                        PULONG needed) {
    Scope s("QueryInformation");
    if (oid != OID_802_3_CURRENT_ADDRESS) return NDIS_STATUS_INVALID_OID;
    if (length < 6) {
        *needed = 6;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NdisMoveMemory(buffer, options.address.data(), 6);
    *written = 6;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Set(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length, PULONG read, PULONG) {
    Scope s("SetInformation");
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    log.sets.push_back({oid, std::vector<std::uint8_t>(bytes, bytes + length)});
    *read = length;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI Reset(PBOOLEAN addressing, NDIS_HANDLE context) {
    Scope s("Reset");
    if (options.reset_writes_addressing) *addressing = FALSE;
    static_cast<Adapter*>(context)->held_count = 0;  // forgets what it held, as a reset does
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI Halt(NDIS_HANDLE context) {
    Scope s("Halt");
    auto* a = static_cast<Adapter*>(context);
    WRITE_PORT_UCHAR(port(a, testdev::kMask), 0);
    if (options.halt_gives_back) {
        NdisMDeregisterInterrupt(&a->interrupt);
        NdisMDeregisterIoPortRange(a->handle, (UINT)(ULONG_PTR)a->ports, 4, a->ports);
    }
    if (adapter == a) adapter = nullptr;
    NdisFreeMemory(a, sizeof *a, 0);
}

}  // namespace

void reset() {
    options = Options{};
    log = Log{};
    adapter = nullptr;
}

NDIS30_MINIPORT_CHARACTERISTICS characteristics() {
    NDIS30_MINIPORT_CHARACTERISTICS c{};
    c.MajorNdisVersion = 3;
    c.MinorNdisVersion = 0;
    c.DisableInterruptHandler = DisableInterrupt;
    c.EnableInterruptHandler = EnableInterrupt;
    c.HaltHandler = Halt;
    c.HandleInterruptHandler = HandleInterrupt;
    c.InitializeHandler = Initialize;
    c.ISRHandler = Isr;
    c.QueryInformationHandler = Query;
    c.ResetHandler = Reset;
    c.SendHandler = Send;
    c.SetInformationHandler = Set;
    c.TransferDataHandler = TransferData;
    return c;
}

NDIS_STATUS load() {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, nullptr, nullptr, nullptr);
    auto c = characteristics();
    return NdisMRegisterMiniport(wrapper, &c, sizeof c);
}

UCHAR read(UCHAR reg) {
    return READ_PORT_UCHAR(port(adapter, reg));
}
void write(UCHAR reg, UCHAR value) {
    WRITE_PORT_UCHAR(port(adapter, reg), value);
}

void complete_held(NDIS_STATUS status) {
    Adapter* a = adapter;
    const unsigned n = a->held_count;
    a->held_count = 0;
    for (unsigned i = 0; i < n; ++i) NdisMSendComplete(a->handle, a->held[i], status);
}

}  // namespace testmp
