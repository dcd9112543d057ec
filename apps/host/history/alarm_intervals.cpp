#include "apps/host/history/alarm_intervals.h"

#include <map>

#include "apps/host/support/sqlite_query.h"

namespace kavren::host {

std::vector<AlarmEvent> alarms_active_before(sqlite3* db, const std::string& meter,
                                             int64_t instant) {
    // The meter's keys one index step each (a meter has a handful, its events may be millions),
    // then each key's newest event before the instant, in the order the events were stored.
    SqliteQuery q(db,
                  "WITH RECURSIVE keys(key) AS (SELECT min(key) FROM alarms WHERE device = ?1 "
                  "UNION ALL SELECT (SELECT min(key) FROM alarms WHERE device = ?1 AND key > "
                  "keys.key) FROM keys WHERE keys.key IS NOT NULL) "
                  "SELECT e.id, e.key, e.state, e.description, e.t_ms FROM keys JOIN alarms e ON "
                  "e.id = (SELECT id FROM alarms WHERE device = ?1 AND key = keys.key AND t_ms < "
                  "?2 ORDER BY id DESC LIMIT 1) WHERE e.state = 'raised' ORDER BY e.t_ms, e.id");
    q.text(1, meter);
    q.integer(2, instant);
    std::vector<AlarmEvent> active;
    while (q.step())
        active.push_back(
            {q.column_int64(0), q.column_text(1), true, q.column_text(3), q.column_int64(4)});
    return active;
}

std::vector<AlarmInterval> alarm_intervals(const std::vector<AlarmEvent>& active_at_start,
                                           const std::vector<AlarmEvent>& events) {
    std::vector<AlarmInterval> intervals;
    std::map<std::string, std::size_t> open;  // key -> its interval
    const auto raise = [&](const AlarmEvent& e) {
        if (open.count(e.key) != 0) return;
        open[e.key] = intervals.size();
        intervals.push_back({e.key, e.description, e.t_ms, std::nullopt});
    };
    for (const AlarmEvent& e : active_at_start) raise(e);
    for (const AlarmEvent& e : events) {
        if (e.raised) {
            raise(e);
            continue;
        }
        const auto found = open.find(e.key);
        if (found == open.end()) continue;
        intervals[found->second].cleared_ms = e.t_ms;
        open.erase(found);
    }
    return intervals;
}

}  // namespace kavren::host
