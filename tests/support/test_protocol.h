#pragma once
// A protocol for driver tests: it records every frame indicated to it (fetching
// the part beyond the lookahead with transfer-data, as a real protocol does),
// every receive-complete and every send completion, and sends frames given as
// bytes.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "machine/clock.h"
#include "platform/host/ndis_library.h"

namespace testbed {

class TestProtocol : public host::Protocol {
public:
    enum class Transfer {
        WhenNeeded,  // only when the lookahead does not hold the whole frame (what protocols do)
        Always,      // the whole frame after the header, even when the lookahead had it
        Never,       // record header and lookahead only
    };

    struct ReceivedFrame {
        machine::Nanoseconds time = 0;
        std::vector<std::uint8_t> frame;      // header, then lookahead or transferred data
        std::vector<std::uint8_t> lookahead;  // as indicated
        UINT packet_size = 0;                 // as indicated: the size after the header
        bool transferred = false;
        NDIS_STATUS transfer_status = NDIS_STATUS_SUCCESS;
        UINT bytes_transferred = 0;
    };

    struct Completion {
        std::uint64_t id = 0;  // as send() returned it
        NDIS_STATUS status = NDIS_STATUS_SUCCESS;
        machine::Nanoseconds time = 0;
        bool synchronous = false;  // the send handler returned a final status itself
    };

    explicit TestProtocol(machine::VirtualClock& clock) : clock_(clock) {}
    ~TestProtocol() override;

    void attach(host::Binding& binding) { binding_ = &binding; }
    bool attached() const { return binding_ != nullptr; }
    host::Binding& binding() const { return *binding_; }

    // --- Sending ---
    // Sends `bytes` as one packet, split into buffers at the sizes given (the
    // rest in a last buffer). Returns an id for completions(). The packet and
    // its buffers are given back to their pools when the completion arrives,
    // so a miniport that touches a completed packet is caught. The first
    // buffer starts `first_offset` bytes past an aligned address (1 or 3 for
    // an odd one; later buffers are odd wherever the sizes before them add up
    // to an odd number).
    std::uint64_t send(std::vector<std::uint8_t> bytes, const std::vector<std::size_t>& split = {},
                       std::size_t first_offset = 0);
    const std::vector<Completion>& completions() const { return completions_; }
    std::optional<NDIS_STATUS> completion_of(std::uint64_t id) const;
    std::size_t sends_pending() const { return in_flight_.size(); }
    // The packet of a send not yet completed (null otherwise).
    PNDIS_PACKET packet_of(std::uint64_t id) const;

    // --- Receiving ---
    Transfer transfer = Transfer::WhenNeeded;
    // Called after the frame is recorded, still inside the indication.
    std::function<void(host::Binding&, const host::ReceiveIndication&)> on_receive;
    const std::vector<ReceivedFrame>& received_frames() const { return received_; }
    int receive_completes() const { return receive_completes_; }
    void clear_received() { received_.clear(); }

    // --- Requests and filter (through the wrapper) ---
    NDIS_STATUS query(NDIS_OID oid, PVOID buffer, ULONG length, PULONG written = nullptr,
                      PULONG needed = nullptr);
    NDIS_STATUS set(NDIS_OID oid, PVOID buffer, ULONG length, PULONG read = nullptr, PULONG needed = nullptr);
    NDIS_STATUS set_packet_filter(ULONG filter) { return binding_->set_packet_filter(filter); }
    NDIS_STATUS set_multicast_list(std::vector<host::MacAddress> list) {
        return binding_->set_multicast_list(std::move(list));
    }
    const std::vector<std::pair<NDIS_OID, NDIS_STATUS>>& request_completions() const { return requests_; }

    // Packets or buffers given back wrongly.
    std::vector<std::string> errors() const;

    // host::Protocol
    NDIS_STATUS receive(host::Binding& binding, const host::ReceiveIndication& indication) override;
    void receive_complete(host::Binding&) override { ++receive_completes_; }
    void send_complete(host::Binding&, PNDIS_PACKET packet, NDIS_STATUS status) override;
    void request_complete(host::Binding&, NDIS_OID oid, NDIS_STATUS status) override {
        requests_.push_back({oid, status});
    }

private:
    void finish(PNDIS_PACKET packet, NDIS_STATUS status, bool synchronous);

    machine::VirtualClock& clock_;
    host::Binding* binding_ = nullptr;
    host::PacketPool packets_;
    host::BufferPool buffers_;
    std::uint64_t next_id_ = 1;
    std::map<std::uint64_t, std::unique_ptr<host::FramePacket>> in_flight_;
    std::vector<Completion> completions_;
    std::vector<ReceivedFrame> received_;
    int receive_completes_ = 0;
    std::vector<std::pair<NDIS_OID, NDIS_STATUS>> requests_;
};

}  // namespace testbed
