// The set handler: packet filter, lookahead and multicast list reach RCR and
// MAR0-MAR7 in the right order and only under interrupt synchronisation, the
// refusals change nothing, and the chip then takes exactly the frames asked for.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "machine/nic/ethernet_crc.h"
#include "tests/driver/fixture.h"

namespace {

using fixture::kBroadcast;
using fixture::kStation;
using machine::kMillisecond;
using Lines = std::vector<std::string>;

const host::MacAddress kOtherStation = {0x02, 0x00, 0x00, 0x00, 0x77, 0x07};

host::MacAddress group(unsigned n) {
    return {0x01, 0x00, 0x5E, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

unsigned hash_index(const host::MacAddress& a) {
    return machine::ethernet::multicast_hash_index(std::span<const std::uint8_t, 6>(a));
}

// A frame from the peer to `to`.
std::vector<std::uint8_t> frame(const host::MacAddress& to, std::size_t length = 100) {
    return fixture::Frame(length, 0, to);
}

std::string hex(const char* name, unsigned value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s <- 0x%02X", name, value);
    return buffer;
}

// The synchronised MAR load: page 1 while running, the eight bytes, back to page 0.
Lines mar_load(const std::array<std::uint8_t, 8>& mar) {
    Lines l = {"CR <- 0x62"};
    for (unsigned i = 0; i < 8; ++i) l.push_back(hex(("MAR" + std::to_string(i)).c_str(), mar[i]));
    l.push_back("CR <- 0x22");
    return l;
}

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::array<std::uint8_t, 8> kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::array<std::uint8_t, 8> hash_of(std::initializer_list<host::MacAddress> list) {
    std::array<std::uint8_t, 8> mar{};
    for (const auto& a : list)
        mar[hash_index(a) >> 3] |= static_cast<std::uint8_t>(1u << (hash_index(a) & 7));
    return mar;
}

struct Result {
    NDIS_STATUS status;
    ULONG read;
    ULONG needed;
    Lines lines;  // port accesses and stalls made by the call
};

class SetTest : public fixture::InitializedAdapterTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(InitializedAdapterTest::SetUp());
        record_ = tb_.record();
    }

    // The handler called directly, as the wrapper calls it, with the counts'
    // previous contents chosen by the test.
    Result set(NDIS_OID oid, std::vector<std::uint8_t> bytes, ULONG read = 0xAAAA, ULONG needed = 0xBBBB) {
        Result r{NDIS_STATUS_FAILURE, read, needed, {}};
        const std::size_t mark = tb_.trace().mark();
        tb_.call([&] {
            r.status = Ne2000SetInformation(record_, oid, bytes.data(), static_cast<ULONG>(bytes.size()),
                                            &r.read, &r.needed);
        });
        r.lines = tb_.trace().lines(mark);
        return r;
    }

    static std::vector<std::uint8_t> ulong_bytes(ULONG v) {
        std::vector<std::uint8_t> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    }
    Result set_filter(ULONG filter) { return set(OID_GEN_CURRENT_PACKET_FILTER, ulong_bytes(filter)); }
    Result set_list(std::initializer_list<host::MacAddress> list) {
        std::vector<std::uint8_t> bytes;
        for (const auto& a : list) bytes.insert(bytes.end(), a.begin(), a.end());
        return set(OID_802_3_MULTICAST_LIST, bytes);
    }

    std::array<std::uint8_t, 8> record_hash() const {
        std::array<std::uint8_t, 8> h;
        std::memcpy(h.data(), record_->MulticastHashBytes, 8);
        return h;
    }

    Ne2000Adapter* record_ = nullptr;
};

// The multicast registers are brought up to date before RCR, and RCR gets
// exactly AM, PRO and AB from the filter.
TEST_F(SetTest, FilterReachesMarThenRcr) {
    const std::array<std::uint8_t, 8> empty_table = hash_of({host::MacAddress{}});  // MAR1 0x40

    Result r =
        set_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.read, 4u);
    EXPECT_EQ(r.needed, 0u);
    EXPECT_EQ(r.lines, concat(mar_load(empty_table), {"RCR <- 0x0C"}));
    EXPECT_EQ(record_->PacketFilter, 0x0Bu);

