#pragma once
// The DP8390 network controller behind an NE2000-style ASIC, as one function of
// a PC Card: 16 registers in pages selected by CR, the remote-DMA data port at
// 0x10-0x17 and the reset port at 0x18-0x1F. Card memory (PROM and packet RAM)
// is reachable only through the remote DMA.
//
// The Ethernet side is two calls: frames the chip transmits go to the transmit
// hook (which returns when the last bit has left the wire), and frames arriving
// from the wire come in through receive_frame(). Frames on either side carry no
// FCS; the chip appends and checks it itself.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "machine/card_function.h"
#include "machine/clock.h"
#include "machine/nic/card_memory.h"
#include "machine/nic/dp8390_config.h"
#include "machine/nic/dp8390_faults.h"

namespace machine {

class Dp8390 : public CardFunction {
public:
    // Hands a frame to the medium as its transmission starts; returns the
    // virtual time at which the medium is done with it.
    using TransmitHook = std::function<Nanoseconds(std::span<const std::uint8_t> frame)>;

    // 10 Mbit/s: 0.8 µs per byte. A frame occupies the medium for itself, its
    // FCS, the 8-byte preamble and the 12-byte inter-frame gap.
    static constexpr Nanoseconds kByteTime = 800;
    static constexpr Nanoseconds wire_time(std::size_t frame_bytes) {
        return static_cast<Nanoseconds>(frame_bytes + 4 + 8 + 12) * kByteTime;
    }
    // Backoff after a single collision: one slot time of 512 bit times.
    static constexpr Nanoseconds kSlotTime = 51200;
    // After a ring overflow the host must leave the chip stopped this long
    // before it starts it again: the longest frame that may still be coming
    // in (1.2 ms) has then ended, with some margin.
    static constexpr Nanoseconds kOverflowStopWait = 1600 * kMicrosecond;
    // With realistic timing: from a read of the reset port until RST shows.
    // The ASIC pulses the controller's RESET for a few clocks and the chip
    // comes to rest well within a millisecond; drivers allow it 20 ms. 100 µs
    // is our figure between the two.
    static constexpr Nanoseconds kResetPortSettle = 100 * kMicrosecond;

    explicit Dp8390(VirtualClock& clock, Dp8390Config config = {});
    ~Dp8390() override;
    Dp8390(const Dp8390&) = delete;
    Dp8390& operator=(const Dp8390&) = delete;

    // The port block.
    std::uint16_t port_count() const override;
    std::uint8_t read8(std::uint16_t offset) override;
    void write8(std::uint16_t offset, std::uint8_t value) override;
    bool word_port(std::uint16_t offset) const override;
    std::uint16_t read16(std::uint16_t offset) override;
    void write16(std::uint16_t offset, std::uint16_t value) override;
    void read8_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) override;
    void write8_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) override;
    void read16_string(std::uint16_t offset, std::uint8_t* data, std::size_t count) override;
    void write16_string(std::uint16_t offset, const std::uint8_t* data, std::size_t count) override;
    std::string port_name(std::uint16_t offset, bool write) const override;
    void hardware_reset() override;

    // The Ethernet side. Without a hook the chip times its transmissions
    // itself and the frames go nowhere.
    void set_transmit_hook(TransmitHook hook) { transmit_hook_ = std::move(hook); }
    void receive_frame(std::span<const std::uint8_t> frame);
    // Another station's frame holds the medium over [start, end): the chip
    // defers a transmission until the medium is free, and a stop lets a
    // frame that is coming in end first.
    void medium_busy(Nanoseconds start, Nanoseconds end);

    Dp8390Faults& faults() { return faults_; }
    const Dp8390Config& config() const { return config_; }

    // Inspection for tests; the host reaches none of this directly.
    std::uint8_t peek_memory(std::uint16_t address) const { return memory_.read(address); }
    // What an earlier lap of the ring, or a fault, left in card memory.
    void poke_memory(std::uint16_t address, std::span<const std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) memory_.write(address++, b);
    }
    bool started() const { return started_; }
    bool transmitting() const { return transmitting_; }
    // Frames that reached the chip while its receiver was off (stopped, or in
    // loopback for an overflow recovery or a restart): the chip neither stores
    // nor counts them, so no register tells the host of them.
    std::uint64_t frames_unheard() const { return frames_unheard_; }
    // The tally counters as they stand, without the clearing a host read does:
    // what the chip has counted that the host has not yet read.
    struct Tallies {
        std::uint8_t alignment, crc, missed;
    };
    Tallies unread_tallies() const { return {cntr_alignment_, cntr_crc_, cntr_missed_}; }
    // TXP was accepted but the frame waits for the medium to fall quiet.
    bool transmit_deferred() const { return transmit_deferred_; }
    std::uint8_t isr() const { return isr_; }
    // How the host laid out the card memory (page numbers) and set the data path.
    struct Layout {
        std::uint8_t dcr, pstart, pstop, bnry, curr, tpsr;
    };
    Layout layout() const { return {dcr_, pstart_, pstop_, bnry_, curr_, tpsr_}; }

