// The protocol side: indications through the filter, transfer data, sends
// waiting for the running handler, exactly one completion per packet; and the
// memory window's stores reaching the bus.

#include <cstring>

#include "stand.h"

namespace {

std::vector<std::uint8_t> frame_to(host::MacAddress destination, std::size_t size = 60) {
    std::vector<std::uint8_t> f(size);
    std::copy(destination.begin(), destination.end(), f.begin());
    for (std::size_t i = 6; i < size; ++i) f[i] = static_cast<std::uint8_t>(i);
    return f;
}

const host::MacAddress kStation{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const host::MacAddress kOther{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const host::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const host::MacAddress kGroupListed{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const host::MacAddress kGroupUnlisted{0x01, 0x00, 0x5E, 0x00, 0x00, 0x77};

}  // namespace

TEST_F(Stand, ASendFromInsideAnIndicationWaitsAndTransferDataRunsInsideIt) {
    bring_up();
    EXPECT_EQ(adapter.station_address(), kStation);  // asked of the miniport after initialisation
    host::Binding& b = ndis.bind(adapter, protocol);
    ASSERT_EQ(b.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    testmp::options.frame = frame_to(kStation, 100);

    auto reply = packet();
    host::FramePacket into(packets, buffers, std::vector<std::uint8_t>(86), {10, 0, 30});  // three pieces
    std::optional<host::ReceiveIndication> kept;
    protocol.on_receive = [&](host::Binding& binding, const host::ReceiveIndication& ind) {
        EXPECT_EQ(ind.packet_size(), 86u);
        EXPECT_EQ(ind.lookahead().size(), 32u);
        UINT moved = 0;
        EXPECT_EQ(ind.transfer_data(into.packet(), 0, 86, &moved), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(moved, 86u);
        EXPECT_EQ(binding.send(reply->packet()), NDIS_STATUS_PENDING);
        testmp::log.calls.push_back("protocol sent");
        kept = ind;
    };
    testmp::log = {};
    device.raise(testmp::kCauseReceive);
    ndis.service();

    EXPECT_EQ(testmp::log.calls, (std::vector<std::string>{"ISR", "HandleInterrupt", "TransferData",
                                                           "protocol sent", "EnableInterrupt", "Send"}));
    EXPECT_EQ(testmp::log.max_handler_depth, 2);  // only TransferData runs inside another handler
    ASSERT_EQ(testmp::log.transfer_contexts.size(), 1u);
    EXPECT_EQ(testmp::log.transfer_contexts[0], testmp::adapter);  // the receive context indicated
    EXPECT_EQ(into.contents(),
              std::vector<std::uint8_t>(testmp::options.frame.begin() + 14, testmp::options.frame.end()));
    EXPECT_EQ(protocol.receive_completes, 1);

    // After the indication the frame is gone: transfer data is refused.
    UINT moved = 99;
    EXPECT_EQ(kept->transfer_data(into.packet(), 0, 10, &moved), NDIS_STATUS_FAILURE);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(ndis.errors().size(), 1u);
}

TEST_F(Stand, EveryPacketGetsExactlyOneCompletionAcrossResetAndHalt) {
    bring_up();
    host::Binding& b = ndis.bind(adapter, protocol);
    auto p1 = packet(), p2 = packet(), p3 = packet();
    for (auto* p : {p1.get(), p2.get(), p3.get()}) ASSERT_EQ(b.send(p->packet()), NDIS_STATUS_PENDING);
    ndis.run_as_handler(adapter,
                        [&] { NdisMSendComplete(adapter.handle(), p1->packet(), NDIS_STATUS_SUCCESS); });

    EXPECT_EQ(ndis.reset(adapter), NDIS_STATUS_SUCCESS);  // the miniport forgets p2 and p3
    ASSERT_EQ(protocol.completions.size(), 3u);
    EXPECT_EQ(protocol.completions[1], std::make_pair(p2->packet(), NDIS_STATUS_REQUEST_ABORTED));
    EXPECT_EQ(protocol.completions[2], std::make_pair(p3->packet(), NDIS_STATUS_REQUEST_ABORTED));
    EXPECT_EQ(adapter.sends_outstanding(), 0u);

    // A late completion of an aborted packet, or a second one, is refused.
    ndis.run_as_handler(adapter, [&] {
        NdisMSendComplete(adapter.handle(), p2->packet(), NDIS_STATUS_SUCCESS);
        NdisMSendComplete(adapter.handle(), p1->packet(), NDIS_STATUS_SUCCESS);
    });
    EXPECT_EQ(ndis.errors().size(), 2u);
    EXPECT_EQ(protocol.completions.size(), 3u);

    // At halt: what the miniport holds and what still waits in the wrapper.
    auto p4 = packet(), p5 = packet();
    ASSERT_EQ(b.send(p4->packet()), NDIS_STATUS_PENDING);
    ndis.run_as_handler(adapter, [&] {
        EXPECT_EQ(b.send(p5->packet()), NDIS_STATUS_PENDING);
        ndis.halt(adapter);  // waits too; waiting requests go in arrival order, p5 first
    });
    EXPECT_EQ(adapter.state(), host::AdapterState::Halted);
    for (auto* p : {p1.get(), p2.get(), p3.get(), p4.get(), p5.get()})
        EXPECT_EQ(protocol.completions_of(p->packet()), 1);
    EXPECT_EQ(protocol.completions.back().second, NDIS_STATUS_REQUEST_ABORTED);
    EXPECT_TRUE(ndis.leaks().empty());
}

// The wrapper's send timeout: a send that is still the oldest outstanding one
// at two checks in a row (2 s apart) makes the wrapper reset the adapter,
// which aborts it; a slow miniport that completes in between is left alone.
TEST_F(Stand, ASendOldestAtTwoChecksInARowGetsTheAdapterReset) {
    bring_up();
    host::Binding& b = ndis.bind(adapter, protocol);
    const machine::Nanoseconds period = host::NdisLibrary::kHangCheckPeriod;
    auto p1 = packet(), p2 = packet();
    ASSERT_EQ(b.send(p1->packet()), NDIS_STATUS_PENDING);
    ndis.run_for(period + period / 4);  // one check: p1 is the oldest
    ndis.run_as_handler(adapter,
                        [&] { NdisMSendComplete(adapter.handle(), p1->packet(), NDIS_STATUS_SUCCESS); });
    ASSERT_EQ(b.send(p2->packet()), NDIS_STATUS_PENDING);
    ndis.run_for(period);  // the next finds p2: a new one, no hang
    EXPECT_EQ(adapter.counters().hang_resets, 0u);
    EXPECT_EQ(protocol.completions_of(p2->packet()), 0);

    ndis.run_for(period);  // p2 again: hung
    EXPECT_EQ(adapter.counters().hang_resets, 1u);
    ASSERT_EQ(protocol.completions.size(), 2u);
    EXPECT_EQ(protocol.completions[1], std::make_pair(p2->packet(), NDIS_STATUS_REQUEST_ABORTED));
    ndis.run_for(3 * period);  // nothing outstanding: nothing more
    EXPECT_EQ(adapter.counters().hang_resets, 1u);
    EXPECT_TRUE(ndis.errors().empty()) << ::testing::PrintToString(ndis.errors());
}

TEST_F(Stand, ASendHandlerMayFinishAPacketOnceOnly) {
    bring_up();
    host::Binding& b = ndis.bind(adapter, protocol);
    auto p = packet();
    testmp::options.send_status = NDIS_STATUS_SUCCESS;
    EXPECT_EQ(b.send(p->packet()), NDIS_STATUS_SUCCESS);  // final status, no callback
    EXPECT_TRUE(protocol.completions.empty());
    EXPECT_EQ(adapter.sends_outstanding(), 0u);

    testmp::options.complete_in_send = true;  // completes it and returns a final status as well
    EXPECT_EQ(b.send(p->packet()), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(protocol.completions.size(), 1u);
    EXPECT_EQ(ndis.errors().size(), 1u);

    testmp::options.send_status = NDIS_STATUS_PENDING;  // completes inside and pends: correct
    EXPECT_EQ(b.send(p->packet()), NDIS_STATUS_PENDING);
    EXPECT_EQ(protocol.completions.size(), 2u);
    EXPECT_EQ(ndis.errors().size(), 1u);
}

TEST_F(Stand, TheFilterPassesOnlyWhatEachBindingAskedFor) {
    bring_up();
    RecordingProtocol directed, groups, everything;
    host::Binding& d = ndis.bind(adapter, directed);
    host::Binding& g = ndis.bind(adapter, groups);
    host::Binding& e = ndis.bind(adapter, everything);
    ASSERT_EQ(d.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST),
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(d.set_multicast_list({kGroupListed}), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(g.set_packet_filter(NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_ALL_MULTICAST),
              NDIS_STATUS_SUCCESS);
    ASSERT_EQ(e.set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS), NDIS_STATUS_SUCCESS);

    // The miniport is given the union.
    const auto& last_filter = testmp::log.sets[testmp::log.sets.size() - 1];
    ASSERT_EQ(last_filter.first, ULONG{OID_GEN_CURRENT_PACKET_FILTER});
    ULONG value;
    std::memcpy(&value, last_filter.second.data(), 4);
    EXPECT_EQ(value,
              ULONG{NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST |
                    NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS});

    auto deliver = [&](const host::MacAddress& to) {
        testmp::options.frame = frame_to(to);
        device.raise(testmp::kCauseReceive);
        ndis.service();
    };
    for (const auto& to : {kStation, kOther, kBroadcast, kGroupListed, kGroupUnlisted}) deliver(to);
    auto destinations = [](const RecordingProtocol& p) {
        std::vector<host::MacAddress> out;
        for (const auto& r : p.received) {
            host::MacAddress m;
            std::copy_n(r.header.begin(), 6, m.begin());
            out.push_back(m);
        }
        return out;
    };
    // A group the card let through by a hash collision is not passed to the binding that listed another.
    EXPECT_EQ(destinations(directed), (std::vector<host::MacAddress>{kStation, kGroupListed}));
    EXPECT_EQ(destinations(groups),
              (std::vector<host::MacAddress>{kBroadcast, kGroupListed, kGroupUnlisted}));
    EXPECT_EQ(destinations(everything).size(), 5u);
    EXPECT_EQ(adapter.counters().indications, 5u);
}

TEST_F(Stand, RequestsMadeWhileAHandlerRunsCompleteLater) {
    bring_up();
    host::Binding& b = ndis.bind(adapter, protocol);
    struct Recorder : RecordingProtocol {
        std::vector<std::pair<NDIS_OID, NDIS_STATUS>> done;
        void request_complete(host::Binding&, NDIS_OID oid, NDIS_STATUS s) override {
            done.push_back({oid, s});
        }
    } waiting_protocol;
    host::Binding& w = ndis.bind(adapter, waiting_protocol);
    UCHAR address[6] = {};
    ULONG written = 0, needed = 0;
    ndis.run_as_handler(adapter, [&] {
        EXPECT_EQ(w.query(OID_802_3_CURRENT_ADDRESS, address, 6, &written, &needed), NDIS_STATUS_PENDING);
        EXPECT_EQ(written, 0u);
    });
    ASSERT_EQ(waiting_protocol.done.size(), 1u);
    EXPECT_EQ(waiting_protocol.done[0].second, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(address[5], 0x01);
    EXPECT_EQ(b.query(0x12345, address, 6, &written, &needed), NDIS_STATUS_INVALID_OID);
}

TEST_F(Stand, MemoryWindowStoresReachTheBusInProgramOrder) {
    bring_up();
    testdev::RecordingMemory attribute(bus, 0xD8000, 0x1000);
    std::vector<std::string> seq;
    attribute.sequence = &seq;
    device.sequence = &seq;

    // Mapping is for the initialise handler.
    ndis.run_as_initialize(adapter, [&] {
        PVOID window = nullptr;
        ASSERT_EQ(NdisMMapIoSpace(&window, adapter.handle(), NDIS_PHYSICAL_ADDRESS_CONST(0xD8000, 0), 0x400),
                  NDIS_STATUS_SUCCESS);
        auto* w = static_cast<volatile UCHAR*>(window);
        EXPECT_EQ(w[0x3F8], 0x11);  // the window shows what the bus holds
        w[0x3F8] = 0x24;
        w[0x3FA] = 0x48;
        testmp::write(testdev::kPage, 1);  // the stores before it reach the bus first
        w[0x3F2] = 0x08;
        KeStallExecutionProcessor(10);
        w[0x010] = 0x05;
        NdisMUnmapIoSpace(adapter.handle(), window, 0x3FF);  // not as mapped: refused
        EXPECT_EQ(ndis.errors().size(), 1u);
        NdisMUnmapIoSpace(adapter.handle(), window, 0x400);
        EXPECT_EQ(seq, (std::vector<std::string>{"mem 1016=36", "mem 1018=72", "port 2=1", "mem 1010=8",
                                                 "mem 16=5"}));

        ndis.fail_next_map_io_space(NDIS_STATUS_RESOURCES);
        EXPECT_EQ(NdisMMapIoSpace(&window, adapter.handle(), NDIS_PHYSICAL_ADDRESS_CONST(0xD8000, 0), 0x400),
                  NDIS_STATUS_RESOURCES);
        ASSERT_EQ(NdisMMapIoSpace(&window, adapter.handle(), NDIS_PHYSICAL_ADDRESS_CONST(0xD8000, 0), 0x400),
                  NDIS_STATUS_SUCCESS);
    });
    ndis.halt(adapter);  // halt leaves it mapped: recorded and taken back
    EXPECT_EQ(ndis.errors().size(), 2u);
    EXPECT_TRUE(ndis.leaks().empty());
}
