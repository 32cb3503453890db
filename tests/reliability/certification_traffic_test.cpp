// The traffic half of what a certification lab runs at a miniport's protocol
// edge: receive of every frame length under every packet filter, both ways at
// line rate, a reset in the middle of it, and two adapters side by side.
// Only what a protocol sees counts: indications, completions, answers to
// queries and the frames on the wire.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include "machine/nic/ethernet_crc.h"
#include "net/wire/nic_port.h"
#include "tests/driver/fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using fixture::Frame;
using fixture::kBroadcast;
using fixture::kMs;
using fixture::kPeer;
using fixture::kStation;
using machine::kMicrosecond;
using machine::kSecond;

testbed::TestbedOptions Options(machine::Nanoseconds access_cost) {
    testbed::TestbedOptions o;
    o.trace = false;
    o.pc.access_cost = access_cost;
    return o;
}

::testing::AssertionResult BringUp(testbed::Testbed& tb, ULONG filter) {
    if (tb.load_driver() != STATUS_SUCCESS) return ::testing::AssertionFailure() << "DriverEntry failed";
    if (tb.initialize() != NDIS_STATUS_SUCCESS)
        return ::testing::AssertionFailure() << "initialize failed: " << tb.error_log().to_string();
    if (tb.protocol().set_packet_filter(filter) != NDIS_STATUS_SUCCESS)
        return ::testing::AssertionFailure() << "filter refused";
    return ::testing::AssertionSuccess();
}

void HaltAndCheck(testbed::Testbed& tb) {
    tb.halt();
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    fixture::ExpectClean(tb);
    EXPECT_TRUE(tb.error_log().empty()) << tb.error_log().to_string();
}

ULONG Counter(testbed::TestProtocol& protocol, NDIS_OID oid) {
    ULONG v = 0;
    EXPECT_EQ(protocol.query(oid, &v, 4), NDIS_STATUS_SUCCESS) << std::hex << oid;
    return v;
}

// The received frames, as the protocol assembled them.
std::vector<Bytes> Indicated(const testbed::TestProtocol& protocol) {
    std::vector<Bytes> out;
    for (const auto& r : protocol.received_frames()) out.push_back(r.frame);
    return out;
}

std::vector<Bytes> Heard(const net::PeerStation& peer) {
    std::vector<Bytes> out;
    for (const auto& a : peer.received()) out.push_back(a.frame);
    return out;
}

// `got` holds frames of `sent` only, each once, in the order sent.
::testing::AssertionResult InOrderSubset(const std::vector<Bytes>& got, const std::vector<Bytes>& sent) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        while (at < sent.size() && sent[at] != got[i]) ++at;
        if (at == sent.size())
            return ::testing::AssertionFailure() << "frame " << i << " (" << got[i].size()
                                                 << " bytes) was never sent, or came twice or late";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

// =====================================================================
// 3. Receive under every filter
// =====================================================================

// Destinations: the station, broadcast, another station, and groups. The
// groups are a pool of 17 with their own hash bits (lists are its first n, so
// a shorter list leaves the later ones in the table), plus two that share a
// bit with a pooled one: the card takes those with the pooled one, and only
// the wrapper's filter can tell them apart.
struct Groups {
    std::vector<host::MacAddress> pool;
    std::vector<host::MacAddress> sharers;

    static unsigned bit(const host::MacAddress& a) { return machine::ethernet::multicast_hash_index(a); }

