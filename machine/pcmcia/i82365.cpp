#include "machine/pcmcia/i82365.h"

#include <cstdio>

namespace machine {

namespace {
constexpr std::uint8_t kAbsentController = 0x80;  // indices from here on belong to a second chip
constexpr std::uint8_t kStatusChangeEnableMask = 0x0F;
constexpr std::uint32_t kPageShift = 12;         // memory windows map 4 KB pages
constexpr std::uint32_t kCardPageMask = 0x3FFF;  // 26-bit card address space in 4 KB pages

// Bits 3-0 of 0x03 and 7-4 of 0x05 name an IRQ; 0 means "not steered". The
// 82365SL has pins for IRQ 3, 4, 5, 7, 9, 10, 11, 12, 14 and 15 only: any
// other level reaches no line at all.
constexpr std::uint16_t kRoutableIrqs =
    1u << 3 | 1u << 4 | 1u << 5 | 1u << 7 | 1u << 9 | 1u << 10 | 1u << 11 | 1u << 12 | 1u << 14 | 1u << 15;

bool routable(unsigned field) {
    return field == 0 || (kRoutableIrqs >> field & 1) != 0;
}

int irq_line(unsigned field) {
    return field == 0 || !routable(field) ? kNoIrqLine : static_cast<int>(field);
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v));
    return buf;
}
}  // namespace

I82365::I82365(IsaBus& bus, bool present) : bus_(bus), present_(present), memory_window_(*this) {
    for (unsigned i = 0; i < kSocketCount; ++i) {
        sockets_[i].status_irq = bus_.irq().add_source("I365 socket " + std::to_string(i) + " status change");
        sockets_[i].ireq_irq = bus_.irq().add_source("I365 socket " + std::to_string(i) + " IREQ#");
    }
    bus_.attach(static_cast<IoDevice&>(*this));
    bus_.attach(memory_window_);
}

I82365::~I82365() {
    for (VirtualClock::EventId id : scheduled_) bus_.clock().cancel(id);
    for (Socket& s : sockets_)
        if (s.card) {
            s.card->on_signals_change({});
            s.card->on_layout_change({});
        }
    bus_.detach(memory_window_);
    bus_.detach(static_cast<IoDevice&>(*this));
}

// ---------------------------------------------------------------------------
// Cards in the sockets

void I82365::install(unsigned socket, TwoFunctionCard& card) {
    if (sockets_.at(socket).card) remove(socket);
    // One card cannot sit in two sockets: moving it is a removal first.
    for (unsigned other = 0; other < kSocketCount; ++other)
        if (sockets_[other].card == &card) remove(other);
    connect_card(socket, card);
}

void I82365::insert(unsigned socket, TwoFunctionCard& card) {
    install(socket, card);
    record_card_detect_change(sockets_[socket]);
}

void I82365::remove(unsigned socket) {
    Socket& s = sockets_.at(socket);
    if (!s.card) return;
    // The card leaves with its power: whatever it held is gone, and every port
    // it answered now floats (0xFF).
    s.card->on_signals_change({});
    s.card->on_layout_change({});
    s.card->set_powered(false);
    s.card = nullptr;
    s.stschg_level = false;
    decode_changed();
    record_card_detect_change(s);
}

void I82365::insert_at(unsigned socket, TwoFunctionCard& card, Nanoseconds when) {
    sockets_.at(socket);  // reject a bad socket now rather than at the event
    scheduled_.push_back(bus_.clock().schedule_at(when, [this, socket, &card] { insert(socket, card); }));
}

void I82365::remove_at(unsigned socket, Nanoseconds when) {
    sockets_.at(socket);
    scheduled_.push_back(bus_.clock().schedule_at(when, [this, socket] { remove(socket); }));
}

TwoFunctionCard* I82365::card(unsigned socket) const {
    return sockets_.at(socket).card;
}

