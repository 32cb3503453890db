// The soak: frames of random sizes both ways for a long stretch of virtual
// time, with faults injected at random, and invariants that hold throughout.
//
// - every packet the protocol sent is completed exactly once;
// - the peer receives only frames the protocol sent, intact and in order; one
//   that went missing is accounted for: refused at the send, given up after
//   the transmit error limit (counted in OID_GEN_XMIT_ERROR), or on the card
//   when a reset forgot it;
// - the protocol receives only frames the peer sent, intact and in order; the
//   ones missing are the CRC and alignment errors injected (counted exactly
//   by their OIDs and the tallies the driver has not yet read off the chip),
//   the frames the chip had no room for (OID_GEN_RCV_NO_BUFFER) or that came
//   while its receiver was off for a recovery (the model counts those),
//   those in the ring at a reset, and those behind a header that was corrupted
//   or read through a stuck remote DMA, which the driver drops with it by
//   design (never more than a ring holds);
// - no stand-in rule broken, no model protocol violation, nothing leaked,
//   virtual time always advances, no send is held for more than 10 s, and no
//   handler runs for ever (the stand-in's watchdog would end the run).
//
// NE2000_SOAK_PROGRESS=N prints a line every N frames of a long run.
//
// Sized for CI by default; NE2000_SOAK_FRAMES (frames each way) and
// NE2000_SOAK_SEEDS (seeds 1..N) make the long runs (see the README).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/driver/fixture.h"

