#include "platform/host/ndis_library.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/port_allow_list.h"

namespace host {

namespace {

NdisLibrary* g_current = nullptr;

// Rounds of ISR calls one service may make on a line before it is taken for a
// line that no ISR will ever quieten (NT would hang there; we mask it and say so).
constexpr int kInterruptStormLimit = 1000;

// Passes over a latched line with several interrupt objects before an ISR that
// claims in every one is taken for an endless loop (NT would spin there).
constexpr unsigned kEndlessLoopPasses = 64;

// Deferred handlers one service may run back to back before the adapter is
// taken for one whose ISR asks for it at every interrupt, even one it does not
// claim, while the handler's own port accesses draw new interrupts (NT would
// run DPCs forever there; we drop the request and say so).
constexpr unsigned kDeferredStormLimit = 1000;

// What an out-parameter holds before the miniport writes it: neither FALSE nor
// TRUE, so an unwritten flag shows (and still counts as TRUE, as on NT).
constexpr BOOLEAN kUnwritten = 0x5C;

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

}  // namespace

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
    if (g_current != nullptr) {
        std::fprintf(stderr, "host::NdisLibrary: another NDIS stand-in is already installed\n");
        std::abort();
    }
    g_current = this;
}

NdisLibrary::~NdisLibrary() {
    if (g_current == this) g_current = nullptr;
}

NdisLibrary* NdisLibrary::current() {
    return g_current;
}

