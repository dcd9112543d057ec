#pragma once

#include <string>

#include "apps/host/support/reload_status.h"

namespace kavren::host {

// The configuration's reloads in the Prometheus text format, named as Prometheus names its own:
// kavren_config_last_reload_successful, kavren_config_last_reload_success_timestamp_seconds and
// kavren_config_reloads_total{result}.
std::string reload_metrics_text(const ReloadStatus& status);

}  // namespace kavren::host
