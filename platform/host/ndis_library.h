#pragma once
// The user-mode stand-in for the NDIS library and the HAL on a uniprocessor NT
// machine, run against the emulated ISA bus.
//
// The library routines and HAL functions of platform/ndis.h are plain C
// functions, so they reach the stand-in through one process-wide pointer:
// constructing an NdisLibrary installs it as the current one, destroying it
// uninstalls it. Only one may be installed at a time; a library call with none
// installed stops the program with a message.
//
//     machine::EmulatedPc pc;
//     host::NdisLibrary ndis(pc.bus());
//     auto& adapter = ndis.add_adapter("ne2000");
//     adapter.config().set("IoBaseAddress", 0x300);
//     DriverEntry(nullptr, nullptr);          // registers the miniport
//     ndis.initialize(adapter);               // runs its initialise handler
//     host::Binding& b = ndis.bind(adapter, my_protocol);
//     ndis.run_for(10 * machine::kMillisecond);
//
// It behaves as the miniport may rely on and no better:
// - One miniport handler at a time per adapter. Protocol requests made while a
//   handler of the adapter runs (a send from inside a receive indication) wait
//   and are handed over when it returns. The transfer-data handler is the one
//   handler called from inside another (the receive indication).
// - Interrupts as on a uniprocessor: a connected interrupt runs the ISR at the
//   next HAL call or virtual-time step, even between two port accesses inside a
//   running handler, unless held off (inside an ISR or a synchronised routine).
//   A shared line runs its chain of interrupt objects as NT's kernel does. The
//   deferred handler runs when no miniport handler runs, followed at once by
//   the enable-interrupt handler.
// - Handlers run at NT's levels (initialise and halt at passive, the ISR and
//   synchronised routines at device level, the rest at dispatch level); a call
//   made where NT does not allow it is recorded, and so is a port access
//   outside the adapter's claimed ranges and not on the allow-list.
// - What NT leaves uninitialised is garbage here: the ISR's two flags, the
//   reset handler's addressing flag, MiniportReserved of every packet sent.
// - Every packet a protocol sends gets exactly one completion; packets the
//   miniport still holds when its reset or halt handler returns are completed
//   by the wrapper with NDIS_STATUS_REQUEST_ABORTED.
// Everything a miniport does against these rules is recorded in errors().
// README.md in this folder lists the choices made where NT leaves room.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "machine/isa_bus.h"
#include "platform/host/borrowed_call.h"
#include "platform/host/busy_stalls.h"
#include "platform/host/call_context.h"
#include "platform/host/error_log.h"
#include "platform/host/interrupt_controller.h"
#include "platform/host/io_resources.h"
#include "platform/host/memory_ledger.h"
#include "platform/host/miniport_adapter.h"
#include "platform/host/packet_pool.h"
#include "platform/host/protocol.h"
#include "platform/ndis.h"

namespace host {

class NdisLibrary {
public:
    // What the wrapper did, for tests that check order ("ISR", "HandleInterrupt",
    // "EnableInterrupt", "Send", ...). `trace_index` is the bus trace position
    // at the time, so events can be placed among port accesses.
    struct Event {
        machine::Nanoseconds time = 0;
        std::size_t trace_index = 0;
        const MiniportAdapter* adapter = nullptr;
        std::string what;
    };

    // One call of a miniport's ISR.
    struct IsrRun {
        machine::Nanoseconds time = 0;
        std::size_t trace_index = 0;
        const MiniportAdapter* adapter = nullptr;
        // Made in the pass over the line that served a foreign device's pulse
        // (the foreign-interrupt test mode).
        bool foreign = false;
        // 1, or the later pass over a latched line that NT makes while any ISR still claims.
        unsigned pass = 1;
        bool recognized = false;
        bool queued_deferred = false;
        // The register page the adapter's controller was on when the ISR was
        // entered, if a page probe is installed.
        std::optional<unsigned> page;
    };

    using PageProbe = std::function<std::optional<unsigned>(const MiniportAdapter&)>;

