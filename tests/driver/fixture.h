#pragma once
// What the driver tests share: the adapters they run on, the peer and the
// frames it trades with them, and checks on the bus trace.
//
// - InitializedAdapterTest: an adapter brought up through DriverEntry and
//   Initialize, as NDIS brings it up.
// - RunningCard: a running adapter without the bring-up code, for the tests of
//   the register operations, the copies, the transmit, receive and interrupt
//   paths and recovery: the adapter record filled in as registration fills it,
//   the controller programmed by the driver's own set-up routine and taken out
//   of loopback, and the bound protocol's packet filter set through the driver.
// - BusTap: stands between the bus and the socket controller, so a test can
//   make the card answer what the model would not (a stop that never shows
//   RST, a dummy read that fails just once).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/testbed.h"

namespace fixture {

constexpr machine::Nanoseconds kMs = machine::kMillisecond;
// The card model's station address, which the record and the wrapper's filter are given.
inline const host::MacAddress kStation = machine::Dp8390Config{}.station_address;
// The station at the other end of the wire.
inline const host::MacAddress kPeer{0x02, 0x00, 0x00, 0x00, 0x99, 0x01};
inline const host::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Fails the test with every stand-in rule breach and model protocol violation,
// and if the wrapper had to reset the adapter for a send that never completed.
inline void ExpectClean(testbed::Testbed& tb) {
    for (const auto& e : tb.errors()) ADD_FAILURE() << e;
    EXPECT_EQ(tb.adapter().counters().hang_resets, 0u) << "a send timed out";
}

// --- Frames ---

// An Ethernet frame (15 bytes or more) whose every byte after the header
// depends on its sequence number and position, so a byte taken from the wrong
// card address shows.
inline std::vector<std::uint8_t> EthernetFrame(const host::MacAddress& to, const host::MacAddress& from,
                                               std::size_t length, unsigned seq) {
    std::vector<std::uint8_t> f(length);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = 0x08;
    f[13] = 0x00;
    for (std::size_t i = 14; i < length; ++i) f[i] = static_cast<std::uint8_t>(seq * 31 + i * 7 + (i >> 8));
    f[14] = static_cast<std::uint8_t>(seq);
    return f;
}

// A frame from the peer to the station (or to `to`).
inline std::vector<std::uint8_t> Frame(std::size_t length, unsigned seq,
                                       const host::MacAddress& to = kStation) {
    return EthernetFrame(to, kPeer, length, seq);
}

// Has the peer send frames of these lengths (numbered 0, 1, ...) to the
// station, `spacing` apart starting one spacing from now; returns them in order.
inline std::vector<std::vector<std::uint8_t>> SendSpaced(testbed::Testbed& tb,
                                                         const std::vector<std::size_t>& lengths,
                                                         machine::Nanoseconds spacing) {
    std::vector<std::vector<std::uint8_t>> sent;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        sent.push_back(Frame(lengths[i], static_cast<unsigned>(i)));
        tb.peer().send_at(tb.now() + static_cast<machine::Nanoseconds>(i + 1) * spacing, sent.back());
    }
    return sent;
}

inline std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

// --- Adapters ---

// An adapter brought up through DriverEntry and Initialize, its protocol bound
// and, when asked, its packet filter set. The bring-up's RAM test is not
// traced: the trace starts with what follows it.
class InitializedAdapterTest : public ::testing::Test {
protected:
    explicit InitializedAdapterTest(ULONG packet_filter = 0) : packet_filter_(packet_filter) {}

    void SetUp() override {
        ASSERT_EQ(tb_.load_driver(), STATUS_SUCCESS);
        ASSERT_EQ(tb_.initialize(), NDIS_STATUS_SUCCESS) << tb_.error_log().to_string();
        tb_.trace().enable();
        if (packet_filter_ != 0) {
            ASSERT_EQ(tb_.protocol().set_packet_filter(packet_filter_), NDIS_STATUS_SUCCESS);
        }
    }

