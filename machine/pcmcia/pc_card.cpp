#include "machine/pcmcia/pc_card.h"

#include <array>

namespace machine {

namespace {
constexpr std::uint32_t kAttributeDecodeMask = 0xFFF;  // the card decodes only the low 12 address bits
constexpr std::array<std::uint16_t, 4> kEthernetBases = {0x300, 0x320, 0x340, 0x360};
constexpr std::array<std::uint16_t, 4> kUartBases = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
// Bits of the configuration status register that hold what was written;
// Intr (0x02) and Changed (0x80) report state instead.
constexpr std::uint8_t kStatusWritable = 0x7D;

bool within(std::uint16_t port, std::uint16_t base, std::uint16_t count) {
    return port >= base && port - base < count;
}
}  // namespace

TwoFunctionCard::TwoFunctionCard(CardFunction& ethernet, CardFunction& uart)
    : ethernet_(ethernet), uart_(uart) {
    ethernet_.on_interrupt_change([this](bool) { signals_changed(); });
    uart_.on_interrupt_change([this](bool) { signals_changed(); });
}

TwoFunctionCard::~TwoFunctionCard() {
    ethernet_.on_interrupt_change({});
    uart_.on_interrupt_change({});
}

void TwoFunctionCard::set_powered(bool on) {
    if (on == powered_) return;
    const bool was_operational = operational();
    powered_ = on;
    // Power going away loses all state; power arriving starts from power-up state.
    reset();
    note_reset_released(was_operational);
    layout_changed();
}

void TwoFunctionCard::set_reset(bool asserted) {
    if (asserted == in_reset_) return;
    const bool was_operational = operational();
    in_reset_ = asserted;
    if (asserted) reset();
    note_reset_released(was_operational);
    signals_changed();
    layout_changed();
}

void TwoFunctionCard::note_reset_released(bool was_operational) {
    if (!was_operational && operational() && clock_ != nullptr) ready_at_ = clock_->now() + busy_after_reset_;
}

void TwoFunctionCard::reset() {
    option_ = 0;
    status_ = 0;
    serial_control_ = 0;
    ethernet_.hardware_reset();
    uart_.hardware_reset();
    signals_changed();
}

std::uint16_t TwoFunctionCard::ethernet_base() const {
    return kEthernetBases[option_ & 0x03];
}
std::uint16_t TwoFunctionCard::uart_base() const {
    return kUartBases[(option_ >> 2) & 0x03];
}

TwoFunctionCard::PortTarget TwoFunctionCard::function_at(std::uint16_t port) const {
    if (!functions_enabled()) return {};
    if (within(port, ethernet_base(), ethernet_.port_count()))
        return {&ethernet_, static_cast<std::uint16_t>(port - ethernet_base())};
    if (within(port, uart_base(), uart_.port_count()))
        return {&uart_, static_cast<std::uint16_t>(port - uart_base())};
    return {};
}

std::uint8_t TwoFunctionCard::read_attribute(std::uint32_t address) const {
    if (!operational()) return 0xFF;
    switch (address & kAttributeDecodeMask) {
        case kConfigurationOption:
            return option_;
        case kConfigurationStatus:
            return static_cast<std::uint8_t>((status_ & kStatusWritable) |
                                             (ethernet_.interrupt() ? kIntr : 0));
        case kSerialControl:
            return serial_control_;
        default:
            return 0xFF;  // odd bytes are not implemented; no CIS is modelled
    }
}

void TwoFunctionCard::write_attribute(std::uint32_t address, std::uint8_t value) {
    if (!operational()) return;
    switch (address & kAttributeDecodeMask) {
        case kConfigurationOption:
            option_ = value;
            layout_changed();
            break;
        case kConfigurationStatus:
            status_ = value & kStatusWritable;
            break;
        case kSerialControl:
            serial_control_ = value;
            break;
        default:
            return;
    }
    signals_changed();
}

bool TwoFunctionCard::ireq() const {
    return functions_enabled() && (serial_control_ & kSerialInterruptToIreq) && uart_.interrupt();
}

bool TwoFunctionCard::stschg() const {
    return functions_enabled() && (status_ & kSigChg) && ethernet_.interrupt();
}

void TwoFunctionCard::signals_changed() {
    if (signals_listener_) signals_listener_();
}

void TwoFunctionCard::layout_changed() {
    if (layout_listener_) layout_listener_();
}

}  // namespace machine
