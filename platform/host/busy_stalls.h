#pragma once
// Busy waits made at dispatch level or above. On a uniprocessor such a wait
// holds off every DPC of the machine (and at device level every interrupt at or
// below it), so long ones cost other drivers latency. A figure to watch, not a
// rule: the socket controller's settling waits are long on purpose.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace host {

struct StallFigure {
    std::uint64_t count = 0;
    std::uint64_t total_us = 0;
    std::uint64_t longest_us = 0;
    void add(std::uint64_t microseconds);
};

struct BusyStalls {
    // Waits up to this long are the usual register settling delays and not counted.
    static constexpr std::uint64_t kThresholdUs = 50;

    StallFigure all;
    std::map<std::string, StallFigure, std::less<>> by_handler;  // by the handler (or "ISR", ...) that waited

    void add(std::string_view handler, std::uint64_t microseconds);
    // The same for a handler named by a string that stays put (the stand-in's
    // handler names): the figure found last time is used again without a lookup.
    void add(const char* handler, std::uint64_t microseconds) {
        if (handler != last_name_ || last_ == nullptr) {
            last_name_ = handler;
            last_ = &figure_of(handler);
        }
        all.add(microseconds);
        last_->add(microseconds);
    }
    // "12 stalls, 49152 us in all, longest 4096 us: HandleInterrupt 12 (49152 us, longest 4096 us)"
    std::string to_string() const;

private:
    StallFigure& figure_of(std::string_view handler);
    const char* last_name_ = nullptr;
    StallFigure* last_ = nullptr;  // map nodes stay put, so this stays good
};

}  // namespace host
