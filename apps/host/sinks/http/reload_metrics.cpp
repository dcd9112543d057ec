#include "apps/host/sinks/http/reload_metrics.h"

#include "apps/host/sinks/http/metrics_text.h"

namespace kavren::host {

std::string reload_metrics_text(const ReloadStatus& status) {
    std::string s;
    append_metric_family(s, "kavren_config_last_reload_successful", "gauge",
                         "Whether the last reload of the configuration was applied.");
    s += "kavren_config_last_reload_successful ";
    s += status.last_successful.load() ? "1\n" : "0\n";
    append_metric_family(
        s, "kavren_config_last_reload_success_timestamp_seconds", "gauge",
        "When the configuration was last loaded, at the start or by a reload (Unix time).");
    s += "kavren_config_last_reload_success_timestamp_seconds ";
    s += std::to_string(status.last_success_unix_s.load()) + '\n';
    append_metric_family(s, "kavren_config_reloads_total", "counter",
                         "Reloads of the configuration, by whether they were applied.");
    s += "kavren_config_reloads_total{result=\"success\"} ";
    s += std::to_string(status.successes.load()) + '\n';
    s += "kavren_config_reloads_total{result=\"failure\"} ";
    s += std::to_string(status.failures.load()) + '\n';
    return s;
}

}  // namespace kavren::host
