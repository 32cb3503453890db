#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

// Against a plain sorted list: many events on few instants, a third of them
// cancelled (some from inside other events), slots reused all along.
TEST(VirtualClock, RunsWhatASortedListWouldUnderRandomSchedulingAndCancelling) {
    VirtualClock clock;
    std::mt19937 rng(7);
    std::vector<std::pair<Nanoseconds, int>> expected;  // (when, order scheduled) of those left to run
    std::vector<VirtualClock::EventId> ids;
    std::vector<int> ran;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 50; ++i) {
            const Nanoseconds when = clock.now() + rng() % 8;
            const int n = static_cast<int>(ids.size());
            ids.push_back(clock.schedule_at(when, [&, n] {
                ran.push_back(n);
                if (n % 7 == 0 && clock.cancel(ids[n - n % 5]))
                    std::erase_if(expected, [&](const auto& e) { return e.second == n - n % 5; });
            }));
            expected.emplace_back(when, n);
        }
        for (int i = 0; i < 15; ++i) {
            const int n = static_cast<int>(rng() % ids.size());
            if (clock.cancel(ids[n])) std::erase_if(expected, [&](const auto& e) { return e.second == n; });
        }
        clock.advance(3);
    }
    while (clock.run_next()) {
    }
    std::stable_sort(expected.begin(), expected.end());
    std::vector<int> order;
    for (const auto& e : expected) order.push_back(e.second);
    EXPECT_EQ(ran, order);
}

TEST(IrqLines, LineIsTheOrOfItsSourcesAndListenersSeeOnlyChanges) {
    IrqLines irq;
    std::vector<std::pair<unsigned, bool>> changes;
    irq.subscribe([&](unsigned line, bool level) {
        changes.emplace_back(line, level);
        // One subscribing while a change is told hears only the next one.
        if (changes.size() == 1) irq.subscribe([&](unsigned l, bool v) { changes.emplace_back(l + 100, v); });
    });
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
    const std::vector<std::pair<unsigned, bool>> expected = {
        {5, true}, {5, false}, {105, false}, {3, true}, {103, true}};
    EXPECT_EQ(changes, expected);
}
