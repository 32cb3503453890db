#include "platform/host/ndis_library.h"

#include <algorithm>

#include "platform/host/ndis_library_internal.h"

namespace host {

// ---------------------------------------------------------------------------
// Adapters and their lifecycle
// ---------------------------------------------------------------------------

MiniportAdapter& NdisLibrary::add_adapter(std::string name) {
    adapters_.push_back(std::make_unique<MiniportAdapter>(std::move(name), adapters_.size()));
    return *adapters_.back();
}

std::vector<MiniportAdapter*> NdisLibrary::adapters() const {
    std::vector<MiniportAdapter*> out;
    for (const auto& a : adapters_) out.push_back(a.get());
    return out;
}

NDIS_STATUS NdisLibrary::initialize(MiniportAdapter& a, std::vector<NDIS_MEDIUM> media) {
    if (!registered_) {
        error("initialize " + a.name() + ": no miniport is registered");
        return NDIS_STATUS_FAILURE;
    }
    if (a.state_ == AdapterState::Running || a.state_ == AdapterState::Initializing) {
        error("initialize " + a.name() + ": the adapter is " + to_string(a.state_));
        return NDIS_STATUS_FAILURE;
    }
    run_waiting_work();
    a.state_ = AdapterState::Initializing;
    a.selected_medium_.reset();
    a.attributes_ = {};

    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    UINT selected = ~0u;
    call_setup_handler(a, "Initialize", [&] {
        status = characteristics_.InitializeHandler(
            &open_error, &selected, media.empty() ? nullptr : media.data(), static_cast<UINT>(media.size()),
            a.handle(), a.configuration_context());
        a.initialize_status_ = status;
        if (!a.open_configurations_.empty()) {
            error(a.name() + ": the initialise handler returned with its configuration still open");
            a.open_configurations_.clear();
        }
        if (status == NDIS_STATUS_SUCCESS) {
            if (selected >= media.size())
                error(a.name() + ": initialisation succeeded with medium index " + std::to_string(selected) +
                      " of " + std::to_string(media.size()));
            else
                a.selected_medium_ = selected;
            if (!a.attributes_.set) error(a.name() + ": initialisation succeeded without NdisMSetAttributes");
            a.state_ = AdapterState::Running;
        } else {
            a.state_ = AdapterState::Failed;
            take_back_resources(a, "failed initialisation");
        }
    });
    if (status == NDIS_STATUS_SUCCESS && a.state_ == AdapterState::Running) learn_station_address(a);
    return status;
}

void NdisLibrary::adopt(MiniportAdapter& a) {
    a.state_ = AdapterState::Running;
}

// The filter compares directed frames with the adapter's current address,
// which the wrapper asks the miniport for once it runs.
void NdisLibrary::learn_station_address(MiniportAdapter& a) {
    UCHAR address[6] = {};
    ULONG written = 0, needed = 0;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    call_handler(a, "QueryInformation", [&] {
        status = characteristics_.QueryInformationHandler(a.context(), OID_802_3_CURRENT_ADDRESS, address,
                                                          sizeof address, &written, &needed);
    });
    if (status == NDIS_STATUS_SUCCESS && written == sizeof address)
        std::copy(std::begin(address), std::end(address), a.station_address_.begin());
}

// After a failed initialisation or a halt nothing may be left with the
// adapter. What is, is recorded and taken back, so that a later interrupt does
// not call into a freed record.
void NdisLibrary::take_back_resources(MiniportAdapter& a, const char* when) {
    if (interrupts_.disconnect_all(a) != 0) error(a.name() + ": " + when + " left the interrupt connected");
    for (const auto& c : ports_.held_by(&a)) {
        error(a.name() + ": " + when + " left ports " + hex(c.base) + "-" + hex(c.base + c.count - 1) +
              " claimed");
        ports_.release(&a, c.base, c.count);
    }
    for (const auto* m : windows_.held_by(&a)) {
        error(a.name() + ": " + when + " left memory at " + hex(m->physical) + " mapped");
        windows_.unmap(&a, m->memory.get(), m->length);
    }
    a.dpc_pending_ = false;
}

NDIS_STATUS NdisLibrary::reset(MiniportAdapter& a) {
    if (a.state_ != AdapterState::Running) {
        error("reset " + a.name() + ": the adapter is " + to_string(a.state_));
        return NDIS_STATUS_FAILURE;
    }
    if (busy(a)) {
        a.waiting_.push_back([this, &a] {
            if (a.state_ == AdapterState::Running) do_reset(a);
        });
        return NDIS_STATUS_PENDING;
    }
    run_waiting_work();
    if (a.state_ != AdapterState::Running) return NDIS_STATUS_FAILURE;
    do_reset(a);
    return a.last_reset_status_.value_or(NDIS_STATUS_FAILURE);
}

void NdisLibrary::do_reset(MiniportAdapter& a) {
    call_handler(a, "Reset", [&] {
        BOOLEAN addressing = kUnwritten;
        const NDIS_STATUS status = characteristics_.ResetHandler(&addressing, a.context());
        if (status == NDIS_STATUS_PENDING)
            error(a.name() + ": the reset handler pended, and this library has no completion call for it");
        if (addressing == kUnwritten)
            breach(a.name() + ": its Reset handler left *AddressingReset unwritten");
        a.last_reset_status_ = status;
        a.addressing_reset_ = addressing != FALSE ? TRUE : FALSE;
        abort_outstanding(a);
    });
}

void NdisLibrary::halt(MiniportAdapter& a) {
    if (a.state_ != AdapterState::Running) {
        error("halt " + a.name() + ": the adapter is " + to_string(a.state_));
        return;
    }
    if (busy(a)) {
        a.waiting_.push_back([this, &a] {
            if (a.state_ == AdapterState::Running) do_halt(a);
        });
        return;
    }
    run_waiting_work();
    if (a.state_ == AdapterState::Running) do_halt(a);
}

void NdisLibrary::do_halt(MiniportAdapter& a) {
    call_setup_handler(a, "Halt", [&] {
        characteristics_.HaltHandler(a.context());
        a.state_ = AdapterState::Halted;
        abort_outstanding(a);
        take_back_resources(a, "halt");
        for (auto& b : a.bindings_) b->open_ = false;
    });
}

// Packets the miniport was given and has not completed are lost to it now; the
// wrapper completes them so that every send still gets exactly one completion.
// Sends still waiting in the wrapper are aborted too when the adapter is gone.
void NdisLibrary::abort_outstanding(MiniportAdapter& a) {
    auto held = std::move(a.outstanding_);
    a.outstanding_.clear();
    std::vector<MiniportAdapter::HeldPacket> waiting;
    if (a.state_ != AdapterState::Running) std::swap(waiting, a.queued_sends_);
    for (const auto& h : held) {
        ++a.counters_.sends_aborted;
        complete_to_protocol(*h.sender, h.packet, NDIS_STATUS_REQUEST_ABORTED);
    }
    for (const auto& h : waiting) complete_to_protocol(*h.sender, h.packet, NDIS_STATUS_REQUEST_ABORTED);
}

}  // namespace host
