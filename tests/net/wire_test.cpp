#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "chip.h"
#include "net/wire/ethernet_wire.h"
#include "net/wire/nic_port.h"
#include "net/wire/pcap_capture.h"
#include "net/wire/peer_station.h"
#include "net/wire/recent_frames.h"

using namespace nictest;
using machine::Nanoseconds;
using net::EthernetWire;
using net::PeerStation;

TEST(EthernetWire, PeersPadAndTheWireSerialisesFramesAtTenMegabits) {
    machine::VirtualClock clock;
    EthernetWire wire(clock);
    PeerStation a(wire), b(wire);
    a.send_at(1000, std::vector<std::uint8_t>(20, 0xAB));
    a.send_at(1000, std::vector<std::uint8_t>(100, 0xCD));  // defers behind the first
    clock.advance(machine::kSecond);
    ASSERT_EQ(b.received().size(), 2u);
    EXPECT_EQ(b.received()[0].frame.size(), 60u);
    EXPECT_EQ(b.received()[0].frame[19], 0xAB);
    EXPECT_EQ(b.received()[0].frame[20], 0x00);
    EXPECT_EQ(b.received()[0].time, 1000 + (60 + 24) * 800u);
    EXPECT_EQ(b.received()[1].time, b.received()[0].time + (100 + 24) * 800u);
    EXPECT_TRUE(a.received().empty());  // nobody hears itself
    EXPECT_EQ(wire.frames_carried(), 2u);
}

namespace {
struct CardOnWire : ::testing::Test {
    Chip c;
    EthernetWire wire{c.clock};
    net::NicPort port{wire, c.nic};
    PeerStation peer{wire};
    void SetUp() override { c.bring_up(); }
    std::vector<std::uint8_t> send(std::size_t length) {
        auto frame = frame_to({0x02, 0, 0, 0, 0, 9}, length);
        c.load_frame(frame);
        c.out(kCommand, 0x26);
        return frame;
    }
};
}  // namespace

// The card sends exactly TBCR bytes; the peer takes what is an Ethernet
// frame (60 to 1514 bytes without FCS) and counts the rest as a real MAC
// would, as runts and giants.
TEST_F(CardOnWire, PeerGetsExactlyWhatTheCardSentAndCountsRuntsAndGiants) {
    const auto frame = send(60);
    const Nanoseconds done = (60 + 24) * 800;
    c.clock.advance(done - 1);
    EXPECT_TRUE(peer.received().empty());
    EXPECT_EQ(c.in(ISR)&0x02, 0);
    c.clock.advance(1);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].frame, frame);
    EXPECT_EQ(peer.received()[0].time, done);
    EXPECT_EQ(c.in(ISR), 0x02);

    for (std::size_t length : {59u, 1515u, 1514u, 42u}) {
        c.out(ISR, 0xFF);
        send(length);  // the card does not pad: a short frame stays short
        c.clock.advance(machine::kMillisecond + EthernetWire::frame_time(length));
        EXPECT_EQ(c.in(ISR), 0x02) << length;
    }
    ASSERT_EQ(peer.received().size(), 2u);
    EXPECT_EQ(peer.received()[1].frame.size(), 1514u);
    EXPECT_EQ(peer.runts(), 2u);
    EXPECT_EQ(peer.giants(), 1u);
    EXPECT_TRUE(c.nic.violations().empty());
}

TEST_F(CardOnWire, CardDefersToAFrameAlreadyOnTheWireAndSendsNothingInLoopback) {
    peer.send(std::vector<std::uint8_t>(1514, 0x02));  // to someone else: the card ignores it
    c.clock.advance(10 * machine::kMicrosecond);
    send(60);
    c.clock.advance(EthernetWire::frame_time(1514));
    EXPECT_EQ(c.in(ISR)&0x02, 0);
    c.clock.advance(EthernetWire::frame_time(60));
    EXPECT_EQ(c.in(ISR)&0x02, 0x02);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].time, EthernetWire::frame_time(1514) + EthernetWire::frame_time(60));

    c.out(TCR, 0x02);
    send(60);
    c.clock.advance(machine::kMillisecond);
    EXPECT_EQ(c.in(ISR)&0x02, 0x02);
    EXPECT_EQ(peer.received().size(), 1u);
}

TEST_F(CardOnWire, ShortFrameFromAPeerIsPaddedAndStored) {
    peer.send_at(500, frame_to(c.nic.config().station_address, 20));
    c.clock.advance(machine::kMillisecond);
    EXPECT_EQ(c.in(ISR)&0x01, 0x01);
    const auto header = c.read_memory(0x4D00, 4);
    EXPECT_EQ(header, (std::vector<std::uint8_t>{0x01, 0x4E, 64, 0}));
}

