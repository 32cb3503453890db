#pragma once
// The emulated PC with its card, the Ethernet wire the card's port is on (with
// a scripted peer station and, if asked, a capture), and the NDIS stand-in
// with one adapter listed in its configuration: what the driver runs on, for
// ne2000sim and for the driver tests alike.
//
//     rig::Rig r({.pcap_path = "wire.pcap"});
//     r.config().set("InterruptNumber", 5);
//     host::LinkedDriver driver;
//     if (r.load(driver) == STATUS_SUCCESS && r.initialize(driver) == NDIS_STATUS_SUCCESS) ...
//     r.ndis().halt(r.adapter());

#include <memory>
#include <string>
#include <vector>

#include "machine/emulated_pc.h"
#include "net/wire/ethernet_wire.h"
#include "net/wire/nic_port.h"
#include "net/wire/pcap_capture.h"
#include "net/wire/peer_station.h"
#include "platform/host/driver_image.h"
#include "platform/host/ndis_library.h"

namespace rig {

struct RigOptions {
    machine::EmulatedPcOptions pc;  // socket, card width, timing, faults of presence, bus cost
    bool trace = false;             // record every port access and stall
    std::string pcap_path;          // capture the wire to this file when not empty
};

class Rig {
public:
    // Throws std::runtime_error when the capture file cannot be opened.
    explicit Rig(RigOptions options = {});
    // The stand-in goes first, so nothing calls into the driver after its
    // parts are gone; the capture is closed last.
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    machine::EmulatedPc& pc() { return *pc_; }
    machine::VirtualClock& clock() { return pc_->clock(); }
    net::EthernetWire& wire() { return *wire_; }
    net::PeerStation& peer() { return *peer_; }
    host::NdisLibrary& ndis() { return *ndis_; }
    host::MiniportAdapter& adapter() { return *adapter_; }
    host::Configuration& config() { return adapter_->config(); }
    const RigOptions& options() const { return options_; }

    // DriverEntry, as the I/O manager calls it when it loads the driver. An NT
    // image initialises the listed adapter inside its registration.
    NTSTATUS load(host::DriverImage& driver);
    // The initialise handler's status: run now, or, for an image that ran it at
    // registration, what that returned. An image's adapter is offered 802.3 only.
    NDIS_STATUS initialize(host::DriverImage& driver, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});

    // Stand-in rule breaches and hardware protocol violations.
    std::vector<std::string> errors();
    void close_capture();

private:
    RigOptions options_;
    std::unique_ptr<machine::EmulatedPc> pc_;
    std::unique_ptr<net::EthernetWire> wire_;
    std::unique_ptr<net::NicPort> nic_port_;
    std::unique_ptr<net::PeerStation> peer_;
    std::unique_ptr<net::PcapCapture> capture_;
    std::unique_ptr<host::NdisLibrary> ndis_;
    host::MiniportAdapter* adapter_ = nullptr;
};

}  // namespace rig
