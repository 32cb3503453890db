#pragma once
// The fixture of the stand-in's tests: a bare bus with the test device at 0x280
// on IRQ 5, the stand-in, the test miniport registered, one adapter listed, and
// a recording protocol.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/ndis_library.h"
#include "test_device.h"
#include "test_miniport.h"

class RecordingProtocol : public host::Protocol {
public:
    struct Received {
        std::vector<std::uint8_t> header;
        UINT packet_size;
    };
    std::vector<Received> received;
    int receive_completes = 0;
    std::vector<std::pair<PNDIS_PACKET, NDIS_STATUS>> completions;
    std::function<void(host::Binding&, const host::ReceiveIndication&)> on_receive;

    NDIS_STATUS receive(host::Binding& b, const host::ReceiveIndication& ind) override {
        received.push_back({{ind.header().begin(), ind.header().end()}, ind.packet_size()});
        if (on_receive) on_receive(b, ind);
        return NDIS_STATUS_SUCCESS;
    }
    void receive_complete(host::Binding&) override { ++receive_completes; }
    void send_complete(host::Binding&, PNDIS_PACKET p, NDIS_STATUS s) override {
        completions.push_back({p, s});
    }
    int completions_of(PNDIS_PACKET p) const {
        return static_cast<int>(std::count_if(completions.begin(), completions.end(),
                                              [&](const auto& c) { return c.first == p; }));
    }
};

class Stand : public ::testing::Test {
protected:
    void SetUp() override {
        testmp::reset();
        ASSERT_EQ(testmp::load(), NDIS_STATUS_SUCCESS);
        bus.trace().enable();
    }
    void bring_up() {
        ASSERT_EQ(ndis.initialize(adapter), NDIS_STATUS_SUCCESS);
        ASSERT_NE(testmp::adapter, nullptr);
    }
    // Another device on the test device's line that drives it high and never
    // lets go until the test says so.
    machine::IrqLines::SourceId hold_line_high() {
        auto& irq = bus.irq();
        const auto stuck = irq.add_source("stuck device");
        irq.steer(stuck, 5);
        irq.drive(stuck, true);
        return stuck;
    }
    // Index of the first call named `name` at or after `from` in the miniport's log; -1 if none.
    static int at(const std::string& name, int from = 0) {
        const auto& c = testmp::log.calls;
        for (int i = from; i < static_cast<int>(c.size()); ++i)
            if (c[i] == name) return i;
        return -1;
    }
    std::unique_ptr<host::FramePacket> packet(std::size_t size = 60) {
        return std::make_unique<host::FramePacket>(packets, buffers, std::vector<std::uint8_t>(size, 0x5A));
    }

    machine::IsaBus bus;
    testdev::Device device{bus, 0x280, 5};
    host::NdisLibrary ndis{bus};
    host::MiniportAdapter& adapter = ndis.add_adapter("test");
    host::PacketPool packets;
    host::BufferPool buffers;
    RecordingProtocol protocol;
};
