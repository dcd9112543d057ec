#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apps/host/sinks/http/live_meters.h"

namespace kavren::host {

// The meters in the Prometheus text exposition format (version 0.0.4). Measurement samples
// (voltages, currents, frequency, power factors) come only from a fresh round: a meter that is
// offline, or whose last complete round is older than fresh_for_ms, has none, so that no old
// value is scraped as the present one.
std::string metrics_text(const std::vector<MeterView>& meters, int64_t now_ms,
                         int64_t fresh_for_ms);

// A metric family's "# HELP" and "# TYPE" lines.
void append_metric_family(std::string& out, const char* name, const char* type, const char* help);

// A label value as the text format writes it: backslash, double quote and line feed escaped.
void append_label_value(std::string& out, std::string_view value);

}  // namespace kavren::host
