#pragma once
// A running adapter for the receive and interrupt tests, without the bring-up
// code: the record filled in as registration fills it, the chip programmed as
// the set-up routine programs it and taken out of loopback, and the bound
// protocol's packet filter set through the driver. Frames come from the
// testbed's peer over the modelled wire.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/testbed.h"

namespace running_card {

constexpr machine::Nanoseconds kMs = machine::kMillisecond;
inline const host::MacAddress kStation{0x02, 0x00, 0x00, 0x00, 0x30, 0x01};
inline const host::MacAddress kPeer{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};

// A frame whose every byte depends on its sequence number and position, so a
// byte taken from the wrong card address shows.
inline std::vector<std::uint8_t> Frame(std::size_t length, unsigned seq,
                                       const host::MacAddress& to = kStation) {
    std::vector<std::uint8_t> f(length);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(kPeer.begin(), kPeer.end(), f.begin() + 6);
    f[12] = 0x08;
    f[13] = 0x00;
    for (std::size_t i = 14; i < length; ++i) f[i] = static_cast<std::uint8_t>(seq * 31 + i * 7 + (i >> 8));
    f[14] = static_cast<std::uint8_t>(seq);
    return f;
}

inline std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

// The adapter as registration leaves it, without the bring-up code: the
// record filled in, the chip programmed as the set-up routine programs it and
// out of loopback, the protocol's filter set through the driver.
class RunningCard {
public:
    explicit RunningCard(bool eight_bit = false, ULONG filter = NDIS_PACKET_TYPE_DIRECTED)
        : tb(Options(eight_bit)), a(tb.set_up_by_hand()) {
        const machine::Dp8390Config& nic = tb.nic().config();
        a.ByteWideTransfers = eight_bit ? TRUE : FALSE;
        a.CardRamStart = nic.ram_start;
        a.CardRamLength = nic.ram_size;
        a.TransmitAreaAddress = nic.ram_start;
        a.TransmitStartPage = static_cast<UCHAR>(nic.ram_start >> 8);
        a.RingStartPage = static_cast<UCHAR>(a.TransmitStartPage + kTransmitPages);
        a.RingStopPage = static_cast<UCHAR>((nic.ram_start + nic.ram_size) >> 8);
        a.RingStartAddress = static_cast<ULONG>(a.RingStartPage) << 8;
        a.RingEndAddress = nic.ram_start + nic.ram_size;
        a.TransmitActivePage = -1;
        a.InterruptMaskValue = kDefaultInterruptMask;
        std::copy(kStation.begin(), kStation.end(), a.CurrentAddress);
        std::copy(kStation.begin(), kStation.end(), a.PermanentAddress);
        tb.call([&] { ProgramChip(); });
        tb.adapter().set_station_address(kStation);
        EXPECT_EQ(tb.protocol().set_packet_filter(filter), NDIS_STATUS_SUCCESS);
        tb.trace().clear();
    }

    std::vector<std::string> Lines(std::size_t from = 0) { return tb.trace().lines(from); }
    // The indication events in order, "Indicate 14+46 of 46" and "IndicateComplete".
    std::vector<std::string> Indications() {
        std::vector<std::string> out;
        for (const auto& e : tb.ndis().events())
            if (e.what.rfind("Indicate", 0) == 0) out.push_back(e.what);
        return out;
    }

    testbed::Testbed tb;
    Ne2000Adapter& a;

private:
    static testbed::TestbedOptions Options(bool eight_bit) {
        testbed::TestbedOptions o;
        o.pc.nic =
            eight_bit ? machine::Dp8390Config::eight_bit_card() : machine::Dp8390Config::sixteen_bit_card();
        return o;
    }

    void ProgramChip() {
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
};

inline std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line,
                           std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i] == line) return i;
    return lines.size();
}

}  // namespace running_card
