// What NT would not forgive and the stand-in records: calls made where their
// level or the adapter's state forbids them, port accesses outside the
// adapter's claims, out-parameters left unwritten, and packets that arrive with
// garbage where the miniport keeps its own state. The test miniport is made
// wrong through its options; a right one records nothing.

#include <cstdio>
#include <cstring>

#include "stand.h"

namespace {

using Misdeed = std::function<void()>;

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

}  // namespace

class Rules : public Stand {
protected:
    void SetUp() override {
        Stand::SetUp();
        bring_up();
        binding = &ndis.bind(adapter, protocol);
    }
    // Runs the interrupt path, a send and a reset, so that every handler runs once.
    void provoke() {
        device.raise(testmp::kCauseInterrupt);
        ndis.service();
        auto p = packet();
        binding->send(p->packet());
        ndis.reset(adapter);
    }
    // `deed` runs on entry of the handler named `where`.
    void commit_in(const std::string& where, Misdeed deed) {
        testmp::options.misdeed = [where, deed](const std::string& handler) {
            if (handler == where) deed();
        };
    }
    host::Binding* binding = nullptr;
};

TEST_F(Rules, CallsAreRecordedWhereNtDoesNotAllowThem) {
    auto* a = testmp::adapter;
    auto complete = [a] { NdisMSendComplete(a->handle, nullptr, NDIS_STATUS_SUCCESS); };
    auto indicate = [a] {
        UCHAR frame[60] = {};
        NdisMEthIndicateReceive(a->handle, a, frame, 14, frame + 14, 46, 46);
    };
    auto allocate = [] {
        PVOID m = nullptr;
        NdisAllocateMemory(&m, 8, 0, NDIS_PHYSICAL_ADDRESS_CONST(-1, -1));
        NdisFreeMemory(m, 8, 0);
    };
    auto log_error = [a] { NdisWriteErrorLogEntry(a->handle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 0); };
    auto synchronize = [a] {
        NdisMSynchronizeWithInterrupt(
            &a->interrupt, [](PVOID) -> BOOLEAN { return TRUE; }, nullptr);
    };
    auto log_from_routine = [a] {
        NdisMSynchronizeWithInterrupt(
            &a->interrupt,
            [](PVOID handle) -> BOOLEAN {
                NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 0);
                return TRUE;
            },
            a->handle);
    };
    auto claim = [a] {
        PVOID ports = nullptr;
        if (NdisMRegisterIoPortRange(&ports, a->handle, 0x2C0, 2) == NDIS_STATUS_SUCCESS)
            NdisMDeregisterIoPortRange(a->handle, 0x2C0, 2, ports);
    };
    auto map = [a] {
        PVOID window = nullptr;
        NDIS_PHYSICAL_ADDRESS at = NDIS_PHYSICAL_ADDRESS_CONST(0xD0000, 0);
        if (NdisMMapIoSpace(&window, a->handle, at, 16) == NDIS_STATUS_SUCCESS)
            NdisMUnmapIoSpace(a->handle, window, 16);
    };
    auto attributes = [a] { NdisMSetAttributes(a->handle, a, FALSE, NdisInterfaceIsa); };

    const std::string at_device = ", at device level";
    const std::string setup = "; it may be called only from the initialise and halt handlers";
    struct Case {
        std::string where;  // a handler, or "outside" / "as Initialize" for test code
        Misdeed deed;
        std::string error;  // empty: nothing may be recorded
    };
    const Case cases[] = {
        {"ISR", complete, "test: NdisMSendComplete in its ISR" + at_device},
        {"ISR", indicate, "test: EthFilterDprIndicateReceive in its ISR" + at_device},
        {"ISR", allocate, "test: NdisAllocateMemory in its ISR" + at_device},
        {"ISR", log_error, "test: NdisWriteErrorLogEntry in its ISR" + at_device},
        {"ISR", synchronize, "test: NdisMSynchronizeWithInterrupt in its ISR" + at_device},
        {"Send", log_from_routine,
         "test: NdisWriteErrorLogEntry in a routine synchronised with its interrupt" + at_device},
        {"HandleInterrupt", allocate, ""},
        {"HandleInterrupt", log_error, ""},
        {"Send", synchronize, ""},
        {"HandleInterrupt", claim, "test: NdisMRegisterIoPortRange in its HandleInterrupt handler" + setup},
        {"Send", map, "test: NdisMMapIoSpace in its Send handler" + setup},
        {"Reset", attributes, "test: NdisMSetAttributes in its Reset handler" + setup},
        {"ISR", claim, "test: NdisMRegisterIoPortRange in its ISR" + setup},
        {"outside", claim, "test: NdisMRegisterIoPortRange outside any handler" + setup},
        {"as Initialize", claim, ""},
        {"as Initialize", map, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where + ": " + c.error);
        ndis.clear_errors();
        testmp::options.misdeed = nullptr;
        if (c.where == "outside")
            c.deed();
        else if (c.where == "as Initialize")
            ndis.run_as_initialize(adapter, c.deed);
        else
            commit_in(c.where, c.deed);
        provoke();
        if (c.error.empty())
            EXPECT_TRUE(ndis.errors().empty()) << ::testing::PrintToString(ndis.errors());
        else
            EXPECT_TRUE(Contains(ndis.errors(), c.error)) << ::testing::PrintToString(ndis.errors());
    }
}