private:
    enum class RemoteDma { Idle, Read, Write };
    // Where the host is in the recovery a ring overflow demands: stop, wait,
    // clear RBCR0/1, internal loopback, start, drain the ring (BNRY moves),
    // leave loopback.
    enum class OverflowRecovery { None, AwaitingRestart, Draining };
    struct Carrier {
        Nanoseconds start, end;
    };

    // Registers.
    std::uint8_t read_register(std::uint16_t reg);
    void write_register(std::uint16_t reg, std::uint8_t value);
    std::uint8_t command_value() const;
    void write_command(std::uint8_t value);
    void write_remote_command(std::uint8_t value);
    [[gnu::cold]] void report_remote_cut_in(std::uint8_t value);
    void transmit_command();
    void write_transmit_config(std::uint8_t value);
    void write_ring_bound(std::uint8_t& bound, std::uint8_t value, const char* name);
    void note_remote_count_write(std::uint16_t reg, std::uint8_t value);

    // Chip state.
    void start();
    void stop();
    void reset_chip(Nanoseconds settle = 0);
    void show_reset_at(Nanoseconds when);
    void check_overflow_restart();
    void power_up_registers();
    void write_current_page(std::uint8_t page);
    void raise_isr(std::uint8_t bits);
    void clear_isr(std::uint8_t bits);
    void update_interrupt();
    void write_boundary(std::uint8_t page);
    void tally(std::uint8_t& counter);
    std::uint8_t read_and_clear(std::uint8_t& counter);

    // Remote DMA through the data port.
    void start_remote_dma(RemoteDma direction);
    void complete_remote_dma();
    void abort_remote_dma();
    void start_send_packet();
    bool data_port_ready(RemoteDma wanted, const char* access);
    bool word_mode() const;
    void check_word_alignment();
    void check_transmit_buffer_write(std::uint16_t address);
    std::uint8_t remote_read_byte(std::uint16_t address) const;
    std::uint16_t next_remote_address(std::uint16_t address) const;
    void advance_remote_address(unsigned bytes);
    void count_remote_bytes(unsigned bytes);
    std::uint8_t read_data8();
    void write_data8(std::uint8_t value);
    std::uint16_t read_data16();
    void write_data16(std::uint16_t value);
    void read_data_string(std::uint8_t* data, std::size_t count, bool word_cycles);
    void write_data_string(const std::uint8_t* data, std::size_t count, bool word_cycles);
    std::size_t plain_cycles(RemoteDma direction, bool word_cycles, std::size_t wanted,
                             std::uint32_t run_length) const;
    void finish_plain_cycles(std::uint32_t bytes);

    // Transmit.
    void start_transmission();
    void check_transmit_area();
    void begin_on_wire();
    void put_frame_on_wire();
    void drop_deferred_transmission();
    void forget_past_carrier();
    Nanoseconds medium_free_at();
    std::optional<Nanoseconds> reception_in_progress_end();
    void finish_transmission(std::uint8_t tsr, std::uint8_t isr_bits);

    // Receive.
    bool address_accepted(std::span<const std::uint8_t> frame) const;
    std::uint8_t next_ring_page(std::uint8_t page) const;
    bool ring_has_room(unsigned pages, std::uint8_t& after) const;
    void store_frame(std::span<const std::uint8_t> frame, bool group);
    void check_ring_placement();
    void ring_overflow();

    VirtualClock& clock_;
    Dp8390Config config_;
    CardMemory memory_;
    Dp8390Faults faults_;
    TransmitHook transmit_hook_;

    // CR
    std::uint8_t page_ = 0;
    std::uint8_t run_bits_ = 0;     // STA/STP as last written with either set
    std::uint8_t remote_bits_ = 0;  // RD2-RD0 as last written
    bool started_ = false;
    bool transmitting_ = false;
    bool transmit_deferred_ = false;
    Nanoseconds transmit_ends_ = 0;  // when the frame going out will have left
    Nanoseconds stopped_at_ = 0;     // when the chip was last stopped while running
    // RBCR0 and RBCR1 written with 0 since then.
    bool remote_count_low_cleared_ = false;
    bool remote_count_high_cleared_ = false;
    VirtualClock::EventId reset_event_ = 0;  // RST still to show (realistic timing)
    // Card bytes of the frame going out, [first, end), and whether the current
    // remote write has already been caught writing into them.
    std::uint32_t transmit_first_ = 0;
    std::uint32_t transmit_end_ = 0;
    bool transmit_overwrite_reported_ = false;

    std::uint8_t isr_ = 0;
    std::uint8_t imr_ = 0;
    std::uint8_t dcr_ = 0;
    std::uint8_t tcr_ = 0;
    std::uint8_t rcr_ = 0;
    std::uint8_t tsr_ = 0;
    std::uint8_t ncr_ = 0;
    std::uint8_t rsr_ = 0;
    std::uint8_t cntr_alignment_ = 0;  // CNTR0
    std::uint8_t cntr_crc_ = 0;        // CNTR1
    std::uint8_t cntr_missed_ = 0;     // CNTR2

    std::uint8_t pstart_ = 0;
    std::uint8_t pstop_ = 0;
    std::uint8_t bnry_ = 0;
    std::uint8_t curr_ = 0;
    std::uint16_t clda_ = 0;        // where the local DMA last stopped writing
    bool receive_blocked_ = false;  // after an overflow, until BNRY moves
    OverflowRecovery recovery_ = OverflowRecovery::None;
    bool ring_drained_ = false;   // BNRY has moved since the overflow
    bool ring_reported_ = false;  // the ring's placement was recorded as a violation
    // Frames of other stations on the medium, oldest first.
    std::vector<Carrier> carrier_;
    // After a stop with realistic timing: a frame ending by then still arrives.
    std::optional<Nanoseconds> receive_through_;
    std::uint64_t frames_unheard_ = 0;
    MacAddress par_{};
    std::array<std::uint8_t, 8> mar_{};

    std::uint8_t tpsr_ = 0;
    std::uint16_t tbcr_ = 0;
    std::vector<std::uint8_t> transmit_frame_;
    std::uint8_t pending_tsr_ = 0;
    VirtualClock::EventId transmit_event_ = 0;

    RemoteDma remote_ = RemoteDma::Idle;
    bool remote_count_ran_out_ = false;
    std::uint16_t crda_ = 0;
    std::uint16_t rbcr_ = 0;
};

}  // namespace machine