    explicit NdisLibrary(machine::IsaBus& bus);
    ~NdisLibrary();
    NdisLibrary(const NdisLibrary&) = delete;
    NdisLibrary& operator=(const NdisLibrary&) = delete;

    static NdisLibrary* current() { return current_; }
    // The current library; stops the program when none is installed. Inline:
    // every HAL call of the driver asks for it.
    static NdisLibrary& require(const char* caller) {
        if (current_ == nullptr) [[unlikely]]
            none_installed(caller);
        return *current_;
    }

    machine::IsaBus& bus() { return bus_; }

    // --- The machine ---
    void set_processor_count(unsigned count) { processor_count_ = count; }
    unsigned processor_count() const { return processor_count_; }

    // --- The miniport driver ---
    bool miniport_registered() const { return registered_; }
    const NDIS30_MINIPORT_CHARACTERISTICS& characteristics() const { return characteristics_; }

    // --- Adapters ---
    // An adapter instance listed in the configuration; its keywords are set on config().
    MiniportAdapter& add_adapter(std::string name = "ne2000");
    std::vector<MiniportAdapter*> adapters() const;
    // Runs the initialise handler. `media` is the medium array offered.
    NDIS_STATUS initialize(MiniportAdapter& adapter, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
    // Declares an adapter running without its initialise handler: for tests that
    // bring the hardware up by hand and then let the wrapper dispatch to it.
    void adopt(MiniportAdapter& adapter);
    // Runs the reset handler (NDIS_STATUS_PENDING when it has to wait for a running handler).
    NDIS_STATUS reset(MiniportAdapter& adapter);
    // Runs the halt handler and checks that everything the adapter held was given back.
    void halt(MiniportAdapter& adapter);

    // --- Protocols ---
    Binding& bind(MiniportAdapter& adapter, Protocol& protocol);
    void unbind(Binding& binding);

    // --- Time ---
    // NT's wrapper looks at every adapter this often. A miniport without a
    // hang check of its own counts as hung when the same send has been the
    // oldest outstanding one at two checks in a row; the wrapper then resets
    // it, and the reset aborts its outstanding sends. So a card that stopped
    // answering cannot keep a protocol's packets for ever.
    static constexpr machine::Nanoseconds kHangCheckPeriod = 2 * machine::kSecond;
    // Port accesses one handler call (with what it calls) may make before the
    // watchdog ends the run: a pass over a full ring, every transmission and
    // a reset together stay far below it.
    static constexpr std::uint64_t kWatchdogPortAccesses = 50'000'000;
    // A remote DMA that never works costs the designed polls for each packet
    // queued (over 6 s for a full queue); half a minute is beyond any of it.
    static constexpr machine::Nanoseconds kWatchdogTime = 30 * machine::kSecond;
    // The receive side of the watchdog: a ring holds at most 256 pages of
    // frames, and 10 Mbit/s Ethernet brings at most one minimum frame (with
    // preamble and gap, 84 bytes) every 67.2 us.
    static constexpr std::uint64_t kRingFramesAtMost = 256;
    static constexpr machine::Nanoseconds kShortestFrameTime = 67'200;
    // Advances virtual time, serving interrupts, deferred handlers and waiting
    // requests after every device event.
    void run_for(machine::Nanoseconds duration);
    // Runs until no device event is left or `limit` of virtual time has passed;
    // false in the second case.
    bool run_until_idle(machine::Nanoseconds limit = 10 * machine::kSecond);
    // Serves whatever is due now.
    void service();

    // Runs test code as if it were a handler of `adapter`: nothing else of the
    // miniport runs meanwhile except its ISR, and waiting work follows after.
    // It runs at dispatch level, like the send or request handlers.
    void run_as_handler(MiniportAdapter& adapter, const std::function<void()>& body);
    // The same, as the initialise handler of `adapter`: at passive level, where
    // registration, mapping and configuration calls are allowed. For tests that
    // run pieces of a bring-up by hand.
    void run_as_initialize(MiniportAdapter& adapter, const std::function<void()>& body);

    // --- Records ---
    // Everything done against the library's rules, one line each.
    const std::vector<std::string>& errors() const { return errors_; }
    void clear_errors() {
        errors_.clear();
        breaches_.clear();
    }
    ErrorLog& error_log() { return error_log_; }
    MemoryLedger& memory() { return memory_; }
    PortClaims& ports() { return ports_; }
    MemoryWindows& windows() { return windows_; }
    InterruptController& interrupts() { return interrupts_; }
    // Everything still held by a miniport (memory, ports, mappings, interrupts,
    // open configurations, packets not completed). Empty once every adapter is
    // halted or has failed, unless something leaked.
    std::vector<std::string> leaks() const;
    const std::vector<Event>& events() const { return events_; }
    const std::vector<IsrRun>& isr_runs() const { return isr_runs_; }
    // Busy stalls above 50 us made at dispatch level or above, by handler.
    const BusyStalls& busy_stalls() const { return busy_stalls_; }
    void clear_records();
    void record_events(bool on) { recording_ = on; }

    // --- Fault knobs and test modes ---
    void fail_next_allocations(unsigned count) { memory_.fail_next(count); }
    void fail_next_map_io_space(NDIS_STATUS status) { map_failure_ = status; }
    void fail_next_registration(NDIS_STATUS status) { registration_failure_ = status; }
    // Resources held by some other driver of the machine, to provoke conflicts.
    void reserve_ports(unsigned base, unsigned count);
    void reserve_interrupt(unsigned line, bool shared, NDIS_INTERRUPT_MODE mode);
    // A foreign device, connected as one more interrupt object on the line of
    // every connected shared interrupt, pulses that line at every port access
    // made outside an ISR or a synchronised routine. The line's chain runs as
    // for any interrupt: the miniport's ISR must not claim what is not its own,
    // and each run is recorded with the page probe's answer, so a register
    // sequence on page 1 that an ISR can break into shows.
    void set_foreign_interrupts(bool on);
    void set_page_probe(PageProbe probe) { page_probe_ = std::move(probe); }
    // The last byte the HAL wrote to a port (either byte of a word write).
    std::uint8_t last_port_write(std::uint16_t port) const { return last_written_[port]; }

    // --- Entry points of the exported NDIS and HAL functions ---
    void initialize_wrapper(PNDIS_HANDLE handle);
    NDIS_STATUS register_miniport(NDIS_HANDLE wrapper, const NDIS30_MINIPORT_CHARACTERISTICS* characteristics,
                                  UINT length);
    NDIS_STATUS allocate_memory(PVOID* address, UINT length, UINT flags);
    void free_memory(PVOID address, UINT length, UINT flags);
    void open_configuration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context);
    void read_configuration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                            PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type);
    void read_network_address(PNDIS_STATUS status, PVOID* address, PUINT length, NDIS_HANDLE handle);
    void read_pos_information(PNDIS_STATUS status, NDIS_HANDLE context, PUINT channel,
                              PNDIS_MCA_POS_DATA data);
    void close_configuration(NDIS_HANDLE handle);
    void set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context, BOOLEAN bus_master,
                        NDIS_INTERFACE_TYPE type);
    NDIS_STATUS register_port_range(PVOID* port_offset, NDIS_HANDLE handle, UINT initial_port, UINT count);
    void deregister_port_range(NDIS_HANDLE handle, UINT initial_port, UINT count, PVOID port_offset);
    NDIS_STATUS register_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle, UINT vector,
                                   UINT level, BOOLEAN request_isr, BOOLEAN shared, NDIS_INTERRUPT_MODE mode);
    void deregister_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt);
    BOOLEAN synchronize_with_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt, PNDIS_SYNCHRONIZE_ROUTINE routine,
                                       PVOID context);
    NDIS_STATUS map_io_space(PVOID* address, NDIS_HANDLE handle, NDIS_PHYSICAL_ADDRESS physical, UINT length);
    void unmap_io_space(NDIS_HANDLE handle, PVOID address, UINT length);
    void write_error_log(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values);
    void send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);
    void indicate_receive(PETH_FILTER filter, NDIS_HANDLE receive_context, const void* address, PVOID header,
                          UINT header_size, PVOID lookahead, UINT lookahead_size, UINT packet_size);
    void indicate_receive_complete(PETH_FILTER filter);

    std::uint8_t port_read8(ULONG_PTR port);
    std::uint16_t port_read16(ULONG_PTR port);
    void port_write8(ULONG_PTR port, std::uint8_t value);
    void port_write16(ULONG_PTR port, std::uint16_t value);
    void port_read8_string(ULONG_PTR port, std::uint8_t* data, ULONG count);
    void port_read16_string(ULONG_PTR port, std::uint16_t* data, ULONG count);
    void port_write8_string(ULONG_PTR port, const std::uint8_t* data, ULONG count);
    void port_write16_string(ULONG_PTR port, const std::uint16_t* data, ULONG count);
    void stall(ULONG microseconds);

