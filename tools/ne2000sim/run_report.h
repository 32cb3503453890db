#pragma once
// What a run of ne2000sim found, filled step by step and rendered at the end
// as text or as one JSON document (reporters.h). Statistics are what the
// driver answers through its OIDs, not what the stand-in recorded.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct StepResult {
    std::string name;   // "dhcp", "tcp-echo", ... (stable: scripts match it)
    std::string title;  // what it checks, for people
    bool passed = false;
    std::string detail;  // one line on what happened
    double virtual_ms = 0;
    double host_ms = 0;
    std::map<std::string, double> figures;  // bytes, rates, counts
};

struct ErrorLogRecord {
    std::uint32_t code = 0;
    std::string name;
    std::vector<std::uint32_t> values;
};

struct SocketState {
    unsigned socket = 0;
    bool card = false;
    std::vector<std::uint8_t> registers;  // the controller's 64 registers of this socket
    // The card's configuration registers and where its functions answer.
    std::uint8_t configuration_option = 0, configuration_status = 0, serial_control = 0;
    bool powered = false, in_reset = false, functions_enabled = false;
    unsigned ethernet_base = 0, uart_base = 0;
};

struct CardMemory {
    bool word_wide = false;
    unsigned ram_start = 0, ram_size = 0;
    std::uint8_t dcr = 0, pstart = 0, pstop = 0, bnry = 0, curr = 0, tpsr = 0;
};

struct RunReport {
    std::string mode;
    std::string driver;  // "linked" or the image's path
    std::string entry_status;
    std::optional<std::uint32_t> initialize_status;
    std::string initialize_name;
    double bring_up_ms = 0;

    std::optional<std::string> station_address, permanent_address;
    std::map<std::string, std::uint32_t> adapter;     // fixed facts read through OIDs
    std::map<std::string, std::uint32_t> statistics;  // counters read through OIDs at the end
    std::vector<ErrorLogRecord> error_log;

    bool controller_present = false;
    std::uint8_t controller_identification = 0;
    std::vector<SocketState> sockets;
    std::string nic_width;  // "16-bit" or "8-bit"
    std::string prom_address;
    std::optional<CardMemory> card_memory;

    std::vector<StepResult> steps;
    std::vector<std::string> rules_broken, not_given_back, violations;
    std::string busy_stalls;

    int exit_status = 0;

    bool all_steps_passed() const {
        for (const auto& s : steps)
            if (!s.passed) return false;
        return true;
    }
};

}  // namespace sim