    r = set_filter(NDIS_PACKET_TYPE_PROMISCUOUS);
    EXPECT_EQ(r.lines, concat(mar_load(kAllOnes), {"RCR <- 0x1C"}));

    r = set_filter(NDIS_PACKET_TYPE_ALL_MULTICAST);
    EXPECT_EQ(r.lines, concat(mar_load(kAllOnes), {"RCR <- 0x08"}));

    // A list set while all multicast frames are taken is hashed but leaves
    // MAR open; the next plain multicast filter loads the hash.
    const host::MacAddress a = group(1), b = group(2);
    r = set_list({a, b});
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.read, 12u);
    EXPECT_TRUE(r.lines.empty()) << ::testing::PrintToString(r.lines);
    EXPECT_EQ(record_hash(), hash_of({a, b, host::MacAddress{}}));

    r = set_filter(NDIS_PACKET_TYPE_MULTICAST);
    EXPECT_EQ(r.lines, concat(mar_load(hash_of({a, b, host::MacAddress{}})), {"RCR <- 0x08"}));

    // Filter 0 closes AM, PRO and AB and keeps any other RCR bit.
    record_->ReceiveConfigValue |= RCR_SEP;
    r = set_filter(0);
    EXPECT_EQ(r.lines, concat(mar_load(hash_of({a, b, host::MacAddress{}})), {"RCR <- 0x01"}));
    record_->ReceiveConfigValue = 0;

    // Directed and all-local change no register bit.
    r = set_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_ALL_LOCAL);
    EXPECT_EQ(r.lines.back(), "RCR <- 0x00");
    EXPECT_EQ(record_->PacketFilter, 0x81u);

    // A list set under a plain filter loads MAR at once; a list of length 0
    // rehashes the table as it stands.
    r = set_list({b});
    EXPECT_EQ(r.lines, mar_load(hash_of({b, b, host::MacAddress{}})));
    r = set(OID_802_3_MULTICAST_LIST, {});
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.read, 0u);
    EXPECT_EQ(r.lines, mar_load(hash_of({b, host::MacAddress{}})));

    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

// Every register write of a set runs inside a synchronised routine: a device
// sharing the line that interrupts at any port access never gets its turn
// while the controller may be on page 1.
TEST_F(SetTest, RegisterWritesAreHeldOffFromTheInterrupt) {
    tb_.ndis().set_foreign_interrupts(true);
    auto foreign_runs = [&] {
        std::size_t n = 0;
        for (const auto& run : tb_.ndis().isr_runs()) n += run.foreign ? 1 : 0;
        return n;
    };
    const std::size_t mark = tb_.trace().mark();
    set_filter(NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST);
    set_list({group(3), group(4), group(5)});
    set_filter(NDIS_PACKET_TYPE_PROMISCUOUS);
    set_filter(NDIS_PACKET_TYPE_DIRECTED);
    EXPECT_GT(tb_.trace().lines(mark).size(), 40u);
    EXPECT_EQ(foreign_runs(), 0u);

    // The mode is on: one unsynchronised access draws a foreign interrupt.
    tb_.call([&] { CardReadRegister(record_, NIC_ISR); });
    EXPECT_EQ(foreign_runs(), 1u);
    EXPECT_TRUE(tb_.isr_runs_off_page_zero().empty());
    tb_.ndis().set_foreign_interrupts(false);
}