TEST_F(Rules, PortsOutsideTheClaimsAreRecordedUnlessOnTheAllowList) {
    struct Case {
        std::string where;  // "Send", "ISR", "sync" (a routine synchronised from Send) or "outside"
        unsigned port;
        bool recorded;
    };
    const Case cases[] = {
        {"Send", 0x283, false},  // the last port claimed
        {"Send", 0x284, true},   // one beyond
        {"Send", 0x3E0, false},  // socket controller index
        {"ISR", 0x3E1, false},   // and data port
        {"Send", 0x3E2, true},   // but nothing next to them
        {"Send", 0x3F8, false},  // COM1-COM4, eight ports each
        {"Send", 0x2F8, false}, {"Send", 0x3EF, false},    {"Send", 0x2EF, false},
        {"Send", 0x2F7, true},  {"Send", 0x300, true},     {"ISR", 0x2A0, true},
        {"sync", 0x2A0, true},  {"outside", 0x2A0, false},  // test code outside any handler is nobody's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where + " port " + std::to_string(c.port));
        ndis.clear_errors();
        testmp::options.misdeed = nullptr;
        const auto port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(c.port));
        auto touch = [port] {
            READ_PORT_UCHAR(port);
            READ_PORT_UCHAR(port);  // recorded once
        };
        if (c.where == "outside")
            touch();
        else if (c.where == "sync")
            commit_in("Send", [port] {
                NdisMSynchronizeWithInterrupt(
                    &testmp::adapter->interrupt,
                    [](PVOID p) -> BOOLEAN {
                        READ_PORT_UCHAR(static_cast<PUCHAR>(p));
                        return TRUE;
                    },
                    port);
            });
        else
            commit_in(c.where, touch);
        provoke();
        const std::string where = c.where == "ISR"    ? "in its ISR"
                                  : c.where == "sync" ? "in a routine synchronised with its interrupt"
                                                      : "in its Send handler";
        char text[120];
        std::snprintf(text, sizeof text,
                      "test: READ_PORT_UCHAR of port 0x%X %s, outside the ports it claimed", c.port,
                      where.c_str());
        const std::vector<std::string> expected{text};
        EXPECT_EQ(ndis.errors(), c.recorded ? expected : std::vector<std::string>{});
    }
    // A word access at the last claimed port reaches the one above it too.
    ndis.clear_errors();
    commit_in("Send", [] {
        READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0x282));
        READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0x283));
    });
    provoke();
    EXPECT_EQ(ndis.errors(),
              std::vector<std::string>{"test: READ_PORT_USHORT of port 0x284 in its Send handler, "
                                       "outside the ports it claimed"});
}

