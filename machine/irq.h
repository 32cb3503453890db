#pragma once
// The sixteen ISA interrupt request lines. Each line is a level: the OR of
// every source currently steered to it. Whoever sits on the other side (the
// interrupt controller of the host stand-in) watches level changes and decides
// for itself whether it reacts to edges or levels.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace machine {

constexpr unsigned kIrqLineCount = 16;
constexpr int kNoIrqLine = -1;

class IrqLines {
public:
    using SourceId = std::size_t;
    using Listener = std::function<void(unsigned line, bool level)>;

    // A source starts deasserted and steered nowhere.
    SourceId add_source(std::string name);
    // Steers a source to a line (kNoIrqLine disconnects it); its assertion is kept.
    void steer(SourceId source, int line);
    void drive(SourceId source, bool asserted);

    bool level(unsigned line) const;
    int line_of(SourceId source) const { return sources_.at(source).line; }
    bool asserted(SourceId source) const { return sources_.at(source).asserted; }
    const std::string& name_of(SourceId source) const { return sources_.at(source).name; }

    // Called after every change of a line's level, in subscription order.
    void subscribe(Listener listener) { listeners_.push_back(std::move(listener)); }

private:
    struct Source {
        std::string name;
        int line = kNoIrqLine;
        bool asserted = false;
    };
    bool compute(unsigned line) const;
    void update(unsigned line);

    std::vector<Source> sources_;
    std::array<bool, kIrqLineCount> levels_{};
    // A deque keeps each listener in place while others subscribe, so a change
    // can call them without copying the list.
    std::deque<Listener> listeners_;
};

}  // namespace machine
