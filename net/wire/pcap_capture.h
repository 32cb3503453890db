#pragma once
// Writes every frame the wire carries into a pcap file (Ethernet link type,
// timestamps in virtual time), so Wireshark or tshark can open a test run.

#include <cstdint>
#include <span>
#include <string>

#include "net/wire/ethernet_wire.h"

// libpcap's handles, kept out of this header.
struct pcap;
struct pcap_dumper;

namespace net {

class PcapCapture : public WireEndpoint {
public:
    // Throws std::runtime_error when the file cannot be created.
    PcapCapture(EthernetWire& wire, const std::string& path);
    ~PcapCapture() override;
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    void receive_frame(std::span<const std::uint8_t> frame) override;
    // Pushes buffered records to the file; close() also detaches from the wire.
    void flush();
    void close();
    std::uint64_t frames_written() const { return frames_written_; }

private:
    EthernetWire& wire_;
    pcap* handle_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::uint64_t frames_written_ = 0;
};

}  // namespace net
