#include "bench/bench_rig.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace bench {

using machine::kSecond;

void fill_frame(std::span<std::uint8_t> frame, std::span<const std::uint8_t, 6> destination,
                std::span<const std::uint8_t, 6> source) {
    std::copy(destination.begin(), destination.end(), frame.begin());
    std::copy(source.begin(), source.end(), frame.begin() + 6);
    frame[12] = 0x08;
    frame[13] = 0x00;
    for (std::size_t i = 14; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
}

// ---------------------------------------------------------------------------

BenchStation::BenchStation(net::EthernetWire& wire) : wire_(wire) {
    wire_.attach(*this);
}

BenchStation::~BenchStation() {
    wire_.detach(*this);
}

void BenchStation::receive_frame(std::span<const std::uint8_t> frame) {
    heard_length_ = std::min(frame.size(), heard_.size());
    std::copy_n(frame.begin(), heard_length_, heard_.begin());
    ++frames_heard_;
    last_heard_at_ = wire_.clock().now();
}

// ---------------------------------------------------------------------------

BenchProtocol::BenchProtocol() {
    transfer_into_ = std::make_unique<host::FramePacket>(packets_, buffers_,
                                                         std::vector<std::uint8_t>(kLargestFrame - 14));
}

BenchProtocol::~BenchProtocol() = default;

PNDIS_PACKET BenchProtocol::packet(std::size_t length, std::span<const std::uint8_t, 6> destination,
                                   std::size_t copy) {
    auto& made = outgoing_[{length, copy}];
    if (!made) {
        std::vector<std::uint8_t> bytes(length);
        const std::array<std::uint8_t, 6> source{};  // the adapter puts no source of its own in
        fill_frame(bytes, destination, source);
        made = std::make_unique<host::FramePacket>(packets_, buffers_, std::move(bytes));
    }
    return made->packet();
}

void BenchProtocol::send(PNDIS_PACKET packet) {
    const NDIS_STATUS status = binding_->send(packet);
    if (status != NDIS_STATUS_PENDING) send_complete(*binding_, packet, status);
}

void BenchProtocol::send_complete(host::Binding&, PNDIS_PACKET, NDIS_STATUS status) {
    ++sends_completed_;
    if (status != NDIS_STATUS_SUCCESS) ++sends_failed_;
}

NDIS_STATUS BenchProtocol::receive(host::Binding&, const host::ReceiveIndication& indication) {
    const auto header = indication.header();
    const auto lookahead = indication.lookahead();
    std::size_t at = std::min(header.size(), taken_.size());
    std::copy_n(header.begin(), at, taken_.begin());
    if (lookahead.size() >= indication.packet_size()) {
        const std::size_t n = std::min<std::size_t>(indication.packet_size(), taken_.size() - at);
        std::copy_n(lookahead.begin(), n, taken_.begin() + static_cast<std::ptrdiff_t>(at));
        at += n;
    } else {
        // The frame goes straight from card memory into the protocol's packet.
        UINT moved = 0;
        if (indication.transfer_data(transfer_into_->packet(), 0, indication.packet_size(), &moved) ==
            NDIS_STATUS_SUCCESS)
            at += moved;
    }
    taken_length_ = at;
    ++frames_taken_;
    if (clock_ != nullptr) last_taken_at_ = clock_->now();
    return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------

BenchRig::BenchRig(BenchRigOptions options) {
    rig_ = std::make_unique<rig::Rig>(rig::RigOptions{.pc = options.pc, .trace = options.trace});
    // The wrapper's event record grows with every handler call: a long run keeps none.
    rig_->ndis().record_events(false);
    // The scripted peer keeps every frame it hears: the bench station stands in its place.
    rig_->wire().detach(rig_->peer());
    station_ = std::make_unique<BenchStation>(rig_->wire());
    protocol_ = std::make_unique<BenchProtocol>();
    protocol_->set_clock(rig_->clock());
    if (rig_->load(driver_) != STATUS_SUCCESS || rig_->initialize(driver_) != NDIS_STATUS_SUCCESS)
        throw std::runtime_error("the adapter did not come up");
    protocol_->attach(ndis().bind(rig_->adapter(), *protocol_));
    host::Binding& binding = protocol_->binding();
    if (binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED) != NDIS_STATUS_SUCCESS)
        throw std::runtime_error("the adapter refused the packet filter");
    ULONG written = 0, needed = 0;
    if (binding.query(OID_802_3_CURRENT_ADDRESS, adapter_address_.data(), 6, &written, &needed) !=
        NDIS_STATUS_SUCCESS)
        throw std::runtime_error("the adapter did not tell its address");
    fill_frame(inbound_, adapter_address_, station_address_);
    run_until_quiet();
}

BenchRig::~BenchRig() {
    if (rig_->adapter().state() == host::AdapterState::Running) ndis().halt(rig_->adapter());
}

std::span<const std::uint8_t> BenchRig::inbound_frame(std::size_t length) const {
    return {inbound_.data(), std::min(length, inbound_.size())};
}

void BenchRig::run_until_quiet() {
    if (!ndis().run_until_idle(10 * kSecond)) throw std::runtime_error("the machine never fell quiet");
}

void BenchRig::send_one(std::size_t length) {
    const std::uint64_t heard = station_->frames_heard();
    protocol_->send(protocol_->packet(length, station_address_));
    run_until_quiet();
    if (station_->frames_heard() != heard + 1)
        throw std::runtime_error("a " + std::to_string(length) + "-byte frame did not reach the station");
}

void BenchRig::receive_one(std::size_t length) {
    const std::uint64_t taken = protocol_->frames_taken();
    station_->send(inbound_frame(length));
    run_until_quiet();
    if (protocol_->frames_taken() != taken + 1)
        throw std::runtime_error("a " + std::to_string(length) + "-byte frame did not reach the protocol");
}

void BenchRig::send_burst(std::size_t length, std::size_t count) {
    const std::uint64_t heard = station_->frames_heard();
    for (std::size_t i = 0; i < count; ++i) protocol_->send(protocol_->packet(length, station_address_, i));
    run_until_quiet();
    if (station_->frames_heard() != heard + count)
        throw std::runtime_error("a burst of " + std::to_string(count) +
                                 " frames did not all reach the station");
}

}  // namespace bench

namespace bench {

std::uint64_t BenchRig::receive_paced(std::size_t length, std::size_t count, machine::Nanoseconds interval) {
    const std::uint64_t taken = protocol_->frames_taken();
    const machine::Nanoseconds start = now();
    for (std::size_t i = 0; i < count; ++i)
        rig_->clock().schedule_at(start + i * interval,
                                  [this, length] { station_->send(inbound_frame(length)); });
    run_until_quiet();
    return protocol_->frames_taken() - taken;
}

const Ne2000Adapter& BenchRig::record() {
    return *static_cast<const Ne2000Adapter*>(rig_->adapter().context());
}

std::uint16_t BenchRig::io_base() {
    return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(record().IoPortBase));
}

}  // namespace bench
