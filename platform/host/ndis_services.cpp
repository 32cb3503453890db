#include "platform/host/ndis_library.h"

#include <algorithm>

#include "platform/host/ndis_library_internal.h"

namespace host {

// ---------------------------------------------------------------------------
// Library routines called by the miniport
// ---------------------------------------------------------------------------

void NdisLibrary::initialize_wrapper(PNDIS_HANDLE handle) {
    if (handle == nullptr) {
        error("NdisInitializeWrapper with a null handle pointer");
        return;
    }
    *handle = &wrapper_token_;
    wrapper_initialized_ = true;
}

NDIS_STATUS NdisLibrary::register_miniport(NDIS_HANDLE wrapper,
                                           const NDIS30_MINIPORT_CHARACTERISTICS* characteristics,
                                           UINT length) {
    if (wrapper != &wrapper_token_ || !wrapper_initialized_) {
        error("NdisMRegisterMiniport with a handle NdisInitializeWrapper did not give");
        return NDIS_STATUS_FAILURE;
    }
    if (characteristics == nullptr) return NDIS_STATUS_BAD_CHARACTERISTICS;
    if (characteristics->MajorNdisVersion != 3 || characteristics->MinorNdisVersion != 0)
        return NDIS_STATUS_BAD_VERSION;
    if (length != sizeof(NDIS30_MINIPORT_CHARACTERISTICS)) return NDIS_STATUS_BAD_CHARACTERISTICS;
    const auto& c = *characteristics;
    const bool complete = c.DisableInterruptHandler && c.EnableInterruptHandler && c.HaltHandler &&
                          c.HandleInterruptHandler && c.InitializeHandler && c.ISRHandler &&
                          c.QueryInformationHandler && c.ResetHandler && c.SendHandler &&
                          c.SetInformationHandler && c.TransferDataHandler;
    if (!complete) return NDIS_STATUS_BAD_CHARACTERISTICS;
    if (registration_failure_) {
        const NDIS_STATUS status = *registration_failure_;
        registration_failure_.reset();
        return status;
    }
    if (registered_) {
        error("NdisMRegisterMiniport called a second time");
        return NDIS_STATUS_FAILURE;
    }
    characteristics_ = c;  // the library keeps its own copy; the caller's record may live on its stack
    registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NdisLibrary::allocate_memory(PVOID* address, UINT length, UINT flags) {
    check_below_device_level(nullptr, "NdisAllocateMemory");
    return memory_.allocate(address, length, flags, errors_);
}

void NdisLibrary::free_memory(PVOID address, UINT length, UINT flags) {
    check_below_device_level(nullptr, "NdisFreeMemory");
    memory_.free(address, length, flags, errors_);
}

void NdisLibrary::open_configuration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context) {
    MiniportAdapter* a = adapter_of_context(context, "NdisOpenConfiguration");
    if (a == nullptr) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    check_setup_call(a, "NdisOpenConfiguration");
    if (a->config_.open_failure()) {
        *status = *a->config_.open_failure();
        return;
    }
    auto open = std::make_unique<OpenConfiguration>();
    open->source = &a->config_;
    *handle = open.get();
    a->open_configurations_.push_back(std::move(open));
    *status = NDIS_STATUS_SUCCESS;
}

void NdisLibrary::read_configuration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* value,
                                     NDIS_HANDLE handle, PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type) {
    MiniportAdapter* owner = nullptr;
    OpenConfiguration* open = open_configuration_of(handle, &owner);
    if (open == nullptr) {
        error("NdisReadConfiguration with a configuration handle that is not open");
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    check_setup_call(owner, "NdisReadConfiguration");
    if (keyword == nullptr || value == nullptr) {
        error("NdisReadConfiguration with a null keyword or result pointer");
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    *status = read_parameter(*open, *keyword, type, value);
}

void NdisLibrary::read_network_address(PNDIS_STATUS status, PVOID* address, PUINT length,
                                       NDIS_HANDLE handle) {
    MiniportAdapter* owner = nullptr;
    OpenConfiguration* open = open_configuration_of(handle, &owner);
    if (open == nullptr) {
        error("NdisReadNetworkAddress with a configuration handle that is not open");
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    check_setup_call(owner, "NdisReadNetworkAddress");
    const auto& configured = open->source->network_address();
    if (!configured) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    auto& copy = open->addresses.emplace_back(*configured);
    *address = copy.data();
    *length = static_cast<UINT>(copy.size());
    *status = NDIS_STATUS_SUCCESS;
}

void NdisLibrary::read_pos_information(PNDIS_STATUS status, NDIS_HANDLE context, PUINT,
                                       PNDIS_MCA_POS_DATA data) {
    MiniportAdapter* a = adapter_of_context(context, "NdisReadMcaPosInformation");
    if (a != nullptr) check_setup_call(a, "NdisReadMcaPosInformation");
    if (a == nullptr || !a->config_.pos_data()) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    *data = *a->config_.pos_data();
    *status = NDIS_STATUS_SUCCESS;
}

void NdisLibrary::close_configuration(NDIS_HANDLE handle) {
    MiniportAdapter* owner = nullptr;
    OpenConfiguration* open = open_configuration_of(handle, &owner);
    if (open == nullptr) {
        error("NdisCloseConfiguration of a configuration handle that is not open");
        return;
    }
    check_setup_call(owner, "NdisCloseConfiguration");
    std::erase_if(owner->open_configurations_, [&](const auto& o) { return o.get() == open; });
}

void NdisLibrary::set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context, BOOLEAN bus_master,
                                 NDIS_INTERFACE_TYPE type) {
    MiniportAdapter* a = adapter_of(handle, "NdisMSetAttributes");
    if (a == nullptr) return;
    check_setup_call(a, "NdisMSetAttributes");
    a->attributes_ = MiniportAdapter::Attributes{true, context, bus_master, type};
}

NDIS_STATUS NdisLibrary::register_port_range(PVOID* port_offset, NDIS_HANDLE handle, UINT initial_port,
                                             UINT count) {
    MiniportAdapter* a = adapter_of(handle, "NdisMRegisterIoPortRange");
    if (a == nullptr || port_offset == nullptr) return NDIS_STATUS_FAILURE;
    check_setup_call(a, "NdisMRegisterIoPortRange");
    const NDIS_STATUS status = ports_.claim(a, initial_port, count);
    if (status == NDIS_STATUS_SUCCESS)
        *port_offset = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(initial_port));
    event(a, "ports " + hex(initial_port) + "+" + std::to_string(count) +
                 (status == NDIS_STATUS_SUCCESS ? " claimed" : " refused"));
    return status;
}

void NdisLibrary::deregister_port_range(NDIS_HANDLE handle, UINT initial_port, UINT count,
                                        PVOID port_offset) {
    MiniportAdapter* a = adapter_of(handle, "NdisMDeregisterIoPortRange");
    if (a == nullptr) return;
    check_setup_call(a, "NdisMDeregisterIoPortRange");
    if (reinterpret_cast<ULONG_PTR>(port_offset) != initial_port)
        error(a->name() + ": NdisMDeregisterIoPortRange of port " + hex(initial_port) + " with port offset " +
              pointer(port_offset) + ", which registration did not give for it");
    if (!ports_.release(a, initial_port, count))
        error(a->name() + ": NdisMDeregisterIoPortRange of ports " + hex(initial_port) + "+" +
              std::to_string(count) + ", which the adapter has not claimed");
    else
        event(a, "ports " + hex(initial_port) + "+" + std::to_string(count) + " released");
}

NDIS_STATUS NdisLibrary::register_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle,
                                            UINT vector, UINT level, BOOLEAN request_isr, BOOLEAN shared,
                                            NDIS_INTERRUPT_MODE mode) {
    MiniportAdapter* a = adapter_of(handle, "NdisMRegisterInterrupt");
    if (a == nullptr || interrupt == nullptr) return NDIS_STATUS_FAILURE;
    check_setup_call(a, "NdisMRegisterInterrupt");
    if (!registered_) {
        error("NdisMRegisterInterrupt before the miniport is registered");
        return NDIS_STATUS_FAILURE;
    }
    if (mode != NdisInterruptLatched && mode != NdisInterruptLevelSensitive) return NDIS_STATUS_FAILURE;
    if (interrupts_.connected(*a)) {
        error(a->name() + ": NdisMRegisterInterrupt while its interrupt is already connected");
        return NDIS_STATUS_RESOURCE_CONFLICT;
    }
    (void)vector;  // on an ISA machine the vector follows from the level
    InterruptController::Connection c{a,    interrupt, level, shared != FALSE, mode, request_isr != FALSE,
                                      false};
    const NDIS_STATUS status = interrupts_.connect(c);
    event(a, "interrupt on IRQ " + std::to_string(level) +
                 (status == NDIS_STATUS_SUCCESS ? " connected" : " refused"));
    if (status != NDIS_STATUS_SUCCESS) return status;
    interrupt->InterruptObject = &interrupts_;
    interrupt->MiniportHandle = handle;
    interrupt->Vector = vector;
    interrupt->Level = level;
    interrupt->Shared = shared;
    interrupt->IsrRequested = request_isr;
    interrupt->Mode = mode;
    return NDIS_STATUS_SUCCESS;
}