    testbed::Testbed tb_{testbed::TestbedOptions{.trace = false}};

private:
    ULONG packet_filter_;
};

// How a RunningCard is built.
struct CardOptions {
    bool eight_bit = false;
    // IMR while running; 0 keeps the driver's interrupt handlers out of a
    // register-sequence test.
    UCHAR interrupt_mask = kDefaultInterruptMask;
    // Virtual time per port access. 0 makes a copy take no time, so several
    // sends can be made while one frame is on the wire.
    machine::Nanoseconds access_cost = machine::kMicrosecond;
    // Record the bus trace (long scenario tests run faster without it).
    bool trace = true;
    // What the bound protocol asks for once the card runs.
    ULONG packet_filter = NDIS_PACKET_TYPE_DIRECTED;
};

// The driver's interrupt handlers stay out: only what the test calls touches the card.
inline CardOptions Quiet(bool eight_bit = false) {
    CardOptions o;
    o.interrupt_mask = 0;
    o.eight_bit = eight_bit;
    return o;
}

// Copies take no virtual time, so a burst of sends all happen while the
// first frame is still on the wire.
inline CardOptions Instant() {
    CardOptions o;
    o.access_cost = 0;
    return o;
}

// The adapter as registration leaves it, made without the bring-up code.
class RunningCard {
public:
    explicit RunningCard(CardOptions options = {})
        : options_(options), tb(testbed_options(options)), a(tb.set_up_by_hand()) {
        fill_record();
        tb.call([&] {
            EXPECT_TRUE(CardSetup(&a));
            CardWriteRegister(&a, NIC_TCR, TCR_NORMAL);
        });
        tb.adapter().set_station_address(kStation);
        EXPECT_EQ(tb.protocol().set_packet_filter(options.packet_filter), NDIS_STATUS_SUCCESS);
        tb.trace().clear();
    }

    // Port number of a controller register.
    std::uint16_t port(UCHAR offset) const { return static_cast<std::uint16_t>(a.IoBaseAddress + offset); }
    std::vector<std::string> lines_since(std::size_t mark = 0) { return tb.trace().lines(mark); }
    std::vector<std::uint8_t> card_memory(ULONG address, std::size_t length) {
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < length; ++i)
            out.push_back(tb.nic().peek_memory(static_cast<std::uint16_t>(address + i)));
        return out;
    }
    // The indication events in order, "Indicate 14+46 of 46" and "IndicateComplete".
    std::vector<std::string> indications() {
        std::vector<std::string> out;
        for (const auto& e : tb.ndis().events())
            if (e.what.rfind("Indicate", 0) == 0) out.push_back(e.what);
        return out;
    }

private:
    static testbed::TestbedOptions testbed_options(const CardOptions& card) {
        testbed::TestbedOptions o;
        o.pc.nic = card.eight_bit ? machine::Dp8390Config::eight_bit_card()
                                  : machine::Dp8390Config::sixteen_bit_card();
        o.pc.access_cost = card.access_cost;
        o.trace = card.trace;
        return o;
    }

    // What registration fills in beyond the card layout.
    void fill_record() {
        tb.fill_card_layout(a);
        a.ReceiveConfigValue = 0;
        a.InterruptMaskValue = options_.interrupt_mask;
        std::copy(kStation.begin(), kStation.end(), a.CurrentAddress);
        std::copy(kStation.begin(), kStation.end(), a.PermanentAddress);
    }

    CardOptions options_;

public:
    testbed::Testbed tb;
    Ne2000Adapter& a;
};

// Stands in the socket controller's place on the bus and passes everything
// through, letting a test change what a byte read returns.
class BusTap : public machine::IoDevice {
public:
    using ReadFilter = std::function<std::uint8_t(std::uint16_t port, std::uint8_t value)>;

    explicit BusTap(testbed::Testbed& tb) : bus_(tb.bus()), inner_(tb.socket_controller()) {
        bus_.detach(inner_);
        bus_.attach(*this);
    }
    ~BusTap() override {
        bus_.detach(*this);
        bus_.attach(inner_);
    }
    BusTap(const BusTap&) = delete;
    BusTap& operator=(const BusTap&) = delete;

