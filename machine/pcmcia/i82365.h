#pragma once
// The 82365SL PC Card socket controller: one controller with two sockets,
// programmed through an index port (0x3E0) and a data port (0x3E1). Register
// index = socket * 0x40 + register; indices 0x80-0xFF would belong to a second
// controller, which this machine does not have, so they read 0xFF.
//
// Per socket:
//   0x00 identification (0x83)        0x01 interface status (read only)
//   0x02 power and RESETDRV control    0x03 interrupt and general control
//   0x04 card status change (read clears)  0x05 status-change interrupt config
//   0x06 window enable                 0x07 I/O control
//   0x08-0x0B, 0x0C-0x0F  I/O windows 0 and 1: start low/high, stop low/high
//   0x10-0x15  memory window 0: start, stop (host address bits 23-12), offset
// Registers whose function is not modelled (the other memory windows and the
// general-control registers) simply hold what is written.
//
// The I/O windows pass host ports to the card unchanged; the card decides which
// function answers. The memory window maps host memory onto the card's attribute
// (REG) or common memory with a 14-bit page offset. Two interrupt outputs per
// socket: the status-change interrupt, a level while any enabled 0x04 bit is
// set, and the card's IREQ# steered to the IRQ in 0x03 (I/O card mode only).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "machine/isa_bus.h"
#include "machine/pcmcia/pc_card.h"

namespace machine {

class I82365 : public IoDevice {
public:
    static constexpr std::uint16_t kIndexPort = 0x3E0;
    static constexpr std::uint16_t kDataPort = 0x3E1;
    static constexpr unsigned kSocketCount = 2;
    static constexpr std::uint8_t kSocketStride = 0x40;
    static constexpr std::uint8_t kIdentificationValue = 0x83;

    // Register numbers within a socket.
    static constexpr std::uint8_t kIdentification = 0x00;
    static constexpr std::uint8_t kInterfaceStatus = 0x01;
    static constexpr std::uint8_t kPowerControl = 0x02;
    static constexpr std::uint8_t kInterruptControl = 0x03;
    static constexpr std::uint8_t kCardStatusChange = 0x04;
    static constexpr std::uint8_t kStatusChangeConfig = 0x05;
    static constexpr std::uint8_t kWindowEnable = 0x06;
    static constexpr std::uint8_t kIoControl = 0x07;
    static constexpr std::uint8_t kIoWindow0 = 0x08;
    static constexpr std::uint8_t kIoWindow1 = 0x0C;
    static constexpr std::uint8_t kMemoryWindow0 = 0x10;

    // Bits.
    static constexpr std::uint8_t kStatusCardDetect = 0x0C;
    static constexpr std::uint8_t kStatusReady = 0x20;
    static constexpr std::uint8_t kStatusPowerActive = 0x40;
    static constexpr std::uint8_t kStatusBvd1Stschg = 0x01;
    static constexpr std::uint8_t kStatusBvd2 = 0x02;
    static constexpr std::uint8_t kPowerVcc = 0x10;
    static constexpr std::uint8_t kPowerOutputEnable = 0x80;
    static constexpr std::uint8_t kControlResetReleased = 0x40;
    static constexpr std::uint8_t kControlIoCard = 0x20;
    static constexpr std::uint8_t kChangeCardDetect = 0x08;
    static constexpr std::uint8_t kChangeStschg = 0x01;
    static constexpr std::uint8_t kEnableMemoryWindow0 = 0x01;
    static constexpr std::uint8_t kEnableIoWindow0 = 0x40;
    static constexpr std::uint8_t kEnableIoWindow1 = 0x80;
    static constexpr std::uint8_t kIoControl16Bit = 0x1;
    static constexpr std::uint8_t kIoControlAutoSize = 0x2;
    static constexpr std::uint8_t kMemoryStart16Bit = 0x80;
    static constexpr std::uint8_t kMemoryOffsetReg = 0x40;
    static constexpr std::uint8_t kMemoryOffsetWriteProtect = 0x80;

    // Attaches itself (ports and memory window) to the bus. With `present`
    // false the controller is not there at all: every port reads 0xFF.
    explicit I82365(IsaBus& bus, bool present = true);
    ~I82365() override;
    I82365(const I82365&) = delete;
    I82365& operator=(const I82365&) = delete;

    bool present() const { return present_; }

    // --- Cards (not owned; a card must outlive the controller or be removed first) ---
    // A card that sits in the socket from power-up: no detect change is recorded.
    void install(unsigned socket, TwoFunctionCard& card);
    // Hot insertion and removal now (records a card-detect change).
    void insert(unsigned socket, TwoFunctionCard& card);
    void remove(unsigned socket);
    // The same at a chosen virtual time.
    void insert_at(unsigned socket, TwoFunctionCard& card, Nanoseconds when);
    void remove_at(unsigned socket, Nanoseconds when);
    TwoFunctionCard* card(unsigned socket) const;

