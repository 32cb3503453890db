#include "platform/host/port_allow_list.h"

namespace host {

namespace {
constexpr unsigned kSocketIndexPort = 0x3E0;
constexpr unsigned kSocketDataPort = 0x3E1;
constexpr unsigned kComBases[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};  // COM1-COM4
constexpr unsigned kUartPortCount = 8;
}  // namespace

bool on_allow_list(unsigned port) {
    if (port == kSocketIndexPort || port == kSocketDataPort) return true;
    for (unsigned base : kComBases)
        if (port >= base && port < base + kUartPortCount) return true;
    return false;
}

}  // namespace host
