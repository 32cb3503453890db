#include <gtest/gtest.h>

#include <vector>

#include "machine/clock.h"
#include "machine/irq.h"

using namespace machine;

TEST(VirtualClock, RunsDueEventsInTimeOrderAtTheirOwnTime) {
    VirtualClock clock;
    std::vector<std::pair<int, Nanoseconds>> seen;
    clock.schedule_at(300, [&] { seen.emplace_back(3, clock.now()); });
    clock.schedule_at(100, [&] { seen.emplace_back(1, clock.now()); });
    clock.schedule_at(100, [&] { seen.emplace_back(2, clock.now()); });
    clock.advance(250);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(1, Nanoseconds{100}));
    EXPECT_EQ(seen[1], std::make_pair(2, Nanoseconds{100}));
    EXPECT_EQ(clock.now(), 250u);
    clock.advance(50);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].second, 300u);
}

TEST(VirtualClock, EventsMayScheduleAndCancelOthers) {
    VirtualClock clock;
    int ran = 0;
    VirtualClock::EventId later = clock.schedule_at(500, [&] { ran += 100; });
    clock.schedule_at(100, [&] {
        clock.schedule_in(10, [&] { ran += 1; });
        EXPECT_TRUE(clock.cancel(later));
    });
    clock.advance(1000);
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(clock.cancel(later));
    EXPECT_FALSE(clock.run_next());
}

TEST(IrqLines, LineIsTheOrOfItsSourcesAndListenersSeeOnlyChanges) {
    IrqLines irq;
    std::vector<std::pair<unsigned, bool>> changes;
    irq.subscribe([&](unsigned line, bool level) { changes.emplace_back(line, level); });
    auto a = irq.add_source("a");
    auto b = irq.add_source("b");
    irq.drive(a, true);  // not steered: no line moves
    EXPECT_TRUE(changes.empty());
    irq.steer(a, 5);
    irq.steer(b, 5);
    irq.drive(b, true);   // line already high
    irq.drive(a, false);  // b still holds it
    EXPECT_TRUE(irq.level(5));
    irq.steer(b, 3);  // moving b drops 5 and raises 3
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0], std::make_pair(5u, true));
    EXPECT_EQ(changes[1], std::make_pair(5u, false));
    EXPECT_EQ(changes[2], std::make_pair(3u, true));
}
