// What a certification lab runs against a miniport at its protocol edge: every
// identifier at every kind of buffer length, every setting with good and bad
// buffers, every send length and buffer-chain shape. Only what a protocol can
// see counts: answers, counts, completions and the frames on the wire; the
// driver's record is never read. The traffic half is in
// certification_traffic_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "machine/nic/ethernet_crc.h"
#include "tests/driver/fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using fixture::kBroadcast;
using fixture::kMs;
using fixture::kPeer;
using fixture::kStation;

constexpr std::uint8_t kCanary = 0xA5;
constexpr ULONG kSlack = 16;  // canary bytes behind every buffer handed to the driver

// No bus trace, and port accesses that take no virtual time.
testbed::TestbedOptions Untimed(bool eight_bit = false) {
    testbed::TestbedOptions o;
    o.trace = false;
    o.pc.access_cost = 0;
    if (eight_bit) o.pc.nic = machine::Dp8390Config::eight_bit_card();
    return o;
}

// An adapter brought up as NDIS brings it up; checked and halted at the end.
class Certification : public ::testing::Test {
protected:
    explicit Certification(bool eight_bit = false) : tb(Untimed(eight_bit)) {}

    void SetUp() override {
        ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
        ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    }
    void TearDown() override {
        tb.halt();
        EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
        fixture::ExpectClean(tb);
        EXPECT_TRUE(tb.error_log().empty()) << tb.error_log().to_string();
    }

    testbed::Testbed tb;
};

// --- Requests ---

struct Reply {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    ULONG done = 0x5A5A;  // bytes written or read, as the wrapper reports them
    ULONG needed = 0x5A5A;
    Bytes buffer;  // the caller's buffer and kSlack bytes behind it, afterwards
};

Reply Query(testbed::Testbed& tb, NDIS_OID oid, ULONG length) {
    Reply r;
    r.buffer.assign(length + kSlack, kCanary);
    r.status = tb.protocol().query(oid, r.buffer.data(), length, &r.done, &r.needed);
    return r;
}

// A set must read the caller's buffer, never write it.
Reply Set(testbed::Testbed& tb, NDIS_OID oid, const Bytes& bytes) {
    Reply r;
    r.buffer = bytes;
    r.buffer.insert(r.buffer.end(), kSlack, kCanary);
    const Bytes before = r.buffer;
    r.status = tb.protocol().set(oid, r.buffer.data(), static_cast<ULONG>(bytes.size()), &r.done, &r.needed);
    EXPECT_EQ(r.buffer, before) << "the set wrote into the caller's buffer";
    return r;
}

Bytes UlongBytes(ULONG v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

ULONG Counter(testbed::Testbed& tb, NDIS_OID oid) {
    ULONG v = 0;
    EXPECT_EQ(tb.protocol().query(oid, &v, 4), NDIS_STATUS_SUCCESS) << std::hex << oid;
    return v;
}

bool Untouched(const Bytes& buffer, std::size_t from) {
    return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                       [](std::uint8_t b) { return b == kCanary; });
}

// The size of each declared identifier's answer; 0 for the three the query
// handler refuses (the filter and the list can only be set, protocol options
// are taken by neither handler).
ULONG AnswerSize(NDIS_OID oid) {
    switch (oid) {
        case OID_GEN_SUPPORTED_LIST:
            return 31 * 4;
        case OID_GEN_VENDOR_DESCRIPTION:
            return 21;
        case OID_802_3_PERMANENT_ADDRESS:
        case OID_802_3_CURRENT_ADDRESS:
            return 6;
        case OID_GEN_DRIVER_VERSION:
            return 2;
        case OID_GEN_CURRENT_PACKET_FILTER:
        case OID_GEN_PROTOCOL_OPTIONS:
        case OID_802_3_MULTICAST_LIST:
            return 0;
        default:
            return 4;
    }
}

const std::set<NDIS_OID> kSettable = {OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD,
                                      OID_802_3_MULTICAST_LIST};

// Every answer the adapter gives, by identifier.
std::map<NDIS_OID, Bytes> Answers(testbed::Testbed& tb) {
    std::map<NDIS_OID, Bytes> out;
    for (NDIS_OID oid : Ne2000SupportedOids) {
        Reply r = Query(tb, oid, 256);
        if (r.status != NDIS_STATUS_SUCCESS) continue;
        r.buffer.resize(r.done);
        out[oid] = r.buffer;
    }
    return out;
}

