#pragma once
// Misbehaviour that tests can order from the controller model. Counts are used
// up one event at a time; a fault set while nothing is happening waits for the
// next transmission, arrival or transfer.

#include <cstdint>
#include <optional>

namespace machine {

struct Dp8390Faults {
    // The next N transmissions give up after excessive collisions: nothing is
    // delivered, TSR reads ABT and ISR gets TXE.
    unsigned abort_transmissions = 0;
    // The next N transmissions collide once, back off one slot time and then
    // go out: TSR reads PTX plus COL and ISR gets PTX.
    unsigned collide_transmissions = 0;
    // The next N frames that pass the address filter arrive with a bad FCS
    // (counted in CNTR1) or misaligned (counted in CNTR0); they are not stored
    // and raise RXE.
    unsigned crc_errors = 0;
    unsigned alignment_errors = 0;

    // Replaces one byte (0-3) of the next receive header the chip stores.
    struct HeaderCorruption {
        unsigned byte = 0;
        std::uint8_t value = 0;
    };
    std::optional<HeaderCorruption> corrupt_next_header;

    // The remote-DMA address counter never moves: every data-port access hits
    // the start address and CRDA reads back unchanged (a driver's dummy read
    // then fails). The byte count still runs down.
    bool remote_address_stuck = false;
    // Remote DMA completes without ever setting ISR.RDC.
    bool rdc_never_sets = false;
    // A failed cell of packet RAM at this card address: the remote DMA reads
    // it back as the complement of what it holds, so whatever was written
    // there never reads back. Placed off a 1 KB boundary, only a check of
    // every dword finds it.
    std::optional<std::uint16_t> bad_ram_byte;
};

}  // namespace machine