void NdisLibrary::deregister_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt) {
    const auto* c = interrupts_.find(interrupt);
    if (c == nullptr) {
        error("NdisMDeregisterInterrupt of an interrupt that is not connected");
        return;
    }
    const MiniportAdapter* a = c->adapter;
    check_setup_call(a, "NdisMDeregisterInterrupt");
    interrupts_.disconnect(interrupt);
    interrupt->InterruptObject = nullptr;
    event(a, "interrupt disconnected");
}

BOOLEAN NdisLibrary::synchronize_with_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt,
                                                PNDIS_SYNCHRONIZE_ROUTINE routine, PVOID context) {
    const auto* connection = interrupts_.find(interrupt);
    if (connection == nullptr) error("NdisMSynchronizeWithInterrupt with an interrupt that is not connected");
    if (routine == nullptr) {
        error("NdisMSynchronizeWithInterrupt without a routine");
        return FALSE;
    }
    MiniportAdapter* owner = connection != nullptr        ? connection->adapter
                             : this->context() != nullptr ? this->context()->adapter
                                                          : nullptr;
    check_below_device_level(owner, "NdisMSynchronizeWithInterrupt");
    ++sync_depth_;
    BOOLEAN result;
    {
        ContextScope scope(*this, {owner, "synchronised routine", RunLevel::Device, false});
        result = routine(context);
    }
    --sync_depth_;
    safe_point();  // an interrupt held off meanwhile is taken now
    return result;
}

