// The card pulled out of its socket while traffic runs both ways: the socket
// controller reports the card-detect change on the shared line and every port
// of the card reads 0xFF from then on. Nothing may hang or crash, the loss is
// logged, every packet a protocol sent is completed (the wrapper's send
// timeout resets the adapter, and the reset aborts what the card took), and a
// halt gives back everything. Put back, the card runs again after a fresh
// initialisation, as when the adapter is restarted.

#include <gtest/gtest.h>

#include <set>

#include "tests/driver/fixture.h"

namespace {

using fixture::Frame;
using fixture::kMs;
using fixture::kPeer;
using machine::kSecond;

struct Moment {
    const char* name;
    machine::Nanoseconds pulled_after;  // from the start of the traffic
    bool eight_bit;
};

// The traffic runs 60 ms: one send every ms and one arrival every 1.5 ms.
const Moment kMoments[] = {
    {"AtTheFirstFrames", 1 * kMs + 200'000, false},
    {"InTheMiddleOfTheTraffic", 27 * kMs + 350'000, false},
    {"InTheMiddleOnAnEightBitCard", 31 * kMs + 600'000, true},
    {"AfterTheTraffic", 70 * kMs, false},
};

class CardRemoval : public ::testing::TestWithParam<Moment> {};

TEST_P(CardRemoval, NothingHangsEveryPacketIsCompletedAndHaltReleasesAll) {
    const Moment& m = GetParam();
    testbed::TestbedOptions options;
    options.trace = false;
    if (m.eight_bit) options.pc.nic = machine::Dp8390Config::eight_bit_card();
    testbed::Testbed tb(options);
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);

    const machine::Nanoseconds start = tb.now();
    tb.socket_controller().remove_at(0, start + m.pulled_after);
    for (unsigned i = 0; i < 40; ++i) tb.peer().send_at(start + (i + 1) * 1'500'000, Frame(60 + 37 * i, i));
    std::set<std::uint64_t> sent;
    for (unsigned i = 0; i < 60; ++i) {
        sent.insert(tb.protocol().send(Frame(60 + 23 * i, i, kPeer)));
        tb.run_for(1 * kMs);
    }
    // Two more once the card is surely gone, then time for the wrapper's send
    // timeout (two checks 2 s apart) to notice.
    sent.insert(tb.protocol().send(Frame(100, 98, kPeer)));
    sent.insert(tb.protocol().send(Frame(1514, 99, kPeer)));
    tb.run_for(10 * kSecond);

    // Every send completed exactly once (the protocol records a second
    // completion as an error); those the card took are aborted.
    EXPECT_EQ(tb.protocol().sends_pending(), 0u);
    std::set<std::uint64_t> completed;
    for (const auto& c : tb.protocol().completions()) completed.insert(c.id);
    EXPECT_EQ(completed, sent);
    EXPECT_GE(tb.adapter().counters().hang_resets, 1u);
    // Whatever arrived before the card went came up intact.
    for (const auto& got : tb.protocol().received_frames()) {
        const unsigned seq = got.frame[14];
        EXPECT_EQ(got.frame, Frame(60 + 37 * seq, seq));
    }
    // The loss is in the error log.
    bool vanished = false;
    for (const auto& e : tb.error_log().entries())
        vanished |=
            e.code == NDIS_ERROR_CODE_HARDWARE_FAILURE && e.values == std::vector<ULONG>{kLogCardVanished};
    EXPECT_TRUE(vanished) << tb.error_log().to_string();

    tb.halt();
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());

    // Put back: a fresh initialisation brings the socket and the card up
    // again, and frames go both ways.
    tb.socket_controller().insert(0, tb.pc().card());
    tb.run_for(100 * kMs);
    tb.ndis().error_log().clear();
    ASSERT_EQ(tb.ndis().initialize(tb.adapter()), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    tb.protocol().attach(tb.ndis().bind(tb.adapter(), tb.protocol()));
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    tb.protocol().clear_received();
    tb.peer().clear_received();
    const auto hang_resets = tb.adapter().counters().hang_resets;
    tb.peer().send_at(tb.now() + 1 * kMs, Frame(200, 7));
    tb.protocol().send(Frame(300, 8, kPeer));
    tb.run_for(20 * kMs);
    ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, Frame(200, 7));
    ASSERT_EQ(tb.peer().received().size(), 1u);
    EXPECT_EQ(tb.peer().received()[0].frame, Frame(300, 8, kPeer));
    EXPECT_EQ(tb.adapter().counters().hang_resets, hang_resets);
    tb.halt();
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());
}

INSTANTIATE_TEST_SUITE_P(Moments, CardRemoval, ::testing::ValuesIn(kMoments),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
