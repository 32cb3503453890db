// Interrupts as on a uniprocessor: preemption between port accesses, hold-off,
// edge versus level, shared lines, the deferred handler and its timing.

#include "stand.h"

using machine::kMicrosecond;
using machine::kMillisecond;

TEST_F(Stand, AnInterruptComesBetweenTwoPortAccessesOfARunningHandler) {
    bring_up();
    testmp::log.calls.clear();
    ndis.run_as_handler(adapter, [&] {
        testmp::write(testdev::kRaise, testmp::kCauseInterrupt);
        testmp::log.calls.push_back("after the first access");
        testmp::read(testdev::kPage);
        testmp::log.calls.push_back("handler returns");
    });
    const int isr = at("ISR");
    ASSERT_GE(isr, 0);
    EXPECT_LT(isr, at("after the first access"));
    // The deferred handler waits for the running handler, then EnableInterrupt follows at once.
    const int dpc = at("HandleInterrupt");
    EXPECT_GT(dpc, at("handler returns"));
    EXPECT_EQ(at("EnableInterrupt"), dpc + 1);
    EXPECT_EQ(device.mask, testmp::options.enabled_mask);
    EXPECT_EQ(device.cause, 0);
}

TEST_F(Stand, NoIsrRunsInsideASynchronizedRoutineOrInsideAnIsr) {
    bring_up();
    testmp::log.calls.clear();
    auto routine = [](PVOID) -> BOOLEAN {
        testmp::write(testdev::kRaise, testmp::kCauseInterrupt);
        testmp::read(testdev::kPage);
        testmp::log.calls.push_back("routine returns");
        return TRUE;
    };
    EXPECT_TRUE(NdisMSynchronizeWithInterrupt(&testmp::adapter->interrupt, +routine, nullptr));
    EXPECT_EQ(testmp::log.calls.at(0), "routine returns");
    EXPECT_EQ(testmp::log.calls.at(1), "ISR");  // taken as soon as the routine returns

    // An ISR whose own port accesses make a new edge is not re-entered; the
    // edge is served after it returns.
    testmp::log = {};
    testmp::options.isr_pulses = 1;
    device.raise(testmp::kCauseInterrupt);
    ndis.service();
    EXPECT_EQ(adapter.counters().isr_calls, 3u);  // one above, two here
    EXPECT_EQ(testmp::log.max_isr_depth, 1);
}

TEST_F(Stand, ALatchedInterruptIsRaisedOnlyByARisingEdge) {
    bring_up();
    // Another device holds the shared line high and nobody ever clears it.
    const auto stuck = hold_line_high();
    ndis.service();
    EXPECT_EQ(adapter.counters().isr_calls, 1u);

    // The line stays high: the test device's interrupt makes no edge and is never seen.
    device.raise(testmp::kCauseInterrupt);
    ndis.run_for(10 * kMillisecond);
    testmp::read(testdev::kPage);
    EXPECT_EQ(adapter.counters().isr_calls, 1u);
    EXPECT_EQ(device.cause, testmp::kCauseInterrupt);

    // The other device lets go, but the test device still holds the line: no edge.
    bus.irq().drive(stuck, false);
    ndis.service();
    EXPECT_EQ(adapter.counters().isr_calls, 1u);
    // Once the line falls and rises again, the interrupt is taken.
    testmp::write(testdev::kCause, testmp::kCauseInterrupt);
    device.raise(testmp::kCauseInterrupt);
    ndis.service();
    EXPECT_EQ(adapter.counters().isr_calls, 2u);
    EXPECT_TRUE(ndis.errors().empty());
}

TEST_F(Stand, AnEdgeWithdrawnBeforeItIsServedIsLost) {
    bring_up();
    auto routine = [](PVOID) -> BOOLEAN {
        testmp::write(testdev::kRaise, testmp::kCauseInterrupt);  // line rises, held off
        testmp::write(testdev::kCause, testmp::kCauseInterrupt);  // and falls again
        return TRUE;
    };
    NdisMSynchronizeWithInterrupt(&testmp::adapter->interrupt, +routine, nullptr);
    EXPECT_EQ(adapter.counters().isr_calls, 0u);
}

TEST_F(Stand, ALevelSensitiveLineNobodyQuietensIsMaskedInsteadOfHanging) {
    testmp::options.mode = NdisInterruptLevelSensitive;
    testmp::options.isr_masks = false;
    bring_up();
    hold_line_high();
    ndis.service();
    EXPECT_GT(adapter.counters().isr_calls, 100u);  // level: asked again and again
    ASSERT_EQ(ndis.errors().size(), 1u);
    EXPECT_NE(ndis.errors()[0].find("interrupt storm on IRQ 5"), std::string::npos);
    EXPECT_TRUE(ndis.interrupts().masked(5));
}