NDIS_STATUS NdisLibrary::map_io_space(PVOID* address, NDIS_HANDLE handle, NDIS_PHYSICAL_ADDRESS physical,
                                      UINT length) {
    MiniportAdapter* a = adapter_of(handle, "NdisMMapIoSpace");
    if (a == nullptr || address == nullptr) return NDIS_STATUS_FAILURE;
    check_setup_call(a, "NdisMMapIoSpace");
    if (map_failure_) {
        const NDIS_STATUS status = *map_failure_;
        map_failure_.reset();
        return status;
    }
    if (physical.u.HighPart != 0) return NDIS_STATUS_RESOURCE_CONFLICT;
    PVOID mapped = windows_.map(a, physical.u.LowPart, length);
    if (mapped == nullptr) return NDIS_STATUS_RESOURCE_CONFLICT;
    *address = mapped;
    event(a, "memory " + hex(physical.u.LowPart) + "+" + hex(length) + " mapped");
    return NDIS_STATUS_SUCCESS;
}

void NdisLibrary::unmap_io_space(NDIS_HANDLE handle, PVOID address, UINT length) {
    MiniportAdapter* a = adapter_of(handle, "NdisMUnmapIoSpace");
    if (a == nullptr) return;
    check_setup_call(a, "NdisMUnmapIoSpace");
    if (!windows_.unmap(a, address, length))
        error(a->name() + ": NdisMUnmapIoSpace of " + pointer(address) + " (" + std::to_string(length) +
              " bytes), which the adapter has not mapped");
    else
        event(a, "memory unmapped");
}

void NdisLibrary::write_error_log(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values) {
    MiniportAdapter* a = adapter_of(handle, "NdisWriteErrorLogEntry");
    check_below_device_level(a, "NdisWriteErrorLogEntry");
    ErrorLogEntry entry{bus_.clock().now(), a, a ? a->name() : std::string(), code, std::move(values)};
    event(a, "error log " + error_code_name(code));
    error_log_.add(std::move(entry));
}

