#pragma once
// The host's interrupt controller as the wrapper sees it: which miniport
// interrupts are connected to which ISA line, and which lines are asking to be
// served.
//
// A latched (edge) connection is asked for by a rising edge of its line. Like
// the 8259's edge-sense latch, the request is withdrawn again if the line falls
// before it is served, and a line that simply stays high asks nothing more: a
// driver that never clears its interrupt source never sees another interrupt.
// A level-sensitive connection asks for as long as its line is high.
//
// The controller only keeps the books; the library decides when a request may
// be served (not inside an ISR or a synchronised routine) and runs the chain of
// interrupt objects on the line as NT's kernel does.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "machine/irq.h"
#include "platform/ndis.h"

namespace host {

class MiniportAdapter;

class InterruptController {
public:
    struct Connection {
        MiniportAdapter* adapter = nullptr;  // null: a line held by some other driver of the machine
        PNDIS_MINIPORT_INTERRUPT object = nullptr;
        unsigned line = 0;
        bool shared = false;
        NDIS_INTERRUPT_MODE mode = NdisInterruptLatched;
        bool isr_requested = false;
        // The foreign device of the foreign-interrupt test mode: an interrupt
        // object of another driver that claims exactly its own pulses.
        bool foreign = false;
    };

    explicit InterruptController(machine::IrqLines& lines);
    ~InterruptController();
    InterruptController(const InterruptController&) = delete;
    InterruptController& operator=(const InterruptController&) = delete;

    // NDIS_STATUS_RESOURCE_CONFLICT when the line is taken by a connection that
    // does not share, or in the other mode; NDIS_STATUS_FAILURE for a line that
    // does not exist.
    NDIS_STATUS connect(const Connection& connection);
    bool disconnect(const NDIS_MINIPORT_INTERRUPT* object);
    // Every connection of the adapter; returns how many there were.
    std::size_t disconnect_all(const MiniportAdapter& adapter);
    const Connection* find(const NDIS_MINIPORT_INTERRUPT* object) const;
    bool connected(const MiniportAdapter& adapter) const;
    // The adapter's connections in the order they were made, then everything else on the line.
    std::vector<Connection> on_line(unsigned line) const;
    // The same into `out`, which keeps its storage from one call to the next.
    void on_line(unsigned line, std::vector<Connection>& out) const;
    std::optional<unsigned> line_of(const MiniportAdapter& adapter) const;

    // The highest-priority line with a miniport connected that asks to be
    // served now, in the AT's order (0, 1, 2, 8-15, 3-7).
    std::optional<unsigned> next_request() const;
    // Whether any line with a miniport on it is high: the cheap test made at
    // every port access before next_request() is worth asking.
    bool anything_asking() const { return (state_->high_lines & miniport_lines_) != 0; }
    // The request of a latched line has been taken (the ISRs are about to run).
    void acknowledge(unsigned line);
    // An interrupt storm: the line is masked for good.
    void mask(unsigned line) { state_->masked[line] = true; }
    bool masked(unsigned line) const { return state_->masked[line]; }

private:
    // Shared with the line listener, which the IRQ lines keep for their whole
    // life: a controller that is gone must not be called back.
    struct LineState {
        bool alive = true;
        std::array<bool, machine::kIrqLineCount> requested{};
        std::array<bool, machine::kIrqLineCount> masked{};
        std::uint32_t high_lines = 0;  // bit per line: its level now
    };
    // Lines with a miniport connected, bit per line: asked at every port
    // access, so the common answer (nothing high there) costs one test.
    void note_connections();

    machine::IrqLines& lines_;
    std::shared_ptr<LineState> state_;
    std::vector<Connection> connections_;
    std::uint32_t miniport_lines_ = 0;
    // Per line, whether the first miniport connected there is latched: its
    // mode decides how the line asks.
    std::uint32_t latched_lines_ = 0;
};

}  // namespace host