    Groups() {
        std::set<unsigned> used = {bit(host::MacAddress{})};
        for (unsigned i = 1; pool.size() < 17 || sharers.size() < 2; ++i) {
            const host::MacAddress g = {
                0x01, 0x00, 0x5E, 0x20, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
            if (pool.size() < 17 && used.insert(bit(g)).second) {
                pool.push_back(g);
            } else if (!pool.empty() && bit(g) == bit(pool[0]) && sharers.empty()) {
                sharers.push_back(g);
            } else if (pool.size() > 15 && bit(g) == bit(pool[15]) && sharers.size() == 1) {
                sharers.push_back(g);
            }
        }
    }
};

struct Filter {
    ULONG bits;
    std::size_t listed;  // the first `listed` groups of the pool
};

// Every union of directed, multicast, all-multicast, broadcast and
// promiscuous, each with a list of 0 to 16 groups (every size comes up).
std::vector<Filter> EveryFilter() {
    std::vector<Filter> out;
    for (unsigned c = 0; c < 32; ++c) {
        ULONG bits = 0;
        if (c & 1) bits |= NDIS_PACKET_TYPE_DIRECTED;
        if (c & 2) bits |= NDIS_PACKET_TYPE_MULTICAST;
        if (c & 4) bits |= NDIS_PACKET_TYPE_ALL_MULTICAST;
        if (c & 8) bits |= NDIS_PACKET_TYPE_BROADCAST;
        if (c & 16) bits |= NDIS_PACKET_TYPE_PROMISCUOUS;
        out.push_back({bits, (c * 7) % 17});
    }
    return out;
}

// The deferred handler busy-waits about 16 ms before it looks at the card
// (it clears the socket controller's status changes first), and the receive
// ring must hold what arrives meanwhile: 52 pages on a 16 KB card, 20 on an
// 8 KB one. Frames the card takes come in back-to-back groups that fill at
// most three quarters of the ring, 40 ms apart, so none is lost for want of
// room: that is the line-rate test's business.
class RingPacer {
public:
    RingPacer(machine::Nanoseconds start, unsigned ring_pages)
        : group_start_(start + 1 * kMs), limit_(ring_pages * 3 / 4) {}