TEST_F(Rules, OutParametersLeftUnwrittenAreGarbageAndRecorded) {
    const auto stuck = bus.irq().add_source("another device");
    bus.irq().steer(stuck, 5);
    struct Case {
        bool* option;
        std::string error;
    };
    const Case cases[] = {
        {&testmp::options.isr_writes_recognized, "test: its ISR left InterruptRecognized unwritten"},
        {&testmp::options.isr_writes_queue, "test: its ISR left QueueMiniportHandleInterrupt unwritten"},
        {&testmp::options.reset_writes_addressing, "test: its Reset handler left *AddressingReset unwritten"},
        {nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        testmp::options.isr_writes_recognized = testmp::options.isr_writes_queue =
            testmp::options.reset_writes_addressing = true;
        if (c.option) *c.option = false;
        ndis.clear_errors();
        ndis.clear_records();
        const auto deferred = adapter.counters().deferred_calls;
        // Another device's interrupt: the ISR finds nothing of its own.
        bus.irq().drive(stuck, true);
        ndis.service();
        bus.irq().drive(stuck, false);
        ndis.reset(adapter);
        EXPECT_EQ(ndis.errors(), c.error.empty() ? std::vector<std::string>{} : std::vector{c.error});
        // Garbage counts as TRUE, as on NT.
        ASSERT_EQ(ndis.isr_runs().size(), 1u);
        EXPECT_EQ(ndis.isr_runs()[0].recognized, c.option == &testmp::options.isr_writes_recognized);
        EXPECT_EQ(adapter.counters().deferred_calls - deferred,
                  c.option == &testmp::options.isr_writes_queue ? 1u : 0u);
        EXPECT_EQ(adapter.last_addressing_reset(), c.option == &testmp::options.reset_writes_addressing);
    }
}

// An unwritten queue flag counts as TRUE: with a foreign device pulsing the
// line at every port access, the deferred handler's own accesses ask for it
// again and again. NT would run it forever; here that ends as a recorded storm.
TEST_F(Rules, AGarbageQueueFlagUnderForeignInterruptsEndsAsADeferredHandlerStorm) {
    testmp::options.isr_writes_queue = false;
    ndis.set_foreign_interrupts(true);
    ndis.run_as_handler(adapter, [] { testmp::read(testdev::kPage); });
    EXPECT_EQ(adapter.counters().deferred_calls, 1000u);
    EXPECT_EQ(ndis.errors(),
              (std::vector<std::string>{
                  "test: its ISR left QueueMiniportHandleInterrupt unwritten",
                  "deferred-handler storm: test asked for its deferred handler again after 1000 "
                  "runs in one service; the request is dropped"}));
}

TEST_F(Rules, APacketReachesTheMiniportWithGarbageInMiniportReserved) {
    auto p = packet();
    // Straight from the pool too, as a protocol hands it to transfer-data.
    EXPECT_EQ(p->packet()->MiniportReserved[0], host::PacketPool::kReservedFill);
    ASSERT_EQ(binding->send(p->packet()), NDIS_STATUS_PENDING);
    testmp::complete_held(NDIS_STATUS_SUCCESS);
    // Reused, with what a miniport left behind.
    std::memset(p->packet()->MiniportReserved, 0, sizeof p->packet()->MiniportReserved);
    ASSERT_EQ(binding->send(p->packet()), NDIS_STATUS_PENDING);
    testmp::complete_held(NDIS_STATUS_SUCCESS);
    const std::vector<std::uint8_t> garbage(sizeof p->packet()->MiniportReserved,
                                            host::PacketPool::kReservedFill);
    EXPECT_EQ(testmp::log.reserved_seen, (std::vector{garbage, garbage}));
}

TEST_F(Rules, BusyStallsAboveFiftyMicrosecondsAtDispatchLevelAreAFigure) {
    testmp::options.misdeed = [](const std::string& handler) {
        if (handler == "ISR") KeStallExecutionProcessor(60);
        if (handler == "HandleInterrupt") {
            KeStallExecutionProcessor(200);
            KeStallExecutionProcessor(300);
        }
        if (handler == "Send") {
            KeStallExecutionProcessor(50);  // a settling delay, not counted
            NdisMSynchronizeWithInterrupt(
                &testmp::adapter->interrupt,
                [](PVOID) -> BOOLEAN {
                    KeStallExecutionProcessor(70);
                    return TRUE;
                },
                nullptr);
        }
        if (handler == "Halt") KeStallExecutionProcessor(1000);  // passive level
    };
    provoke();
    ndis.halt(adapter);
    const host::BusyStalls& s = ndis.busy_stalls();
    EXPECT_EQ(s.to_string(),
              "4 stalls, 630 us, longest 300 us: HandleInterrupt 2 (500 us, longest 300 us), "
              "ISR 1 (60 us, longest 60 us), synchronised routine 1 (70 us, longest 70 us)");
    EXPECT_TRUE(ndis.errors().empty()) << ::testing::PrintToString(ndis.errors());
}
