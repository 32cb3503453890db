#pragma once
// The driver on the emulated PC with a protocol bound to it and a station on
// the wire, both lean: they keep no records, allocate nothing per frame and
// make exactly the copies a real protocol and a real station would. What the
// benchmark times, and what the per-frame bus accounting watches.
//
//     bench::BenchRig r({});
//     r.send_one(1514);      // protocol -> driver -> card -> wire -> station, transmit interrupt handled
//     r.receive_one(1514);   // station -> wire -> card -> driver -> protocol, receive interrupt handled

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <utility>

#include "driver/adapter.h"
#include "platform/host/driver_image.h"
#include "platform/host/packet_pool.h"
#include "platform/host/protocol.h"
#include "rig/rig.h"

namespace bench {

constexpr std::size_t kLargestFrame = 1514;
constexpr std::size_t kSmallestFrame = 60;

// A station on the wire: it sends from a buffer of its own and copies each
// frame it hears into one buffer of its own.
class BenchStation final : public net::WireEndpoint {
public:
    explicit BenchStation(net::EthernetWire& wire);
    ~BenchStation() override;
    BenchStation(const BenchStation&) = delete;
    BenchStation& operator=(const BenchStation&) = delete;

    void send(std::span<const std::uint8_t> frame) { wire_.transmit(this, frame); }
    void receive_frame(std::span<const std::uint8_t> frame) override;
    std::uint64_t frames_heard() const { return frames_heard_; }
    machine::Nanoseconds last_heard_at() const { return last_heard_at_; }
    std::span<const std::uint8_t> last_frame() const { return {heard_.data(), heard_length_}; }

private:
    net::EthernetWire& wire_;
    std::array<std::uint8_t, kLargestFrame> heard_{};
    std::size_t heard_length_ = 0;
    std::uint64_t frames_heard_ = 0;
    machine::Nanoseconds last_heard_at_ = 0;
};

// A protocol that sends prepared packets, and takes every frame indicated to
// it whole: the lookahead, and when that is short of the frame the rest by
// transfer-data into the one packet it keeps for that.
class BenchProtocol final : public host::Protocol {
public:
    BenchProtocol();
    ~BenchProtocol() override;
    BenchProtocol(const BenchProtocol&) = delete;
    BenchProtocol& operator=(const BenchProtocol&) = delete;

    void attach(host::Binding& binding) { binding_ = &binding; }
    // The packet of a frame of `length` bytes to `destination`, made once per
    // length and copy: a packet may go out again only once it has come back,
    // so a burst takes a copy for each frame.
    PNDIS_PACKET packet(std::size_t length, std::span<const std::uint8_t, 6> destination,
                        std::size_t copy = 0);
    host::Binding& binding() { return *binding_; }
    void send(PNDIS_PACKET packet);

    NDIS_STATUS receive(host::Binding& binding, const host::ReceiveIndication& indication) override;
    void send_complete(host::Binding&, PNDIS_PACKET, NDIS_STATUS status) override;

    std::uint64_t frames_taken() const { return frames_taken_; }
    machine::Nanoseconds last_taken_at() const { return last_taken_at_; }
    void set_clock(const machine::VirtualClock& clock) { clock_ = &clock; }
    std::uint64_t sends_completed() const { return sends_completed_; }
    std::uint64_t sends_failed() const { return sends_failed_; }
    std::span<const std::uint8_t> last_frame() const { return {taken_.data(), taken_length_}; }

private:
    host::PacketPool packets_{4096};
    host::BufferPool buffers_{4096};
    host::Binding* binding_ = nullptr;
    std::map<std::pair<std::size_t, std::size_t>, std::unique_ptr<host::FramePacket>> outgoing_;
    std::array<std::uint8_t, kLargestFrame> taken_{};
    std::size_t taken_length_ = 0;
    std::unique_ptr<host::FramePacket> transfer_into_;
    std::uint64_t frames_taken_ = 0;
    const machine::VirtualClock* clock_ = nullptr;
    machine::Nanoseconds last_taken_at_ = 0;
    std::uint64_t sends_completed_ = 0;
    std::uint64_t sends_failed_ = 0;
};

struct BenchRigOptions {
    machine::EmulatedPcOptions pc;
    bool trace = false;
};

class BenchRig {
public:
    // Loads and brings up the linked driver; throws std::runtime_error when the
    // adapter does not come up.
    explicit BenchRig(BenchRigOptions options = {});
    ~BenchRig();
    BenchRig(const BenchRig&) = delete;
    BenchRig& operator=(const BenchRig&) = delete;

    // One frame from the protocol to the station, until the machine is quiet
    // again (the transmit interrupt handled). Throws if it does not arrive.
    void send_one(std::size_t length);
    // One frame from the station to the protocol, until the machine is quiet.
    void receive_one(std::size_t length);
    // Hands `count` frames to the driver at once and runs until the station
    // has heard them all.
    void send_burst(std::size_t length, std::size_t count);
    // The station sends `count` frames, one every `interval`, and the machine
    // runs until quiet; returns how many reached the protocol.
    std::uint64_t receive_paced(std::size_t length, std::size_t count, machine::Nanoseconds interval);
    // The driver's record, for where its ring and transmit pages lie.
    const Ne2000Adapter& record();
    std::uint16_t io_base();

    rig::Rig& rig() { return *rig_; }
    host::NdisLibrary& ndis() { return rig_->ndis(); }
    machine::BusTrace& trace() { return rig_->pc().trace(); }
    machine::Nanoseconds now() { return rig_->clock().now(); }
    BenchStation& station() { return *station_; }
    BenchProtocol& protocol() { return *protocol_; }
    std::span<const std::uint8_t, 6> station_address() const { return station_address_; }
    std::span<const std::uint8_t, 6> adapter_address() const { return adapter_address_; }
    // A frame of `length` bytes from the station to the adapter, prepared once.
    std::span<const std::uint8_t> inbound_frame(std::size_t length) const;
    void run_until_quiet();

private:
    std::unique_ptr<rig::Rig> rig_;
    host::LinkedDriver driver_;
    std::unique_ptr<BenchStation> station_;
    std::unique_ptr<BenchProtocol> protocol_;
    std::array<std::uint8_t, 6> station_address_{0x02, 0, 0, 0, 0, 0x99};
    std::array<std::uint8_t, 6> adapter_address_{};
    std::array<std::uint8_t, kLargestFrame> inbound_{};
};

// The bytes of a frame of `length` bytes: destination, source, IPv4 type, then a counting pattern.
void fill_frame(std::span<std::uint8_t> frame, std::span<const std::uint8_t, 6> destination,
                std::span<const std::uint8_t, 6> source);

}  // namespace bench