// NT's chained dispatch: a level line stops at the first ISR that claims and
// interrupts again while still high; a latched line with several objects goes
// round while any ISR claims, and an ISR that always claims is an endless loop.
TEST(SharedLine, RunsItsChainAsNtDoes) {
    struct Case {
        NDIS_INTERRUPT_MODE mode;
        bool first_raises, second_raises;
        std::vector<std::string> isr_calls;  // adapter, and "claimed" when it did
        bool quietens = true;
    };
    const auto level = NdisInterruptLevelSensitive;
    const auto latched = NdisInterruptLatched;
    const Case cases[] = {
        {level, true, false, {"test claimed"}},
        {level, false, true, {"test", "second claimed"}},
        {level, true, true, {"test claimed", "test", "second claimed"}},
        {latched, true, false, {"test claimed", "second", "test", "second"}},
        {latched, true, true, {"test claimed", "second claimed", "test", "second"}},
        {latched, false, true, {"test", "second claimed", "test", "second"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.isr_calls));
        machine::IsaBus line_bus;
        testdev::Device first(line_bus, 0x280, 5), second(line_bus, 0x2A0, 5);
        host::NdisLibrary library(line_bus);
        testmp::reset();
        ASSERT_EQ(testmp::load(), NDIS_STATUS_SUCCESS);
        testmp::options.mode = c.mode;
        auto& a = library.add_adapter("test");
        auto& b = library.add_adapter("second");
        b.config().set("IoBaseAddress", 0x2A0);
        ASSERT_EQ(library.initialize(a), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(library.initialize(b), NDIS_STATUS_SUCCESS);
        library.clear_records();
        if (c.first_raises) first.raise(testmp::kCauseInterrupt);
        if (c.second_raises) second.raise(testmp::kCauseInterrupt);
        library.service();
        std::vector<std::string> calls;
        for (const auto& run : library.isr_runs())
            calls.push_back(run.adapter->name() + (run.recognized ? " claimed" : ""));
        EXPECT_EQ(calls, c.isr_calls);
        EXPECT_TRUE(library.errors().empty()) << ::testing::PrintToString(library.errors());

        // Now the first never quietens its device: it claims in every pass.
        testmp::options.isr_masks = false;
        library.clear_records();
        first.raise(testmp::kCauseInterrupt);
        library.service();
        if (c.mode == latched) {
            EXPECT_EQ(library.errors(),
                      std::vector<std::string>{"endless loop on IRQ 5: the ISR of test claimed the latched "
                                               "line in each of 64 passes; dispatch stopped"});
            EXPECT_EQ(library.isr_runs().size(), 2 * 64u);  // both asked in every pass
            EXPECT_EQ(library.isr_runs().back().pass, 64u);
        } else {
            EXPECT_NE(library.errors().at(0).find("interrupt storm on IRQ 5"), std::string::npos);
        }
    }
}

TEST_F(Stand, ExclusiveOrMixedClaimsOfASharedLineConflict) {
    bring_up();
    auto& c = ndis.add_adapter("exclusive");
    c.config().set("IoBaseAddress", 0x2C0);
    testmp::options.shared = FALSE;  // line 5 is shared by the others
    EXPECT_EQ(ndis.initialize(c), NDIS_STATUS_RESOURCE_CONFLICT);
    testmp::options.shared = TRUE;
    testmp::options.mode = NdisInterruptLevelSensitive;  // the others are latched
    EXPECT_EQ(ndis.initialize(c), NDIS_STATUS_RESOURCE_CONFLICT);
    ndis.reserve_interrupt(9, false, NdisInterruptLatched);
    testmp::options.mode = NdisInterruptLatched;
    testmp::options.irq = 9;
    EXPECT_EQ(ndis.initialize(c), NDIS_STATUS_RESOURCE_CONFLICT);
    EXPECT_TRUE(ndis.errors().empty());
}

TEST_F(Stand, AnExclusiveInterruptWithoutIsrIsMaskedByTheWrapperAndDeferred) {
    testmp::options.shared = FALSE;
    testmp::options.request_isr = FALSE;
    bring_up();
    testmp::log.calls.clear();
    device.raise(testmp::kCauseInterrupt);
    ndis.service();
    EXPECT_EQ(testmp::log.calls,
              (std::vector<std::string>{"DisableInterrupt", "HandleInterrupt", "EnableInterrupt"}));
}

TEST_F(Stand, WaitingWorkRunsDeferredHandlerFirstThenWaitingSendsInOrder) {
    bring_up();
    host::Binding& b = ndis.bind(adapter, protocol);
    auto p1 = packet(), p2 = packet();
    testmp::log.calls.clear();
    ndis.run_as_handler(adapter, [&] {
        EXPECT_EQ(b.send(p1->packet()), NDIS_STATUS_PENDING);
        testmp::write(testdev::kRaise, testmp::kCauseInterrupt);
        EXPECT_EQ(b.send(p2->packet()), NDIS_STATUS_PENDING);
        testmp::log.calls.push_back("handler returns");
    });
    EXPECT_EQ(testmp::log.calls, (std::vector<std::string>{"ISR", "handler returns", "HandleInterrupt",
                                                           "EnableInterrupt", "Send", "Send"}));
    ASSERT_EQ(testmp::adapter->held_count, 2u);
    EXPECT_EQ(testmp::adapter->held[0], p1->packet());
    EXPECT_EQ(testmp::adapter->held[1], p2->packet());
}

TEST_F(Stand, InterruptsAreTakenAtTheVirtualTimeOfTheirCause) {
    bring_up();
    const auto t0 = bus.clock().now();
    device.raise_at(t0 + 300 * kMicrosecond, testmp::kCauseInterrupt);
    ndis.run_as_handler(adapter, [&] { KeStallExecutionProcessor(1000); });
    ASSERT_EQ(ndis.isr_runs().size(), 1u);
    const auto* isr = &ndis.isr_runs()[0];
    EXPECT_EQ(isr->time, t0 + 300 * kMicrosecond);
    EXPECT_EQ(bus.trace().entries().at(isr->trace_index - 1).to_string(), "stall 1000us");  // inside it
    EXPECT_GE(bus.clock().now(), t0 + 1000 * kMicrosecond);

    // Outside any handler, run_for serves it at its own time too.
    const auto t1 = bus.clock().now();
    device.raise_at(t1 + 2 * kMillisecond, testmp::kCauseInterrupt);
    ndis.run_for(5 * kMillisecond);
    EXPECT_EQ(ndis.events().back().what, "EnableInterrupt");
    EXPECT_EQ(ndis.events().back().time, t1 + 2 * kMillisecond);
}

TEST_F(Stand, ForeignInterruptModeCatchesARegisterPageSequenceAnIsrCanBreakInto) {
    bring_up();
    ndis.set_page_probe([&](const host::MiniportAdapter&) { return std::optional<unsigned>(device.page); });
    ndis.set_foreign_interrupts(true);
    auto page_one_runs = [&] {
        return std::count_if(ndis.isr_runs().begin(), ndis.isr_runs().end(),
                             [](const auto& r) { return r.foreign && r.page == 1u; });
    };

    // Unprotected: page 1 selected across a port access.
    ndis.run_as_handler(adapter, [&] {
        testmp::write(testdev::kPage, 1);
        testmp::read(testdev::kCause);
        testmp::write(testdev::kPage, 0);
    });
    EXPECT_EQ(page_one_runs(), 2);
    // The foreign device is one more object on the latched line: it claims its
    // pulse in the first pass, and the kernel makes a second in which nobody claims.
    ASSERT_EQ(ndis.isr_runs().size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(ndis.isr_runs()[i].pass, i % 2 + 1);
        EXPECT_EQ(ndis.isr_runs()[i].foreign, i % 2 == 0);
        EXPECT_FALSE(ndis.isr_runs()[i].recognized);
    }
    EXPECT_TRUE(ndis.errors().empty());

    // The same sequence synchronised with the interrupt gives an ISR no chance.
    ndis.clear_records();
    auto routine = [](PVOID) -> BOOLEAN {
        testmp::write(testdev::kPage, 1);
        testmp::read(testdev::kCause);
        testmp::write(testdev::kPage, 0);
        return TRUE;
    };
    ndis.run_as_handler(
        adapter, [&] { NdisMSynchronizeWithInterrupt(&testmp::adapter->interrupt, +routine, nullptr); });
    EXPECT_EQ(page_one_runs(), 0);
    EXPECT_EQ(ndis.isr_runs().size(), 0u);  // port accesses inside the routine make no pulse
}

// Lines asking at once are served in the AT's order, not by number: 0, 1, 2,
// then the second controller's 8-15 (it sits on line 2), then 3-7.
TEST(InterruptPriority, LinesAskingAtOnceAreServedInTheAtsOrder) {
    struct Case {
        unsigned first_line, second_line;
        const char* served_first;
    };
    const Case cases[] = {
        {3, 9, "second"}, {9, 3, "first"}, {5, 7, "first"}, {15, 4, "first"}, {11, 10, "second"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first_line) + " and " + std::to_string(c.second_line));
        machine::IsaBus line_bus;
        testdev::Device first(line_bus, 0x280, c.first_line), second(line_bus, 0x2A0, c.second_line);
        host::NdisLibrary library(line_bus);
        testmp::reset();
        ASSERT_EQ(testmp::load(), NDIS_STATUS_SUCCESS);
        auto& a = library.add_adapter("first");
        auto& b = library.add_adapter("second");
        b.config().set("IoBaseAddress", 0x2A0);
        testmp::options.irq = c.first_line;
        ASSERT_EQ(library.initialize(a), NDIS_STATUS_SUCCESS);
        testmp::options.irq = c.second_line;
        ASSERT_EQ(library.initialize(b), NDIS_STATUS_SUCCESS);
        library.clear_records();
        first.raise(testmp::kCauseInterrupt);
        second.raise(testmp::kCauseInterrupt);
        library.service();
        ASSERT_EQ(library.isr_runs().size(), 2u);
        EXPECT_EQ(library.isr_runs().front().adapter->name(), c.served_first);
    }
}
