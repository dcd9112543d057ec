#include "apps/host/sinks/http/gateway_metrics.h"

#include "apps/host/sinks/http/metrics_text.h"

namespace kavren::host {

std::string gateway_metrics_text(
    const std::vector<std::shared_ptr<const GatewayCounters>>& gateways) {
    if (gateways.empty()) return {};
    std::string s =
        "# HELP kavren_gateway_requests_total Requests of the gateway's Modbus TCP clients and "
        "connections it refused or cut, by outcome.\n"
        "# TYPE kavren_gateway_requests_total counter\n";
    for (const auto& gateway : gateways) {
        for (int k = 0; k < kGatewayOutcomeCount; ++k) {
            const auto outcome = static_cast<GatewayOutcome>(k);
            s += "kavren_gateway_requests_total{link=\"";
            append_label_value(s, gateway->link());
            s += "\",outcome=\"";
            s += gateway_outcome_name(outcome);
            s += "\"} ";
            s += std::to_string(gateway->value(outcome));
            s += '\n';
        }
    }
    return s;
}

}  // namespace kavren::host