    ReadFilter on_read;

    machine::IoWidth decode(std::uint16_t port) const override { return inner_.decode(port); }
    std::uint8_t read8(std::uint16_t port) override {
        const std::uint8_t value = inner_.read8(port);
        return on_read ? on_read(port, value) : value;
    }
    void write8(std::uint16_t port, std::uint8_t value) override { inner_.write8(port, value); }
    std::uint16_t read16(std::uint16_t port) override { return inner_.read16(port); }
    void write16(std::uint16_t port, std::uint16_t value) override { inner_.write16(port, value); }
    std::string port_name(std::uint16_t port, bool write) const override {
        return inner_.port_name(port, write);
    }

private:
    machine::IsaBus& bus_;
    machine::IoDevice& inner_;
};

// --- Trace lines ---

// A line matches an expected one when equal, or, when the expected line ends
// in '*', when it starts with what comes before the '*'.
inline bool LineMatches(const std::string& actual, const std::string& expected) {
    if (!expected.empty() && expected.back() == '*')
        return actual.rfind(expected.substr(0, expected.size() - 1), 0) == 0;
    return actual == expected;
}

// The lines from `at` on start with the expected ones.
inline ::testing::AssertionResult LinesMatchFrom(const std::vector<std::string>& lines, std::size_t at,
                                                 const std::vector<std::string>& expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (at + i >= lines.size())
            return ::testing::AssertionFailure() << "trace ends before \"" << expected[i] << '"';
        if (!LineMatches(lines[at + i], expected[i]))
            return ::testing::AssertionFailure() << "line " << at + i << ": got \"" << lines[at + i]
                                                 << "\", expected \"" << expected[i] << '"';
    }
    return ::testing::AssertionSuccess();
}

// The lines are exactly the expected ones.
inline ::testing::AssertionResult LinesMatch(const std::vector<std::string>& actual,
                                             const std::vector<std::string>& expected) {
    const std::size_t n = std::min(actual.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i)
        if (!LineMatches(actual[i], expected[i]))
            return ::testing::AssertionFailure()
                   << "line " << i << ": got \"" << actual[i] << "\", expected \"" << expected[i] << "\"";
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "got " << actual.size() << " lines, expected " << expected.size()
               << (actual.size() > n ? "; next: \"" + actual[n] + "\"" : "");
    return ::testing::AssertionSuccess();
}

// How many lines match `line` (a trailing '*' matches any line starting so).
inline std::size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return LineMatches(l, line); }));
}

// Counting straight from the trace entries, for the long poll loops where
// building every line would cost more than the test itself.
inline std::size_t CountByteAccesses(const machine::BusTrace& trace, std::size_t from,
                                     machine::TraceKind kind, const std::string& name, std::uint32_t value) {
    std::size_t n = 0;
    const auto& entries = trace.entries();
    for (std::size_t i = from; i < entries.size(); ++i)
        n += entries[i].kind == kind && entries[i].value == value && entries[i].name == name;
    return n;
}

inline std::size_t CountStalls(const machine::BusTrace& trace, std::size_t from, std::uint32_t microseconds) {
    return CountByteAccesses(trace, from, machine::TraceKind::Stall, "", microseconds);
}

// Index of the first occurrence of `run` as consecutive lines, if any.
inline std::optional<std::size_t> FindRun(const std::vector<std::string>& lines,
                                          const std::vector<std::string>& run, std::size_t from = 0) {
    for (std::size_t i = from; i + run.size() <= lines.size(); ++i) {
        bool ok = true;
        for (std::size_t j = 0; ok && j < run.size(); ++j) ok = lines[i + j] == run[j];
        if (ok) return i;
    }
    return std::nullopt;
}

// Index of the first line equal to `line` from `from` on; lines.size() if none.
inline std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line,
                           std::size_t from = 0) {
    return FindRun(lines, {line}, from).value_or(lines.size());
}

}  // namespace fixture
