#include "platform/host/call_context.h"

#include <string_view>

namespace host {

std::string describe(const CallContext* context) {
    if (context == nullptr) return "outside any handler";
    const std::string_view name = context->name;
    if (name == "ISR") return "in its ISR";
    if (name == "synchronised routine") return "in a routine synchronised with its interrupt";
    if (name.starts_with("test code")) return "in " + std::string(name);
    return "in its " + std::string(name) + " handler";
}

}  // namespace host