namespace {

using fixture::kMs;
using fixture::kPeer;
using fixture::kStation;
using machine::kMicrosecond;
using machine::kSecond;

std::size_t FromEnvironment(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    return static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

constexpr std::size_t kCiFramesEachWay = 3000;
// A ring of 52 pages holds at most this many frames: what one corrupted header
// or one reset can cost the receive side.
constexpr std::size_t kRingFrames = 52;
constexpr unsigned kTransmitErrorLimit = 16;
// The wrapper resets an adapter whose oldest send has not moved at two checks
// 2 s apart; a stuck send is completed (aborted) by then.
constexpr machine::Nanoseconds kLongestSendWait = 10 * kSecond;

// A frame of ours: a serial at bytes 14-17 names it; the rest is random.
std::vector<std::uint8_t> MakeFrame(const host::MacAddress& to, const host::MacAddress& from,
                                    std::size_t length, std::uint32_t serial, std::mt19937& rng) {
    std::vector<std::uint8_t> f(length);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = 0x88;  // a local experimental EtherType
    f[13] = 0xB5;
    for (std::size_t i = 14; i < length; ++i) f[i] = static_cast<std::uint8_t>(rng());
    for (int i = 0; i < 4; ++i) f[14 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    return f;
}

std::uint32_t SerialOf(const std::vector<std::uint8_t>& f) {
    if (f.size() < 18) return 0;
    return static_cast<std::uint32_t>(f[14] | f[15] << 8 | f[16] << 16 |
                                      static_cast<std::uint32_t>(f[17]) << 24);
}

enum class Fault {
    TransmitAborts,  // a burst of TXE, sometimes past the retry limit
    Collision,
    CrcError,
    AlignmentError,
    Overflow,  // a burst of full frames at line rate
    CorruptHeader,
    StuckRemoteDma,
    ForeignInterrupts,
    Reset,
};
constexpr const char* kFaultNames[] = {
    "transmit aborts", "collisions",        "CRC errors",       "alignment errors",
    "overflow bursts", "corrupted headers", "stuck remote DMA", "foreign interrupt spells",
    "resets"};
constexpr std::size_t kFaultKinds = std::size(kFaultNames);

class Soak {
public:
    // Without ring losses (no corrupted headers, no stuck remote DMA, which
    // makes the driver read a header wrong, no resets) every missing frame is
    // counted by an OID or arrived while the receiver was off, so the
    // accounting below is exact.
    Soak(testbed::Testbed& tb, unsigned seed, std::size_t frames, bool ring_losses)
        : tb_(tb), rng_(seed), frames_(frames), ring_losses_(ring_losses) {}

    void run() {
        const std::size_t report_every = FromEnvironment("NE2000_SOAK_PROGRESS", 0);
        std::size_t next_report = report_every;
        while ((protocol_serial_ < frames_ || peer_serial_ < frames_) && !hung_) {
            if (report_every != 0 && protocol_serial_ >= next_report) {
                next_report += report_every;
                std::printf(
                    "soak: %u sent by the protocol, %u by the peer; %zu at the peer, %zu received; %.1f s\n",
                    protocol_serial_, peer_serial_, tb_.peer().received().size(),
                    tb_.protocol().received_frames().size(), static_cast<double>(tb_.now()) / kSecond);
                std::fflush(stdout);
            }
            const unsigned action = pick(100);
            if (action < 40) {
                send_from_protocol();
            } else if (action < 80) {
                send_from_peer(1 + pick(3));
            } else if (action < 84) {
                const auto fault = static_cast<Fault>(pick(kFaultKinds));
                if (ring_losses_ || (fault != Fault::CorruptHeader && fault != Fault::Reset &&
                                     fault != Fault::StuckRemoteDma))
                    inject(fault);
            }
            advance(kMicrosecond * (20 + pick(1500)));
        }
        // Quiet: no more faults, time for every frame to land and for the
        // wrapper to give back whatever a forgotten frame still holds.
        tb_.ndis().set_foreign_interrupts(false);
        tb_.nic().faults().remote_address_stuck = false;
        advance(10 * kSecond);
    }

    void check() {
        // Every send completed exactly once (a second completion is an error
        // the protocol records).
        EXPECT_EQ(tb_.protocol().sends_pending(), 0u);
        std::map<std::uint64_t, NDIS_STATUS> completed;
        for (const auto& c : tb_.protocol().completions()) completed[c.id] = c.status;
        EXPECT_EQ(completed.size(), sent_by_protocol_.size());

        // The peer's side: sent frames only, intact, in order.
        std::uint32_t last = 0;
        std::set<std::uint32_t> arrived;
        for (const auto& a : tb_.peer().received()) {
            const std::uint32_t serial = SerialOf(a.frame);
            auto sent = sent_by_protocol_.find(serial);
            ASSERT_NE(sent, sent_by_protocol_.end()) << "a frame the protocol never sent";
            const auto& bytes = sent->second.bytes;
            EXPECT_EQ(a.frame.size(), std::max<std::size_t>(bytes.size(), 60)) << serial;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), a.frame.begin())) << serial;
            EXPECT_GT(serial, last) << "out of order";
            last = serial;
            arrived.insert(serial);
        }
        // Missing at the peer: refused at the send (a failed completion), given
        // up after the transmit error limit, or on the card when a reset came.
        std::size_t refused = 0, missing = 0, unmarked = 0;
        for (const auto& [serial, sent] : sent_by_protocol_) {
            if (arrived.count(serial)) continue;
            auto c = completed.find(sent.id);
            if (c != completed.end() && c->second != NDIS_STATUS_SUCCESS) {
                ++refused;
                continue;
            }
            ++missing;
            if (!on_card_at_reset_.count(serial)) ++unmarked;
        }
        const std::size_t given_up = expected_given_up();
        const std::size_t xmit_error = Oid(OID_GEN_XMIT_ERROR);
        if (!ring_losses_) {
            EXPECT_EQ(xmit_error, given_up);
        } else {
            // With every fault on, this estimate (each 16 aborts of a burst give
            // one frame up) is not exact: at 250,000 frames each way it counted
            // 508 where the driver gave up 506. Never more, and within 1%.
            EXPECT_LE(xmit_error, given_up);
            EXPECT_GE(xmit_error * 100, given_up * 99);
        }
        EXPECT_LE(unmarked, given_up) << "frames lost at the send without a reason";
        EXPECT_GE(missing, given_up);
        // A reset may come between a transmission and its completion: the
        // frame is out but not counted.
        const std::size_t xmit_ok = Oid(OID_GEN_XMIT_OK);
        EXPECT_LE(xmit_ok, arrived.size());
        EXPECT_LE(arrived.size() - xmit_ok, faults_[static_cast<int>(Fault::Reset)]);

        // The protocol's side: frames the peer sent, intact, in order. A frame
        // whose header was corrupted can come up cut short or with ring bytes
        // behind it, when the length read still fits the pages the chip used
        // and the next-page pointer: nothing in the header lets a driver tell.
        last = 0;
        std::set<std::uint32_t> received;
        std::size_t misread = 0;
        for (const auto& r : tb_.protocol().received_frames()) {
            const std::uint32_t serial = SerialOf(r.frame);
            auto sent = sent_by_peer_.find(serial);
            ASSERT_NE(sent, sent_by_peer_.end()) << "a frame the peer never sent";
            const auto& bytes = sent->second.bytes;
            const std::size_t common = std::min(r.frame.size(), bytes.size());
            if (r.frame.size() != bytes.size() &&
                std::equal(bytes.begin(), bytes.begin() + common, r.frame.begin()))
                ++misread;
            else
                EXPECT_EQ(r.frame, bytes) << serial;
            EXPECT_GT(serial, last) << "out of order";
            last = serial;
            received.insert(serial);
        }
        const std::size_t corrupted = faults_[static_cast<int>(Fault::CorruptHeader)] +
                                      faults_[static_cast<int>(Fault::StuckRemoteDma)];
        EXPECT_LE(misread, corrupted);
        std::size_t missing_rx = 0, missing_in_ring_at_reset = 0;
        for (const auto& [serial, sent] : sent_by_peer_) {
            if (received.count(serial) || sent.at > tb_.now()) continue;
            ++missing_rx;
            if (in_ring_at_reset_.count(serial)) ++missing_in_ring_at_reset;
        }
        // Indicated but not delivered: a corrupted header can misdirect a frame.
        const std::size_t rcv_ok = Oid(OID_GEN_RCV_OK);
        EXPECT_GE(rcv_ok, received.size());
        EXPECT_LE(rcv_ok - received.size(), corrupted);
        auto& faults = tb_.nic().faults();
        const std::size_t crc = faults_[static_cast<int>(Fault::CrcError)] - faults.crc_errors;
        const std::size_t alignment =
            faults_[static_cast<int>(Fault::AlignmentError)] - faults.alignment_errors;
        // The driver reads the tally counters only when a cause it handles
        // brings RXE, CNT or OVW along, so the last few may still be on the chip.
        const machine::Dp8390::Tallies unread = tb_.nic().unread_tallies();
        EXPECT_EQ(Oid(OID_GEN_RCV_ERROR) + unread.crc, crc);
        EXPECT_EQ(Oid(OID_802_3_RCV_ERROR_ALIGNMENT) + unread.alignment, alignment);
        const std::size_t no_buffer = Oid(OID_GEN_RCV_NO_BUFFER) + unread.missed;
        const std::size_t unheard = tb_.nic().frames_unheard();
        const std::size_t explained = crc + alignment + no_buffer + unheard;
        ASSERT_GE(missing_rx, explained) << "fewer frames missing than the counters say";
        const std::size_t unexplained = missing_rx - explained;
        EXPECT_LE(unexplained, missing_in_ring_at_reset + kRingFrames * corrupted)
            << "frames lost without a reason";

        std::printf(
            "soak: %zu frames each way; the peer got %zu (%zu refused at the send, %zu given up, %zu "
            "lost at resets); the protocol got %zu (%zu of a length misread from a corrupted header; "
            "missing: %zu CRC, %zu alignment, %zu without room, %zu while the receiver was off, %zu in the "
            "ring at resets or behind corrupted headers)\n",
            frames_, arrived.size(), refused, given_up, missing - given_up, received.size(), misread, crc,
            alignment, no_buffer, unheard, unexplained);
        std::printf("soak: faults injected:");
        for (std::size_t k = 0; k < kFaultKinds; ++k) std::printf(" %s %zu;", kFaultNames[k], faults_[k]);
        std::printf(" %.1f s of virtual time\n", static_cast<double>(tb_.now()) / kSecond);
    }

private:
    struct Sent {
        std::uint64_t id;
        std::vector<std::uint8_t> bytes;
    };

    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    void advance(machine::Nanoseconds duration) {
        const machine::Nanoseconds before = tb_.now();
        tb_.run_for(duration);
        // Handlers' busy waits may run the clock past the deadline, never short of it.
        ASSERT_GE(tb_.now(), before + duration) << "virtual time stood still";
        check_sends_move();
    }