// Groups whose hash bits differ from each other and from the bit of the
// all-zero address that never-used table slots hash to, so each group is let
// through or held back by its own bit alone.
std::vector<host::MacAddress> DistinctGroups(std::size_t n) {
    std::set<unsigned> used = {machine::ethernet::multicast_hash_index(std::array<std::uint8_t, 6>{})};
    std::vector<host::MacAddress> out;
    for (unsigned i = 1; out.size() < n; ++i) {
        const host::MacAddress g = {
            0x01, 0x00, 0x5E, 0x10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        if (used.insert(machine::ethernet::multicast_hash_index(g)).second) out.push_back(g);
    }
    return out;
}

Bytes ListBytes(const std::vector<host::MacAddress>& list) {
    Bytes b;
    for (const auto& a : list) b.insert(b.end(), a.begin(), a.end());
    return b;
}

// =====================================================================
// 1. Identifiers
// =====================================================================

// Every declared identifier queried with no buffer, one byte short, the
// exact size, one byte over and a large buffer: refused with the size needed
// and nothing written, or answered with exactly its size, the same answer
// whatever the room, and not a byte beyond it.
TEST_F(Certification, EveryDeclaredOidAtEveryBufferLength) {
    const Reply list = Query(tb, OID_GEN_SUPPORTED_LIST, 256);
    ASSERT_EQ(list.status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(list.done, sizeof Ne2000SupportedOids);
    EXPECT_EQ(std::memcmp(list.buffer.data(), Ne2000SupportedOids, list.done), 0);
    const std::set<NDIS_OID> declared(std::begin(Ne2000SupportedOids), std::end(Ne2000SupportedOids));
    EXPECT_EQ(declared.size(), std::size(Ne2000SupportedOids)) << "an identifier declared twice";
    for (NDIS_OID oid : kSettable) EXPECT_TRUE(declared.count(oid)) << std::hex << oid;

    for (NDIS_OID oid : Ne2000SupportedOids) {
        const ULONG size = AnswerSize(oid);
        std::optional<Bytes> first;
        for (ULONG length : std::set<ULONG>{0, size > 0 ? size - 1 : 1, size, size + 1, 200}) {
            SCOPED_TRACE(::testing::Message()
                         << "OID 0x" << std::hex << oid << std::dec << ", " << length << " bytes");
            const Reply r = Query(tb, oid, length);
            if (size == 0) {
                EXPECT_EQ(r.status, NDIS_STATUS_INVALID_OID);
                EXPECT_EQ(r.needed, 0u);
            } else if (length < size) {
                EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
                EXPECT_EQ(r.needed, size);
            } else {
                EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
                EXPECT_EQ(r.done, size);
                EXPECT_EQ(r.needed, 0u);
                const Bytes answer(r.buffer.begin(), r.buffer.begin() + size);
                if (!first) first = answer;
                EXPECT_EQ(answer, *first) << "the answer changed with the buffer's length";
                EXPECT_TRUE(Untouched(r.buffer, size)) << "written past the answer";
                continue;
            }
            EXPECT_EQ(r.done, 0u);
            EXPECT_TRUE(Untouched(r.buffer, 0)) << "a refused query wrote into the buffer";
        }
    }
}

// Identifiers of NDIS the driver does not declare, and made-up ones: refused by
// both handlers with nothing written and nothing changed. Each declared
// identifier that can only be queried is refused by the set handler alike.
TEST_F(Certification, UndeclaredOidsAndSetsOfQueryOnlyOidsChangeNothing) {
    const std::pair<NDIS_OID, const char*> kUndeclared[] = {
        {0x00010114, "OID_GEN_MEDIA_CONNECT_STATUS"},
        {0x00010115, "OID_GEN_MAXIMUM_SEND_PACKETS"},
        {0x00010116, "OID_GEN_VENDOR_DRIVER_VERSION"},
        {0x00010202, "OID_GEN_PHYSICAL_MEDIUM"},
        {0x00020106, "OID_GEN_RCV_CRC_ERROR (old number)"},
        {0x00020201, "OID_GEN_DIRECTED_BYTES_XMIT"},
        {0x0002020D, "OID_GEN_RCV_CRC_ERROR"},
        {0x0002020E, "OID_GEN_TRANSMIT_QUEUE_LENGTH"},
        {0x01010105, "OID_802_3_MAC_OPTIONS"},
        {0x01020201, "OID_802_3_XMIT_DEFERRED"},
        {0x01020202, "OID_802_3_XMIT_MAX_COLLISIONS"},
        {0x01020203, "OID_802_3_RCV_OVERRUN"},
        {0x01020204, "OID_802_3_XMIT_UNDERRUN"},
        {0x01020207, "OID_802_3_XMIT_LATE_COLLISIONS"},
        {0x02010101, "OID_802_5_PERMANENT_ADDRESS"},
        {0x03010101, "OID_FDDI_LONG_PERMANENT_ADDR"},
        {0xFD010100, "OID_PNP_CAPABILITIES"},
        {0x00000000, "zero"},
        {0x00010100, "below the general range"},
        {0x00010120, "past the general range"},
        {0x81010101, "a declared one with the top bit set"},
        {0x7FFFFFFF, "made up"},
        {0xFFFFFFFF, "all ones"},
    };
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    ASSERT_EQ(tb.protocol().set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4), NDIS_STATUS_SUCCESS);
    // Some traffic first, so that a statistic set back to 0 shows.
    for (unsigned i = 0; i < 2; ++i) {
        tb.protocol().send(fixture::EthernetFrame(kPeer, kStation, 100, i));
        tb.peer().send(fixture::Frame(100, i));
    }
    tb.run_for(50 * kMs);
    const auto before = Answers(tb);
    ASSERT_EQ(before.at(OID_GEN_XMIT_OK), UlongBytes(2));
    ASSERT_EQ(before.at(OID_GEN_RCV_OK), UlongBytes(2));

    auto expect_refused = [&](const Reply& r, const Bytes& sent) {
        EXPECT_EQ(r.status, NDIS_STATUS_INVALID_OID);
        EXPECT_EQ(r.done, 0u);
        EXPECT_EQ(r.needed, 0u);
        if (sent.empty()) {
            EXPECT_TRUE(Untouched(r.buffer, 0));
        }
    };
    for (const auto& [oid, name] : kUndeclared) {
        SCOPED_TRACE(name);
        for (ULONG length : {0u, 4u, 64u}) expect_refused(Query(tb, oid, length), {});
        for (const Bytes& b : {Bytes{}, UlongBytes(0x0B), Bytes(96, 0x01)})
            expect_refused(Set(tb, oid, b), b);
    }
    for (NDIS_OID oid : Ne2000SupportedOids) {
        if (kSettable.count(oid)) continue;
        SCOPED_TRACE(::testing::Message() << "set of query-only OID 0x" << std::hex << oid);
        const Bytes answer = before.count(oid) ? before.at(oid) : UlongBytes(0);
        for (const Bytes& b : {Bytes{}, answer, UlongBytes(0xFFFFFFFF)}) expect_refused(Set(tb, oid, b), b);
    }
    EXPECT_EQ(Answers(tb), before);

    // The filter set before still holds on the card: its own and broadcast
    // frames in, another station's out.
    const ULONG received = Counter(tb, OID_GEN_RCV_OK);
    const host::MacAddress other = {0x02, 0, 0, 0, 0x77, 0x07};
    for (const auto& to : {kStation, kBroadcast, other}) tb.peer().send(fixture::Frame(64, 1, to));
    tb.run_for(5 * kMs);
    EXPECT_EQ(Counter(tb, OID_GEN_RCV_OK), received + 2);
}

// Which of a fixed set of frames the card takes, one frame at a time, judged
// by the receive count: the wrapper's own filtering cannot hide what the card
// was told.
class CertificationSets : public Certification {
protected:
    std::vector<bool> CardTakes() {
        std::vector<bool> out;
        for (const auto& to : probes_) {
            const ULONG before = Counter(tb, OID_GEN_RCV_OK);
            tb.peer().send(fixture::Frame(64, static_cast<unsigned>(out.size()), to));
            tb.run_for(1 * kMs);
            out.push_back(Counter(tb, OID_GEN_RCV_OK) != before);
        }
        return out;
    }

    const std::vector<host::MacAddress> groups_ = DistinctGroups(20);
    // Its own address, broadcast, a listed group, a group never listed and
    // another station.
    const std::vector<host::MacAddress> probes_ = {
        kStation, kBroadcast, groups_[0], groups_[19], {0x02, 0, 0, 0, 0x77, 0x07}};
};

struct SetCase {
    std::string what;
    NDIS_OID oid;
    Bytes bytes;
    NDIS_STATUS status;
    ULONG read;
    ULONG needed;
};

std::vector<SetCase> RefusedSets(const std::vector<host::MacAddress>& groups) {
    std::vector<SetCase> out;
    const Bytes filter = UlongBytes(NDIS_PACKET_TYPE_PROMISCUOUS);
    const Bytes lookahead = UlongBytes(40);
    for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 8u}) {
        Bytes f = filter, l = lookahead;
        f.resize(n, 0);
        l.resize(n, 0);
        out.push_back({"filter of " + std::to_string(n) + " bytes", OID_GEN_CURRENT_PACKET_FILTER, f,
                       NDIS_STATUS_INVALID_LENGTH, 0, 0});
        out.push_back({"lookahead of " + std::to_string(n) + " bytes", OID_GEN_CURRENT_LOOKAHEAD, l,
                       NDIS_STATUS_INVALID_LENGTH, 0, 0});
    }
    // Types of other media, alone or with every Ethernet type: refused whole.
    for (ULONG bit : {0x0010u, 0x0040u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0xF050u})
        for (ULONG with : {0x0u, 0xAFu})
            out.push_back({"filter type " + std::to_string(bit | with), OID_GEN_CURRENT_PACKET_FILTER,
                           UlongBytes(bit | with), NDIS_STATUS_NOT_SUPPORTED, 4, 0});
    for (ULONG value : {239u, 240u, 1514u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        out.push_back({"lookahead " + std::to_string(value), OID_GEN_CURRENT_LOOKAHEAD, UlongBytes(value),
                       NDIS_STATUS_INVALID_LENGTH, 0, 0});
    const Bytes all = ListBytes(groups);  // 20 groups
    for (std::size_t n : {1u, 5u, 7u, 11u, 95u, 97u})
        out.push_back({"list of " + std::to_string(n) + " bytes", OID_802_3_MULTICAST_LIST,
                       Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n)),
                       NDIS_STATUS_INVALID_LENGTH, 0, 0});
    // More groups than the table's 16 slots, the never-listed probe among
    // them: refused whole, with the room there is.
    for (std::size_t n : {17u, 20u})
        out.push_back({"list of " + std::to_string(n) + " groups", OID_802_3_MULTICAST_LIST,
                       Bytes(all.end() - static_cast<std::ptrdiff_t>(6 * n), all.end()),
                       NDIS_STATUS_MULTICAST_FULL, 0, 96});
    return out;
}

