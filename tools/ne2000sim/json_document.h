#pragma once
// The run report as a JSON value, for the reporter and for the status page,
// which adds what only a live run has.

#include <nlohmann/json.hpp>

#include "tools/ne2000sim/run_report.h"

namespace sim {

nlohmann::json report_document(const RunReport& report);

}  // namespace sim