    // A send the driver holds is completed within a few seconds: by the card,
    // or by the wrapper's reset of an adapter whose sends stopped moving.
    // Longer than that is a hang, reported with the transmit state.
    void check_sends_move() {
        const std::size_t completed = tb_.protocol().completions().size();
        if (completed != completions_seen_ || tb_.protocol().sends_pending() == 0) {
            completions_seen_ = completed;
            last_completion_at_ = tb_.now();
            return;
        }
        if (hung_ || tb_.now() - last_completion_at_ < kLongestSendWait) return;
        hung_ = true;
        const Ne2000Adapter& r = *tb_.record();
        ADD_FAILURE() << tb_.protocol().sends_pending() << " send(s) not completed for "
                      << (tb_.now() - last_completion_at_) / kMs << " ms: TransmitActivePage "
                      << r.TransmitActivePage << ", fill page " << r.TransmitFillPage << ", next page "
                      << r.TransmitNextPage << ", interrupt pending " << int(r.TransmitInterruptPending)
                      << ", restart pending " << int(r.TransmitRestartPending) << ", queue "
                      << (r.SendQueueHead ? "not empty" : "empty") << ", InterruptStatus 0x" << std::hex
                      << int(r.InterruptStatus) << ", ISR 0x" << int(tb_.nic().isr()) << std::dec << ", chip "
                      << (tb_.nic().started() ? "started" : "stopped")
                      << (tb_.nic().transmitting() ? ", transmitting" : "")
                      << (tb_.nic().transmit_deferred() ? ", deferred" : "") << ", wrapper resets "
                      << tb_.adapter().counters().hang_resets << ", sends handed "
                      << tb_.adapter().counters().sends_handed << ", completed by the miniport "
                      << tb_.adapter().counters().send_completions;
    }