void NdisLibrary::send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
    MiniportAdapter* a = adapter_of(handle, "NdisMSendComplete");
    if (a == nullptr) return;
    check_below_device_level(a, "NdisMSendComplete");
    Binding* sender = MiniportAdapter::take(a->outstanding_, packet);
    if (sender == nullptr) {
        error(a->name() + ": NdisMSendComplete of packet " + pointer(packet) +
              ", which the miniport does not hold (never sent to it, or completed already)");
        return;
    }
    ++a->counters_.send_completions;
    complete_to_protocol(*sender, packet, status);
}

void NdisLibrary::indicate_receive(PETH_FILTER filter, NDIS_HANDLE receive_context, const void* address,
                                   PVOID header, UINT header_size, PVOID lookahead, UINT lookahead_size,
                                   UINT packet_size) {
    auto found = std::find_if(adapters_.begin(), adapters_.end(),
                              [&](const auto& a) { return &a->filter_ == filter; });
    if (found == adapters_.end()) {
        error("EthFilterDprIndicateReceive with a filter that is no adapter's");
        return;
    }
    MiniportAdapter& a = **found;
    if (!busy(a)) error(a.name() + ": EthFilterDprIndicateReceive outside a miniport handler");
    check_below_device_level(&a, "EthFilterDprIndicateReceive");
    if (header == nullptr || address == nullptr || header_size < 14) {
        error(a.name() + ": EthFilterDprIndicateReceive with a header of " + std::to_string(header_size) +
              " bytes");
        return;
    }
    if (lookahead_size > packet_size)
        error(a.name() + ": lookahead of " + std::to_string(lookahead_size) + " bytes for a packet of " +
              std::to_string(packet_size));
    if (lookahead == nullptr && lookahead_size != 0) {
        error(a.name() + ": EthFilterDprIndicateReceive with a null lookahead buffer");
        return;
    }
    ++a.counters_.indications;
    count_indication_in_handler();
    if (recording_)
        event(&a, "Indicate " + std::to_string(header_size) + "+" + std::to_string(lookahead_size) + " of " +
                  std::to_string(packet_size));

    const auto* destination = static_cast<const std::uint8_t*>(address);
    const std::uint64_t previous = a.indication_serial_;
    const std::uint64_t serial = next_indication_serial_++;
    a.indication_serial_ = serial;
    // By index: a protocol may bind another protocol from inside its callback.
    for (std::size_t i = 0; i < a.bindings_.size(); ++i) {
        Binding& b = *a.bindings_[i];
        if (!b.open_ || !filter_accepts(b.filter_, a.station_address_, destination)) continue;
        ReceiveIndication indication;
        indication.library_ = this;
        indication.adapter_ = &a;
        indication.receive_context_ = receive_context;
        indication.serial_ = serial;
        indication.header_ = {static_cast<const std::uint8_t*>(header), header_size};
        indication.lookahead_ = {static_cast<const std::uint8_t*>(lookahead), lookahead_size};
        indication.packet_size_ = packet_size;
        ++a.counters_.deliveries;
        b.protocol_.receive(b, indication);
    }
    a.indication_serial_ = previous;
}

void NdisLibrary::indicate_receive_complete(PETH_FILTER filter) {
    auto found = std::find_if(adapters_.begin(), adapters_.end(),
                              [&](const auto& a) { return &a->filter_ == filter; });
    if (found == adapters_.end()) {
        error("EthFilterDprIndicateReceiveComplete with a filter that is no adapter's");
        return;
    }
    MiniportAdapter& a = **found;
    if (!busy(a)) error(a.name() + ": EthFilterDprIndicateReceiveComplete outside a miniport handler");
    check_below_device_level(&a, "EthFilterDprIndicateReceiveComplete");
    ++a.counters_.receive_completes;
    event(&a, "IndicateComplete");
    for (std::size_t i = 0; i < a.bindings_.size(); ++i)
        if (a.bindings_[i]->open_) a.bindings_[i]->protocol_.receive_complete(*a.bindings_[i]);
}

}  // namespace host