void I82365::connect_card(unsigned socket, TwoFunctionCard& card) {
    Socket& s = sockets_[socket];
    s.card = &card;
    card.on_signals_change([this, socket] { card_signals_changed(socket); });
    card.on_layout_change([this] { decode_changed(); });
    decode_changed();
    apply_power_and_reset(s);
    card_signals_changed(socket);
}

void I82365::record_card_detect_change(Socket& s) {
    s.status_change |= kChangeCardDetect;
    update_interrupts(s);
}

bool I82365::power_applied(const Socket& s) {
    // Vcc alone is not enough: the card's signals stay tri-stated until the
    // outputs are enabled too.
    return (s.regs[kPowerControl] & (kPowerVcc | kPowerOutputEnable)) == (kPowerVcc | kPowerOutputEnable);
}

bool I82365::reset_asserted(const Socket& s) {
    return !(s.regs[kInterruptControl] & kControlResetReleased);
}

bool I82365::io_card_mode(const Socket& s) {
    return (s.regs[kInterruptControl] & kControlIoCard) != 0;
}

void I82365::apply_power_and_reset(Socket& s) {
    if (!s.card) return;
    s.card->set_reset(reset_asserted(s));
    s.card->set_powered(power_applied(s));
}

void I82365::card_signals_changed(unsigned socket) {
    Socket& s = sockets_[socket];
    const bool level = s.card && s.card->stschg();
    // On an I/O card the battery-dead input is STSCHG#; its falling edge (the
    // signal asserting) latches bit 0 of the status-change register.
    if (level && !s.stschg_level && io_card_mode(s)) s.status_change |= kChangeStschg;
    s.stschg_level = level;
    update_interrupts(s);
}

void I82365::update_interrupts(Socket& s) {
    if (!present_) return;
    IrqLines& irq = bus_.irq();
    irq.steer(s.status_irq, irq_line(s.regs[kStatusChangeConfig] >> 4));
    irq.drive(s.status_irq, (s.status_change & s.regs[kStatusChangeConfig] & kStatusChangeEnableMask) != 0);
    // IREQ# exists only in I/O card mode; for a memory card that pin is RDY/BSY.
    irq.steer(s.ireq_irq, irq_line(s.regs[kInterruptControl] & 0x0F));
    irq.drive(s.ireq_irq, s.card && io_card_mode(s) && s.card->ireq());
}

// ---------------------------------------------------------------------------
// Register file

std::uint8_t I82365::interface_status(const Socket& s) const {
    if (!s.card) return 0x00;
    std::uint8_t v = kStatusCardDetect | kStatusBvd2 | kStatusBvd1Stschg;
    if (s.regs[kPowerControl] & kPowerVcc) v |= kStatusPowerActive;
    if (s.card->ready()) v |= kStatusReady;
    if (io_card_mode(s) && s.card->stschg())
        v &= static_cast<std::uint8_t>(~kStatusBvd1Stschg);  // 0 = asserted
    return v;
}

std::uint8_t I82365::take_status_changes(Socket& s) {
    const std::uint8_t v = s.status_change;
    s.status_change = 0;
    update_interrupts(s);
    return v;
}

std::uint8_t I82365::peek(unsigned socket, std::uint8_t reg) const {
    const Socket& s = sockets_.at(socket);
    switch (reg) {
        case kIdentification:
            return kIdentificationValue;
        case kInterfaceStatus:
            return interface_status(s);
        case kCardStatusChange:
            return s.status_change;
        default:
            return reg < kSocketStride ? s.regs[reg] : 0xFF;
    }
}

std::uint8_t I82365::read_register(std::uint8_t index) {
    if (index >= kAbsentController) return 0xFF;
    Socket& s = sockets_[index / kSocketStride];
    const std::uint8_t reg = index % kSocketStride;
    switch (reg) {
        case kIdentification:
            return kIdentificationValue;
        case kInterfaceStatus:
            return interface_status(s);
        case kCardStatusChange:
            return take_status_changes(s);
        default:
            return s.regs[reg];
    }
}

