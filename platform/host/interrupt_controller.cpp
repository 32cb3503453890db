#include "platform/host/interrupt_controller.h"

#include <algorithm>
#include <bit>

namespace host {

InterruptController::InterruptController(machine::IrqLines& lines)
    : lines_(lines), state_(std::make_shared<LineState>()) {
    // Rising edge latches a request; falling edge withdraws one not yet served.
    for (unsigned line = 0; line < machine::kIrqLineCount; ++line)
        if (lines_.level(line)) state_->high_lines |= 1u << line;
    lines_.subscribe([state = state_](unsigned line, bool level) {
        if (!state->alive || line >= machine::kIrqLineCount) return;
        state->requested[line] = level;
        if (level)
            state->high_lines |= 1u << line;
        else
            state->high_lines &= ~(1u << line);
    });
}

void InterruptController::note_connections() {
    miniport_lines_ = 0;
    latched_lines_ = 0;
    for (const Connection& c : connections_) {
        if (c.adapter == nullptr || (miniport_lines_ & (1u << c.line))) continue;
        miniport_lines_ |= 1u << c.line;
        if (c.mode == NdisInterruptLatched) latched_lines_ |= 1u << c.line;
    }
}

InterruptController::~InterruptController() {
    state_->alive = false;
}

NDIS_STATUS InterruptController::connect(const Connection& connection) {
    if (connection.line >= machine::kIrqLineCount) return NDIS_STATUS_FAILURE;
    for (const Connection& c : connections_) {
        if (c.line != connection.line) continue;
        if (!c.shared || !connection.shared || c.mode != connection.mode)
            return NDIS_STATUS_RESOURCE_CONFLICT;
    }
    connections_.push_back(connection);
    note_connections();
    return NDIS_STATUS_SUCCESS;
}

bool InterruptController::disconnect(const NDIS_MINIPORT_INTERRUPT* object) {
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [&](const Connection& c) { return c.object == object && object != nullptr; });
    if (it == connections_.end()) return false;
    connections_.erase(it);
    note_connections();
    return true;
}

std::size_t InterruptController::disconnect_all(const MiniportAdapter& adapter) {
    const std::size_t gone =
        std::erase_if(connections_, [&](const Connection& c) { return c.adapter == &adapter; });
    note_connections();
    return gone;
}

const InterruptController::Connection* InterruptController::find(
    const NDIS_MINIPORT_INTERRUPT* object) const {
    for (const Connection& c : connections_)
        if (c.object == object && object != nullptr) return &c;
    return nullptr;
}

bool InterruptController::connected(const MiniportAdapter& adapter) const {
    return line_of(adapter).has_value();
}

std::optional<unsigned> InterruptController::line_of(const MiniportAdapter& adapter) const {
    for (const Connection& c : connections_)
        if (c.adapter == &adapter) return c.line;
    return std::nullopt;
}

std::vector<InterruptController::Connection> InterruptController::on_line(unsigned line) const {
    std::vector<Connection> out;
    on_line(line, out);
    return out;
}

void InterruptController::on_line(unsigned line, std::vector<Connection>& out) const {
    out.clear();
    for (const Connection& c : connections_)
        if (c.line == line) out.push_back(c);
}

std::optional<unsigned> InterruptController::next_request() const {
    // A line asks only while it is high, whatever its mode; usually none is,
    // or one.
    std::uint32_t high = state_->high_lines & miniport_lines_;
    std::optional<unsigned> best;
    unsigned best_rank = machine::kIrqLineCount;
    for (; high != 0; high &= high - 1) {
        const auto line = static_cast<unsigned>(std::countr_zero(high));
        if (state_->masked[line]) continue;
        if ((latched_lines_ & (1u << line)) && !state_->requested[line]) continue;
        // The AT's order: 0, 1, 2, then the slave's 8-15 on line 2, then 3-7.
        const unsigned rank = line < 3 ? line : line >= 8 ? line - 5 : line + 8;
        if (rank < best_rank) {
            best_rank = rank;
            best = line;
        }
    }
    return best;
}

void InterruptController::acknowledge(unsigned line) {
    if (line < machine::kIrqLineCount) state_->requested[line] = false;
}

}  // namespace host
