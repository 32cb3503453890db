#include "tools/ne2000sim/status_site.h"

#include "tools/ne2000sim/json_document.h"
#include "tools/ne2000sim/machine_state.h"

namespace sim {

namespace {

std::string escape_html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The page: the snapshot it was served with, then every second the latest
// from /stats.json, each fetch another round trip through the driver.
constexpr const char* kScript = R"JS(
const show = (s) => {
  document.getElementById('station').textContent = s.station_address || '?';
  document.getElementById('permanent').textContent = s.permanent_address || '?';
  document.getElementById('virtual-time').textContent = (s.virtual_time_ms / 1000).toFixed(1);
  document.getElementById('guest').textContent = s.guest.address || '(none yet)';
  const stats = document.getElementById('stats');
  stats.replaceChildren(...Object.entries(s.statistics).map(([k, v]) => {
    const row = document.createElement('tr');
    row.innerHTML = '<th></th><td></td>';
    row.cells[0].textContent = k.replaceAll('_', ' ');
    row.cells[1].textContent = v;
    row.cells[1].id = 'stat-' + k;
    return row;
  }));
  const log = document.getElementById('log');
  log.replaceChildren(...(s.error_log.length ? s.error_log.map((e) => {
    const item = document.createElement('li');
    item.textContent = e.name + ' ' + e.values.map((v) => '0x' + v.toString(16)).join(' ');
    return item;
  }) : [Object.assign(document.createElement('li'), {textContent: 'empty'})]));
  const frames = document.getElementById('frames');
  frames.replaceChildren(...s.wire.recent.slice().reverse().map((f) => {
    const row = document.createElement('tr');
    row.innerHTML = '<td></td><td></td><td></td><td></td>';
    row.cells[0].textContent = f.time_ms.toFixed(3);
    row.cells[1].textContent = f.source;
    row.cells[2].textContent = f.length;
    row.cells[3].textContent = f.summary;
    return row;
  }));
};
let updates = 0;
const update = async () => {
  try {
    const answer = await fetch('/stats.json', {cache: 'no-store'});
    show(await answer.json());
    document.getElementById('updates').textContent = ++updates;
  } catch (e) {
    document.getElementById('updates').textContent = updates + ' (' + e + ')';
  }
};
show(JSON.parse(document.getElementById('snapshot').textContent));
setInterval(update, 1000);
)JS";

}  // namespace

StatusSite::StatusSite(rig::Rig& rig, const RunReport& report)
    : rig_(rig),
      report_(report),
      frames_(rig.wire(), 24),
      service_([this](const net::HttpRequest& request) { return answer(request); }) {
    refresh("");
}

bool StatusSite::listen(std::uint16_t port) {
    return service_.listen(port);
}

void StatusSite::refresh(const std::string& guest_address) {
    RunReport now = report_;
    record_adapter(rig_.ndis(), rig_.adapter(), now);
    record_statistics(rig_.ndis(), rig_.adapter(), now);
    record_card_memory(rig_.pc(), now);
    for (const auto& e : rig_.ndis().error_log().entries())
        now.error_log.push_back({e.code, host::error_code_name(e.code), {e.values.begin(), e.values.end()}});
    nlohmann::json s = report_document(now);
    s["virtual_time_ms"] = milliseconds(rig_.clock().now());
    s["refreshes"] = ++refreshes_;
    nlohmann::json recent = nlohmann::json::array();
    for (const auto& f : frames_.entries())
        recent.push_back({{"time_ms", milliseconds(f.time)},
                          {"length", f.length},
                          {"source", f.source},
                          {"destination", f.destination},
                          {"summary", f.summary}});
    s["wire"] = {{"frames_seen", frames_.frames_seen()}, {"recent", recent}};
    const auto& c = service_.counters();
    s["guest"] = {{"address", guest_address},
                  {"http",
                   {{"accepted", c.accepted},
                    {"answered_2xx", c.answered[2]},
                    {"answered_4xx", c.answered[4]},
                    {"bytes_sent", c.bytes_sent}}}};
    snapshot_ = std::move(s);
}

net::HttpResponse StatusSite::answer(const net::HttpRequest& request) const {
    const std::vector<std::pair<std::string, std::string>> fresh = {{"Cache-Control", "no-store"}};
    if (request.path == "/" || request.path == "/index.html")
        return {200, "text/html; charset=utf-8", page(), fresh};
    if (request.path == "/stats.json")
        return {200, "application/json",
                snapshot_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", fresh};
    return {404, "text/plain; charset=utf-8", "no such page: " + request.path + "\n", {}};
}

std::string StatusSite::page() const {
    // The snapshot rides along, so the page shows it before the first fetch.
    std::string snapshot = snapshot_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    for (std::size_t at = 0; (at = snapshot.find("</", at)) != std::string::npos; at += 3)
        snapshot.replace(at, 2, "<\\/");  // never ends the script element early
    const std::string station = escape_html(snapshot_.value("station_address", std::string("?")));
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<title>ne2000sim: adapter " +
           station +
           "</title>\n"
           "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
           "td,th{padding:2px 10px;text-align:left}tr:nth-child(even){background:#f3f3f3}"
           "code,td{font-family:monospace}</style></head><body>\n"
           "<h1>NE2000-compatible PC Card adapter</h1>\n"
           "<p>Station address <code id=\"station\">" +
           station +
           "</code> (permanent <code id=\"permanent\"></code>), "
           "guest <code id=\"guest\"></code>, <span id=\"virtual-time\"></span> s of virtual time, "
           "<span id=\"updates\">0</span> updates. This page came to you from the guest's web server "
           "through the driver, the card and the wire.</p>\n"
           "<h2>Statistics (through the driver's OIDs)</h2><table id=\"stats\"></table>\n"
           "<h2>System error log</h2><ul id=\"log\"></ul>\n"
           "<h2>Last frames on the wire</h2><table><thead><tr><th>virtual ms</th><th>from</th><th>bytes</th>"
           "<th>what</th></tr></thead><tbody id=\"frames\"></tbody></table>\n"
           "<script id=\"snapshot\" type=\"application/json\">" +
           snapshot +
           "</script>\n"
           "<script>" +
           kScript + "</script>\n</body></html>\n";
}

}  // namespace sim