void I82365::write_register(std::uint8_t index, std::uint8_t value) {
    if (index >= kAbsentController) return;
    Socket& s = sockets_[index / kSocketStride];
    const std::uint8_t reg = index % kSocketStride;
    switch (reg) {
        case kIdentification:
        case kInterfaceStatus:
        case kCardStatusChange:
            break;  // read only
        case kPowerControl:
            s.regs[reg] = value;
            apply_power_and_reset(s);
            update_interrupts(s);
            break;
        case kInterruptControl:
            check_steering(s, "interrupt and general control", s.regs[reg] & 0x0F, value & 0x0F);
            s.regs[reg] = value;
            apply_power_and_reset(s);
            update_interrupts(s);
            break;
        case kStatusChangeConfig:
            check_steering(s, "status change interrupt configuration", s.regs[reg] >> 4, value >> 4);
            s.regs[reg] = value;
            update_interrupts(s);
            break;
        case kWindowEnable:
        case kIoControl:
            s.regs[reg] = value;
            decode_changed();
            break;
        default:
            s.regs[reg] = value;
            if (reg >= kIoWindow0 && reg < kMemoryWindow0) decode_changed();
            break;
    }
}

// ---------------------------------------------------------------------------
// I/O windows

bool I82365::io_window_passes(const Socket& s, unsigned window, std::uint16_t port) const {
    const std::uint8_t enable = window == 0 ? kEnableIoWindow0 : kEnableIoWindow1;
    if (!(s.regs[kWindowEnable] & enable)) return false;
    const std::uint8_t base = window == 0 ? kIoWindow0 : kIoWindow1;
    const unsigned start = s.regs[base] | s.regs[base + 1] << 8;
    const unsigned stop = s.regs[base + 2] | s.regs[base + 3] << 8;  // inclusive
    return port >= start && port <= stop;
}

IoWidth I82365::window_width(const Socket& s, unsigned window, TwoFunctionCard::PortTarget target,
                             std::uint16_t port) const {
    const unsigned control = (s.regs[kIoControl] >> (4 * window)) & 0x0F;
    if (control & kIoControlAutoSize)  // the card says per cycle with IOIS16#
        return target.function->word_port(target.offset) ? IoWidth::Word : IoWidth::Byte;
    if (!(control & kIoControl16Bit)) return IoWidth::Byte;
    // A forced 16-bit window still needs both bytes on the same function and
    // inside the window, otherwise the cycle is run as two bytes.
    const std::uint16_t next = static_cast<std::uint16_t>(port + 1);
    const TwoFunctionCard::PortTarget high = s.card->function_at(next);
    if (next == 0 || !io_window_passes(s, window, next) || high.function != target.function)
        return IoWidth::Byte;
    return IoWidth::Word;
}

const I82365::CardRoute* I82365::route_again(std::uint16_t port) const {
    CachedRoute& cached = routes_[port % kRouteCacheSize];
    cached = {bus_.decode_generation(), port, find_route(port)};
    return cached.route ? &*cached.route : nullptr;
}

std::optional<I82365::CardRoute> I82365::find_route(std::uint16_t port) const {
    for (unsigned i = 0; i < kSocketCount; ++i) {
        const Socket& s = sockets_[i];
        if (!s.card) continue;
        for (unsigned w = 0; w < 2; ++w) {
            if (!io_window_passes(s, w, port)) continue;
            // An open window onto a dead or busy card still runs the cycle on the
            // socket; nobody answers, so it reads 0xFF (and the access is a driver fault).
            if (!s.card->ready()) {
                // Still busy after a reset: this changes by itself when the time is up.
                if (s.card->operational()) bus_.decode_changes_at(s.card->ready_at());
                return CardRoute{i, {}, IoWidth::Byte};
            }
            const TwoFunctionCard::PortTarget target = s.card->function_at(port);
            if (target) return CardRoute{i, target, window_width(s, w, target, port)};
        }
    }
    return std::nullopt;
}

