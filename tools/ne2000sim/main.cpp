// ne2000sim: loads the driver into the NDIS stand-in on the emulated PC, brings
// the adapter up, passes a frame each way between a protocol and a peer on the
// wire, then puts real traffic through it: lwIP bound as a protocol, the
// user-mode virtual network on the wire, an address by DHCP and a TCP echo
// exchange with a server on this host's loopback. It halts the adapter and
// reports what it found. Exits 0 when everything worked and was given back
// cleanly. The 32-bit build can run the NT image ne2000.sys (--driver) in place
// of the driver linked into it.

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/emulated_pc.h"
#include "net/wire/ethernet_wire.h"
#include "net/wire/nic_port.h"
#include "net/wire/pcap_capture.h"
#include "net/wire/peer_station.h"
#include "platform/host/driver_image.h"
#include "platform/host/ndis_library.h"
#include "tools/ne2000sim/network_session.h"
#include "tools/ne2000sim/options.h"
#include "tools/ne2000sim/report.h"
#ifdef NE2000SIM_LOADS_IMAGES
#include "platform/host/image/loaded_driver.h"
#endif

namespace {

// Counts what reaches it; fetches nothing beyond the lookahead.
class CountingProtocol : public host::Protocol {
public:
    int received = 0;
    int completed = 0;
    NDIS_STATUS last_status = NDIS_STATUS_SUCCESS;
    NDIS_STATUS receive(host::Binding&, const host::ReceiveIndication&) override {
        ++received;
        return NDIS_STATUS_SUCCESS;
    }
    void send_complete(host::Binding&, PNDIS_PACKET, NDIS_STATUS status) override {
        ++completed;
        last_status = status;
    }
};

std::vector<std::uint8_t> frame(const host::MacAddress& to, const host::MacAddress& from, std::size_t size) {
    std::vector<std::uint8_t> f(size, 0);
    std::copy(to.begin(), to.end(), f.begin());
    std::copy(from.begin(), from.end(), f.begin() + 6);
    f[12] = 0x88;  // local experimental EtherType
    f[13] = 0xB5;
    for (std::size_t i = 14; i < size; ++i) f[i] = static_cast<std::uint8_t>(i);
    return f;
}

// Both directions through the driver: a broadcast from the peer to the
// protocol, a frame from the protocol to the peer.
bool exchange_traffic(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, net::PeerStation& peer,
                      machine::VirtualClock& clock) {
    CountingProtocol protocol;
    host::Binding& binding = ndis.bind(adapter, protocol);
    binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    const host::MacAddress peer_address{0x02, 0x00, 0x00, 0x00, 0x99, 0x01};
    const host::MacAddress broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    peer.send_at(clock.now() + machine::kMillisecond, frame(broadcast, peer_address, 60));

    host::PacketPool packets;
    host::BufferPool buffers;
    host::FramePacket out(packets, buffers, frame(peer_address, adapter.station_address(), 100), {14});
    const NDIS_STATUS sent = binding.send(out.packet());
    if (sent != NDIS_STATUS_PENDING) {
        ++protocol.completed;
        protocol.last_status = sent;
    }
    ndis.run_for(50 * machine::kMillisecond);
    ndis.unbind(binding);

    const bool ok = protocol.received == 1 && protocol.completed == 1 &&
                    protocol.last_status == NDIS_STATUS_SUCCESS && peer.received().size() == 1;
    std::printf("traffic: %d frame(s) received from the peer, %zu frame(s) reached the peer, send %s\n",
                protocol.received, peer.received().size(),
                protocol.completed ? sim::status_name(protocol.last_status).c_str() : "not completed");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options o;
    if (auto problem = sim::parse(std::vector<std::string>(argv + 1, argv + argc), o)) {
        std::fprintf(stderr, "ne2000sim: %s\n%s", problem->c_str(), sim::usage());
        return 2;
    }
    if (o.help) {
        std::printf("%s", sim::usage());
        return 0;
    }
#ifndef NE2000SIM_LOADS_IMAGES
    // Only a 32-bit program with NT's structure layouts can call into the image.
    if (!o.driver_path.empty()) {
        std::fprintf(stderr, "ne2000sim: --driver needs the 32-bit build's program, %s\n",
                     NE2000SIM_IMAGE_PROGRAM);
        return 2;
    }
#endif

    machine::EmulatedPcOptions pc_options;
    pc_options.socket = o.socket;
    if (o.eight_bit) pc_options.nic = machine::Dp8390Config::eight_bit_card();
    machine::EmulatedPc pc(pc_options);
    net::EthernetWire wire(pc.clock());
    net::NicPort nic_port(wire, pc.nic());
    net::PeerStation peer(wire);
    std::unique_ptr<net::PcapCapture> capture;
    if (!o.pcap_path.empty()) {
        try {
            capture = std::make_unique<net::PcapCapture>(wire, o.pcap_path);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ne2000sim: %s\n", e.what());
            return 1;
        }
    }
    pc.trace().enable(o.trace);

    host::NdisLibrary ndis(pc.bus());
    host::MiniportAdapter& adapter = ndis.add_adapter("ne2000");
    adapter.config()
        .set("IoBaseAddress", o.io_base)
        .set("InterruptNumber", o.irq)
        .set("Slot", o.socket)
        .set("ComPort", o.com_port)
        .set("ComIRQ", o.com_irq);
    if (o.network_address)
        adapter.config().set_network_address({o.network_address->begin(), o.network_address->end()});

    host::LinkedDriver linked;
    host::DriverImage* driver = &linked;
#ifdef NE2000SIM_LOADS_IMAGES
    std::optional<host::image::LoadedDriver> image;
    if (!o.driver_path.empty()) driver = &image.emplace(o.driver_path);
#endif
    const bool from_image = driver != &linked;
    // Taken before DriverEntry: the image initialises the adapter inside it
    // (the linked driver's DriverEntry itself takes no virtual time).
    const auto start = pc.clock().now();
    const NTSTATUS entry = driver->entry(nullptr, nullptr);
#ifdef NE2000SIM_LOADS_IMAGES
    if (image && !image->load_error().empty()) {
        std::string reason = image->load_error();
        if (reason.starts_with(o.driver_path + ": "))
            reason.erase(0, o.driver_path.size() + 2);  // named below
        std::fprintf(stderr, "ne2000sim: cannot load %s: %s\n", o.driver_path.c_str(), reason.c_str());
        return 1;
    }
#endif
    std::printf("driver (%s): DriverEntry returned %s\n", driver->name().c_str(),
                entry == STATUS_SUCCESS ? "STATUS_SUCCESS" : "STATUS_UNSUCCESSFUL");
    bool ok = entry == STATUS_SUCCESS;
    NDIS_STATUS init = NDIS_STATUS_FAILURE;
    if (ok) {
        // An image has had its adapter initialised inside the registration, as
        // NT does, and its INIT code is gone: report what that returned. An
        // adapter it left untouched was not brought up.
        if (!from_image)
            init = ndis.initialize(adapter);
        else if (adapter.state() != host::AdapterState::Configured)
            init = adapter.initialize_status();
        std::printf("adapter: Initialize returned %s after %.1f ms of virtual time\n",
                    sim::status_name(init).c_str(),
                    static_cast<double>(pc.clock().now() - start) / machine::kMillisecond);
        ok = init == NDIS_STATUS_SUCCESS;
    }
    sim::print_machine(pc);
    if (ok) {
        sim::print_adapter(ndis, adapter);
        ok = exchange_traffic(ndis, adapter, peer, pc.clock());
        std::unique_ptr<sim::NetworkSession> session;
        if (ok) {
            try {
                session = std::make_unique<sim::NetworkSession>(
                    ndis, adapter, wire,
                    sim::SessionOptions{.echo_bytes = o.echo_bytes, .open_network = o.open_network});
                ok = session->run();
            } catch (const std::exception& e) {
                std::printf("network: %s\n", e.what());
                ok = false;
            }
        }
        sim::print_card_memory(pc);
        ndis.halt(adapter);
        std::printf("adapter: halted\n");
        if (session) ok = session->check_given_back() && ok;
    }
    ok = sim::print_records(ndis, pc) && ok;
    if (o.trace) std::printf("bus trace:\n%s", pc.trace().dump().c_str());
    if (capture) capture->close();
    return ok ? 0 : 1;
}
