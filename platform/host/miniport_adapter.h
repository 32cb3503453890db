#pragma once
// The wrapper's record of one adapter instance: its configuration (the
// registry key), the handle the miniport knows it by, what the miniport
// declared about it, and the wrapper's queues and counters for it.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/configuration.h"
#include "platform/host/ethernet_filter.h"
#include "platform/host/protocol.h"
#include "platform/ndis.h"

namespace host {
class MiniportAdapter;
}

// The filter database the indication calls are given (opaque in ndis.h).
struct _ETH_FILTER {
    host::MiniportAdapter* adapter;
};

namespace host {

enum class AdapterState {
    Configured,    // listed in the configuration, not initialised yet
    Initializing,  // inside the initialise handler
    Running,       // initialised (or set up by hand in a test)
    Failed,        // the initialise handler refused
    Halted,
};

const char* to_string(AdapterState state);

class MiniportAdapter {
public:
    struct Attributes {
        bool set = false;
        NDIS_HANDLE context = nullptr;
        BOOLEAN bus_master = FALSE;
        NDIS_INTERFACE_TYPE interface_type = NdisInterfaceInternal;
    };

    struct Counters {
        std::uint64_t isr_calls = 0;
        std::uint64_t isr_claimed = 0;
        std::uint64_t deferred_calls = 0;  // HandleInterrupt
        std::uint64_t enable_calls = 0;
        std::uint64_t disable_calls = 0;
        std::uint64_t sends_handed = 0;
        std::uint64_t send_completions = 0;  // by the miniport
        std::uint64_t sends_aborted = 0;     // by the wrapper at reset or halt
        std::uint64_t hang_resets = 0;       // resets the wrapper made for a send that timed out
        std::uint64_t indications = 0;       // EthFilterDprIndicateReceive calls
        std::uint64_t deliveries = 0;        // frames passed to a binding
        std::uint64_t receive_completes = 0;
        std::uint64_t transfers = 0;
    };

    MiniportAdapter(std::string name, std::size_t index);
    MiniportAdapter(const MiniportAdapter&) = delete;
    MiniportAdapter& operator=(const MiniportAdapter&) = delete;

    const std::string& name() const { return name_; }
    std::size_t index() const { return index_; }
    Configuration& config() { return config_; }
    const Configuration& config() const { return config_; }

    // The MiniportAdapterHandle: points at the wrapper's block, whose EthDB is this adapter's filter.
    NDIS_HANDLE handle() { return &block_; }
    // The WrapperConfigurationContext given to the initialise handler.
    NDIS_HANDLE configuration_context() { return &config_; }

    AdapterState state() const { return state_; }
    NDIS_STATUS initialize_status() const { return initialize_status_; }
    // Listed among the driver's adapters: the wrapper initialises it when a
    // loaded image registers. One a test sets up by hand is taken off the list.
    bool listed() const { return listed_; }
    void set_listed(bool listed) { listed_ = listed; }
    std::optional<UINT> selected_medium() const { return selected_medium_; }
    const Attributes& attributes() const { return attributes_; }
    // The MiniportAdapterContext every handler is called with.
    NDIS_HANDLE context() const { return attributes_.context; }
    std::optional<NDIS_STATUS> last_reset_status() const { return last_reset_status_; }
    BOOLEAN last_addressing_reset() const { return addressing_reset_; }

    // The current address the Ethernet filter compares directed frames with;
    // queried from the miniport after initialisation.
    const MacAddress& station_address() const { return station_address_; }
    void set_station_address(const MacAddress& address) { station_address_ = address; }

    const Counters& counters() const { return counters_; }
    std::size_t sends_outstanding() const { return outstanding_.size(); }
    bool holds_packet(const NDIS_PACKET* packet) const;
    bool deferred_call_pending() const { return dpc_pending_; }
    bool handler_running() const { return handler_depth_ > 0; }
    const std::vector<std::unique_ptr<Binding>>& bindings() const { return bindings_; }

private:
    friend class NdisLibrary;

    std::string name_;
    std::size_t index_;
    Configuration config_;
    NDIS_MINIPORT_BLOCK block_{};
    _ETH_FILTER filter_{};

    AdapterState state_ = AdapterState::Configured;
    NDIS_STATUS initialize_status_ = NDIS_STATUS_SUCCESS;
    bool listed_ = true;
    std::optional<UINT> selected_medium_;
    Attributes attributes_;
    std::optional<NDIS_STATUS> last_reset_status_;
    BOOLEAN addressing_reset_ = FALSE;
    MacAddress station_address_{};
    Counters counters_;

    int handler_depth_ = 0;
    bool dpc_pending_ = false;
    struct HeldPacket {
        PNDIS_PACKET packet;
        Binding* sender;
        std::uint64_t serial = 0;  // of the hand-over, for the wrapper's send timeout
    };
    // Removes `packet` from `list`; its sender, or null when it was not there.
    static Binding* take(std::vector<HeldPacket>& list, const NDIS_PACKET* packet);

    // Packets handed to the send handler and not completed yet, in send order.
    std::vector<HeldPacket> outstanding_;
    // Sends waiting in the wrapper for the running handler to return.
    std::vector<HeldPacket> queued_sends_;
    // Requests waiting for the running handler to return, in arrival order.
    std::deque<std::function<void()>> waiting_;
    std::vector<std::unique_ptr<OpenConfiguration>> open_configurations_;
    std::vector<std::unique_ptr<Binding>> bindings_;
    std::uint64_t indication_serial_ = 0;        // of the indication in progress, 0 when none
    std::uint64_t head_send_at_last_check_ = 0;  // serial of the oldest outstanding send then, 0 for none
};

}  // namespace host
