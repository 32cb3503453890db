#include "platform/host/ndis_library.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/host/ndis_library_internal.h"

namespace host {

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch and serialisation
// ---------------------------------------------------------------------------

void NdisLibrary::call_handler(MiniportAdapter& a, const char* name, BorrowedCall body, RunLevel level,
                               bool setup) {
    event(&a, name);
    if (handler_depth_ == 0) {
        accesses_in_handler_ = 0;
        indications_in_handler_ = 0;
        handler_started_at_ = bus_.clock().now();
        outermost_handler_ = name;
    }
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
void NdisLibrary::call_setup_handler(MiniportAdapter& a, const char* name, BorrowedCall body) {
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
    if (held_off() || !interrupts_.anything_asking()) return;
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
    // Interrupts are served only where no ISR runs, so dispatches never nest
    // and the two lists can be kept from one to the next.
    auto& connections = line_connections_;
    interrupts_.on_line(line, connections);
    if (connections.empty()) return;
    const bool latched = connections.front().mode == NdisInterruptLatched;
    const bool repeat = latched && connections.size() > 1;
    ++isr_depth_;
    for (unsigned pass = 1;; ++pass) {
        const bool pulse_pass = foreign_pulses_[line] > 0;
        const MiniportAdapter* claimer = nullptr;
        bool claimed = false;
        // Afresh at each pass: an ISR may have disconnected an object.
        interrupts_.on_line(line, pass_connections_);
        for (const auto& c : pass_connections_) {
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
    if (recording_)
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

void NdisLibrary::handler_overran() {
    if (accesses_in_handler_ > kWatchdogPortAccesses)
        watchdog_expired("made more than " + std::to_string(kWatchdogPortAccesses) + " port accesses");
    watchdog_expired("ran for more than " + std::to_string(kWatchdogTime / machine::kSecond) +
                     " s of virtual time");
}

// A handler that never returns is stuck in a loop: on NT the machine would
// hang at that level for good (later systems stop it with a DPC watchdog
// bugcheck). Three signs give it away: port accesses without end, a handler
// that has run for half a minute of virtual time, and more
// frames indicated than the wire could have brought in the time the handler
// has run (a driver walking stale ring contents round and round). Nothing can
// be unwound through the driver's frames, so the run ends here, with the reason.
void NdisLibrary::watchdog_expired(const std::string& what) {
    std::fprintf(stderr, "NDIS stand-in: watchdog: %s %s without returning: the driver is stuck in a loop\n",
                 outermost_handler_, what.c_str());
    std::abort();
}

void NdisLibrary::count_indication_in_handler() {
    if (handler_depth_ == 0) return;
    const machine::Nanoseconds elapsed = bus_.clock().now() - handler_started_at_;
    const std::uint64_t most = kRingFramesAtMost + elapsed / kShortestFrameTime;
    if (++indications_in_handler_ > most)
        watchdog_expired("indicated " + std::to_string(indications_in_handler_) + " frames in " +
                         std::to_string(elapsed / machine::kMicrosecond) +
                         " us, more than the wire could bring,");
}

// Moves virtual time to `deadline` one device event at a time, so that an
// interrupt raised by an event is served at that event's time.
void NdisLibrary::advance_to(machine::Nanoseconds deadline) {
    auto& clock = bus_.clock();
    while (auto next = clock.next_event_time()) {
        if (*next > deadline) break;
        run_clock_until(*next);
        safe_point();
    }
    run_clock_until(deadline);
    safe_point();
}

void NdisLibrary::run_clock_until(machine::Nanoseconds time) {
    auto& clock = bus_.clock();
    while (next_hang_check_ <= time) {
        if (clock.now() < next_hang_check_) clock.run_until(next_hang_check_);
        safe_point();
        check_for_hangs();
        // A stall inside a handler may have run the clock past a check: the
        // next one is a whole period after this one, never two at once.
        next_hang_check_ = std::max(next_hang_check_, clock.now()) + kHangCheckPeriod;
    }
    clock.run_until(time);
}

void NdisLibrary::check_for_hangs() {
    if (!registered_ || characteristics_.CheckForHangHandler != nullptr) return;
    for (MiniportAdapter* a : adapters()) {
        if (a->state_ != AdapterState::Running) continue;
        const std::uint64_t head = a->outstanding_.empty() ? 0 : a->outstanding_.front().serial;
        const bool hung = head != 0 && head == a->head_send_at_last_check_;
        a->head_send_at_last_check_ = head;
        if (!hung) continue;
        ++a->counters_.hang_resets;
        a->head_send_at_last_check_ = 0;
        event(a, "send timed out: reset");
        reset(*a);
    }
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
            run_clock_until(deadline);
            safe_point();
            return false;
        }
        run_clock_until(*next);
        safe_point();
    }
    return true;
}

}  // namespace host