    // --- IoDevice ---
    IoWidth decode(std::uint16_t port) const override;
    std::uint8_t read8(std::uint16_t port) override;
    void write8(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t read16(std::uint16_t port) override;
    void write16(std::uint16_t port, std::uint16_t value) override;
    void read8_string(std::uint16_t port, std::uint8_t* data, std::size_t count) override;
    void write8_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) override;
    void read16_string(std::uint16_t port, std::uint8_t* data, std::size_t count) override;
    void write16_string(std::uint16_t port, const std::uint8_t* data, std::size_t count) override;
    std::string port_name(std::uint16_t port, bool write) const override;
    bool reports_decode_changes() const override { return true; }
    FunctionPort passes_to(std::uint16_t port) const override;

    // --- Inspection (no side effects) ---
    std::uint8_t index() const { return index_; }
    std::uint8_t peek(unsigned socket, std::uint8_t reg) const;
    IrqLines::SourceId status_change_source(unsigned socket) const { return sockets_.at(socket).status_irq; }
    IrqLines::SourceId ireq_source(unsigned socket) const { return sockets_.at(socket).ireq_irq; }

    // What a correct driver would not do: card windows used while the card is
    // unpowered, held in reset or busy after it; an interrupt steered to a
    // level the chip cannot route.
    const std::vector<std::string>& violations() const { return violations_; }
    void clear_violations() { violations_.clear(); }

private:
    struct Socket {
        std::array<std::uint8_t, kSocketStride> regs{};
        TwoFunctionCard* card = nullptr;
        std::uint8_t status_change = 0;  // register 0x04, latched until read
        bool stschg_level = false;       // last STSCHG# seen, for the edge that latches 0x01
        IrqLines::SourceId status_irq = 0;
        IrqLines::SourceId ireq_irq = 0;
    };

    // Where an I/O access to a card port goes.
    struct CardRoute {
        unsigned socket = 0;
        TwoFunctionCard::PortTarget target;  // empty when the card is dead
        IoWidth width = IoWidth::None;
    };
    // Routes are kept per port (direct-mapped on the low port bits) until
    // the bus's decode generation moves on: every register write that shapes
    // a window, a card coming or going or changing its layout, the end of a
    // card's busy time.
    static constexpr std::size_t kRouteCacheSize = 64;
    struct CachedRoute {
        std::uint64_t generation = 0;
        std::uint16_t port = 0;
        std::optional<CardRoute> route;
    };

    // The attribute/common memory window onto the cards, on the bus's memory side.
    class MemoryWindow : public MemoryDevice {
    public:
        explicit MemoryWindow(I82365& owner) : owner_(owner) {}
        bool decodes(std::uint32_t address) const override;
        std::uint8_t read8(std::uint32_t address) override;
        void write8(std::uint32_t address, std::uint8_t value) override;

    private:
        I82365& owner_;
    };

    // Register file.
    std::uint8_t read_register(std::uint8_t index);
    void write_register(std::uint8_t index, std::uint8_t value);
    std::uint8_t interface_status(const Socket& s) const;
    std::uint8_t take_status_changes(Socket& s);

    // Card edge.
    void connect_card(unsigned socket, TwoFunctionCard& card);
    void record_card_detect_change(Socket& s);
    void apply_power_and_reset(Socket& s);
    void card_signals_changed(unsigned socket);
    void update_interrupts(Socket& s);
    static bool power_applied(const Socket& s);
    static bool reset_asserted(const Socket& s);
    static bool io_card_mode(const Socket& s);

    // Windows.
    bool io_window_passes(const Socket& s, unsigned window, std::uint16_t port) const;
    // Null when no open window passes the port; valid until the next call.
    const CardRoute* route(std::uint16_t port) const {
        const CachedRoute& cached = routes_[port % kRouteCacheSize];
        if (cached.generation != bus_.decode_generation() || cached.port != port || !bus_.fast_paths())
            return route_again(port);
        return cached.route ? &*cached.route : nullptr;
    }
    const CardRoute* route_again(std::uint16_t port) const;
    std::optional<CardRoute> find_route(std::uint16_t port) const;
    void decode_changed() { bus_.decode_changed(); }
    IoWidth window_width(const Socket& s, unsigned window, TwoFunctionCard::PortTarget target,
                         std::uint16_t port) const;
    std::optional<unsigned> memory_window_socket(std::uint32_t address) const;
    std::uint32_t card_memory_address(const Socket& s, std::uint32_t host_address) const;
    std::uint8_t memory_read(std::uint32_t address);
    void memory_write(std::uint32_t address, std::uint8_t value);
    // False (and a violation recorded) when the card behind a window is unpowered, held in reset or busy.
    bool card_alive(const Socket& s, const char* access, std::uint32_t where);
    // A violation when an IRQ field changes to a level the chip has no pin for.
    void check_steering(const Socket& s, const char* reg, unsigned before, unsigned after);

    IsaBus& bus_;
    bool present_;
    std::uint8_t index_ = 0;
    std::array<Socket, kSocketCount> sockets_;
    MemoryWindow memory_window_;
    mutable std::array<CachedRoute, kRouteCacheSize> routes_{};
    std::vector<VirtualClock::EventId> scheduled_;  // insertions and removals yet to happen
    std::vector<std::string> violations_;
};

}  // namespace machine