TEST_F(CertificationSets, BadLengthsAndValuesAreRefusedAndChangeNothing) {
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
    ASSERT_EQ(Set(tb, OID_GEN_CURRENT_PACKET_FILTER, UlongBytes(filter)).status, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(Set(tb, OID_802_3_MULTICAST_LIST, ListBytes({groups_[0], groups_[1]})).status,
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(Set(tb, OID_GEN_CURRENT_LOOKAHEAD, UlongBytes(100)).status, NDIS_STATUS_SUCCESS);
    const std::vector<bool> takes = CardTakes();
    ASSERT_EQ(takes, std::vector<bool>({true, true, true, false, false}));

    for (const SetCase& c : RefusedSets(groups_)) {
        SCOPED_TRACE(c.what);
        const auto answers = Answers(tb);
        const Reply r = Set(tb, c.oid, c.bytes);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.done, c.read);
        EXPECT_EQ(r.needed, c.needed);
        EXPECT_EQ(Answers(tb), answers);
        EXPECT_EQ(CardTakes(), takes);
    }
}

// The good values of each setting are taken whole: the counts say so, and
// the lookahead is what the next frames are indicated with.
TEST_F(Certification, GoodValuesOfEverySettingAreTaken) {
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    const Bytes frame = fixture::Frame(600, 5);
    for (ULONG lookahead : {0u, 1u, 13u, 14u, 64u, 237u, 238u}) {
        SCOPED_TRACE(::testing::Message() << "lookahead " << lookahead);
        const Reply r = Set(tb, OID_GEN_CURRENT_LOOKAHEAD, UlongBytes(lookahead));
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.done, 4u);
        EXPECT_EQ(r.needed, 0u);
        EXPECT_EQ(Counter(tb, OID_GEN_CURRENT_LOOKAHEAD), lookahead);
        tb.protocol().clear_received();
        tb.peer().send(frame);
        tb.run_for(3 * kMs);
        ASSERT_EQ(tb.protocol().received_frames().size(), 1u);
        const auto& got = tb.protocol().received_frames()[0];
        EXPECT_EQ(got.lookahead.size(), lookahead);
        EXPECT_EQ(got.packet_size, 600u - 14u);
        EXPECT_EQ(got.frame, frame);
    }

    const auto groups = DistinctGroups(16);
    for (std::size_t n : {0u, 1u, 8u, 16u}) {
        SCOPED_TRACE(::testing::Message() << "list of " << n);
        const Reply r = Set(tb, OID_802_3_MULTICAST_LIST,
                            ListBytes({groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(n)}));
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.done, 6 * n);
        EXPECT_EQ(r.needed, 0u);
    }
    // Every combination of the Ethernet types (what each lets in: the receive tests).
    const ULONG types[] = {NDIS_PACKET_TYPE_DIRECTED,      NDIS_PACKET_TYPE_MULTICAST,
                           NDIS_PACKET_TYPE_ALL_MULTICAST, NDIS_PACKET_TYPE_BROADCAST,
                           NDIS_PACKET_TYPE_PROMISCUOUS,   NDIS_PACKET_TYPE_ALL_LOCAL};
    for (unsigned combination = 0; combination < 64; ++combination) {
        ULONG filter = 0;
        for (unsigned i = 0; i < 6; ++i)
            if (combination & (1u << i)) filter |= types[i];
        SCOPED_TRACE(::testing::Message() << "filter 0x" << std::hex << filter);
        const Reply r = Set(tb, OID_GEN_CURRENT_PACKET_FILTER, UlongBytes(filter));
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.done, 4u);
        EXPECT_EQ(r.needed, 0u);
    }
}

