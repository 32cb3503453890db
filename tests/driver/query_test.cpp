// The query handler against a running adapter: what protocols read about the
// card (capabilities, addresses) and about the traffic (statistics), the
// buffer-length rules, and the identifiers it refuses.

#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::EthernetFrame;
using fixture::Frame;
using fixture::kPeer;
using fixture::kStation;
using machine::kMillisecond;

struct Answer {
    NDIS_STATUS status;
    ULONG written;
    ULONG needed;
    std::vector<std::uint8_t> bytes;  // the caller's whole buffer afterwards
};

// Calls the handler directly (as the wrapper does, serialised with the other
// handlers) so the counts' previous contents can be seen.
class QueryTest : public fixture::InitializedAdapterTest {
protected:
    QueryTest() : InitializedAdapterTest(NDIS_PACKET_TYPE_DIRECTED) {}

    Answer query(NDIS_OID oid, ULONG length, ULONG written = 0, ULONG needed = 0) {
        Answer a{NDIS_STATUS_FAILURE, written, needed, std::vector<std::uint8_t>(length + 8, 0xCC)};
        tb_.call([&] {
            a.status =
                Ne2000QueryInformation(tb_.record(), oid, a.bytes.data(), length, &a.written, &a.needed);
        });
        return a;
    }

    ULONG value(NDIS_OID oid) {
        const Answer a = query(oid, 4);
        EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
        EXPECT_EQ(a.written, 4u) << std::hex << oid;
        ULONG v;
        std::memcpy(&v, a.bytes.data(), 4);
        return v;
    }
};

