// Reset drops all transmit work and reprograms the chip from the record; halt
// stops the card for good and gives back everything the adapter held.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::EthernetFrame;
using fixture::Frame;
using fixture::kPeer;
using fixture::kStation;
using machine::kMillisecond;

const host::MacAddress kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x42};

class HaltResetTest : public fixture::InitializedAdapterTest {
protected:
    HaltResetTest() : InitializedAdapterTest(NDIS_PACKET_TYPE_DIRECTED) {}

    static std::vector<std::uint8_t> outgoing(std::size_t length, std::uint8_t tag) {
        return EthernetFrame(kPeer, kStation, length, tag);
    }

    // How often the peer heard this frame.
    std::size_t heard(const std::vector<std::uint8_t>& f) {
        return static_cast<std::size_t>(std::count_if(tb_.peer().received().begin(),
                                                      tb_.peer().received().end(),
                                                      [&](const auto& a) { return a.frame == f; }));
    }

    // Every send of the protocol has exactly one completion.
    void expect_each_completed_once(std::size_t sends) {
        std::set<std::uint64_t> ids;
        for (const auto& c : tb_.protocol().completions()) {
            EXPECT_NE(c.id, 0u);
            EXPECT_TRUE(ids.insert(c.id).second) << "completed twice: " << c.id;
            EXPECT_TRUE(c.status == NDIS_STATUS_SUCCESS || c.status == NDIS_STATUS_REQUEST_ABORTED)
                << c.status;
        }
        EXPECT_EQ(ids.size(), sends);
        EXPECT_EQ(tb_.protocol().sends_pending(), 0u);
    }

    // Holds the deferred handler off (another handler runs) while the peer
    // fills the receive ring past its end.
    void overflow_the_ring() {
        for (int i = 0; i < 20; ++i) tb_.peer().send(Frame(1000, static_cast<unsigned>(i)));
        tb_.call([] { KeStallExecutionProcessor(40000); });
    }
};

TEST_F(HaltResetTest, ResetDropsQueuedFramesAndStartsAgainAtPageZero) {
    // Six-page frames: one on the wire, one behind it on the card, the rest
    // waiting in the driver's queue.
    for (int i = 0; i < 8; ++i) tb_.protocol().send(outgoing(1400, static_cast<std::uint8_t>(i)));
    Ne2000Adapter* r = tb_.record();
    ASSERT_NE(r->SendQueueHead, nullptr);
    ASSERT_NE(r->TransmitActivePage, -1);

    ASSERT_EQ(tb_.reset(), NDIS_STATUS_SUCCESS);
    expect_each_completed_once(8);
    EXPECT_EQ(r->SendQueueHead, nullptr);
    EXPECT_EQ(r->SendQueueTail, nullptr);
    EXPECT_EQ(r->TransmitActivePage, -1);
    for (ULONG state : r->TransmitPageState) EXPECT_EQ(state, kTransmitPageEmpty);

    tb_.run_for(20 * kMillisecond);
    tb_.peer().clear_received();

    // The next frame goes to transmit page 0 and out on the wire.
    const std::size_t mark = tb_.trace().mark();
    const auto next = outgoing(300, 0x99);
    tb_.protocol().send(next);
    tb_.run_for(20 * kMillisecond);
    const auto lines = tb_.trace().lines(mark);
    char tpsr[32];
    std::snprintf(tpsr, sizeof tpsr, "TPSR <- 0x%02X", r->TransmitStartPage);
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(tpsr)), lines.end());
    EXPECT_EQ(heard(next), 1u);
    EXPECT_EQ(tb_.peer().received().size(), 1u);
    expect_each_completed_once(9);
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
    EXPECT_TRUE(tb_.error_log().empty()) << tb_.error_log().to_string();
}

// The chip is stopped into loopback, then set up again from the record and
// put back on the wire; filter, list, lookahead and statistics stay.
TEST_F(HaltResetTest, ResetReprogramsTheChipFromTheRecord) {
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST),
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb_.protocol().set_multicast_list({kGroup}), NDIS_STATUS_SUCCESS);
    tb_.peer().send_at(tb_.now() + kMillisecond, Frame(70, 1));
    tb_.run_for(30 * kMillisecond);
    ASSERT_EQ(tb_.protocol().received_frames().size(), 1u);

    Ne2000Adapter* r = tb_.record();
    r->InterruptMaskValue = 0;  // whatever it was, reset restores the mask
    BOOLEAN addressing = 0x5A;
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    const std::size_t mark = tb_.trace().mark();
    tb_.call([&] { status = Ne2000Reset(&addressing, r); });
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    // The reset put the addressing back itself; the garbage the wrapper left is overwritten.
    EXPECT_EQ(addressing, FALSE);
    EXPECT_EQ(r->InterruptMaskValue, kDefaultInterruptMask);

    const auto lines = tb_.trace().lines(mark);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "CR <- 0x21");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "IMR <- 0x1B"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "stall 2000us"), lines.end());
    EXPECT_EQ(lines.back(), "TCR <- 0x00");

    // Listed group and directed frames still come in; the counters ran on.
    tb_.peer().send_at(tb_.now() + kMillisecond, Frame(80, 2, kGroup));
    tb_.peer().send_at(tb_.now() + 2 * kMillisecond, Frame(90, 3));
    tb_.run_for(30 * kMillisecond);
    ASSERT_EQ(tb_.protocol().received_frames().size(), 3u);
    EXPECT_EQ(tb_.protocol().received_frames()[1].frame, Frame(80, 2, kGroup));
    EXPECT_EQ(r->ReceiveGoodCount, 3u);
    EXPECT_EQ(r->CurrentLookahead, kMaxLookahead);
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

