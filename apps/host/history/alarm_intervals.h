#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/host/history/history_query.h"

struct sqlite3;

namespace kavren::host {

// The time an alarm of a meter was active: from its raise to its clear.
struct AlarmInterval {
    std::string key;
    std::string description;            // the raise's
    int64_t raised_ms = 0;              // may lie before the range asked for
    std::optional<int64_t> cleared_ms;  // none: still active at the end of the range
};

// The alarms of the meter active just before `instant`: each key whose newest event stored
// before it is a raise, that raise. Throws std::runtime_error with SQLite's reason.
std::vector<AlarmEvent> alarms_active_before(sqlite3* db, const std::string& meter,
                                             int64_t instant);

// The intervals of a range: one for each alarm active at its start (`active_at_start`, as
// alarms_active_before gives them) and for each raise among `events` (the range's events, oldest
// first), closed by the key's next clear. A second raise of an active alarm, or a clear of one
// not active, changes nothing.
std::vector<AlarmInterval> alarm_intervals(const std::vector<AlarmEvent>& active_at_start,
                                           const std::vector<AlarmEvent>& events);

}  // namespace kavren::host
