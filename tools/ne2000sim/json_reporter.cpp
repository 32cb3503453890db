// The run as one JSON document (nlohmann-json), for scripts.

#include "tools/ne2000sim/json_document.h"
#include "tools/ne2000sim/machine_state.h"
#include "tools/ne2000sim/reporters.h"

namespace sim {

namespace {

using nlohmann::json;

json socket_json(const SocketState& s) {
    json j = {{"socket", s.socket}, {"card", s.card}, {"registers", s.registers}};
    if (s.card) {
        j["card_registers"] = {{"configuration_option", s.configuration_option},
                               {"configuration_status", s.configuration_status},
                               {"serial_control", s.serial_control}};
        j["powered"] = s.powered;
        j["in_reset"] = s.in_reset;
        j["functions_enabled"] = s.functions_enabled;
        if (s.functions_enabled) {
            j["ethernet_base"] = s.ethernet_base;
            j["uart_base"] = s.uart_base;
        }
    }
    return j;
}

}  // namespace

json report_document(const RunReport& r) {
    json j;
    j["mode"] = r.mode;
    j["driver"] = r.driver;
    j["driver_entry"] = r.entry_status;
    if (r.initialize_status)
        j["initialize"] = {
            {"code", *r.initialize_status}, {"name", r.initialize_name}, {"virtual_ms", r.bring_up_ms}};
    else
        j["initialize"] = nullptr;
    json log = json::array();
    for (const auto& e : r.error_log)
        log.push_back({{"code", e.code}, {"name", e.name}, {"values", e.values}});
    j["error_log"] = log;
    j["station_address"] = r.station_address ? json(*r.station_address) : json(nullptr);
    j["permanent_address"] = r.permanent_address ? json(*r.permanent_address) : json(nullptr);
    j["adapter"] = r.adapter;
    j["statistics"] = r.statistics;
    json sockets = json::array();
    for (const auto& s : r.sockets) sockets.push_back(socket_json(s));
    j["socket_controller"] = {{"present", r.controller_present},
                              {"identification", r.controller_identification},
                              {"sockets", sockets}};
    j["ethernet_controller"] = {{"asic", r.nic_width}, {"prom_address", r.prom_address}};
    if (r.card_memory) {
        const CardMemory& m = *r.card_memory;
        j["card_memory"] = {{"word_wide", m.word_wide},
                            {"ram_start", m.ram_start},
                            {"ram_size", m.ram_size},
                            {"dcr", m.dcr},
                            {"pstart", m.pstart},
                            {"pstop", m.pstop},
                            {"bnry", m.bnry},
                            {"curr", m.curr},
                            {"tpsr", m.tpsr}};
    } else {
        j["card_memory"] = nullptr;
    }
    json steps = json::array();
    for (const auto& s : r.steps)
        steps.push_back({{"name", s.name},
                         {"title", s.title},
                         {"passed", s.passed},
                         {"detail", s.detail},
                         {"virtual_ms", s.virtual_ms},
                         {"host_ms", s.host_ms},
                         {"figures", s.figures}});
    j["steps"] = steps;
    j["rules_broken"] = r.rules_broken;
    j["not_given_back"] = r.not_given_back;
    j["violations"] = r.violations;
    j["busy_stalls"] = r.busy_stalls;
    j["exit_status"] = r.exit_status;
    return j;
}

namespace {

class JsonReporter : public Reporter {
public:
    JsonReporter(std::FILE* out, std::unique_ptr<Reporter> people) : out_(out), people_(std::move(people)) {}
    void note(const std::string& line) override { people_->note(line); }
    void step_started(const std::string& title) override { people_->step_started(title); }
    void step_finished(const StepResult& step) override { people_->step_finished(step); }
    void finish(const RunReport& report) override {
        people_->finish(report);
        std::fprintf(out_, "%s\n", to_json(report).c_str());
        std::fflush(out_);
    }

private:
    std::FILE* out_;
    std::unique_ptr<Reporter> people_;
};

}  // namespace

std::string to_json(const RunReport& report, int indent) {
    // Text from the machine (a refused configuration's log, libslirp's
    // complaints) is not trusted to be UTF-8: bad bytes are replaced.
    return report_document(report).dump(indent, ' ', false, json::error_handler_t::replace);
}

std::unique_ptr<Reporter> json_reporter(std::FILE* out, std::unique_ptr<Reporter> people) {
    return std::make_unique<JsonReporter>(out, std::move(people));
}

}  // namespace sim