private:
    friend class Binding;
    friend class ReceiveIndication;

    enum class RequestKind { Query, Set };
    struct ContextScope;

    // Dispatch.
    void call_handler(MiniportAdapter& adapter, const char* name, BorrowedCall body,
                      RunLevel level = RunLevel::Dispatch, bool setup = false);
    void call_setup_handler(MiniportAdapter& adapter, const char* name, BorrowedCall body);
    bool busy(const MiniportAdapter& adapter) const { return adapter.handler_depth_ > 0; }
    bool held_off() const { return isr_depth_ > 0 || sync_depth_ > 0; }
    void run_waiting_work();
    void run_deferred_handler(MiniportAdapter& adapter);
    void serve_interrupts();
    void dispatch_line(unsigned line);
    // Calls one interrupt object's ISR; true when it claimed the interrupt.
    bool call_isr(const InterruptController::Connection& connection, unsigned pass, bool pulse_pass);
    void pulse_foreign_devices();
    void safe_point() {
        if (held_off()) return;
        if (interrupts_.anything_asking()) serve_interrupts();
        if (!running_waiting_work_ && handler_depth_ == 0) run_waiting_work();
    }
    void advance_to(machine::Nanoseconds deadline);
    // Runs the clock to `time`, making the wrapper's periodic checks on the way.
    void run_clock_until(machine::Nanoseconds time);
    void check_for_hangs();
    // Around every port access. What is common (the running adapter's own
    // port, no memory window mapped, no interrupt due, no work waiting, no
    // watchdog near) is decided inline, in a few compares.
    void before_bus_access() {
        if (windows_.any()) windows_.flush();
    }
    void after_port_access() {
        if (handler_depth_ > 0 && (++accesses_in_handler_ > kWatchdogPortAccesses ||
                                   bus_.clock().now() - handler_started_at_ > kWatchdogTime))
            handler_overran();
        if (foreign_interrupts_ && !held_off()) pulse_foreign_devices();
        safe_point();
    }
    void handler_overran();
    [[noreturn]] void watchdog_expired(const std::string& what);
    void count_indication_in_handler();
    bool port_in_range(ULONG_PTR port, const char* caller, unsigned width);
    // Every port call: the port must exist and belong to the running adapter.
    bool port_access(ULONG_PTR port, const char* caller, unsigned width) {
        if (port + width - 1 > 0xFFFF) return port_in_range(port, caller, width);
        const CallContext* c = context();
        if (c != nullptr && c->adapter != nullptr &&
            !ports_.recently_held(c->adapter, static_cast<unsigned>(port), width))
            check_port_owner(port, width, caller);
        return true;
    }

    // Where the miniport's code runs now, and the rules that depend on it.
    const CallContext* context() const { return contexts_.empty() ? nullptr : &contexts_.back(); }
    void check_setup_call(const MiniportAdapter* adapter, const char* call);
    void check_below_device_level(const MiniportAdapter* adapter, const char* call);
    void check_port_owner(ULONG_PTR port, unsigned width, const char* caller);

    // Protocol requests.
    NDIS_STATUS send(Binding& binding, PNDIS_PACKET packet);
    NDIS_STATUS hand_over_send(Binding& binding, PNDIS_PACKET packet, bool waited);
    NDIS_STATUS request(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer, ULONG length,
                        PULONG done, PULONG needed, std::shared_ptr<void> keep_alive = {});
    NDIS_STATUS call_request_handler(Binding& binding, RequestKind kind, NDIS_OID oid, PVOID buffer,
                                     ULONG length, PULONG done, PULONG needed);
    NDIS_STATUS push_filter(Binding& binding, const FilterSettings& wanted, bool multicast);
    void do_reset(MiniportAdapter& adapter);
    void do_halt(MiniportAdapter& adapter);
    void abort_outstanding(MiniportAdapter& adapter);
    void complete_to_protocol(Binding& binding, PNDIS_PACKET packet, NDIS_STATUS status);
    NDIS_STATUS transfer_data(const ReceiveIndication& indication, PNDIS_PACKET packet, UINT offset,
                              UINT count, PUINT transferred);
    void learn_station_address(MiniportAdapter& adapter);
    void take_back_resources(MiniportAdapter& adapter, const char* when);

    // Lookup and records.
    MiniportAdapter* adapter_of(NDIS_HANDLE handle, const char* caller);
    MiniportAdapter* adapter_of_context(NDIS_HANDLE context, const char* caller);
    OpenConfiguration* open_configuration_of(NDIS_HANDLE handle, MiniportAdapter** owner);
    void error(std::string what);
    // An error recorded once however often it recurs (one per port, flag or call and context).
    void breach(std::string what);
    void event(const MiniportAdapter* adapter, std::string_view what);

    machine::IsaBus& bus_;
    InterruptController interrupts_;
    PortClaims ports_;
    MemoryWindows windows_;
    MemoryLedger memory_;
    ErrorLog error_log_;

    int wrapper_token_ = 0;  // the wrapper handle points here
    std::uint64_t send_serial_ = 0;
    machine::Nanoseconds next_hang_check_ = kHangCheckPeriod;
    bool wrapper_initialized_ = false;
    bool registered_ = false;
    NDIS30_MINIPORT_CHARACTERISTICS characteristics_{};
    unsigned processor_count_ = 1;
    std::vector<std::unique_ptr<MiniportAdapter>> adapters_;

    int handler_depth_ = 0;  // miniport handlers running, all adapters
    // Port accesses since the outermost running handler was called: the
    // watchdog's measure of a handler that never returns.
    std::uint64_t accesses_in_handler_ = 0;
    std::uint64_t indications_in_handler_ = 0;
    machine::Nanoseconds handler_started_at_ = 0;
    const char* outermost_handler_ = "";
    int isr_depth_ = 0;
    int sync_depth_ = 0;
    bool running_waiting_work_ = false;
    std::uint64_t next_indication_serial_ = 1;

    std::optional<NDIS_STATUS> map_failure_;
    std::optional<NDIS_STATUS> registration_failure_;
    bool foreign_interrupts_ = false;
    std::array<unsigned, machine::kIrqLineCount> foreign_pulses_{};
    std::vector<InterruptController::Connection> line_connections_;  // dispatch_line's lists
    std::vector<InterruptController::Connection> pass_connections_;
    std::array<NDIS_MINIPORT_INTERRUPT, machine::kIrqLineCount> foreign_objects_{};
    PageProbe page_probe_;
    std::array<std::uint8_t, 0x10000> last_written_{};

    std::vector<CallContext> contexts_;
    BusyStalls busy_stalls_;

    bool recording_ = true;
    static inline NdisLibrary* current_ = nullptr;  // the installed library: one at a time
    [[noreturn]] static void none_installed(const char* caller);
    std::vector<std::string> errors_;
    std::set<std::string> breaches_;
    std::vector<Event> events_;
    std::vector<IsrRun> isr_runs_;
};

}  // namespace host
