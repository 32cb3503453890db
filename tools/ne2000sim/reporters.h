#pragma once
// How a run is shown: as text for people (progress as each step ends, then
// the machine, the adapter and the records), or as one JSON document for
// scripts, with the text going to standard error meanwhile.

#include <cstdio>
#include <memory>
#include <string>

#include "tools/ne2000sim/run_report.h"

namespace sim {

class Reporter {
public:
    virtual ~Reporter() = default;
    // A line about the run as it goes (bring-up, addresses, a mode's events).
    virtual void note(const std::string& line) = 0;
    virtual void step_started(const std::string& title) = 0;
    virtual void step_finished(const StepResult& step) = 0;
    // Everything, once the run is over.
    virtual void finish(const RunReport& report) = 0;
};

// On a terminal a running step shows until it ends.
std::unique_ptr<Reporter> text_reporter(std::FILE* out);
// The document goes to `out`; `people` (text on stderr) sees the progress.
std::unique_ptr<Reporter> json_reporter(std::FILE* out, std::unique_ptr<Reporter> people);
// The document alone.
std::string to_json(const RunReport& report, int indent = 2);

}  // namespace sim