TEST_F(SetTest, RefusalsChangeNothing) {
    ASSERT_EQ(set_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(set_list({group(7)}).status, NDIS_STATUS_SUCCESS);
    const auto hash_before = record_hash();
    UCHAR table_before[16][6];
    std::memcpy(table_before, record_->MulticastAddresses, sizeof table_before);

    auto expect_refused = [&](const Result& r, NDIS_STATUS status, ULONG read, ULONG needed,
                              const char* what) {
        EXPECT_EQ(r.status, status) << what;
        EXPECT_EQ(r.read, read) << what;
        EXPECT_EQ(r.needed, needed) << what;
        EXPECT_TRUE(r.lines.empty()) << what;
        EXPECT_EQ(record_->PacketFilter, 0x03u) << what;
        EXPECT_EQ(record_->CurrentLookahead, 238u) << what;
        EXPECT_EQ(record_hash(), hash_before) << what;
        EXPECT_EQ(std::memcmp(table_before, record_->MulticastAddresses, sizeof table_before), 0) << what;
    };

    expect_refused(set(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0}), NDIS_STATUS_INVALID_LENGTH, 0, 0,
                   "filter 3");
    expect_refused(set(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0, 0}), NDIS_STATUS_INVALID_LENGTH, 0, 0,
                   "filter 5");
    for (ULONG bit : {0x0010u, 0x0040u, 0x1000u, 0x2000u, 0x4000u, 0x8000u})
        expect_refused(set_filter(NDIS_PACKET_TYPE_DIRECTED | bit), NDIS_STATUS_NOT_SUPPORTED, 4, 0,
                       "foreign filter type");

    expect_refused(set(OID_GEN_CURRENT_LOOKAHEAD, {100, 0}), NDIS_STATUS_INVALID_LENGTH, 0, 0, "lookahead 2");
    // Too large: both counts as the caller had them.
    expect_refused(set(OID_GEN_CURRENT_LOOKAHEAD, ulong_bytes(239)), NDIS_STATUS_INVALID_LENGTH, 0xAAAA,
                   0xBBBB, "lookahead 239");

    expect_refused(set(OID_802_3_MULTICAST_LIST, std::vector<std::uint8_t>(7, 0x01)),
                   NDIS_STATUS_INVALID_LENGTH, 0, 0, "list 7");
    // Seventeen addresses do not fit the table: refused whole, with the room there is.
    std::vector<std::uint8_t> seventeen;
    for (unsigned i = 0; i < 17; ++i) {
        const auto g = group(100 + i);
        seventeen.insert(seventeen.end(), g.begin(), g.end());
    }
    expect_refused(set(OID_802_3_MULTICAST_LIST, seventeen), NDIS_STATUS_MULTICAST_FULL, 0, 96, "list 17");

    expect_refused(set(OID_GEN_PROTOCOL_OPTIONS, ulong_bytes(0)), NDIS_STATUS_INVALID_OID, 0, 0, "options");
    expect_refused(set(OID_GEN_LINK_SPEED, ulong_bytes(0)), NDIS_STATUS_INVALID_OID, 0, 0, "query-only");
    expect_refused(set(0x01010105, ulong_bytes(0)), NDIS_STATUS_INVALID_OID, 0, 0, "unknown");

    // The limits themselves are accepted.
    Result r = set(OID_GEN_CURRENT_LOOKAHEAD, ulong_bytes(238));
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.read, 4u);
    EXPECT_EQ(r.needed, 0u);
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(set(OID_GEN_CURRENT_LOOKAHEAD, ulong_bytes(0)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(record_->CurrentLookahead, 0u);

    seventeen.resize(96);
    r = set(OID_802_3_MULTICAST_LIST, seventeen);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.read, 96u);
    EXPECT_EQ(std::memcmp(record_->MulticastAddresses, seventeen.data(), 96), 0);
}

