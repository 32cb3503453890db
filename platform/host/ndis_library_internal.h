// Helpers the files of NdisLibrary share; not for use outside them.
#pragma once

#include <string>

#include "platform/host/ndis_library.h"

namespace host {

// What an out-parameter holds before the miniport writes it: neither FALSE nor
// TRUE, so an unwritten flag shows (and still counts as TRUE, as on NT).
constexpr BOOLEAN kUnwritten = 0x5C;

std::string hex(ULONG value);
std::string pointer(const void* p);

inline std::string name_of(const MiniportAdapter* adapter) {
    return adapter != nullptr ? adapter->name() : std::string("?");
}

struct NdisLibrary::ContextScope {
    ContextScope(NdisLibrary& library, CallContext context) : library_(library) {
        library_.contexts_.push_back(context);
    }
    ~ContextScope() { library_.contexts_.pop_back(); }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    NdisLibrary& library_;
};

}  // namespace host