// =====================================================================
// 2. Sends
// =====================================================================

// A frame for the peer whose every byte depends on its number and position;
// shorter than a header when asked.
Bytes Outgoing(std::size_t length, unsigned seq) {
    Bytes f = fixture::EthernetFrame(kPeer, kStation, std::max<std::size_t>(length, 15), seq);
    f.resize(length);
    return f;
}

// What the peer must hear: the frame, filled with spaces up to 60 bytes.
Bytes OnTheWire(Bytes f) {
    if (f.size() < 60) f.resize(60, 0x20);
    return f;
}

// On a 16-bit card and on an 8-bit one.
class CertificationSends : public Certification, public ::testing::WithParamInterface<bool> {
protected:
    CertificationSends() : Certification(GetParam()) {}

    // The peer heard exactly `expected`, in order; the first difference is named.
    void ExpectHeard(const std::vector<Bytes>& expected) {
        const auto& heard = tb.peer().received();
        EXPECT_EQ(heard.size(), expected.size());
        for (std::size_t i = 0; i < std::min(heard.size(), expected.size()); ++i)
            if (heard[i].frame != expected[i]) {
                ADD_FAILURE() << "frame " << i << " of " << expected[i].size() << " bytes arrived as "
                              << heard[i].frame.size() << " different bytes";
                return;
            }
    }
};