// What the chip takes after a set, proven with frames on the wire.
class SetOnTheWire : public fixture::InitializedAdapterTest {
protected:
    // Sends one frame from the peer; returns whether the protocol got it and
    // whether the chip stored it (the driver counted it).
    std::pair<bool, bool> deliver(const std::vector<std::uint8_t>& f) {
        const std::size_t got = tb_.protocol().received_frames().size();
        const ULONG stored = tb_.record()->ReceiveGoodCount;
        tb_.peer().send_at(tb_.now() + kMillisecond, f);
        tb_.run_for(30 * kMillisecond);
        const bool passed = tb_.protocol().received_frames().size() > got;
        if (passed) {
            EXPECT_EQ(tb_.protocol().received_frames().back().frame, f);
        }
        return {passed, tb_.record()->ReceiveGoodCount > stored};
    }
};

TEST_F(SetOnTheWire, MulticastListedGroupsOnly) {
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST),
              NDIS_STATUS_SUCCESS);
    // Sixteen groups with sixteen different hash bits, so each is judged by
    // its own bit; the last ones sit in slots 8-15 of the table.
    std::vector<host::MacAddress> list;
    std::array<bool, 64> used{};
    used[hash_index(host::MacAddress{})] = true;
    host::MacAddress unlisted{};
    for (unsigned n = 1; list.size() < 16 || unlisted == host::MacAddress{}; ++n) {
        const auto g = group(n);
        if (used[hash_index(g)]) continue;
        used[hash_index(g)] = true;
        if (list.size() < 16)
            list.push_back(g);
        else
            unlisted = g;
    }
    ASSERT_EQ(tb_.protocol().set_multicast_list(list), NDIS_STATUS_SUCCESS);

    for (std::size_t i : {0u, 7u, 8u, 12u, 15u})
        EXPECT_EQ(deliver(frame(list[i])), std::make_pair(true, true)) << i;
    // A group of no listed bit never leaves the chip.
    EXPECT_EQ(deliver(frame(unlisted)), std::make_pair(false, false));

    // Seventeen groups are refused and the sixteen stay in force.
    list.push_back(unlisted);
    EXPECT_EQ(tb_.protocol().set_multicast_list(list), NDIS_STATUS_MULTICAST_FULL);
    EXPECT_EQ(deliver(frame(list[15])), std::make_pair(true, true));
    EXPECT_EQ(deliver(frame(unlisted)), std::make_pair(false, false));

    // All multicast opens the hash fully.
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_ALL_MULTICAST), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(unlisted)), std::make_pair(true, true));
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

TEST_F(SetOnTheWire, BroadcastNeedsTheBroadcastBit) {
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(kBroadcast)), std::make_pair(false, false));
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(kBroadcast)), std::make_pair(true, true));
    EXPECT_EQ(deliver(frame(kStation)), std::make_pair(true, true));
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

TEST_F(SetOnTheWire, PromiscuousTakesOtherStationsFrames) {
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(kOtherStation)), std::make_pair(false, false));
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(kOtherStation)), std::make_pair(true, true));
    EXPECT_EQ(deliver(frame(kBroadcast)), std::make_pair(true, true));
    EXPECT_EQ(deliver(frame(group(9))), std::make_pair(true, true));
    // Back to directed: the chip closes again.
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(deliver(frame(kOtherStation)), std::make_pair(false, false));
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

TEST_F(SetOnTheWire, LookaheadLimitsWhatIsIndicated) {
    ASSERT_EQ(tb_.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    ULONG lookahead = 64, read = 0, needed = 0;
    ASSERT_EQ(tb_.protocol().set(OID_GEN_CURRENT_LOOKAHEAD, &lookahead, 4, &read, &needed),
              NDIS_STATUS_SUCCESS);
    const auto f = frame(kStation, 600);
    EXPECT_EQ(deliver(f), std::make_pair(true, true));
    const auto& got = tb_.protocol().received_frames().back();
    EXPECT_EQ(got.lookahead.size(), 64u);
    EXPECT_EQ(got.packet_size, 600u - 14u);
    EXPECT_TRUE(tb_.errors().empty()) << ::testing::PrintToString(tb_.errors());
}

}  // namespace