bool I82365::card_alive(const Socket& s, const char* access, std::uint32_t where) {
    if (s.card->ready()) return true;
    const unsigned socket = static_cast<unsigned>(&s - sockets_.data());
    const char* state = !s.card->powered()   ? " is unpowered"
                        : s.card->in_reset() ? " is held in reset"
                                             : " is still busy after its reset";
    violations_.push_back(std::string(access) + " at " + hex(where) + " while the card in socket " +
                          std::to_string(socket) + state);
    return false;
}

void I82365::check_steering(const Socket& s, const char* reg, unsigned before, unsigned after) {
    if (after == before || routable(after)) return;
    const unsigned socket = static_cast<unsigned>(&s - sockets_.data());
    violations_.push_back("socket " + std::to_string(socket) + " " + reg + " steers to IRQ " +
                          std::to_string(after) + ", which the 82365SL cannot route");
}

IoWidth I82365::decode(std::uint16_t port) const {
    if (!present_) return IoWidth::None;
    if (port == kIndexPort || port == kDataPort) return IoWidth::Byte;
    const CardRoute* r = route(port);
    return r ? r->width : IoWidth::None;
}

// A routed port reaches its function untouched, except while the card does
// not answer (each access then a violation) and at the socket's own ports.
FunctionPort I82365::passes_to(std::uint16_t port) const {
    if (!present_ || port == kIndexPort || port == kDataPort) return {};
    const CardRoute* r = route(port);
    return r ? r->target : FunctionPort{};
}

std::uint8_t I82365::read8(std::uint16_t port) {
    if (!present_) return 0xFF;
    if (port == kIndexPort) return index_;
    if (port == kDataPort) return read_register(index_);
    // A route reaches a function only while the card is ready; one without
    // reaches the socket of a card that does not answer.
    const CardRoute* r = route(port);
    if (!r) return 0xFF;
    if (!r->target) {
        card_alive(sockets_[r->socket], "I/O read", port);
        return 0xFF;
    }
    return r->target.function->read8(r->target.offset);
}

void I82365::write8(std::uint16_t port, std::uint8_t value) {
    if (!present_) return;
    if (port == kIndexPort) {
        index_ = value;
        return;
    }
    if (port == kDataPort) {
        write_register(index_, value);
        return;
    }
    const CardRoute* r = route(port);
    if (!r) return;
    if (!r->target) {
        card_alive(sockets_[r->socket], "I/O write", port);
        return;
    }
    r->target.function->write8(r->target.offset, value);
}

std::uint16_t I82365::read16(std::uint16_t port) {
    const CardRoute* r = route(port);
    if (!r || r->width != IoWidth::Word) return IoDevice::read16(port);
    return r->target.function->read16(r->target.offset);
}

void I82365::write16(std::uint16_t port, std::uint16_t value) {
    const CardRoute* r = route(port);
    if (!r || r->width != IoWidth::Word) {
        IoDevice::write16(port, value);
        return;
    }
    r->target.function->write16(r->target.offset, value);
}

// A string to a card port is routed once: nothing a function does at its own
// ports changes the socket's windows or the card's layout. The socket's own
// ports, and a dead card (each access a violation), take the ordinary path.
void I82365::read8_string(std::uint16_t port, std::uint8_t* data, std::size_t count) {
    const CardRoute* r = present_ && port != kIndexPort && port != kDataPort ? route(port) : nullptr;
    if (r && r->target)
        r->target.function->read8_string(r->target.offset, data, count);
    else
        IoDevice::read8_string(port, data, count);
}

void I82365::write8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) {
    const CardRoute* r = present_ && port != kIndexPort && port != kDataPort ? route(port) : nullptr;
    if (r && r->target)
        r->target.function->write8_string(r->target.offset, data, count);
    else
        IoDevice::write8_string(port, data, count);
}

