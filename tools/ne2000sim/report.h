#pragma once
// What ne2000sim prints about the machine, the adapter and the records.

#include <string>

#include "machine/emulated_pc.h"
#include "platform/host/ndis_library.h"

namespace sim {

std::string hex(unsigned value, int digits = 0);
std::string mac(const UCHAR* address);
std::string status_name(NDIS_STATUS status);

void print_machine(machine::EmulatedPc& pc);
// What the driver reports through its OIDs. The adapter must be running.
void print_adapter(host::NdisLibrary& ndis, host::MiniportAdapter& adapter);
// How the driver laid out the card memory, as the chip holds it.
void print_card_memory(machine::EmulatedPc& pc);
// Error log, stand-in rule breaches, leaks and model violations; false when any
// of the last three is not empty.
bool print_records(host::NdisLibrary& ndis, machine::EmulatedPc& pc);

}  // namespace sim