    // When to send the next frame of `length` bytes.
    machine::Nanoseconds when(std::size_t length, bool stored) {
        const unsigned pages = static_cast<unsigned>((length + 4 + 4 + 255) / 256);  // FCS, ring header
        if (stored && pages_ + pages > limit_) {
            group_start_ += 40 * kMs;
            pages_ = 0;
        }
        if (stored) pages_ += pages;
        return group_start_;
    }

private:
    machine::Nanoseconds group_start_;
    unsigned limit_;
    unsigned pages_ = 0;
};

// Every frame length 60 to 1514 reaches every kind of destination over the
// whole run, each filter seeing lengths from all over the range, in
// back-to-back groups the ring can hold. A frame reaches
// the protocol exactly when its filter and list say so, whole; and the
// receive count shows the card stored exactly what the filter opened it to
// (hash bits included), not a frame more.
TEST(CertificationReceive, EveryLengthUnderEveryFilterReachesTheProtocolExactlyWhenItShould) {
    testbed::Testbed tb(Options(0));
    ASSERT_TRUE(BringUp(tb, 0));
    const Groups groups;
    const host::MacAddress other = {0x02, 0x00, 0x00, 0x00, 0x77, 0x07};
    // Destination kinds, one slot each per round; groups have three slots.
    enum Kind { kToStation, kToBroadcast, kToOther, kToGroup };
    const Kind kinds[] = {kToStation, kToBroadcast, kToOther, kToGroup, kToGroup, kToGroup};
    const std::vector<Filter> filters = EveryFilter();
    const std::size_t kLengths = 1514 - 60 + 1;
    const std::size_t rounds = (kLengths + filters.size() - 1) / filters.size();
    std::mt19937 rng(7);

    std::size_t widest_list = 0, group_turn = 0;
    unsigned seq = 0;
    for (std::size_t fi = 0; fi < filters.size(); ++fi) {
        const Filter& filter = filters[fi];
        const ULONG f = filter.bits;
        SCOPED_TRACE(::testing::Message()
                     << "filter 0x" << std::hex << f << std::dec << ", " << filter.listed << " groups");
        const std::vector<host::MacAddress> list(
            groups.pool.begin(), groups.pool.begin() + static_cast<std::ptrdiff_t>(filter.listed));
        // The list after the filter: one set while all groups are let in must
        // leave the card open to all of them.
        ASSERT_EQ(tb.protocol().set_packet_filter(f), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(tb.protocol().set_multicast_list(list), NDIS_STATUS_SUCCESS);
        widest_list = std::max(widest_list, filter.listed);
        // The hash bits the table holds: every group ever listed, and the
        // all-zero address while a slot was never written.
        std::set<unsigned> table_bits;
        for (std::size_t i = 0; i < widest_list; ++i) table_bits.insert(Groups::bit(groups.pool[i]));
        if (widest_list < 16) table_bits.insert(Groups::bit(host::MacAddress{}));

        const bool promiscuous = f & NDIS_PACKET_TYPE_PROMISCUOUS;
        const bool all_groups = promiscuous || (f & NDIS_PACKET_TYPE_ALL_MULTICAST);
        std::vector<Bytes> expected;
        std::size_t stored = 0;
        RingPacer pacer(tb.now(), 52);
        for (std::size_t round = 0; round < rounds; ++round) {
            std::vector<std::size_t> slots = {0, 1, 2, 3, 4, 5};
            std::shuffle(slots.begin(), slots.end(), rng);
            for (std::size_t slot : slots) {
                // Each slot sweeps the lengths on its own, from its own start.
                const std::size_t length = 60 + (round * filters.size() + fi + 7 * slot) % kLengths;
                bool wanted = false, taken = false;
                host::MacAddress to{};
                switch (kinds[slot]) {
                    case kToStation:
                        to = kStation;
                        wanted = promiscuous || (f & NDIS_PACKET_TYPE_DIRECTED);
                        taken = true;  // the card always takes its own address
                        break;
                    case kToBroadcast:
                        to = kBroadcast;
                        wanted = taken = promiscuous || (f & NDIS_PACKET_TYPE_BROADCAST);
                        break;
                    case kToOther:
                        to = other;
                        wanted = taken = promiscuous;
                        break;
                    case kToGroup: {
                        const std::size_t n = group_turn++ % (groups.pool.size() + groups.sharers.size());
                        to = n < groups.pool.size() ? groups.pool[n] : groups.sharers[n - groups.pool.size()];
                        const bool listed = std::find(list.begin(), list.end(), to) != list.end();
                        wanted = all_groups || ((f & NDIS_PACKET_TYPE_MULTICAST) && listed);
                        taken = all_groups ||
                                ((f & NDIS_PACKET_TYPE_MULTICAST) && table_bits.count(Groups::bit(to)));
                        break;
                    }
                }
                const Bytes frame = Frame(length, seq++, to);
                tb.peer().send_at(pacer.when(length, taken), frame);
                if (wanted) expected.push_back(frame);
                stored += taken;
            }
        }
        tb.protocol().clear_received();
        const ULONG received_before = Counter(tb.protocol(), OID_GEN_RCV_OK);
        ASSERT_TRUE(tb.run_until_idle(10 * kSecond));
        const auto got = Indicated(tb.protocol());
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "a frame was lost, let through or damaged";
        EXPECT_EQ(Counter(tb.protocol(), OID_GEN_RCV_OK) - received_before, stored);
    }
    EXPECT_EQ(Counter(tb.protocol(), OID_GEN_RCV_NO_BUFFER), 0u);
    EXPECT_EQ(Counter(tb.protocol(), OID_GEN_RCV_ERROR), 0u);
    HaltAndCheck(tb);
}

// The 8-bit card moves every byte alone and has a ring of 20 pages, which a
// long frame wraps every few frames: every length, to the station and to
// broadcast in turn, arrives whole.
TEST(CertificationReceive, EveryLengthOnAnEightBitCard) {
    testbed::TestbedOptions options = Options(0);
    options.pc.nic = machine::Dp8390Config::eight_bit_card();
    testbed::Testbed tb(options);
    ASSERT_TRUE(BringUp(tb, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    RingPacer pacer(tb.now(), 20);
    std::vector<Bytes> sent;
    for (std::size_t length = 60; length <= 1514; ++length) {
        sent.push_back(Frame(length, static_cast<unsigned>(length), length % 2 ? kBroadcast : kStation));
        tb.peer().send_at(pacer.when(length, true), sent.back());
    }
    ASSERT_TRUE(tb.run_until_idle(100 * kSecond));
    const auto got = Indicated(tb.protocol());
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "a frame was lost or damaged";
    EXPECT_EQ(Counter(tb.protocol(), OID_GEN_RCV_OK), sent.size());
    HaltAndCheck(tb);
}

// =====================================================================
// 4. Load
// =====================================================================

// Lengths spread over the whole range, in an order that mixes them.
std::size_t SpreadLength(std::size_t i) {
    return 60 + (i * 389) % (1514 - 60 + 1);
}

// Traffic offered at the wire's rate: the protocol hands over all its frames
// at once, so the driver always has the next one waiting, and the peer answers
// each frame it hears with one of its own. With real bus costs the copies
// compete with the wire. Every frame the
// protocol sent reaches the peer whole and in order; every answer reaches the
// protocol whole and in order, or is counted as missed for want of room.
TEST(CertificationTraffic, BothWaysAtLineRate) {
    testbed::Testbed tb(Options(kMicrosecond));
    ASSERT_TRUE(BringUp(tb, NDIS_PACKET_TYPE_DIRECTED));
    constexpr std::size_t kFrames = 200;
    std::vector<Bytes> replies;
    tb.peer().on_receive([&](std::span<const std::uint8_t> heard) {
        replies.push_back(Frame(heard.size(), static_cast<unsigned>(1000 + replies.size())));
        tb.peer().send(replies.back());
    });
    std::vector<Bytes> sent;
    for (std::size_t i = 0; i < kFrames; ++i)
        sent.push_back(fixture::EthernetFrame(kPeer, kStation, SpreadLength(i), static_cast<unsigned>(i)));
    for (const auto& f : sent) tb.protocol().send(f);
    ASSERT_TRUE(tb.run_until_idle(20 * kSecond));

    EXPECT_TRUE(Heard(tb.peer()) == sent);
    EXPECT_EQ(replies.size(), kFrames);
    const auto indicated = Indicated(tb.protocol());
    EXPECT_TRUE(InOrderSubset(indicated, replies));
    EXPECT_EQ(indicated.size() + Counter(tb.protocol(), OID_GEN_RCV_NO_BUFFER), kFrames);
    for (const auto& c : tb.protocol().completions()) EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Counter(tb.protocol(), OID_GEN_XMIT_OK), kFrames);
    EXPECT_EQ(Counter(tb.protocol(), OID_GEN_RCV_OK), indicated.size());
    HaltAndCheck(tb);
}

struct ResetMoment {
    const char* name;
    machine::Nanoseconds after;  // from the start of the traffic
};

// The traffic runs about 800 ms: the protocol hands over 40 frames at once,
// which go out over about 250 ms (the deferred handler waits 16 ms each time
// it runs), and the peer sends 40, one every 20 ms.
const ResetMoment kResetMoments[] = {
    {"AtTheFirstFrame", 150 * kMicrosecond},
    {"EarlyInTheSends", 93 * kMs + 330 * kMicrosecond},
    {"LateInTheSends", 181 * kMs + 710 * kMicrosecond},
    {"WhileAFrameArrives", 700 * kMs + 90 * kMicrosecond},
};

class CertificationReset : public ::testing::TestWithParam<ResetMoment> {};

// A reset in the middle of traffic both ways: every send is completed exactly
// once (by the driver, or aborted by the wrapper for the packets the driver
// held), nothing arrives twice, damaged or out of order on either side, and
// afterwards traffic runs both ways as before.
TEST_P(CertificationReset, InTheMiddleOfTrafficCompletesEverySendOnceAndTrafficResumes) {
    testbed::Testbed tb(Options(kMicrosecond));
    ASSERT_TRUE(BringUp(tb, NDIS_PACKET_TYPE_DIRECTED));
    std::vector<Bytes> sent, arriving;
    std::set<std::uint64_t> ids;
    const machine::Nanoseconds start = tb.now();
    for (unsigned i = 0; i < 40; ++i) {
        arriving.push_back(Frame(SpreadLength(i + 100), i));
        tb.peer().send_at(start + (i + 1) * 20 * kMs, arriving.back());
    }
    for (unsigned i = 0; i < 40; ++i) {
        sent.push_back(fixture::EthernetFrame(kPeer, kStation, SpreadLength(i), i));
        ids.insert(tb.protocol().send(sent.back()));
    }
    tb.run_for(GetParam().after);
    EXPECT_EQ(tb.reset(), NDIS_STATUS_SUCCESS);
    tb.run_for(900 * kMs - GetParam().after);

    // Traffic both ways after the reset, all of it delivered.
    const std::size_t heard_before = tb.peer().received().size();
    const std::size_t indicated_before = tb.protocol().received_frames().size();
    std::vector<Bytes> sent_after, arriving_after;
    for (unsigned i = 0; i < 20; ++i) {
        sent_after.push_back(fixture::EthernetFrame(kPeer, kStation, SpreadLength(i + 300), 500 + i));
        ids.insert(tb.protocol().send(sent_after.back()));
        arriving_after.push_back(Frame(SpreadLength(i + 400), 600 + i));
        tb.peer().send_at(tb.now() + (i + 1) * 20 * kMs, arriving_after.back());
    }
    ASSERT_TRUE(tb.run_until_idle(10 * kSecond));

    EXPECT_EQ(tb.protocol().sends_pending(), 0u);
    std::multiset<std::uint64_t> completed;
    for (const auto& c : tb.protocol().completions()) {
        completed.insert(c.id);  // id 0: a packet completed twice
        EXPECT_TRUE(c.status == NDIS_STATUS_SUCCESS || c.status == NDIS_STATUS_REQUEST_ABORTED)
            << std::hex << c.status;
    }
    EXPECT_EQ(completed, std::multiset<std::uint64_t>(ids.begin(), ids.end()));

    const auto heard = Heard(tb.peer());
    EXPECT_TRUE(
        InOrderSubset({heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(heard_before)}, sent));
    EXPECT_TRUE(std::equal(heard.begin() + static_cast<std::ptrdiff_t>(heard_before), heard.end(),
                           sent_after.begin(), sent_after.end()))
        << "the frames sent after the reset";
    const auto indicated = Indicated(tb.protocol());
    EXPECT_TRUE(InOrderSubset(
        {indicated.begin(), indicated.begin() + static_cast<std::ptrdiff_t>(indicated_before)}, arriving));
    EXPECT_TRUE(std::equal(indicated.begin() + static_cast<std::ptrdiff_t>(indicated_before), indicated.end(),
                           arriving_after.begin(), arriving_after.end()))
        << "the frames received after the reset";
    HaltAndCheck(tb);
}

INSTANTIATE_TEST_SUITE_P(Moments, CertificationReset, ::testing::ValuesIn(kResetMoments),
                         [](const auto& p) { return std::string(p.param.name); });

// A second adapter: a card in socket 1 (Ethernet at 0x320, UART at COM3) on
// a segment of its own with its own peer, and a protocol bound to it.
struct SecondAdapter {
    static constexpr host::MacAddress kStation2 = {0x02, 0x00, 0x00, 0x00, 0x30, 0x02};

    static machine::Dp8390Config Nic() {
        machine::Dp8390Config c;
        c.station_address = kStation2;
        return c;
    }

    SecondAdapter(testbed::Testbed& tb, int interrupt)
        : nic(tb.pc().clock(), Nic()),
          card(nic, uart),
          controller(tb.socket_controller()),
          wire(tb.pc().clock()),
          port(wire, nic),
          peer(wire),
          protocol(tb.pc().clock()),
          adapter(tb.ndis().add_adapter("second")) {
        controller.install(1, card);
        adapter.config().set("Slot", 1).set("IoBaseAddress", 0x320).set("InterruptNumber", interrupt);
        adapter.config().set("ComPort", 3).set("ComIRQ", 4).set("BaseMemory", 0xD000);
    }
    ~SecondAdapter() { controller.remove(1); }

    machine::Dp8390 nic;
    machine::Uart8250 uart;
    machine::TwoFunctionCard card;
    machine::I82365& controller;
    net::EthernetWire wire;
    net::NicPort port;
    net::PeerStation peer;
    testbed::TestProtocol protocol;
    host::MiniportAdapter& adapter;
};

// Two adapters on a single-processor machine, on interrupt lines of their
// own or sharing one: each carries its own traffic both ways at once, whole,
// and counts only its own; halting one leaves the other running. (A second
// adapter on a multiprocessor machine is refused: the configuration tests.)
class CertificationTwoAdapters : public ::testing::TestWithParam<int> {};

TEST_P(CertificationTwoAdapters, CarryTrafficIndependently) {
    testbed::Testbed tb(Options(kMicrosecond));
    SecondAdapter second(tb, GetParam());
    ASSERT_TRUE(BringUp(tb, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    ASSERT_EQ(tb.ndis().initialize(second.adapter), NDIS_STATUS_SUCCESS) << tb.error_log().to_string();
    second.protocol.attach(tb.ndis().bind(second.adapter, second.protocol));
    ASSERT_EQ(second.protocol.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST),
              NDIS_STATUS_SUCCESS);

    struct Side {
        testbed::TestProtocol& protocol;
        net::PeerStation& peer;
        host::MacAddress station;
        std::vector<Bytes> sent, arriving;
    };
    Side sides[] = {{tb.protocol(), tb.peer(), kStation, {}, {}},
                    {second.protocol, second.peer, SecondAdapter::kStation2, {}, {}}};
    for (Side& s : sides) {
        host::MacAddress address{};
        ASSERT_EQ(s.protocol.query(OID_802_3_CURRENT_ADDRESS, address.data(), 6), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(address, s.station);
    }
    // Traffic both ways on each side given, all at once; every frame differs
    // between the sides.
    unsigned seq = 0;
    auto traffic = [&](std::initializer_list<Side*> on, unsigned count) {
        const machine::Nanoseconds start = tb.now();
        for (unsigned i = 0; i < count; ++i)
            for (Side* s : on) {
                s->sent.push_back(fixture::EthernetFrame(kPeer, s->station, SpreadLength(seq), seq));
                s->protocol.send(s->sent.back());
                s->arriving.push_back(fixture::EthernetFrame(i % 5 == 0 ? kBroadcast : s->station, kPeer,
                                                             SpreadLength(seq + 77), seq));
                s->peer.send_at(start + (i + 1) * 25 * kMs, s->arriving.back());
                ++seq;
            }
        return tb.run_until_idle(10 * kSecond);
    };
    auto expect_delivered = [&](const Side& s, const char* which) {
        SCOPED_TRACE(which);
        EXPECT_TRUE(Heard(s.peer) == s.sent);
        EXPECT_TRUE(Indicated(s.protocol) == s.arriving);
        EXPECT_EQ(Counter(s.protocol, OID_GEN_XMIT_OK), s.sent.size());
        EXPECT_EQ(Counter(s.protocol, OID_GEN_RCV_OK), s.arriving.size());
        EXPECT_EQ(s.protocol.sends_pending(), 0u);
        EXPECT_EQ(s.protocol.completions().size(), s.sent.size());
        for (const auto& c : s.protocol.completions()) EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);
    };
    ASSERT_TRUE(traffic({&sides[0], &sides[1]}, 40));
    expect_delivered(sides[0], "first adapter");
    expect_delivered(sides[1], "second adapter");

    // The first one halted: the second goes on alone.
    tb.halt();
    ASSERT_TRUE(traffic({&sides[1]}, 30));
    expect_delivered(sides[1], "second adapter, alone");
    tb.ndis().halt(second.adapter);
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    fixture::ExpectClean(tb);
    EXPECT_TRUE(tb.error_log().empty()) << tb.error_log().to_string();
}

INSTANTIATE_TEST_SUITE_P(InterruptLines, CertificationTwoAdapters, ::testing::Values(10, 5),
                         [](const auto& p) { return p.param == 5 ? "SharingOneLine" : "OnLinesOfTheirOwn"; });

}  // namespace
