#pragma once
// A running card without the bring-up code, for the tests of the register
// operations, the copies, the transmit path and recovery: the adapter record
// filled in as registration fills it, and the controller programmed as the
// set-up routine programs it and then put on the wire.
//
// Also a bus tap that stands between the bus and the socket controller, so a
// test can make the card answer what the model would not (a stop that never
// shows RST, a dummy read that fails just once).

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/testbed.h"

namespace by_hand {

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
};

inline testbed::TestbedOptions testbed_options(const CardOptions& card) {
    testbed::TestbedOptions o;
    o.pc.nic =
        card.eight_bit ? machine::Dp8390Config::eight_bit_card() : machine::Dp8390Config::sixteen_bit_card();
    o.pc.access_cost = card.access_cost;
    o.trace = card.trace;
    return o;
}

class Card {
public:
    explicit Card(CardOptions options = {})
        : options_(options), tb(testbed_options(options)), a(tb.set_up_by_hand()) {
        fill_record();
        tb.call([&] { program_chip(); });
        tb.trace().clear();
    }

    // Port number of a controller register.
    std::uint16_t port(UCHAR offset) const { return static_cast<std::uint16_t>(a.IoBaseAddress + offset); }
    std::vector<std::string> lines_since(std::size_t mark) { return tb.trace().lines(mark); }
    std::vector<std::uint8_t> card_memory(ULONG address, std::size_t length) {
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < length; ++i)
            out.push_back(tb.nic().peek_memory(static_cast<std::uint16_t>(address + i)));
        return out;
    }

private:
    // The layout registration derives from the RAM test: 12 transmit pages at
    // the start of RAM, the receive ring behind them to the end of RAM.
    void fill_record() {
        const machine::Dp8390Config& nic = tb.nic().config();
        a.ByteWideTransfers = options_.eight_bit ? TRUE : FALSE;
        a.CardRamStart = nic.ram_start;
        a.CardRamLength = nic.ram_size;
        a.TransmitAreaAddress = nic.ram_start;
        a.TransmitStartPage = static_cast<UCHAR>(nic.ram_start >> 8);
        a.RingStartPage = static_cast<UCHAR>(a.TransmitStartPage + kTransmitPages);
        a.RingStopPage = static_cast<UCHAR>((nic.ram_start + nic.ram_size) >> 8);
        a.RingStartAddress = static_cast<ULONG>(a.RingStartPage) << 8;
        a.RingEndAddress = nic.ram_start + nic.ram_size;
        a.TransmitActivePage = -1;
        a.ReceiveConfigValue = 0;
        a.InterruptMaskValue = options_.interrupt_mask;
        for (int i = 0; i < 6; ++i) a.CurrentAddress[i] = a.PermanentAddress[i] = nic.station_address[i];
    }

    // The register sequence of the set-up routine, then out of loopback.
    void program_chip() {
        auto w = [&](UCHAR offset, UCHAR value) { CardWriteRegister(&a, offset, value); };
        w(NIC_CR, 0x21);
        w(NIC_DCR, a.ByteWideTransfers ? DCR_BYTE_WIDE : DCR_WORD_WIDE);
        w(NIC_RBCR1, 0);
        w(NIC_RBCR0, 0);
        w(NIC_RCR, a.ReceiveConfigValue);
        w(NIC_TCR, TCR_INTERNAL_LOOPBACK);
        w(NIC_BNRY, a.RingStartPage);
        w(NIC_PSTART, a.RingStartPage);
        w(NIC_PSTOP, a.RingStopPage);
        a.NextPacketPage = a.LastCurrentPage = static_cast<UCHAR>(a.RingStartPage + 1);
        w(NIC_ISR, 0xFF);
        w(NIC_IMR, a.InterruptMaskValue);
        w(NIC_CR, 0x61);
        for (UCHAR i = 0; i < 6; ++i) w(static_cast<UCHAR>(NIC_PAR0 + i), a.CurrentAddress[i]);
        for (UCHAR i = 0; i < 8; ++i) w(static_cast<UCHAR>(NIC_MAR0 + i), a.MulticastHashBytes[i]);
        w(NIC_CURR, a.LastCurrentPage);
        w(NIC_CR, 0x21);
        w(NIC_CR, 0x22);
        w(NIC_TCR, TCR_NORMAL);
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

// Compares trace lines with expected ones; an expected line ending in '*'
// matches any line that starts with what comes before it.
inline ::testing::AssertionResult LinesMatch(const std::vector<std::string>& actual,
                                             const std::vector<std::string>& expected) {
    const std::size_t n = std::min(actual.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& e = expected[i];
        const bool ok = (!e.empty() && e.back() == '*') ? actual[i].rfind(e.substr(0, e.size() - 1), 0) == 0
                                                        : actual[i] == e;
        if (!ok)
            return ::testing::AssertionFailure()
                   << "line " << i << ": got \"" << actual[i] << "\", expected \"" << e << "\"";
    }
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "got " << actual.size() << " lines, expected " << expected.size()
               << (actual.size() > n ? "; next: \"" + actual[n] + "\"" : "");
    return ::testing::AssertionSuccess();
}

inline std::size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
    std::size_t n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
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

}  // namespace by_hand
