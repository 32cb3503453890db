#pragma once
// Drives a DP8390 model through its ports the way a driver does.

#include <cstdint>
#include <span>
#include <vector>

#include "machine/clock.h"
#include "machine/nic/dp8390.h"
#include "machine/nic/dp8390_registers.h"

namespace nictest {

using namespace machine::dp8390;

constexpr std::uint8_t kRingStart = 0x4C;
constexpr std::uint8_t kRingStop = 0x80;

struct Chip {
    machine::VirtualClock clock;
    machine::Dp8390 nic;

    explicit Chip(machine::Dp8390Config config = {}) : nic(clock, config) {}

    std::uint8_t in(std::uint16_t reg) { return nic.read8(reg); }
    void out(std::uint16_t reg, std::uint8_t value) { nic.write8(reg, value); }

    // The driver's set-up: ring 0x4C-0x7F, BNRY at its start, CURR one on,
    // station address from the config, running and on the wire.
    void bring_up(std::uint8_t rcr = 0, bool words = true) {
        out(kCommand, 0x21);
        out(DCR, words ? 0x49 : 0x48);
        out(RBCR1, 0);
        out(RBCR0, 0);
        out(RCR, rcr);
        out(TCR, 0x02);
        out(BNRY, kRingStart);
        out(PSTART, kRingStart);
        out(PSTOP, kRingStop);
        out(ISR, 0xFF);
        out(IMR, 0x1B);
        out(kCommand, 0x61);
        for (int i = 0; i < 6; ++i)
            out(static_cast<std::uint16_t>(PAR0 + i), nic.config().station_address[i]);
        out(CURR, kRingStart + 1);
        out(kCommand, 0x21);
        out(kCommand, 0x22);
        out(TCR, 0x00);
    }

    void remote(std::uint16_t address, std::uint16_t count, std::uint8_t command) {
        out(RSAR0, static_cast<std::uint8_t>(address));
        out(RSAR1, static_cast<std::uint8_t>(address >> 8));
        out(RBCR0, static_cast<std::uint8_t>(count));
        out(RBCR1, static_cast<std::uint8_t>(count >> 8));
        out(kCommand, command);
    }
    std::uint16_t crda() { return static_cast<std::uint16_t>(in(CRDA0) | in(CRDA1) << 8); }

    // Word-wide copies in whole words from an even address, a last odd byte alone.
    void write_memory(std::uint16_t address, std::span<const std::uint8_t> data) {
        remote(address, static_cast<std::uint16_t>(data.size()), 0x12);
        std::size_t i = 0;
        for (; i + 1 < data.size(); i += 2)
            nic.write16(kDataPort, static_cast<std::uint16_t>(data[i] | data[i + 1] << 8));
        if (i < data.size()) nic.write8(kDataPort, data[i]);
    }
    // The frame in the first transmit page and the chip pointed at it, ISR
    // cleared: a CR write of 0x26 sends it.
    void load_frame(std::span<const std::uint8_t> frame) {
        write_memory(0x4000, frame);
        out(TPSR, 0x40);
        out(TBCR1, static_cast<std::uint8_t>(frame.size() >> 8));
        out(TBCR0, static_cast<std::uint8_t>(frame.size()));
        out(ISR, 0xFF);
    }
    std::vector<std::uint8_t> read_memory(std::uint16_t address, std::size_t count) {
        std::vector<std::uint8_t> data;
        remote(address, static_cast<std::uint16_t>(count), 0x0A);
        while (data.size() + 1 < count) {
            const std::uint16_t w = nic.read16(kDataPort);
            data.push_back(static_cast<std::uint8_t>(w));
            data.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        if (data.size() < count) data.push_back(nic.read8(kDataPort));
        return data;
    }
};

// A frame to this station (or `to`) with a counting payload.
inline std::vector<std::uint8_t> frame_to(const machine::MacAddress& to, std::size_t length) {
    std::vector<std::uint8_t> f(length);
    for (std::size_t i = 0; i < length; ++i) f[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::copy(to.begin(), to.end(), f.begin());
    return f;
}

}  // namespace nictest
