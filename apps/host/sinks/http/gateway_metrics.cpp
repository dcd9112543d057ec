#include "apps/host/sinks/http/gateway_metrics.h"

#include "apps/host/sinks/http/metrics_text.h"

namespace kavren::host {

namespace {

// One counter family of the gateways: the outcomes that are requests, or those that are not.
void write_family(std::string& s,
                  const std::vector<std::shared_ptr<const GatewayCounters>>& gateways,
                  bool requests) {
    const char* const metric =
        requests ? "kavren_gateway_requests_total" : "kavren_gateway_connections_closed_total";
    const char* const label = requests ? "outcome" : "reason";
    append_metric_family(s, metric, "counter",
                         requests ? "Requests of the gateway's Modbus TCP clients, by outcome."
                                  : "Connections the gateway refused or cut, by reason.");
    for (const auto& gateway : gateways) {
        for (int k = 0; k < kGatewayOutcomeCount; ++k) {
            const auto outcome = static_cast<GatewayOutcome>(k);
            if (gateway_request_outcome(outcome) != requests) continue;
            s += metric;
            s += "{link=\"";
            append_label_value(s, gateway->link());
            s += "\",";
            s += label;
            s += "=\"";
            s += gateway_outcome_name(outcome);
            s += "\"} ";
            s += std::to_string(gateway->value(outcome));
            s += '\n';
        }
    }
}

}  // namespace

std::string gateway_metrics_text(
    const std::vector<std::shared_ptr<const GatewayCounters>>& gateways) {
    if (gateways.empty()) return {};
    std::string s;
    write_family(s, gateways, true);
    write_family(s, gateways, false);
    return s;
}

}  // namespace kavren::host
