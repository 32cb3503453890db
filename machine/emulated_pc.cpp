#include "machine/emulated_pc.h"

namespace machine {

// The controller's half of the timing travels in its configuration.
EmulatedPcOptions EmulatedPc::with_timing(EmulatedPcOptions options) {
    options.nic.realistic_timing = options.nic.realistic_timing || options.realistic_timing;
    return options;
}

EmulatedPc::EmulatedPc(EmulatedPcOptions options)
    : options_(with_timing(options)),
      nic_(bus_.clock(), options_.nic),
      card_(nic_, uart_),
      controller_(bus_, options_.controller_present) {
    bus_.set_access_cost(options_.access_cost);
    if (options_.realistic_timing) card_.set_busy_after_reset(bus_.clock(), TwoFunctionCard::kBusyAfterReset);
    if (options_.insert_at)
        controller_.insert_at(options_.socket, card_, *options_.insert_at);
    else if (options_.card_present)
        controller_.install(options_.socket, card_);
    if (options_.remove_at) controller_.remove_at(options_.socket, *options_.remove_at);
}

std::vector<std::string> EmulatedPc::violations() const {
    std::vector<std::string> all;
    for (const std::string& v : controller_.violations()) all.push_back("i82365: " + v);
    for (const std::string& v : nic_.violations()) all.push_back("dp8390: " + v);
    for (const std::string& v : uart_.violations()) all.push_back("uart: " + v);
    return all;
}

}  // namespace machine