    std::size_t Oid(NDIS_OID oid) {
        ULONG value = 0, written = 0, needed = 0;
        EXPECT_EQ(tb_.protocol().query(oid, &value, sizeof value, &written, &needed), NDIS_STATUS_SUCCESS);
        return value;
    }

    void send_from_protocol() {
        if (protocol_serial_ >= frames_ || tb_.protocol().sends_pending() >= 24) return;
        const std::size_t length = 18 + pick(1514 - 18 + 1);
        auto frame = MakeFrame(kPeer, kStation, length, ++protocol_serial_, rng_);
        // Random buffer chains: up to four cuts, empty buffers included.
        std::vector<std::size_t> split;
        for (unsigned cuts = pick(5); cuts > 0; --cuts)
            split.push_back(pick(static_cast<unsigned>(length / 2) + 1));
        const std::uint64_t id = tb_.protocol().send(frame, split);
        sent_by_protocol_[protocol_serial_] = Sent{id, std::move(frame)};
        unarrived_.insert(protocol_serial_);
    }

    // `count` frames from the peer, spaced as the wire allows or a little more.
    void send_from_peer(unsigned count, bool full_size = false) {
        machine::Nanoseconds at = std::max(tb_.now(), peer_busy_until_);
        for (unsigned i = 0; i < count && peer_serial_ < frames_; ++i) {
            const std::size_t length = full_size ? 1514 : 60 + pick(1514 - 60 + 1);
            auto frame = MakeFrame(kStation, kPeer, length, ++peer_serial_, rng_);
            // 0.8 us a byte at 10 Mbit/s, with preamble and the gap.
            at += (length + 24) * 800 + (full_size ? 0 : pick(200) * kMicrosecond);
            tb_.peer().send_at(at, frame);
            sent_by_peer_[peer_serial_] = Arrival{at, std::move(frame)};
            unreceived_.insert(peer_serial_);
        }
        peer_busy_until_ = at;
    }

    void inject(Fault fault) {
        auto& faults = tb_.nic().faults();
        switch (fault) {
            case Fault::TransmitAborts: {
                // One burst at a time, so that each is counted against the
                // frames it hits; a reset would restart the count.
                if (faults.abort_transmissions != 0 || abort_burst_ != 0) return;
                abort_burst_ = 1 + pick(kTransmitErrorLimit + 8);
                faults.abort_transmissions = abort_burst_;
                break;
            }
            case Fault::Collision:
                faults.collide_transmissions += 1 + pick(3);
                break;
            case Fault::CrcError:
                ++faults.crc_errors;
                send_from_peer(1);
                break;
            case Fault::AlignmentError:
                ++faults.alignment_errors;
                send_from_peer(1);
                break;
            case Fault::Overflow:
                send_from_peer(12 + pick(12), true);
                break;
            case Fault::CorruptHeader:
                faults.corrupt_next_header =
                    machine::Dp8390Faults::HeaderCorruption{pick(4), static_cast<std::uint8_t>(rng_())};
                send_from_peer(1);
                break;
            case Fault::StuckRemoteDma:
                faults.remote_address_stuck = true;
                send_from_protocol();
                advance(500 * kMicrosecond);
                faults.remote_address_stuck = false;
                break;
            case Fault::ForeignInterrupts:
                tb_.ndis().set_foreign_interrupts(true);
                advance(kMicrosecond * (100 + pick(5000)));
                tb_.ndis().set_foreign_interrupts(false);
                break;
            case Fault::Reset:
                if (faults.abort_transmissions != 0) return;
                note_what_a_reset_forgets();
                EXPECT_EQ(tb_.ndis().reset(tb_.adapter()), NDIS_STATUS_SUCCESS);
                break;
        }
        ++faults_[static_cast<int>(fault)];
    }