void I82365::read16_string(std::uint16_t port, std::uint8_t* data, std::size_t count) {
    const CardRoute* r = route(port);
    if (r && r->width == IoWidth::Word)
        r->target.function->read16_string(r->target.offset, data, count);
    else
        IoDevice::read16_string(port, data, count);
}

void I82365::write16_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) {
    const CardRoute* r = route(port);
    if (r && r->width == IoWidth::Word)
        r->target.function->write16_string(r->target.offset, data, count);
    else
        IoDevice::write16_string(port, data, count);
}

std::string I82365::port_name(std::uint16_t port, bool write) const {
    if (!present_) return {};
    if (port == kIndexPort) return "I365 index";
    if (port == kDataPort) return "I365 data [" + hex(index_) + "]";
    const CardRoute* r = route(port);
    if (!r || !r->target) return {};
    return r->target.function->port_name(r->target.offset, write);
}

// ---------------------------------------------------------------------------
// Memory window 0

std::optional<unsigned> I82365::memory_window_socket(std::uint32_t address) const {
    if (!present_) return std::nullopt;
    const unsigned page = (address >> kPageShift) & 0xFFF;
    for (unsigned i = 0; i < kSocketCount; ++i) {
        const auto& r = sockets_[i].regs;
        if (!(r[kWindowEnable] & kEnableMemoryWindow0)) continue;
        const unsigned start = r[kMemoryWindow0] | (r[kMemoryWindow0 + 1] & 0x0F) << 8;
        const unsigned stop = r[kMemoryWindow0 + 2] | (r[kMemoryWindow0 + 3] & 0x0F) << 8;
        if (page >= start && page <= stop) return i;
    }
    return std::nullopt;
}

std::uint32_t I82365::card_memory_address(const Socket& s, std::uint32_t host_address) const {
    // The offset is a 14-bit two's-complement page count added to the host
    // page; the sum wraps within the card's 64 MB address space.
    const std::uint32_t offset = s.regs[kMemoryWindow0 + 4] | (s.regs[kMemoryWindow0 + 5] & 0x3F) << 8;
    const std::uint32_t page = ((host_address >> kPageShift) + offset) & kCardPageMask;
    return page << kPageShift | (host_address & ((1u << kPageShift) - 1));
}

std::uint8_t I82365::memory_read(std::uint32_t address) {
    const std::optional<unsigned> i = memory_window_socket(address);
    if (!i) return 0xFF;
    Socket& s = sockets_[*i];
    if (!s.card || !card_alive(s, "memory read", address)) return 0xFF;
    // This card has attribute memory only; its common memory space is empty.
    if (!(s.regs[kMemoryWindow0 + 5] & kMemoryOffsetReg)) return 0xFF;
    return s.card->read_attribute(card_memory_address(s, address));
}

void I82365::memory_write(std::uint32_t address, std::uint8_t value) {
    const std::optional<unsigned> i = memory_window_socket(address);
    if (!i) return;
    Socket& s = sockets_[*i];
    if (!s.card || !card_alive(s, "memory write", address)) return;
    if (!(s.regs[kMemoryWindow0 + 5] & kMemoryOffsetReg)) return;
    if (s.regs[kMemoryWindow0 + 5] & kMemoryOffsetWriteProtect) return;
    s.card->write_attribute(card_memory_address(s, address), value);
}

bool I82365::MemoryWindow::decodes(std::uint32_t address) const {
    return owner_.memory_window_socket(address).has_value();
}
std::uint8_t I82365::MemoryWindow::read8(std::uint32_t address) {
    return owner_.memory_read(address);
}
void I82365::MemoryWindow::write8(std::uint32_t address, std::uint8_t value) {
    owner_.memory_write(address, value);
}

}  // namespace machine
