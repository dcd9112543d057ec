#pragma once

#include <memory>
#include <string>
#include <vector>

#include "apps/host/gateway/gateway_counters.h"

namespace kavren::host {

// The gateways' family in the Prometheus text format: kavren_gateway_requests_total, a counter
// per link and outcome (every outcome, zeros too). Nothing without gateways.
std::string gateway_metrics_text(
    const std::vector<std::shared_ptr<const GatewayCounters>>& gateways);

}  // namespace kavren::host
