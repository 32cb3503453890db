#include "machine/irq.h"

namespace machine {

IrqLines::SourceId IrqLines::add_source(std::string name) {
    sources_.push_back(Source{std::move(name), kNoIrqLine, false});
    return sources_.size() - 1;
}

void IrqLines::steer(SourceId source, int line) {
    Source& s = sources_.at(source);
    if (line < 0 || line >= static_cast<int>(kIrqLineCount)) line = kNoIrqLine;
    if (s.line == line) return;
    const int old = s.line;
    s.line = line;
    if (old != kNoIrqLine) update(static_cast<unsigned>(old));
    if (line != kNoIrqLine) update(static_cast<unsigned>(line));
}

void IrqLines::drive(SourceId source, bool asserted) {
    Source& s = sources_.at(source);
    if (s.asserted == asserted) return;
    s.asserted = asserted;
    if (s.line != kNoIrqLine) update(static_cast<unsigned>(s.line));
}

bool IrqLines::level(unsigned line) const {
    return line < kIrqLineCount && levels_[line];
}

bool IrqLines::compute(unsigned line) const {
    for (const Source& s : sources_)
        if (s.asserted && s.line == static_cast<int>(line)) return true;
    return false;
}

void IrqLines::update(unsigned line) {
    const bool now = compute(line);
    if (now == levels_[line]) return;
    levels_[line] = now;
    // A listener may cause further changes, and may even subscribe, while we
    // iterate: those that subscribe now hear only the next change.
    const std::size_t count = listeners_.size();
    for (std::size_t i = 0; i < count; ++i) listeners_[i](line, now);
}

}  // namespace machine