// The set-up that a reset runs writes PAR, MAR and CURR on register page 1
// while the interrupt is connected; another device on the shared line must not
// get our ISR in there (its ISR read and IMR write would hit CURR and MAR7).
TEST_F(HaltResetTest, ResetKeepsSharedInterruptsOutOfThePage1Writes) {
    tb_.ndis().set_foreign_interrupts(true);
    tb_.ndis().clear_records();
    ASSERT_EQ(tb_.reset(), NDIS_STATUS_SUCCESS);

    std::size_t foreign = 0;
    for (const auto& run : tb_.ndis().isr_runs()) foreign += run.foreign;
    EXPECT_GT(foreign, 0u);  // the stop before the set-up was open to them
    EXPECT_TRUE(tb_.isr_runs_off_page_zero().empty());
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

// The set-up needs stop and abort to read back from CR, whatever else shows
// with them. When they do not, it writes nothing more: the reset logs one
// hardware failure (0, 1), fails, and the chip stays in internal loopback.
TEST_F(HaltResetTest, ResetFailsWhenTheChipDoesNotReadBackStopped) {
    fixture::BusTap tap(tb_);
    std::uint8_t command = 0;
    tap.on_read = [&](std::uint16_t port, std::uint8_t value) { return port == 0x300 ? command : value; };
    Ne2000Adapter* r = tb_.record();
    struct Case {
        std::uint8_t reads;
        NDIS_STATUS status;
    };
    std::size_t entries = 0;
    for (const Case c : {Case{0x01, NDIS_STATUS_FAILURE}, Case{0x20, NDIS_STATUS_FAILURE},
                         Case{0x23, NDIS_STATUS_SUCCESS}}) {
        command = c.reads;
        BOOLEAN addressing = FALSE;
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        const std::size_t mark = tb_.trace().mark();
        tb_.call([&] { status = Ne2000Reset(&addressing, r); });
        EXPECT_EQ(status, c.status) << "CR reads " << int(c.reads);
        const auto lines = tb_.trace().lines(mark);
        ASSERT_FALSE(lines.empty());
        const auto last_tcr = std::find_if(lines.rbegin(), lines.rend(),
                                           [](const std::string& l) { return l.rfind("TCR <- ", 0) == 0; });
        ASSERT_NE(last_tcr, lines.rend());
        EXPECT_EQ(*last_tcr, c.status == NDIS_STATUS_SUCCESS ? "TCR <- 0x00" : "TCR <- 0x02") << int(c.reads);
        if (c.status == NDIS_STATUS_SUCCESS) continue;

        char readback[16];
        std::snprintf(readback, sizeof readback, "CR -> 0x%02X", c.reads);
        EXPECT_EQ(lines.back(), readback) << "nothing written after the read-back";
        ASSERT_EQ(tb_.error_log().entries().size(), ++entries);
        const auto& entry = tb_.error_log().entries().back();
        EXPECT_EQ(entry.code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
        EXPECT_EQ(entry.values, std::vector<ULONG>({0, 1}));
        EXPECT_EQ(r->TransmitActivePage, -1);
    }
    EXPECT_EQ(tb_.error_log().entries().size(), 2u);
}

// A frame on the wire when the reset comes is forgotten with everything else:
// a later ring-overflow recovery must not take it for a transmission it
// interrupted, or it sends the next frame twice and then finds a completion
// it cannot place.
TEST_F(HaltResetTest, FrameForgottenAtResetIsNotOwedAfterward) {
    tb_.protocol().send(outgoing(1514, 0x11));
    tb_.record()->TransmitErrorRetries = kTransmitErrorLimit - 1;  // as if it had failed fifteen times
    ASSERT_EQ(tb_.reset(), NDIS_STATUS_SUCCESS);
    tb_.run_for(20 * kMillisecond);

    // The next frame starts its own count of transmit errors: one error is
    // retried, not taken for the sixteenth of the forgotten frame.
    tb_.nic().faults().abort_transmissions = 1;
    const auto retried = outgoing(300, 0x33);
    tb_.protocol().send(retried);
    tb_.run_for(50 * kMillisecond);
    EXPECT_EQ(heard(retried), 1u);

    // An overflow while the transmitter is idle.
    overflow_the_ring();
    tb_.run_for(100 * kMillisecond);
    ASSERT_GT(tb_.record()->MissedPacketCount, 0u);

    // A frame whose completion arrives together with the next overflow.
    const auto next = outgoing(1514, 0x22);
    tb_.protocol().send(next);
    overflow_the_ring();
    tb_.run_for(100 * kMillisecond);

    EXPECT_EQ(heard(next), 1u);
    EXPECT_EQ(tb_.record()->TransmitGoodCount, 2u);
    EXPECT_TRUE(tb_.error_log().empty()) << tb_.error_log().to_string();
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

TEST_F(HaltResetTest, HaltStopsTheCardAndGivesEverythingBack) {
    tb_.peer().send_at(tb_.now() + kMillisecond, Frame(100, 1));
    tb_.run_for(30 * kMillisecond);
    ASSERT_EQ(tb_.protocol().received_frames().size(), 1u);
    // Frames handed over just before the halt: the wrapper completes what the
    // driver still holds.
    for (int i = 0; i < 5; ++i) tb_.protocol().send(outgoing(1400, static_cast<std::uint8_t>(i)));

    const std::size_t mark = tb_.trace().mark();
    tb_.ndis().clear_records();
    tb_.halt();
    const auto lines = tb_.trace().lines(mark);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines.front(), "CR <- 0x21");
    EXPECT_EQ(lines[lines.size() - 3], "TCR <- 0x02");
    EXPECT_EQ(lines[lines.size() - 2], "CR <- 0x22");
    EXPECT_EQ(lines.back(), "stall 250000us");

    // The interrupt goes before the quarter-second wait, the ports only after
    // it: a deferred handler still finishing may yet touch them.
    const std::size_t settle = tb_.trace().entries().size() - 1;
    std::size_t disconnected = 0, released = 0;
    for (const auto& e : tb_.ndis().events()) {
        if (e.what == "interrupt disconnected") disconnected = e.trace_index;
        if (e.what.rfind("ports 0x300", 0) == 0 && e.what.find("released") != std::string::npos)
            released = e.trace_index;
    }
    EXPECT_EQ(disconnected, settle) << "disconnected right before the wait";
    EXPECT_EQ(released, settle + 1) << "released after the wait";

    expect_each_completed_once(5);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, nullptr);
    EXPECT_FALSE(tb_.ndis().interrupts().connected(tb_.adapter()));
    EXPECT_TRUE(tb_.ndis().ports().held_by(&tb_.adapter()).empty());
    EXPECT_EQ(tb_.ndis().memory().outstanding_blocks(), 0u);
    EXPECT_TRUE(tb_.leaks().empty()) << ::testing::PrintToString(tb_.leaks());
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());

    // The card is quiet for good: nothing more on the wire, no interrupt for
    // a frame from outside.
    tb_.run_for(20 * kMillisecond);
    const std::size_t heard_before = tb_.peer().received().size();
    const std::size_t isr_before = tb_.ndis().isr_runs().size();
    tb_.peer().send_at(tb_.now() + kMillisecond, Frame(100, 2));
    tb_.run_for(30 * kMillisecond);
    EXPECT_EQ(tb_.peer().received().size(), heard_before);
    EXPECT_EQ(tb_.ndis().isr_runs().size(), isr_before);
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

// Other adapters stay queued, in order, wherever the halted one stood.
class HaltQueue : public fixture::InitializedAdapterTest, public ::testing::WithParamInterface<int> {};

TEST_P(HaltQueue, OthersStayLinkedInOrder) {
    Ne2000Adapter* halted = tb_.record();
    ASSERT_EQ(Ne2000MiniportBlock.AdapterQueue, halted);

    // Two more records standing for adapters on other cards.
    auto first = std::make_unique<Ne2000Adapter>();
    auto second = std::make_unique<Ne2000Adapter>();
    std::vector<Ne2000Adapter*> order = {first.get(), second.get()};
    order.insert(order.begin() + GetParam(), halted);
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i]->NextAdapter = i + 1 < order.size() ? order[i + 1] : nullptr;
    Ne2000MiniportBlock.AdapterQueue = order.front();

    tb_.halt();
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, first.get());
    EXPECT_EQ(first->NextAdapter, second.get());
    EXPECT_EQ(second->NextAdapter, nullptr);
    EXPECT_TRUE(tb_.leaks().empty()) << ::testing::PrintToString(tb_.leaks());
    Ne2000MiniportBlock.AdapterQueue = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Position, HaltQueue, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param == 0 ? "First" : p.param == 1 ? "Middle" : "Last";
                         });

}  // namespace
