#pragma once
// The whole emulated PC the driver runs on: an ISA bus with its clock and IRQ
// lines, one 82365SL socket controller, and the two-function PC Card (DP8390
// Ethernet + 8250 UART) in one of its sockets. This is what the host stand-in,
// the tests and the main program instantiate; everything else they need is
// reached through the accessors.

#include <optional>

#include "machine/isa_bus.h"
#include "machine/nic/dp8390.h"
#include "machine/pcmcia/i82365.h"
#include "machine/pcmcia/pc_card.h"
#include "machine/uart/uart8250.h"

namespace machine {

struct EmulatedPcOptions {
    // Without a socket controller every socket-controller and card port reads 0xFF.
    bool controller_present = true;
    // Which socket (0 or 1) the card goes into.
    unsigned socket = 0;
    // Whether the card sits in the socket from power-up (no card-detect change).
    bool card_present = true;
    // Hot insertion at this virtual time instead (overrides `card_present`).
    std::optional<Nanoseconds> insert_at;
    // The card is pulled out at this virtual time.
    std::optional<Nanoseconds> remove_at;
    // The Ethernet function: 16-bit (default) or 8-bit card, station address, RAM.
    Dp8390Config nic = Dp8390Config::sixteen_bit_card();
    // Virtual time charged per port access; about an ISA cycle by default.
    Nanoseconds access_cost = kMicrosecond;
    // The parts' own delays: the DP8390 shows RST only once it has come to
    // rest after a stop or a reset-port read, and the card is busy (READY low,
    // accesses refused) for a while after each reset. Off, all of that is
    // instant, so functional tests need no waits.
    bool realistic_timing = false;
};

class EmulatedPc {
public:
    explicit EmulatedPc(EmulatedPcOptions options = {});
    EmulatedPc(const EmulatedPc&) = delete;
    EmulatedPc& operator=(const EmulatedPc&) = delete;

    IsaBus& bus() { return bus_; }
    VirtualClock& clock() { return bus_.clock(); }
    IrqLines& irq() { return bus_.irq(); }
    BusTrace& trace() { return bus_.trace(); }
    I82365& socket_controller() { return controller_; }
    TwoFunctionCard& card() { return card_; }
    Dp8390& nic() { return nic_; }
    Uart8250& uart() { return uart_; }
    const EmulatedPcOptions& options() const { return options_; }

    // Protocol violations recorded by every model, prefixed with the model's name.
    std::vector<std::string> violations() const;

private:
    static EmulatedPcOptions with_timing(EmulatedPcOptions options);

    EmulatedPcOptions options_;
    IsaBus bus_;
    Dp8390 nic_;
    Uart8250 uart_;
    TwoFunctionCard card_;
    I82365 controller_;
};

}  // namespace machine
