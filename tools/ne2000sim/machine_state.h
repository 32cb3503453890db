#pragma once
// Reads the machine, the adapter and the records into the run report: the
// socket controller's and the card's registers as they stand, what the driver
// answers through its OIDs, the card memory layout the chip holds, the error
// log and every rule breach, leak and violation.

#include <string>

#include "machine/emulated_pc.h"
#include "platform/host/ndis_library.h"
#include "tools/ne2000sim/run_report.h"

namespace sim {

std::string hex(unsigned value, int digits = 0);
std::string mac(const std::uint8_t* address);
std::string status_name(NDIS_STATUS status);
double milliseconds(machine::Nanoseconds t);

void record_machine(machine::EmulatedPc& pc, RunReport& report);
// Addresses and fixed facts. The adapter must be running.
void record_adapter(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, RunReport& report);
// The statistics OIDs. The adapter must be running.
void record_statistics(host::NdisLibrary& ndis, host::MiniportAdapter& adapter, RunReport& report);
void record_card_memory(machine::EmulatedPc& pc, RunReport& report);
// Error log, stand-in rule breaches, leaks and model violations.
void record_records(host::NdisLibrary& ndis, machine::EmulatedPc& pc, RunReport& report);

}  // namespace sim