// Every length from 1 to 1536 (what the transmit area's bookkeeping could
// place), with empty and larger packets among them: up to 1514 each goes out,
// anything longer is refused (a receiver would drop it as a giant). Lengths alternate
// long and short, so each short frame lands on pages a long one has just
// filled with its own bytes: padding that is not written shows on the wire.
TEST_P(CertificationSends, EveryLengthArrivesIntactAndShortOnesArePaddedWithSpaces) {
    std::vector<std::size_t> order;
    for (std::size_t lo = 1, hi = 1536; lo <= hi; ++lo, --hi) {
        order.push_back(hi);
        if (lo != hi) order.push_back(lo);
    }
    const std::map<std::size_t, std::size_t> refused_at = {{0, 0}, {700, 1537}, {701, 3072}, {1500, 3073}};

    std::vector<Bytes> expected;
    std::set<std::uint64_t> accepted, refused;
    std::size_t next = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (auto it = refused_at.find(i); it != refused_at.end())
            refused.insert(tb.protocol().send(Outgoing(it->second, 0)));
        const Bytes f = Outgoing(order[i], static_cast<unsigned>(i));
        if (order[i] > 1514) {
            refused.insert(tb.protocol().send(f));
        } else {
            accepted.insert(tb.protocol().send(f));
            expected.push_back(OnTheWire(f));
        }
        // At most a few dozen packets in flight: the protocol's pool is finite.
        if (i - next >= 32 || i + 1 == order.size()) {
            ASSERT_TRUE(tb.run_until_idle(machine::kSecond));
            next = i;
        }
    }
    ExpectHeard(expected);
    EXPECT_EQ(tb.protocol().sends_pending(), 0u);
    for (const auto& c : tb.protocol().completions()) {
        EXPECT_FALSE(c.synchronous) << c.id;  // the send handler always pends
        const NDIS_STATUS expected_status =
            accepted.count(c.id) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_INVALID_PACKET;
        EXPECT_EQ(c.status, expected_status) << c.id;
    }
    EXPECT_EQ(tb.protocol().completions().size(), accepted.size() + refused.size());
    EXPECT_EQ(Counter(tb, OID_GEN_XMIT_OK), accepted.size());
    EXPECT_EQ(Counter(tb, OID_GEN_XMIT_ERROR), 0u);
}

