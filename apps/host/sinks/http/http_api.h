#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/http/live_meters.h"
#include "apps/host/sinks/http/page_files.h"
#include "apps/host/support/reload_status.h"

namespace kavren::host {

class HistoryReader;

// What the host serves: the page and its chart library, /metrics, and the read-only JSON API
// (see the README). Live state comes from the sink's snapshot, history from the database through
// a read-only connection per request; nothing here touches a driver or the history's writer.
class HttpApi {
  public:
    // chart_dir: where the installed chart library is (its files are read once, here).
    // gateways: the counters of the links' gateways, for /metrics; reloads: how the
    // configuration's reloads went (null: not shown).
    HttpApi(const LiveMeters& sink, std::string database, const HttpLimits& limits,
            double interval_s, const std::string& chart_dir,
            std::vector<std::shared_ptr<const GatewayCounters>> gateways = {},
            std::shared_ptr<const ReloadStatus> reloads = nullptr);

    HttpResponse handle(const HttpRequest& request) const;

    // How long the last complete round stands for the meter's present state.
    int64_t fresh_for_ms() const { return fresh_for_ms_; }

  private:
    HttpResponse route(const HttpRequest& request) const;
    HttpResponse meters() const;
    HttpResponse meter(const std::string& name) const;
    HttpResponse history(const std::string& name, const HttpRequest& request) const;
    HttpResponse series(const std::string& name, const HttpRequest& request) const;
    HttpResponse alarm_events(const std::string& name, const HttpRequest& request) const;
    HttpResponse alarm_book() const;
    HttpResponse metrics() const;
    // 404 unless the meter is configured or has rows in the history.
    bool known_meter(const std::string& name, HistoryReader& reader) const;

    const LiveMeters& sink_;
    std::string database_;
    HttpLimits limits_;
    double interval_s_;
    int64_t fresh_for_ms_;
    PageFiles page_files_;
    std::vector<std::shared_ptr<const GatewayCounters>> gateways_;
    std::shared_ptr<const ReloadStatus> reloads_;
};

// The meter as the API shows it: identity, state, counters and its newest rounds.
std::string meter_json(const MeterView& meter, int64_t now_ms, int64_t fresh_for_ms);

}  // namespace kavren::host
