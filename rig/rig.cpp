#include "rig/rig.h"

namespace rig {

Rig::Rig(RigOptions options) : options_(std::move(options)) {
    pc_ = std::make_unique<machine::EmulatedPc>(options_.pc);
    wire_ = std::make_unique<net::EthernetWire>(pc_->clock());
    nic_port_ = std::make_unique<net::NicPort>(*wire_, pc_->nic());
    peer_ = std::make_unique<net::PeerStation>(*wire_);
    if (!options_.pcap_path.empty())
        capture_ = std::make_unique<net::PcapCapture>(*wire_, options_.pcap_path);
    ndis_ = std::make_unique<host::NdisLibrary>(pc_->bus());
    adapter_ = &ndis_->add_adapter("ne2000");
    pc_->trace().enable(options_.trace);
}

Rig::~Rig() {
    ndis_.reset();
    close_capture();
}

NTSTATUS Rig::load(host::DriverImage& driver) {
    return driver.entry(nullptr, nullptr);
}

NDIS_STATUS Rig::initialize(host::DriverImage& driver, std::vector<NDIS_MEDIUM> media) {
    if (!driver.initializes_at_registration()) return ndis_->initialize(*adapter_, std::move(media));
    // An image's INIT code is gone once DriverEntry returns: an adapter its
    // registration left untouched (a refused DriverEntry) was not brought up.
    if (adapter_->state() == host::AdapterState::Configured) return NDIS_STATUS_FAILURE;
    return adapter_->initialize_status();
}

std::vector<std::string> Rig::errors() {
    std::vector<std::string> out = ndis_->errors();
    for (auto& v : pc_->violations()) out.push_back(v);
    return out;
}

void Rig::close_capture() {
    if (capture_) capture_->close();
}

}  // namespace rig
