#include "platform/host/ndis_library.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/host/ndis_library_internal.h"
#include "platform/host/port_allow_list.h"

namespace host {

std::string hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

std::string pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

const char* to_string(AdapterState state) {
    switch (state) {
        case AdapterState::Configured:
            return "configured";
        case AdapterState::Initializing:
            return "initializing";
        case AdapterState::Running:
            return "running";
        case AdapterState::Failed:
            return "failed";
        case AdapterState::Halted:
            return "halted";
    }
    return "?";
}

bool MiniportAdapter::holds_packet(const NDIS_PACKET* packet) const {
    return std::any_of(outstanding_.begin(), outstanding_.end(),
                       [&](const auto& h) { return h.packet == packet; });
}

Binding* MiniportAdapter::take(std::vector<HeldPacket>& list, const NDIS_PACKET* packet) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& h) { return h.packet == packet; });
    if (it == list.end()) return nullptr;
    Binding* sender = it->sender;
    list.erase(it);
    return sender;
}

MiniportAdapter::MiniportAdapter(std::string name, std::size_t index)
    : name_(std::move(name)), index_(index) {
    filter_.adapter = this;
    block_.WrapperContext = this;
    block_.EthDB = &filter_;
}

// ---------------------------------------------------------------------------
// Installation
// ---------------------------------------------------------------------------

NdisLibrary::NdisLibrary(machine::IsaBus& bus) : bus_(bus), interrupts_(bus.irq()), windows_(bus) {
    if (current_ != nullptr) {
        std::fprintf(stderr, "host::NdisLibrary: another NDIS stand-in is already installed\n");
        std::abort();
    }
    current_ = this;
}

NdisLibrary::~NdisLibrary() {
    if (current_ == this) current_ = nullptr;
}

void NdisLibrary::none_installed(const char* caller) {
    std::fprintf(stderr, "%s called with no NDIS stand-in installed (construct a host::NdisLibrary first)\n",
                 caller);
    std::abort();
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

void NdisLibrary::error(std::string what) {
    errors_.push_back(std::move(what));
}

void NdisLibrary::breach(std::string what) {
    if (breaches_.insert(what).second) errors_.push_back(std::move(what));
}

// Registration, mapping and configuration calls belong to setting the adapter
// up and taking it down; NT gives the handles they need meaning only there.
void NdisLibrary::check_setup_call(const MiniportAdapter* a, const char* call) {
    const CallContext* c = context();
    if (c != nullptr && c->setup && c->adapter == a) return;
    breach(name_of(a) + ": " + call + " " + describe(c) +
           "; it may be called only from the initialise and halt handlers");
}

// At device level nothing may complete, indicate, allocate, log or synchronise
// again: those need dispatch level or below (or take the lock already held).
void NdisLibrary::check_below_device_level(const MiniportAdapter* a, const char* call) {
    const CallContext* c = context();
    if (c == nullptr || c->level != RunLevel::Device) return;
    breach(name_of(a != nullptr ? a : c->adapter) + ": " + call + " " + describe(c) + ", at device level");
}

// A port access is the running handler's adapter's; test code outside any
// handler is nobody's and not checked.
void NdisLibrary::check_port_owner(ULONG_PTR port, unsigned width, const char* caller) {
    const CallContext* c = context();
    if (c == nullptr || c->adapter == nullptr) return;
    const MiniportAdapter& a = *c->adapter;
    for (ULONG_PTR p = port; p < port + width; ++p) {
        const auto number = static_cast<unsigned>(p);
        if (ports_.holds(&a, number) || on_allow_list(number)) continue;
        breach(a.name() + ": " + caller + " of port " + hex(number) + " " + describe(c) +
               ", outside the ports it claimed");
        return;
    }
}

void NdisLibrary::event(const MiniportAdapter* adapter, std::string_view what) {
    if (recording_)
        events_.push_back(Event{bus_.clock().now(), bus_.trace().mark(), adapter, std::string(what)});
}

void NdisLibrary::clear_records() {
    events_.clear();
    isr_runs_.clear();
}

std::vector<std::string> NdisLibrary::leaks() const {
    std::vector<std::string> out;
    if (memory_.outstanding_blocks() != 0)
        out.push_back(std::to_string(memory_.outstanding_blocks()) + " memory block(s), " +
                      std::to_string(memory_.outstanding_bytes()) + " bytes, not freed");
    for (const auto& c : ports_.all())
        if (c.owner != nullptr)
            out.push_back("ports " + hex(c.base) + "-" + hex(c.base + c.count - 1) + " still claimed by " +
                          c.owner->name());
    for (const auto& a : adapters_) {
        for (const auto* m : windows_.held_by(a.get()))
            out.push_back("memory at " + hex(m->physical) + " still mapped by " + a->name());
        if (interrupts_.connected(*a)) out.push_back("interrupt of " + a->name() + " still connected");
        if (!a->open_configurations_.empty()) out.push_back("configuration of " + a->name() + " still open");
        if (!a->outstanding_.empty() || !a->queued_sends_.empty())
            out.push_back(std::to_string(a->outstanding_.size() + a->queued_sends_.size()) +
                          " packet(s) of " + a->name() + " not completed");
    }
    return out;
}

MiniportAdapter* NdisLibrary::adapter_of(NDIS_HANDLE handle, const char* caller) {
    for (auto& a : adapters_)
        if (a->handle() == handle) return a.get();
    error(std::string(caller) + " with handle " + pointer(handle) + ", which is no adapter's");
    return nullptr;
}

MiniportAdapter* NdisLibrary::adapter_of_context(NDIS_HANDLE context, const char* caller) {
    for (auto& a : adapters_)
        if (a->configuration_context() == context) return a.get();
    error(std::string(caller) + " with configuration context " + pointer(context) +
          ", which is no adapter's");
    return nullptr;
}

OpenConfiguration* NdisLibrary::open_configuration_of(NDIS_HANDLE handle, MiniportAdapter** owner) {
    for (auto& a : adapters_)
        for (auto& open : a->open_configurations_)
            if (open.get() == handle) {
                if (owner) *owner = a.get();
                return open.get();
            }
    return nullptr;
}

void NdisLibrary::reserve_ports(unsigned base, unsigned count) {
    if (ports_.claim(nullptr, base, count) != NDIS_STATUS_SUCCESS)
        error("reserve_ports " + hex(base) + "+" + std::to_string(count) + ": already claimed");
}

void NdisLibrary::reserve_interrupt(unsigned line, bool shared, NDIS_INTERRUPT_MODE mode) {
    if (interrupts_.connect({nullptr, nullptr, line, shared, mode, false, false}) != NDIS_STATUS_SUCCESS)
        error("reserve_interrupt " + std::to_string(line) + ": the line is taken");
}

}  // namespace host