NdisLibrary& NdisLibrary::require(const char* caller) {
    if (g_current == nullptr) {
        std::fprintf(stderr,
                     "%s called with no NDIS stand-in installed (construct a host::NdisLibrary first)\n",
                     caller);
        std::abort();
    }
    return *g_current;
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

struct NdisLibrary::ContextScope {
    ContextScope(NdisLibrary& library, CallContext context) : library_(library) {
        library_.contexts_.push_back(context);
    }
    ~ContextScope() { library_.contexts_.pop_back(); }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    NdisLibrary& library_;
};

namespace {
std::string name_of(const MiniportAdapter* adapter) {
    return adapter != nullptr ? adapter->name() : std::string("?");
}
}  // namespace

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

void NdisLibrary::event(const MiniportAdapter* adapter, std::string what) {
    if (recording_)
        events_.push_back(Event{bus_.clock().now(), bus_.trace().mark(), adapter, std::move(what)});
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

// ---------------------------------------------------------------------------
// Dispatch and serialisation
// ---------------------------------------------------------------------------

void NdisLibrary::call_handler(MiniportAdapter& a, const char* name, const std::function<void()>& body,
                               RunLevel level, bool setup) {
    event(&a, name);
    ++handler_depth_;
    ++a.handler_depth_;
    {
        ContextScope scope(*this, {&a, name, level, setup});
        body();
    }
    --a.handler_depth_;
    --handler_depth_;
    run_waiting_work();
}

void NdisLibrary::run_as_handler(MiniportAdapter& a, const std::function<void()>& body) {
    call_handler(a, "test code", body);
}

void NdisLibrary::run_as_initialize(MiniportAdapter& a, const std::function<void()>& body) {
    call_setup_handler(a, "test code as Initialize", body);
}

// The initialise and halt handlers: passive level, resource and configuration calls allowed.
void NdisLibrary::call_setup_handler(MiniportAdapter& a, const char* name,
                                     const std::function<void()>& body) {
    call_handler(a, name, body, RunLevel::Passive, true);
}

// Runs what had to wait for the miniport handlers to return: deferred interrupt
// handlers first (they run at a higher level than requests), then waiting
// protocol requests in arrival order, until nothing is left.
void NdisLibrary::run_waiting_work() {
    if (running_waiting_work_ || handler_depth_ > 0 || held_off()) return;
    running_waiting_work_ = true;
    unsigned deferred_runs = 0;
    for (;;) {
        serve_interrupts();
        auto dpc =
            std::find_if(adapters_.begin(), adapters_.end(), [](const auto& a) { return a->dpc_pending_; });
        if (dpc != adapters_.end()) {
            MiniportAdapter& a = **dpc;
            a.dpc_pending_ = false;
            if (++deferred_runs > kDeferredStormLimit) {
                breach("deferred-handler storm: " + a.name() +
                       " asked for its deferred handler again after " + std::to_string(kDeferredStormLimit) +
                       " runs in one service; the request is dropped");
                continue;
            }
            if (a.state_ == AdapterState::Running) run_deferred_handler(a);
            continue;
        }
        auto req = std::find_if(adapters_.begin(), adapters_.end(),
                                [](const auto& a) { return !a->waiting_.empty(); });
        if (req != adapters_.end()) {
            auto work = std::move((*req)->waiting_.front());
            (*req)->waiting_.pop_front();
            work();
            continue;
        }
        break;
    }
    running_waiting_work_ = false;
}

void NdisLibrary::run_deferred_handler(MiniportAdapter& a) {
    call_handler(a, "HandleInterrupt", [&] {
        ++a.counters_.deferred_calls;
        characteristics_.HandleInterruptHandler(a.context());
        // Straight after the deferred handler, before anything else of the miniport.
        event(&a, "EnableInterrupt");
        ++a.counters_.enable_calls;
        ContextScope scope(*this, {&a, "EnableInterrupt", RunLevel::Dispatch, false});
        characteristics_.EnableInterruptHandler(a.context());
    });
}

void NdisLibrary::serve_interrupts() {
    if (held_off()) return;
    std::array<int, machine::kIrqLineCount> rounds{};
    while (auto line = interrupts_.next_request()) {
        if (++rounds[*line] > kInterruptStormLimit) {
            error("interrupt storm on IRQ " + std::to_string(*line) +
                  ": the line stays asserted and no ISR quietens it; the line is masked");
            interrupts_.mask(*line);
            continue;
        }
        interrupts_.acknowledge(*line);
        dispatch_line(*line);
    }
}

// NT's chained dispatch of a line's interrupt objects, in connection order. A
// level-sensitive line is asked until one ISR claims: if the line is still high
// afterwards it simply interrupts again. A latched line gives one edge however
// many devices raised it, and no new edge while any of them still holds it, so
// with several objects the kernel asks every ISR and goes round again while
// any claimed; an ISR that claims every time would spin the machine there, so
// after a bound that is recorded and the dispatch stops.
void NdisLibrary::dispatch_line(unsigned line) {
    const auto connections = interrupts_.on_line(line);
    if (connections.empty()) return;
    const bool latched = connections.front().mode == NdisInterruptLatched;
    const bool repeat = latched && connections.size() > 1;
    ++isr_depth_;
    for (unsigned pass = 1;; ++pass) {
        const bool pulse_pass = foreign_pulses_[line] > 0;
        const MiniportAdapter* claimer = nullptr;
        bool claimed = false;
        for (const auto& c : interrupts_.on_line(line)) {
            if (!call_isr(c, pass, pulse_pass)) continue;
            claimed = true;
            if (c.adapter != nullptr) claimer = c.adapter;
            if (!latched) break;
        }
        if (!claimed || !repeat) break;
        if (pass == kEndlessLoopPasses) {
            breach("endless loop on IRQ " + std::to_string(line) + ": the ISR of " + name_of(claimer) +
                   " claimed the latched line in each of " + std::to_string(kEndlessLoopPasses) +
                   " passes; dispatch stopped");
            break;
        }
    }
    --isr_depth_;
}

// A connection that neither shares its line nor asked for its ISR is masked
// with its disable handler and given its deferred handler at once, as the
// wrapper's own ISR does for such miniports (and that ISR claims).
bool NdisLibrary::call_isr(const InterruptController::Connection& c, unsigned pass, bool pulse_pass) {
    if (c.foreign) {
        if (foreign_pulses_[c.line] == 0) return false;
        --foreign_pulses_[c.line];
        return true;
    }
    // Another driver's object, or one disconnected by an ISR earlier in this dispatch.
    if (c.adapter == nullptr || interrupts_.find(c.object) == nullptr) return false;
    MiniportAdapter& a = *c.adapter;
    if (!c.shared && !c.isr_requested) {
        event(&a, "DisableInterrupt");
        ++a.counters_.disable_calls;
        {
            ContextScope scope(*this, {&a, "DisableInterrupt", RunLevel::Dispatch, false});
            characteristics_.DisableInterruptHandler(a.context());
        }
        a.dpc_pending_ = true;
        return true;
    }
    IsrRun run;
    run.time = bus_.clock().now();
    run.trace_index = bus_.trace().mark();
    run.adapter = &a;
    run.foreign = pulse_pass;
    run.pass = pass;
    if (page_probe_) run.page = page_probe_(a);
    BOOLEAN recognized = kUnwritten, queue = kUnwritten;
    ++a.counters_.isr_calls;
    {
        ContextScope scope(*this, {&a, "ISR", RunLevel::Device, false});
        characteristics_.ISRHandler(&recognized, &queue, a.context());
    }
    if (recognized == kUnwritten) breach(a.name() + ": its ISR left InterruptRecognized unwritten");
    if (queue == kUnwritten) breach(a.name() + ": its ISR left QueueMiniportHandleInterrupt unwritten");
    run.recognized = recognized != FALSE;
    run.queued_deferred = queue != FALSE;
    if (run.recognized) ++a.counters_.isr_claimed;
    if (run.queued_deferred) a.dpc_pending_ = true;
    event(&a, std::string(run.foreign ? "ISR (foreign)" : "ISR") + (run.recognized ? " claimed" : ""));
    if (recording_) isr_runs_.push_back(run);
    return run.recognized;
}

void NdisLibrary::set_foreign_interrupts(bool on) {
    foreign_interrupts_ = on;
    if (!on)
        for (auto& object : foreign_objects_) interrupts_.disconnect(&object);
}

// The foreign device sits on every line with a shared miniport interrupt, as
// one more interrupt object connected after the miniports, and pulses it once.
void NdisLibrary::pulse_foreign_devices() {
    for (unsigned line = 0; line < machine::kIrqLineCount; ++line) {
        const auto on = interrupts_.on_line(line);
        const auto miniport = std::find_if(on.begin(), on.end(),
                                           [](const auto& c) { return c.adapter != nullptr && c.shared; });
        const bool present = std::any_of(on.begin(), on.end(), [](const auto& c) { return c.foreign; });
        if (miniport == on.end()) {
            if (present) interrupts_.disconnect(&foreign_objects_[line]);
            continue;
        }
        if (!present && interrupts_.connect({nullptr, &foreign_objects_[line], line, true, miniport->mode,
                                             true, true}) != NDIS_STATUS_SUCCESS)
            continue;
        foreign_pulses_[line] = 1;
        dispatch_line(line);
        // A level chain may stop at an ISR ahead of the foreign device; its line
        // is then still high and is dispatched again.
        if (foreign_pulses_[line] > 0 && miniport->mode == NdisInterruptLevelSensitive) dispatch_line(line);
        foreign_pulses_[line] = 0;
    }
}

void NdisLibrary::safe_point() {
    serve_interrupts();
    run_waiting_work();
}

void NdisLibrary::after_port_access() {
    if (foreign_interrupts_ && !held_off()) pulse_foreign_devices();
    safe_point();
}

// Moves virtual time to `deadline` one device event at a time, so that an
// interrupt raised by an event is served at that event's time.
void NdisLibrary::advance_to(machine::Nanoseconds deadline) {
    auto& clock = bus_.clock();
    while (auto next = clock.next_event_time()) {
        if (*next > deadline) break;
        clock.run_until(*next);
        safe_point();
    }
    clock.run_until(deadline);
    safe_point();
}

void NdisLibrary::service() {
    safe_point();
}

void NdisLibrary::run_for(machine::Nanoseconds duration) {
    safe_point();
    advance_to(bus_.clock().now() + duration);
}

bool NdisLibrary::run_until_idle(machine::Nanoseconds limit) {
    auto& clock = bus_.clock();
    const machine::Nanoseconds deadline = clock.now() + limit;
    safe_point();
    while (auto next = clock.next_event_time()) {
        if (*next > deadline) {
            clock.run_until(deadline);
            safe_point();
            return false;
        }
        clock.run_until(*next);
        safe_point();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Protocols
// ---------------------------------------------------------------------------

Binding& NdisLibrary::bind(MiniportAdapter& a, Protocol& protocol) {
    if (a.state_ != AdapterState::Running) error("bind to " + a.name() + ", which is " + to_string(a.state_));
    a.bindings_.push_back(std::make_unique<Binding>(*this, a, protocol));
    return *a.bindings_.back();
}

void NdisLibrary::unbind(Binding& binding) {
    if (!binding.open_) return;
    if (binding.adapter_.state_ == AdapterState::Running) {
        push_filter(binding, FilterSettings{}, false);
        push_filter(binding, FilterSettings{}, true);
    }
    binding.open_ = false;
}

NDIS_STATUS Binding::send(PNDIS_PACKET packet) {
    return library_.send(*this, packet);
}

NDIS_STATUS Binding::query(NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed) {
    return library_.request(*this, NdisLibrary::RequestKind::Query, oid, buffer, length, written, needed);
}

NDIS_STATUS Binding::set(NDIS_OID oid, PVOID buffer, ULONG length, PULONG read, PULONG needed) {
    return library_.request(*this, NdisLibrary::RequestKind::Set, oid, buffer, length, read, needed);
}

NDIS_STATUS Binding::set_packet_filter(ULONG filter) {
    FilterSettings wanted = filter_;
    wanted.packet_filter = filter;
    return library_.push_filter(*this, wanted, false);
}

NDIS_STATUS Binding::set_multicast_list(std::vector<MacAddress> list) {
    FilterSettings wanted = filter_;
    wanted.multicast = std::move(list);
    return library_.push_filter(*this, wanted, true);
}

NDIS_STATUS ReceiveIndication::transfer_data(PNDIS_PACKET packet, UINT offset, UINT count,
                                             PUINT transferred) const {
    if (library_ == nullptr) return NDIS_STATUS_FAILURE;
    return library_->transfer_data(*this, packet, offset, count, transferred);
}

NDIS_STATUS NdisLibrary::send(Binding& binding, PNDIS_PACKET packet) {
    MiniportAdapter& a = binding.adapter_;
    if (!binding.open_ || a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    if (packet == nullptr) {
        error("NdisSend of a null packet");
        return NDIS_STATUS_FAILURE;
    }
    const bool waiting = std::any_of(a.queued_sends_.begin(), a.queued_sends_.end(),
                                     [&](const auto& h) { return h.packet == packet; });
    if (a.holds_packet(packet) || waiting) {
        error("NdisSend of packet " + pointer(packet) + " while it has not been completed");
        return NDIS_STATUS_FAILURE;
    }
    // Protocols reuse their packets: MiniportReserved holds whatever the last
    // miniport (or nobody) left there, never a cleared area.
    std::memset(packet->MiniportReserved, PacketPool::kReservedFill, sizeof packet->MiniportReserved);
    if (busy(a) || held_off()) {
        a.queued_sends_.push_back({packet, &binding});
        a.waiting_.push_back([this, &a, packet] {
            Binding* sender = MiniportAdapter::take(a.queued_sends_, packet);
            if (sender == nullptr) return;  // aborted meanwhile
            if (a.state_ != AdapterState::Running)
                complete_to_protocol(*sender, packet, NDIS_STATUS_REQUEST_ABORTED);
            else
                hand_over_send(*sender, packet, true);
        });
        return NDIS_STATUS_PENDING;
    }
    run_waiting_work();
    if (a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    return hand_over_send(binding, packet, false);
}

// A send handler that returns anything but NDIS_STATUS_PENDING has finished
// with the packet; if it also called NdisMSendComplete the packet would be
// completed twice.
NDIS_STATUS NdisLibrary::hand_over_send(Binding& binding, PNDIS_PACKET packet, bool waited) {
    MiniportAdapter& a = binding.adapter_;
    a.outstanding_.push_back({packet, &binding});
    ++a.counters_.sends_handed;
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    call_handler(a, "Send", [&] {
        status = characteristics_.SendHandler(a.context(), packet, 0);
        if (status == NDIS_STATUS_PENDING) return;
        if (MiniportAdapter::take(a.outstanding_, packet) == nullptr) {
            error(a.name() + ": the send handler completed packet " + pointer(packet) +
                  " and also returned " + hex(status));
            return;
        }
        if (waited) complete_to_protocol(binding, packet, status);
    });
    return waited ? NDIS_STATUS_PENDING : status;
}

void NdisLibrary::complete_to_protocol(Binding& binding, PNDIS_PACKET packet, NDIS_STATUS status) {
    event(&binding.adapter_, "SendComplete " + hex(status));
    binding.protocol_.send_complete(binding, packet, status);
}

NDIS_STATUS NdisLibrary::request(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer, ULONG length,
                                 PULONG done, PULONG needed, std::shared_ptr<void> keep_alive) {
    MiniportAdapter& a = binding.adapter_;
    if (!binding.open_ || a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    if (busy(a) || held_off()) {
        a.waiting_.push_back([this, &a, &binding, kind, oid, buffer, length, done, needed, keep_alive] {
            const NDIS_STATUS status =
                a.state_ == AdapterState::Running
                    ? call_request_handler(binding, kind, oid, buffer, length, done, needed)
                    : NDIS_STATUS_CLOSING;
            binding.protocol_.request_complete(binding, oid, status);
        });
        return NDIS_STATUS_PENDING;
    }
    run_waiting_work();
    if (a.state_ != AdapterState::Running) return NDIS_STATUS_CLOSING;
    return call_request_handler(binding, kind, oid, buffer, length, done, needed);
}

NDIS_STATUS NdisLibrary::call_request_handler(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer,
                                              ULONG length, PULONG done, PULONG needed) {
    MiniportAdapter& a = binding.adapter_;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    ULONG d = 0, n = 0;
    const bool query = kind == RequestKind::Query;
    call_handler(a, query ? "QueryInformation" : "SetInformation", [&] {
        status = query ? characteristics_.QueryInformationHandler(a.context(), oid, buffer, length, &d, &n)
                       : characteristics_.SetInformationHandler(a.context(), oid, buffer, length, &d, &n);
    });
    if (status == NDIS_STATUS_PENDING)
        error(a.name() + ": the " + (query ? "query" : "set") + " handler pended OID " + hex(oid) +
              ", and this library has no completion call for it");
    if (done) *done = d;
    if (needed) *needed = n;
    return status;
}

// The miniport is given the union over the open bindings; the binding keeps
// its own part for the filter once the miniport has taken the union.
NDIS_STATUS NdisLibrary::push_filter(Binding& binding, const FilterSettings& wanted, bool multicast) {
    MiniportAdapter& a = binding.adapter_;
    auto settings_of = [&](const Binding& b) -> const FilterSettings& {
        return &b == &binding ? wanted : b.filter_;
    };
    NDIS_STATUS status;
    if (!multicast) {
        auto value = std::make_shared<ULONG>(0);
        for (const auto& b : a.bindings_)
            if (b->open_) *value |= settings_of(*b).packet_filter;
        status = request(binding, RequestKind::Set, OID_GEN_CURRENT_PACKET_FILTER, value.get(), sizeof(ULONG),
                         nullptr, nullptr, value);
    } else {
        std::vector<MacAddress> all;
        for (const auto& b : a.bindings_)
            if (b->open_)
                for (const auto& m : settings_of(*b).multicast)
                    if (std::find(all.begin(), all.end(), m) == all.end()) all.push_back(m);
        auto bytes = std::make_shared<std::vector<UCHAR>>();
        for (const auto& m : all) bytes->insert(bytes->end(), m.begin(), m.end());
        status = request(binding, RequestKind::Set, OID_802_3_MULTICAST_LIST, bytes->data(),
                         static_cast<ULONG>(bytes->size()), nullptr, nullptr, bytes);
    }
    if (status == NDIS_STATUS_SUCCESS || status == NDIS_STATUS_PENDING) {
        if (multicast)
            binding.filter_.multicast = wanted.multicast;
        else
            binding.filter_.packet_filter = wanted.packet_filter;
    }
    return status;
}

NDIS_STATUS NdisLibrary::transfer_data(const ReceiveIndication& indication, PNDIS_PACKET packet, UINT offset,
                                       UINT count, PUINT transferred) {
    MiniportAdapter& a = *indication.adapter_;
    if (indication.serial_ == 0 || a.indication_serial_ != indication.serial_) {
        error(a.name() + ": NdisTransferData outside the receive indication of its frame");
        if (transferred) *transferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    UINT moved = 0;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    ++a.counters_.transfers;
    call_handler(a, "TransferData", [&] {
        status = characteristics_.TransferDataHandler(packet, &moved, a.context(),
                                                      indication.receive_context_, offset, count);
    });
    if (status == NDIS_STATUS_PENDING)
        error(a.name() +
              ": the transfer-data handler pended, and this library has no completion call for it");
    if (transferred) *transferred = moved;
    return status;
}

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

// ---------------------------------------------------------------------------
// HAL
// ---------------------------------------------------------------------------

bool NdisLibrary::port_in_range(ULONG_PTR port, const char* caller, unsigned width) {
    if (port + width - 1 <= 0xFFFF) return true;
    error(std::string(caller) + " of port " + pointer(reinterpret_cast<const void*>(port)) +
          ", outside the I/O space");
    return false;
}

// Every port call: the port must exist and belong to the running adapter.
bool NdisLibrary::port_access(ULONG_PTR port, const char* caller, unsigned width) {
    if (!port_in_range(port, caller, width)) return false;
    check_port_owner(port, width, caller);
    return true;
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