TEST_F(CardOnWire, CaptureOpensInTshark) {
    const auto path =
        std::filesystem::temp_directory_path() / ("nic_capture_" + std::to_string(getpid()) + ".pcap");
    {
        net::PcapCapture capture(wire, path.string());
        peer.send_at(2 * machine::kSecond + 5 * machine::kMicrosecond,
                     frame_to(c.nic.config().station_address, 98));
        c.clock.advance(3 * machine::kSecond);
        send(60);
        c.clock.advance(machine::kMillisecond);
        EXPECT_EQ(capture.frames_written(), 2u);
    }
    EXPECT_EQ(std::filesystem::file_size(path), 24u + (16 + 98) + (16 + 60));
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        std::filesystem::remove(path);
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::string command =
        "tshark -r " + path.string() + " -T fields -e frame.len -e frame.time_epoch 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof line, pipe)) output += line;
        EXPECT_EQ(pclose(pipe), 0) << output;
    }
    std::filesystem::remove(path);
    EXPECT_NE(output.find("98\t2.000102"), std::string::npos) << output;
    EXPECT_NE(output.find("60\t"), std::string::npos) << output;
}

// One line per frame for the live view, and never a read past a frame's end,
// however it is cut short (ASan watches every truncation of every sample).
TEST(RecentFrames, SummarisesTheCommonFramesAndSurvivesEveryTruncation) {
    auto frame = [](std::uint16_t type, const std::vector<std::uint8_t>& body) {
        const std::uint8_t header[] = {0x02, 0, 0, 0, 0, 1, 0x52, 0x55, 10, 0, 2, 2,
                                       static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
        std::vector<std::uint8_t> f(sizeof header + body.size());
        std::copy(std::begin(header), std::end(header), f.begin());
        std::copy(body.begin(), body.end(), f.begin() + sizeof header);
        return f;
    };
    auto ipv4 = [&](std::uint8_t protocol, std::vector<std::uint8_t> l4) {
        const auto total = static_cast<std::uint8_t>(20 + l4.size());
        std::vector<std::uint8_t> ip = {0x45, 0, 0,  total, 0, 0,  0,  0, 64, protocol,
                                        0,    0, 10, 0,     2, 15, 10, 0, 2,  2};
        ip.insert(ip.end(), l4.begin(), l4.end());
        return frame(0x0800, ip);
    };
    const std::vector<std::uint8_t> syn = {0xC0, 0x01, 0,    80,   0, 0, 0, 1, 0, 0,
                                           0,    0,    0x50, 0x02, 0, 0, 0, 0, 0, 0};
    const std::vector<std::uint8_t> arp_request = {0,  1, 8, 0,  6, 4, 0, 1, 2, 0, 0,  0, 0, 1,
                                                   10, 0, 2, 15, 0, 0, 0, 0, 0, 0, 10, 0, 2, 2};
    const struct {
        std::vector<std::uint8_t> frame;
        const char* summary;
    } cases[] = {
        {ipv4(6, syn), "10.0.2.15:49153 > 10.0.2.2:80 TCP [SYN] len 0"},
        {ipv4(17, {0, 68, 0, 67, 0, 12, 0, 0, 1, 2, 3, 4}), "10.0.2.15:68 > 10.0.2.2:67 UDP len 4"},
        {ipv4(1, {8, 0, 0, 0, 0, 1, 0, 1}), "10.0.2.15 > 10.0.2.2 ICMP echo request"},
        {frame(0x0806, arp_request), "ARP who has 10.0.2.2 tell 10.0.2.15"},
        {frame(0x88B5, std::vector<std::uint8_t>(46)), "EtherType 0x88B5"},
        {frame(46, std::vector<std::uint8_t>(46)), "802.3 length 46"},
        {std::vector<std::uint8_t>(10), "runt of 10 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net::summarize_frame(c.frame), c.summary);
        for (std::size_t cut = 0; cut < c.frame.size(); ++cut)  // a copy: ASan sees past its end
            net::summarize_frame(std::vector<std::uint8_t>(c.frame.begin(), c.frame.begin() + cut));
    }

    machine::VirtualClock clock;
    net::EthernetWire wire(clock);
    net::PeerStation peer(wire);
    net::RecentFrames recent(wire, 2);
    for (int i = 0; i < 3; ++i) peer.send(cases[i].frame);
    clock.advance(machine::kMillisecond);
    ASSERT_EQ(recent.entries().size(), 2u);
    EXPECT_EQ(recent.frames_seen(), 3u);
    EXPECT_EQ(recent.entries().front().summary, cases[1].summary);  // the oldest went
    EXPECT_EQ(recent.entries().back().source, "52:55:0A:00:02:02");
}
