#pragma once
// Everything a driver test needs in one object: the emulated PC (socket
// controller, two-function card with the DP8390 and the UART), the Ethernet
// wire with a scripted peer station, the NDIS stand-in with one adapter listed
// in its configuration, and a recording protocol bound once the adapter runs.
//
//     testbed::Testbed tb;
//     tb.config().set("IoBaseAddress", 0x300);
//     tb.load_driver();                       // DriverEntry of options.driver
//     ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
//     tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
//     tb.peer().send_at(tb.now() + 1 * machine::kMillisecond, frame);
//     tb.run_for(50 * machine::kMillisecond);
//     EXPECT_EQ(tb.protocol().received_frames().size(), 1u);
//     tb.halt();
//     EXPECT_TRUE(tb.errors().empty());      // stand-in rules and model violations
//     EXPECT_TRUE(tb.leaks().empty());
//
// Tests of driver parts that run before the bring-up code can use the "by
// hand" mode instead: set_up_by_hand() leaves the socket and card configured as
// the bring-up would (Ethernet at 0x300 steered to IRQ 5), gives a zeroed
// Ne2000Adapter filled with the configuration defaults, claims its ports,
// connects the driver's interrupt handlers and lets the wrapper dispatch to it.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "driver/adapter.h"
#include "platform/host/driver_image.h"
#include "rig/rig.h"
#include "tests/support/test_protocol.h"

namespace testbed {

// The driver a testbed enters unless its options name another: the driver
// linked into the test program, or in the image test programs the ne2000.sys
// they are linked against (each program defines it once, see CMakeLists.txt).
std::shared_ptr<host::DriverImage> default_driver();

struct TestbedOptions {
    machine::EmulatedPcOptions pc;  // socket, card width, faults of presence, bus cost
    bool trace = true;              // record every port access and stall
    std::string pcap_path;          // capture the wire to this file when not empty
    // The driver load_driver() enters: the one linked in, or an image mapped from its file.
    std::shared_ptr<host::DriverImage> driver = default_driver();
};

class Testbed {
public:
    explicit Testbed(TestbedOptions options = {});
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // --- The parts ---
    rig::Rig& rig() { return *rig_; }
    machine::EmulatedPc& pc() { return rig_->pc(); }
    machine::IsaBus& bus() { return pc().bus(); }
    machine::Dp8390& nic() { return pc().nic(); }
    machine::I82365& socket_controller() { return pc().socket_controller(); }
    machine::Uart8250& uart() { return pc().uart(); }
    host::NdisLibrary& ndis() { return rig_->ndis(); }
    net::EthernetWire& wire() { return rig_->wire(); }
    net::PeerStation& peer() { return rig_->peer(); }
    TestProtocol& protocol() { return *protocol_; }
    host::MiniportAdapter& adapter() { return rig_->adapter(); }
    host::Configuration& config() { return adapter().config(); }

    // --- Driving the driver as NDIS does ---
    // Calls the driver's entry point, as the I/O manager does when it loads it.
    NTSTATUS load_driver();
    host::DriverImage& driver() { return *options_.driver; }
    // Runs the initialise handler; on success binds the protocol. A loaded
    // image was initialised inside load_driver() already (offered 802.3 only):
    // this then reports what that returned.
    NDIS_STATUS initialize(std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
    NDIS_STATUS reset() { return ndis().reset(adapter()); }
    void halt() { ndis().halt(adapter()); }
    // The driver's record, as NdisMSetAttributes declared it (null before).
    Ne2000Adapter* record() { return static_cast<Ne2000Adapter*>(adapter().context()); }

    // --- By hand ---
    NDIS_HANDLE adapter_handle() { return adapter().handle(); }
    // The socket controller and the card as the bring-up leaves them.
    void configure_hardware();
    // Each of these three runs as the initialise handler would run it.
    // A zeroed record from NdisAllocateMemory with the configuration defaults
    // and this adapter's handle; NdisMSetAttributes makes it the context.
    Ne2000Adapter& new_record();
    // NdisMRegisterIoPortRange for the record's 32 ports (fills IoPortBase).
    NDIS_STATUS claim_ports(Ne2000Adapter& record);
    // NdisMRegisterInterrupt as the bring-up makes it: shared, latched, vector = level.
    NDIS_STATUS connect_interrupt(Ne2000Adapter& record);
    // The card layout registration derives from the RAM test, written into
    // `record` for the card this machine has: 12 transmit pages at the start of
    // RAM, the receive ring behind them to its end, no transmission active.
    void fill_card_layout(Ne2000Adapter& record);
    // All of it: load, hardware, record, ports, interrupt; the adapter is then
    // running for the wrapper and the protocol is bound.
    Ne2000Adapter& set_up_by_hand();
    // Runs driver code as if it were a handler: serialised with the wrapper's
    // calls, interrupts still preempting it, deferred work after.
    void call(const std::function<void()>& body) { ndis().run_as_handler(adapter(), body); }
    // Runs bring-up code as the initialise handler: at passive level, where
    // registration, mapping and configuration calls are allowed. Returns what
    // the body returns: `return tb.as_initialize([&] { return InitI365(&r); });`
    template <class Body>
    auto as_initialize(Body body) -> std::invoke_result_t<Body> {
        using Result = std::invoke_result_t<Body>;
        if constexpr (std::is_void_v<Result>) {
            ndis().run_as_initialize(adapter(), body);
        } else {
            Result result{};
            ndis().run_as_initialize(adapter(), [&] { result = body(); });
            return result;
        }
    }

    // --- Time ---
    machine::Nanoseconds now() { return bus().clock().now(); }
    void run_for(machine::Nanoseconds duration) { ndis().run_for(duration); }
    bool run_until_idle(machine::Nanoseconds limit = 10 * machine::kSecond) {
        return ndis().run_until_idle(limit);
    }

    // --- Records ---
    machine::BusTrace& trace() { return bus().trace(); }
    const host::ErrorLog& error_log() { return ndis().error_log(); }
    // Stand-in rule breaches, model protocol violations and protocol-side pool misuse.
    std::vector<std::string> errors();
    // What is still held: empty after halt unless something leaked.
    std::vector<std::string> leaks();
    // ISR runs that found the controller on a register page other than 0
    // (most telling with ndis().set_foreign_interrupts(true)).
    std::vector<host::NdisLibrary::IsrRun> isr_runs_off_page_zero();

private:
    Ne2000Adapter* fill_new_record();
    std::optional<unsigned> controller_page(const host::MiniportAdapter& adapter);

    TestbedOptions options_;
    // Declared before the rig, so the stand-in (in the rig) is gone before the
    // protocol it might call.
    std::unique_ptr<TestProtocol> protocol_;
    std::unique_ptr<rig::Rig> rig_;
    bool loaded_ = false;
    std::vector<std::string> testbed_errors_;  // the testbed misused, reported with errors()
};

}  // namespace testbed
