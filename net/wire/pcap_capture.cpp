#include "net/wire/pcap_capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <stdexcept>

namespace net {

namespace {
constexpr int kSnapLength = 65535;
}

PcapCapture::PcapCapture(EthernetWire& wire, const std::string& path) : wire_(wire) {
    handle_ = pcap_open_dead(DLT_EN10MB, kSnapLength);
    if (handle_ == nullptr) throw std::runtime_error("pcap_open_dead failed");
    dumper_ = pcap_dump_open(handle_, path.c_str());
    if (dumper_ == nullptr) {
        const std::string reason = pcap_geterr(handle_);
        pcap_close(handle_);
        throw std::runtime_error("cannot write capture " + path + ": " + reason);
    }
    wire_.attach(*this);
}

PcapCapture::~PcapCapture() {
    close();
}

void PcapCapture::receive_frame(std::span<const std::uint8_t> frame) {
    if (dumper_ == nullptr) return;
    // Stamped when the frame has ended on the wire, as a receiving NIC would.
    const machine::Nanoseconds now = wire_.clock().now();
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(now / machine::kSecond);
    header.ts.tv_usec = static_cast<suseconds_t>((now % machine::kSecond) / machine::kMicrosecond);
    header.caplen = static_cast<bpf_u_int32>(std::min<std::size_t>(frame.size(), kSnapLength));
    header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
    ++frames_written_;
}

void PcapCapture::flush() {
    if (dumper_ != nullptr) pcap_dump_flush(dumper_);
}

void PcapCapture::close() {
    if (dumper_ == nullptr) return;
    wire_.detach(*this);
    pcap_dump_close(dumper_);
    pcap_close(handle_);
    dumper_ = nullptr;
    handle_ = nullptr;
}

}  // namespace net