// Packets as protocols build them: a header buffer and a data buffer, one
// byte per buffer, empty buffers anywhere in the chain, dozens of buffers,
// buffers starting at odd addresses. Each arrives as one intact frame.
TEST_P(CertificationSends, EveryBufferChainShapeArrivesIntact) {
    struct Shape {
        const char* name;
        std::size_t first_offset;
        std::function<std::vector<std::size_t>(std::size_t length)> split;
    };
    auto repeat = [](std::vector<std::size_t> pattern, std::size_t length) {
        std::vector<std::size_t> out;
        for (std::size_t sum = 0, i = 0; sum < length; ++i) {
            out.push_back(pattern[i % pattern.size()]);
            sum += out.back();
        }
        return out;
    };
    const Shape shapes[] = {
        {"one buffer at an odd address", 1, [](std::size_t) { return std::vector<std::size_t>{}; }},
        {"header and data", 0, [](std::size_t) { return std::vector<std::size_t>{14}; }},
        {"addresses and type apart", 3,
         [](std::size_t) {
             return std::vector<std::size_t>{6, 6, 2};
         }},
        {"one byte per buffer", 0, [](std::size_t n) { return std::vector<std::size_t>(n, 1); }},
        {"one byte per buffer from an odd address", 3,
         [](std::size_t n) { return std::vector<std::size_t>(n, 1); }},
        {"an empty buffer first", 0, [](std::size_t) { return std::vector<std::size_t>{0}; }},
        {"an empty buffer last", 0,
         [](std::size_t n) {
             return std::vector<std::size_t>{n, 0};
         }},
        {"empty buffers around the frame", 1,
         [](std::size_t n) {
             return std::vector<std::size_t>{0, 0, n, 0, 0};
         }},
        {"empty buffers between odd pieces", 0,
         [&](std::size_t n) {
             return repeat({0, 3, 0, 0, 1, 0, 5}, n);
         }},
        {"odd pieces from an odd address", 1,
         [&](std::size_t n) {
             return repeat({1, 3, 5, 7, 9, 11}, n);
         }},
        {"dozens of pieces", 0,
         [&](std::size_t n) {
             return repeat({37, 2, 61, 1, 0, 24}, n);
         }},
    };
    const std::size_t lengths[] = {1, 2, 3, 13, 14, 15, 59, 60, 61, 255, 256, 257, 513, 1512, 1513, 1514};

    std::vector<Bytes> expected;
    unsigned seq = 0;
    for (const Shape& shape : shapes) {
        for (std::size_t length : lengths) {
            const Bytes f = Outgoing(length, seq++);
            const auto id = tb.protocol().send(f, shape.split(length), shape.first_offset);
            expected.push_back(OnTheWire(f));
            ASSERT_TRUE(tb.run_until_idle(machine::kSecond));
            EXPECT_EQ(tb.protocol().completion_of(id), NDIS_STATUS_SUCCESS) << shape.name << ", " << length;
            if (tb.peer().received().size() != expected.size() ||
                tb.peer().received().back().frame != expected.back()) {
                ADD_FAILURE() << shape.name << ": a frame of " << length << " bytes did not arrive intact";
                return;
            }
        }
    }
    EXPECT_EQ(Counter(tb, OID_GEN_XMIT_OK), expected.size());
}

INSTANTIATE_TEST_SUITE_P(CardWidths, CertificationSends, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "EightBit" : "SixteenBit"; });

}  // namespace
