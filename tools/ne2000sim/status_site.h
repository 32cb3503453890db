#pragma once
// The guest's own web site: a status page of the adapter it runs on, and the
// same as JSON at /stats.json. It is served by lwIP on the guest, so every
// byte of it crosses the driver, the card and the wire on its way to a
// browser on this host.
//
// The page shows the station address, the statistics the driver answers
// through its OIDs, the error log and the last frames on the wire, and
// refreshes itself by fetching /stats.json every second. What it shows is a
// snapshot taken between slices of the run (refresh()), never from inside
// lwIP's callbacks: those run within the driver's receive indication, where a
// protocol must not send the driver a request.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "net/stack/http_service.h"
#include "net/wire/recent_frames.h"
#include "rig/rig.h"
#include "tools/ne2000sim/run_report.h"

namespace sim {

class StatusSite {
public:
    StatusSite(rig::Rig& rig, const RunReport& report);
    StatusSite(const StatusSite&) = delete;
    StatusSite& operator=(const StatusSite&) = delete;

    // Listens on the guest's `port`; false when lwIP refuses.
    bool listen(std::uint16_t port = 80);
    // Takes a new snapshot of the adapter (OIDs, error log) and the wire.
    void refresh(const std::string& guest_address);

    const net::HttpService& service() const { return service_; }
    // The snapshot as served at /stats.json.
    const nlohmann::json& snapshot() const { return snapshot_; }

private:
    net::HttpResponse answer(const net::HttpRequest& request) const;
    std::string page() const;

    rig::Rig& rig_;
    const RunReport& report_;
    net::RecentFrames frames_;
    net::HttpService service_;
    nlohmann::json snapshot_;
    std::uint64_t refreshes_ = 0;
};

}  // namespace sim
