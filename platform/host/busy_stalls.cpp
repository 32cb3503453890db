#include "platform/host/busy_stalls.h"

#include <algorithm>

namespace host {

namespace {

std::string figure(const StallFigure& f) {
    return std::to_string(f.total_us) + " us, longest " + std::to_string(f.longest_us) + " us";
}

}  // namespace

void StallFigure::add(std::uint64_t microseconds) {
    ++count;
    total_us += microseconds;
    longest_us = std::max(longest_us, microseconds);
}

void BusyStalls::add(std::string_view handler, std::uint64_t microseconds) {
    all.add(microseconds);
    figure_of(handler).add(microseconds);
}

StallFigure& BusyStalls::figure_of(std::string_view handler) {
    auto it = by_handler.find(handler);
    if (it == by_handler.end()) it = by_handler.emplace(std::string(handler), StallFigure{}).first;
    return it->second;
}

std::string BusyStalls::to_string() const {
    if (all.count == 0) return "none";
    std::string out = std::to_string(all.count) + " stalls, " + figure(all);
    const char* separator = ": ";
    for (const auto& [handler, f] : by_handler) {
        out += separator + handler + " " + std::to_string(f.count) + " (" + figure(f) + ")";
        separator = ", ";
    }
    return out;
}

}  // namespace host
