// One adapter through its whole life, as NDIS drives it: load, initialise,
// filter and multicast list, traffic both ways, queries, reset, more traffic,
// halt. Nothing may break a model's protocol or the wrapper's rules, and
// nothing may be left allocated, claimed or connected at the end -- on either
// card width, and with the parts' own delays (RST late after a stop or a
// reset, the card busy after its reset) as well as without them.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::EthernetFrame;
using fixture::kBroadcast;
using fixture::kPeer;
using machine::kMillisecond;

const host::MacAddress kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};

ULONG query_ulong(testbed::Testbed& tb, NDIS_OID oid) {
    ULONG value = 0xDEADBEEF, written = 0, needed = 0;
    EXPECT_EQ(tb.protocol().query(oid, &value, sizeof value, &written, &needed), NDIS_STATUS_SUCCESS);
    return value;
}

// Frames the peer heard, trimmed of the padding a short frame was sent with.
bool peer_heard(testbed::Testbed& tb, const std::vector<std::uint8_t>& sent) {
    for (const auto& a : tb.peer().received())
        if (a.frame.size() >= sent.size() && std::equal(sent.begin(), sent.end(), a.frame.begin()))
            return true;
    return false;
}

struct Life {
    bool eight_bit;
    bool realistic_timing;
};

class AdapterLife : public ::testing::TestWithParam<Life> {};

TEST_P(AdapterLife, FromLoadToHalt) {
    testbed::TestbedOptions options;
    if (GetParam().eight_bit) options.pc.nic = machine::Dp8390Config::eight_bit_card();
    options.pc.realistic_timing = GetParam().realistic_timing;
    testbed::Testbed tb(options);
    const host::MacAddress station = options.pc.nic.station_address;

    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.adapter().station_address(), station);

    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST |
                                              NDIS_PACKET_TYPE_BROADCAST),
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_multicast_list({kGroup}), NDIS_STATUS_SUCCESS);

    // Traffic both ways: three frames out, directed, broadcast and group frames in.
    std::vector<std::vector<std::uint8_t>> out;
    for (int i = 0; i < 3; ++i) {
        out.push_back(EthernetFrame(kPeer, station, 60 + 500 * i, static_cast<unsigned>(i)));
        tb.protocol().send(out.back());
    }
    const auto directed = EthernetFrame(station, kPeer, 1514, 0x10);
    const auto broadcast = EthernetFrame(kBroadcast, kPeer, 64, 0x20);
    const auto group = EthernetFrame(kGroup, kPeer, 300, 0x30);
    tb.peer().send_at(tb.now() + 5 * kMillisecond, directed);
    tb.peer().send_at(tb.now() + 6 * kMillisecond, broadcast);
    tb.peer().send_at(tb.now() + 7 * kMillisecond, group);
    tb.run_for(100 * kMillisecond);

    for (const auto& f : out) EXPECT_TRUE(peer_heard(tb, f));
    ASSERT_EQ(tb.protocol().received_frames().size(), 3u);
    EXPECT_EQ(tb.protocol().received_frames()[0].frame, directed);
    EXPECT_EQ(tb.protocol().received_frames()[1].frame, broadcast);
    EXPECT_EQ(tb.protocol().received_frames()[2].frame, group);
    ASSERT_EQ(tb.protocol().completions().size(), 3u);
    for (const auto& c : tb.protocol().completions()) EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);

    EXPECT_EQ(query_ulong(tb, OID_GEN_XMIT_OK), 3u);
    EXPECT_EQ(query_ulong(tb, OID_GEN_RCV_OK), 3u);
    EXPECT_EQ(query_ulong(tb, OID_GEN_XMIT_ERROR), 0u);

    // Reset with a frame just handed over: it is completed once, by the
    // driver or by the wrapper, and the filter and the list survive.
    const auto before_reset = EthernetFrame(kPeer, station, 1000, 0x40);
    const std::uint64_t id = tb.protocol().send(before_reset);
    ASSERT_EQ(tb.reset(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(tb.protocol().completion_of(id).has_value());

    const auto after_reset = EthernetFrame(kPeer, station, 200, 0x50);
    tb.protocol().send(after_reset);
    tb.peer().send_at(tb.now() + 5 * kMillisecond, EthernetFrame(kGroup, kPeer, 100, 0x60));
    tb.peer().send_at(tb.now() + 6 * kMillisecond, EthernetFrame(station, kPeer, 80, 0x70));
    tb.run_for(100 * kMillisecond);
    EXPECT_TRUE(peer_heard(tb, after_reset));
    ASSERT_EQ(tb.protocol().received_frames().size(), 5u);
    EXPECT_EQ(tb.protocol().received_frames()[3].frame, EthernetFrame(kGroup, kPeer, 100, 0x60));
    EXPECT_EQ(tb.protocol().received_frames()[4].frame, EthernetFrame(station, kPeer, 80, 0x70));
    EXPECT_EQ(query_ulong(tb, OID_GEN_RCV_OK), 5u);

    EXPECT_EQ(tb.protocol().completions().size(), 5u);
    tb.halt();
    EXPECT_EQ(Ne2000MiniportBlock.AdapterQueue, nullptr);
    EXPECT_EQ(tb.protocol().sends_pending(), 0u);
    EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    EXPECT_TRUE(tb.error_log().entries().empty());
}

INSTANTIATE_TEST_SUITE_P(BothCardWidthsAndTimings, AdapterLife,
                         ::testing::Values(Life{false, false}, Life{true, false}, Life{false, true},
                                           Life{true, true}),
                         [](const ::testing::TestParamInfo<Life>& p) {
                             return std::string(p.param.eight_bit ? "EightBitCard" : "SixteenBitCard") +
                                    (p.param.realistic_timing ? "RealisticTiming" : "");
                         });

}  // namespace