    // Frames a reset may cost: those the protocol had back that are not at the
    // peer yet, and those the peer sent that the protocol has not received.
    // Only what arrived since the last reset is looked at, so a long soak
    // stays linear.
    void note_what_a_reset_forgets() {
        settle_abort_burst();
        const auto& at_peer = tb_.peer().received();
        for (; peer_seen_ < at_peer.size(); ++peer_seen_)
            unarrived_.erase(SerialOf(at_peer[peer_seen_].frame));
        // A frame marked once stays marked (the mark matters only if it never
        // arrives), so it is not looked at again.
        on_card_at_reset_.insert(unarrived_.begin(), unarrived_.end());
        unarrived_.clear();
        const auto& at_protocol = tb_.protocol().received_frames();
        for (; protocol_seen_ < at_protocol.size(); ++protocol_seen_)
            unreceived_.erase(SerialOf(at_protocol[protocol_seen_].frame));
        // Serials go on the wire in order: stop at the first still to come.
        while (!unreceived_.empty() && sent_by_peer_.at(*unreceived_.begin()).at <= tb_.now()) {
            in_ring_at_reset_.insert(*unreceived_.begin());
            unreceived_.erase(unreceived_.begin());
        }
    }

    // A burst used up: every 16 consecutive aborts gave one frame up.
    void settle_abort_burst() {
        if (abort_burst_ == 0 || tb_.nic().faults().abort_transmissions != 0) return;
        given_up_ += abort_burst_ / kTransmitErrorLimit;
        abort_burst_ = 0;
    }

    std::size_t expected_given_up() {
        const unsigned used = abort_burst_ - tb_.nic().faults().abort_transmissions;
        return given_up_ + used / kTransmitErrorLimit;
    }

    testbed::Testbed& tb_;
    std::mt19937 rng_;
    std::size_t frames_;
    bool ring_losses_;
    std::uint32_t protocol_serial_ = 0;
    std::uint32_t peer_serial_ = 0;
    machine::Nanoseconds peer_busy_until_ = 0;
    std::map<std::uint32_t, Sent> sent_by_protocol_;
    struct Arrival {
        machine::Nanoseconds at;  // when the peer puts it on the wire
        std::vector<std::uint8_t> bytes;
    };
    std::map<std::uint32_t, Arrival> sent_by_peer_;
    std::set<std::uint32_t> on_card_at_reset_;
    std::set<std::uint32_t> in_ring_at_reset_;
    // Sent, not yet seen at the other end and not yet marked by a reset.
    std::set<std::uint32_t> unarrived_, unreceived_;
    std::size_t peer_seen_ = 0, protocol_seen_ = 0;
    std::size_t completions_seen_ = 0;
    machine::Nanoseconds last_completion_at_ = 0;
    bool hung_ = false;
    std::size_t faults_[kFaultKinds] = {};
    unsigned abort_burst_ = 0;
    std::size_t given_up_ = 0;
};

struct Run {
    unsigned seed;
    bool ring_losses;
    bool realistic_timing;
};

class SoakTest : public ::testing::TestWithParam<Run> {};

TEST_P(SoakTest, FramesBothWaysWithFaultsLoseNothingUnaccounted) {
    testbed::TestbedOptions options;
    options.trace = false;
    options.pc.access_cost = 0;
    options.pc.realistic_timing = GetParam().realistic_timing;
    testbed::Testbed tb(options);
    ASSERT_EQ(tb.load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(tb.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tb.protocol().set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    tb.ndis().record_events(false);

    Soak soak(tb, GetParam().seed, FromEnvironment("NE2000_SOAK_FRAMES", kCiFramesEachWay),
              GetParam().ring_losses);
    soak.run();
    soak.check();

    tb.halt();
    EXPECT_TRUE(tb.leaks().empty()) << ::testing::PrintToString(tb.leaks());
    fixture::ExpectClean(tb);
}

// Odd seeds inject every fault, even ones all but those that lose frames in
// the ring by design, where the accounting is exact. Seeds 2, 3, 6, 7, ...
// run with the chip's and the card's own delays (a stop that lets a frame
// coming in finish, RST late, the card busy after a reset), so the default
// pair covers both kinds of fault with both timings.
std::vector<Run> Runs() {
    std::vector<Run> runs;
    for (unsigned s = 1; s <= FromEnvironment("NE2000_SOAK_SEEDS", 2); ++s)
        runs.push_back({s, s % 2 == 1, s % 4 >= 2});
    return runs;
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoakTest, ::testing::ValuesIn(Runs()), [](const auto& p) {
    return "Seed" + std::to_string(p.param.seed) + (p.param.ring_losses ? "AllFaults" : "NoRingLosses") +
           (p.param.realistic_timing ? "RealisticTiming" : "");
});

}  // namespace