TEST_F(QueryTest, CapabilitiesAndSizes) {
    EXPECT_EQ(value(OID_GEN_HARDWARE_STATUS), 0u);
    EXPECT_EQ(value(OID_GEN_MEDIA_SUPPORTED), static_cast<ULONG>(NdisMedium802_3));
    EXPECT_EQ(value(OID_GEN_MEDIA_IN_USE), static_cast<ULONG>(NdisMedium802_3));
    EXPECT_EQ(value(OID_GEN_MAXIMUM_LOOKAHEAD), 238u);
    EXPECT_EQ(value(OID_GEN_MAXIMUM_FRAME_SIZE), 1500u);
    EXPECT_EQ(value(OID_GEN_MAXIMUM_TOTAL_SIZE), 1514u);
    EXPECT_EQ(value(OID_GEN_MAC_OPTIONS), 0x0Fu);
    EXPECT_EQ(value(OID_GEN_LINK_SPEED), 100000u);
    EXPECT_EQ(value(OID_GEN_TRANSMIT_BUFFER_SPACE), 3072u);
    EXPECT_EQ(value(OID_GEN_RECEIVE_BUFFER_SPACE), 5120u);  // a 32-page card, not the 16 KB found
    EXPECT_EQ(value(OID_GEN_TRANSMIT_BLOCK_SIZE), 256u);
    EXPECT_EQ(value(OID_GEN_RECEIVE_BLOCK_SIZE), 256u);
    EXPECT_EQ(value(OID_GEN_CURRENT_LOOKAHEAD), 238u);
    EXPECT_EQ(value(OID_802_3_MAXIMUM_LIST_SIZE), 16u);

    // The whole list in its order; one byte short is refused with the size.
    const Answer list = query(OID_GEN_SUPPORTED_LIST, 124);
    ASSERT_EQ(list.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(list.written, 124u);
    const std::array<ULONG, 31> expected = {
        0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010113,
        0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010D, 0x0001010C,
        0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105,
        0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103};
    std::array<ULONG, 31> got{};
    std::memcpy(got.data(), list.bytes.data(), 124);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(list.bytes[124], 0xCC);  // nothing beyond the answer

    const Answer short_list = query(OID_GEN_SUPPORTED_LIST, 123, 7, 0);
    EXPECT_EQ(short_list.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_list.needed, 124u);
    EXPECT_EQ(short_list.written, 7u);  // untouched
    EXPECT_EQ(short_list.bytes[0], 0xCC);

    // The description with its zero byte.
    const Answer text = query(OID_GEN_VENDOR_DESCRIPTION, 21);
    ASSERT_EQ(text.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(text.written, 21u);
    EXPECT_EQ(std::memcmp(text.bytes.data(), "NE2000 Card Adapter.", 21), 0);
    const Answer short_text = query(OID_GEN_VENDOR_DESCRIPTION, 20);
    EXPECT_EQ(short_text.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_text.needed, 21u);

    // Version 3.0 in two bytes, low byte first; a larger buffer keeps the rest.
    const Answer version = query(OID_GEN_DRIVER_VERSION, 4);
    ASSERT_EQ(version.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(version.written, 2u);
    EXPECT_EQ(version.bytes[0], 0x00);
    EXPECT_EQ(version.bytes[1], 0x03);
    EXPECT_EQ(version.bytes[2], 0xCC);
    EXPECT_EQ(query(OID_GEN_DRIVER_VERSION, 1).needed, 2u);

    // Any other answer needs four bytes.
    const Answer short_speed = query(OID_GEN_LINK_SPEED, 3);
    EXPECT_EQ(short_speed.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_speed.needed, 4u);
}

TEST_F(QueryTest, AddressesAndVendor) {
    const machine::MacAddress burned = tb_.nic().config().station_address;

    const Answer permanent = query(OID_802_3_PERMANENT_ADDRESS, 6);
    ASSERT_EQ(permanent.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(permanent.written, 6u);
    EXPECT_TRUE(std::equal(burned.begin(), burned.end(), permanent.bytes.begin()));
    const Answer current = query(OID_802_3_CURRENT_ADDRESS, 16);
    EXPECT_TRUE(std::equal(burned.begin(), burned.end(), current.bytes.begin()));
    EXPECT_EQ(current.bytes[6], 0xCC);
    const Answer short_address = query(OID_802_3_CURRENT_ADDRESS, 5);
    EXPECT_EQ(short_address.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_address.needed, 6u);

    // The vendor block of the burned-in address in the low three bytes, in
    // wire order, and a zero vendor byte on top; every byte is written.
    const Answer vendor = query(OID_GEN_VENDOR_ID, 4);
    ASSERT_EQ(vendor.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(vendor.bytes[0], burned[0]);
    EXPECT_EQ(vendor.bytes[1], burned[1]);
    EXPECT_EQ(vendor.bytes[2], burned[2]);
    EXPECT_EQ(vendor.bytes[3], 0x00);
}

// The wrapper may gather several answers in one count: bytes written is added to.
TEST_F(QueryTest, CountsAreAddedToAndLeftAloneOnRefusal) {
    ULONG written = 0, needed = 0x77;
    std::array<std::uint8_t, 8> buffer{};
    tb_.call([&] {
        EXPECT_EQ(
            Ne2000QueryInformation(tb_.record(), OID_GEN_LINK_SPEED, buffer.data(), 8, &written, &needed),
            NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Ne2000QueryInformation(tb_.record(), OID_802_3_CURRENT_ADDRESS, buffer.data(), 8, &written,
                                         &needed),
                  NDIS_STATUS_SUCCESS);
    });
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(needed, 0x77u);

    // Refused identifiers: the filter and the list can only be set (even after
    // a set), protocol options nowhere; counts and buffer untouched.
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST),
              NDIS_STATUS_SUCCESS);
    for (NDIS_OID oid :
         std::initializer_list<NDIS_OID>{OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_PROTOCOL_OPTIONS,
                                         OID_802_3_MULTICAST_LIST, 0x00010114u, 0x02010101u, 0u}) {
        const Answer a = query(oid, 64, 5, 9);
        EXPECT_EQ(a.status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
        EXPECT_EQ(a.written, 5u);
        EXPECT_EQ(a.needed, 9u);
        EXPECT_EQ(a.bytes[0], 0xCC);
    }
}

// Queries answer from the record: not one port access, so they can come at
// any time without disturbing a register sequence.
TEST_F(QueryTest, NeverTouchesTheCard) {
    const std::size_t before = tb_.trace().lines().size();
    for (ULONG oid : Ne2000SupportedOids) query(oid, 200);
    EXPECT_EQ(tb_.trace().lines().size(), before);
}

// The list size is the keyword's value up to the table's 16 slots (a larger
// one would promise lists the set refuses); the receive space is the ring the
// card's RAM leaves, whatever its size.
TEST(QueryConfiguration, ListSizeUpToTheTableAndReceiveSpaceWhateverTheRam) {
    for (const ULONG configured : {40u, 16u, 8u}) {
        testbed::TestbedOptions options;
        options.trace = false;
        options.pc.nic = machine::Dp8390Config::eight_bit_card();  // 8 KB of RAM
        testbed::Testbed tb(options);
        tb.config().set("MaximumMulticastList", configured);
        tb.load_driver();
        ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
        ULONG v = 0, written = 0, needed = 0;
        ASSERT_EQ(tb.protocol().query(OID_802_3_MAXIMUM_LIST_SIZE, &v, 4, &written, &needed),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(v, std::min(configured, 16u)) << configured;
        ASSERT_EQ(tb.protocol().query(OID_GEN_RECEIVE_BUFFER_SPACE, &v, 4, &written, &needed),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(v, 5120u);
        tb.halt();
        EXPECT_TRUE(tb.errors().empty()) << ::testing::PrintToString(tb.errors());
    }
}

// The statistics after real traffic: what went out, what came in, the frames
// the chip found damaged and the frames it had no room for.
TEST_F(QueryTest, StatisticsMatchTheWire) {
    // Frames arriving with a bad FCS or misaligned: the chip tallies them and
    // stores nothing. Its RXE does not interrupt; the tallies are collected
    // when the next interrupt (our transmission's) brings the handler in.
    tb_.nic().faults().crc_errors = 3;
    for (int i = 0; i < 3; ++i) tb_.peer().send_at(tb_.now() + (1 + i) * kMillisecond, Frame(100, i));
    tb_.run_for(10 * kMillisecond);
    tb_.nic().faults().alignment_errors = 2;
    for (int i = 0; i < 2; ++i) tb_.peer().send_at(tb_.now() + (1 + i) * kMillisecond, Frame(100, i));
    tb_.run_for(10 * kMillisecond);

    // Four frames out, one of them aborted once and sent again, one colliding
    // once on the way: each counts as one good transmission.
    tb_.nic().faults().abort_transmissions = 1;
    tb_.nic().faults().collide_transmissions = 1;
    for (int i = 0; i < 4; ++i) tb_.protocol().send(EthernetFrame(kPeer, kStation, 200 + i, i));
    tb_.run_for(100 * kMillisecond);
    ASSERT_EQ(tb_.peer().received().size(), 4u);

    // Good frames in.
    for (int i = 0; i < 5; ++i) tb_.peer().send_at(tb_.now() + (1 + i) * kMillisecond, Frame(60 + i, i));
    tb_.run_for(50 * kMillisecond);
    ASSERT_EQ(tb_.protocol().received_frames().size(), 5u);

    EXPECT_EQ(value(OID_GEN_XMIT_OK), 4u);
    EXPECT_EQ(value(OID_GEN_XMIT_ERROR), 0u);
    EXPECT_EQ(value(OID_GEN_RCV_OK), 5u);
    EXPECT_EQ(value(OID_GEN_RCV_ERROR), 3u);  // CRC errors only
    EXPECT_EQ(value(OID_802_3_RCV_ERROR_ALIGNMENT), 2u);
    EXPECT_EQ(value(OID_GEN_RCV_NO_BUFFER), 0u);
    EXPECT_EQ(value(OID_802_3_XMIT_ONE_COLLISION), 0u);  // never counted
    EXPECT_EQ(value(OID_802_3_XMIT_MORE_COLLISIONS), 0u);

    // A burst while the driver cannot empty the ring (another handler runs):
    // what does not fit is missed, and overflow recovery passes on what did.
    const std::size_t received_before = tb_.protocol().received_frames().size();
    constexpr int kBurst = 20;
    for (int i = 0; i < kBurst; ++i) tb_.peer().send(Frame(1000, i));
    tb_.call([] { KeStallExecutionProcessor(40000); });
    tb_.run_for(100 * kMillisecond);
    const std::size_t delivered = tb_.protocol().received_frames().size() - received_before;
    EXPECT_GT(delivered, 0u);
    EXPECT_LT(delivered, static_cast<std::size_t>(kBurst));
    EXPECT_EQ(value(OID_GEN_RCV_NO_BUFFER), kBurst - delivered);
    EXPECT_EQ(value(OID_GEN_RCV_OK), 5u + delivered);
    EXPECT_EQ(value(OID_GEN_RCV_ERROR), 3u);

    tb_.halt();
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

}  // namespace
