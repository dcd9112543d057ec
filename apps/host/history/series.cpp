#include "apps/host/history/series.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "apps/host/history/alarm_intervals.h"
#include "apps/host/history/history_query.h"
#include "apps/host/history/series_plan.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

constexpr std::size_t kMostAlarmEvents = 10000;

// A point: a round (history_id set), a failed round (failure set), or a bucket of step_ms.
struct Point {
    int64_t t_ms = 0;
    int64_t step_ms = 0;
    int64_t history_id = 0;
    std::string failure;
    Rollup values;
};

std::optional<int64_t> first_value(SqliteQuery& q) {
    if (!q.step() || sqlite3_column_type(q.get(), 0) == SQLITE_NULL) return std::nullopt;
    return q.column_int64(0);
}

std::optional<int64_t> earlier(std::optional<int64_t> a, std::optional<int64_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The instant of the meter's oldest (or newest) round or failed round in [from, to].
std::optional<int64_t> raw_end(sqlite3* db, const std::string& meter, int64_t from, int64_t to,
                               bool newest) {
    const std::string order = newest ? " DESC" : "";
    SqliteQuery rounds(db, ("SELECT t_ms FROM records WHERE device = ? AND t_ms >= ? AND "
                            "t_ms <= ? AND origin = 'round' ORDER BY t_ms" +
                            order + " LIMIT 1")
                               .c_str());
    SqliteQuery failed(db, ("SELECT t_ms FROM failed_rounds WHERE device = ? AND t_ms >= ? AND "
                            "t_ms <= ? ORDER BY t_ms" +
                            order + " LIMIT 1")
                               .c_str());
    for (SqliteQuery* q : {&rounds, &failed}) {
        q->text(1, meter);
        q->integer(2, from);
        q->integer(3, to);
    }
    const auto a = first_value(rounds), b = first_value(failed);
    if (!newest) return earlier(a, b);
    if (!a) return b;
    if (!b) return a;
    return std::max(*a, *b);
}

// The start of the meter's oldest bucket of the step, finished or open (a clock set back can
// leave the open one older than finished ones).
std::optional<int64_t> first_rollup(sqlite3* db, const std::string& meter, int step_s) {
    SqliteQuery q(db,
                  "SELECT min(t_ms) FROM (SELECT min(t_ms) AS t_ms FROM rollups WHERE device = ?1 "
                  "AND step_s = ?2 UNION ALL SELECT t_ms FROM rollups_open WHERE device = ?1 AND "
                  "step_s = ?2)");
    q.text(1, meter);
    q.integer(2, step_s);
    return first_value(q);
}

// Adds to the bucket starting at `start`, made if needed; points stay in time order.
Rollup& bucket_at(std::vector<Point>& points, int64_t start, int64_t step) {
    if (points.empty() || points.back().t_ms < start) {
        points.push_back(Point{start, step, 0, {}, {}});
        return points.back().values;
    }
    auto at = std::lower_bound(points.begin(), points.end(), start,
                               [](const Point& p, int64_t t) { return p.t_ms < t; });
    if (at == points.end() || at->t_ms != start)
        at = points.insert(at, Point{start, step, 0, {}, {}});
    return at->values;
}

// The raw rounds and failed rounds in [from, to]: each a point (step 0) or into buckets.
void read_raw(sqlite3* db, const std::string& meter, int64_t from, int64_t to, int64_t step,
              std::vector<Point>& points) {
    SqliteQuery rounds(db,
                       "SELECT t_ms, id, record_bytes(base, record) FROM records WHERE device = ? "
                       "AND t_ms >= ? AND "
                       "t_ms <= ? AND origin = 'round' ORDER BY t_ms, id");
    SqliteQuery failed(db,
                       "SELECT t_ms, kind FROM failed_rounds WHERE device = ? AND t_ms >= ? AND "
                       "t_ms <= ? ORDER BY t_ms, id");
    SqliteQuery raises(db,
                       "SELECT t_ms FROM alarms WHERE device = ? AND t_ms >= ? AND t_ms <= ? "
                       "AND state = 'raised'");
    for (SqliteQuery* q : {&rounds, &failed, &raises}) {
        q->text(1, meter);
        q->integer(2, from);
        q->integer(3, to);
    }
    const auto at = [&](int64_t t_ms) -> Rollup& {
        return bucket_at(points, step > 0 ? floor_to_step(t_ms, step) : t_ms, step);
    };
    while (rounds.step()) {
        sqlite3_stmt* s = rounds.get();
        const auto* record = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
        const auto length = static_cast<std::size_t>(sqlite3_column_bytes(s, 2));
        if (step > 0) {
            at(rounds.column_int64(0)).add_record(record, length);
            continue;
        }
        points.push_back(Point{rounds.column_int64(0), 0, rounds.column_int64(1), {}, {}});
        points.back().values.add_record(record, length);
    }
    while (failed.step()) {
        if (step > 0) {
            ++at(failed.column_int64(0)).failed;
            continue;
        }
        Point p{failed.column_int64(0), 0, 0, failed.column_text(1), {}};
        p.values.failed = 1;
        const auto place = std::upper_bound(points.begin(), points.end(), p.t_ms,
                                            [](int64_t t, const Point& q) { return t < q.t_ms; });
        points.insert(place, std::move(p));
    }
    // A raise belongs to its round's point (the same instant) or its bucket.
    while (raises.step()) {
        const int64_t t_ms = raises.column_int64(0);
        const int64_t key = step > 0 ? floor_to_step(t_ms, step) : t_ms;
        const auto found = std::lower_bound(points.begin(), points.end(), key,
                                            [](const Point& p, int64_t t) { return p.t_ms < t; });
        if (found != points.end() && found->t_ms == key) ++found->values.alarms;
    }
}

// The tier's rows that start in [from, to], into buckets of `step`.
void read_rollups(sqlite3* db, const std::string& meter, Tier tier, int64_t step, int64_t from,
                  int64_t to, std::vector<Point>& points) {
    const int step_s = static_cast<int>(tier_base_ms(tier) / 1000);
    for_each_rollup(db, meter, step_s, from, to, [&](int64_t start, const Rollup& row) {
        bucket_at(points, floor_to_step(start, step), step).merge(row);
    });
}

Tier finer(Tier tier) { return tier == Tier::hours ? Tier::minutes : Tier::raw; }

// The range's last bucket, [start, to], where the tier's last row would reach past `to`: the
// tier's rows that end by `to`, then the finer tiers' for what is left, down to the raw rounds.
// Where a finer tier no longer holds what is left, the coarser row that does is taken whole.
void read_last_bucket(sqlite3* db, const std::string& meter, const SeriesPart& part, int64_t start,
                      const TierCoverage& coverage, std::vector<Point>& points) {
    int64_t cursor = start;
    for (Tier tier = part.tier; tier != Tier::raw; tier = finer(tier)) {
        const int64_t base = tier_base_ms(tier);
        const int64_t whole_end = floor_to_step(part.to_ms + 1, base);
        if (whole_end > cursor)
            read_rollups(db, meter, tier, part.step_ms, cursor, whole_end - base, points);
        cursor = std::max(cursor, whole_end);
        if (cursor > part.to_ms) return;
        if (!tier_holds(coverage, finer(tier), cursor)) {
            read_rollups(db, meter, tier, part.step_ms, cursor, cursor, points);
            return;
        }
    }
    read_raw(db, meter, cursor, part.to_ms, part.step_ms, points);
}

// A part's points: only what is newer than since_ms (rounds after it, buckets that end after
// it). The newest part's last bucket holds no round after the range's end.
void read_part(sqlite3* db, const SeriesRequest& r, const SeriesPart& part, bool newest,
               const TierCoverage& coverage, std::vector<Point>& points) {
    const int64_t step = part.step_ms;
    int64_t from = step == 0 ? part.from_ms : floor_to_step(part.from_ms, step);
    if (r.since_ms && *r.since_ms >= from)
        from = step == 0 ? *r.since_ms + 1 : floor_to_step(*r.since_ms + 1, step);
    if (from > part.to_ms) return;
    if (part.tier == Tier::raw) {
        read_raw(db, r.meter, from, part.to_ms, step, points);
        return;
    }
    // An older part ends on an edge of its tier's rows; the newest at the range's end.
    const int64_t last = newest ? floor_to_step(part.to_ms, step) : part.to_ms + 1;
    if (last > from) read_rollups(db, r.meter, part.tier, step, from, last - 1, points);
    if (newest) read_last_bucket(db, r.meter, part, last, coverage, points);
}

std::string step_text(const SeriesPart& part) {
    return part.step_ms == 0 ? "raw" : std::to_string(part.step_ms / 1000) + "s";
}

// The range's alarm events, and the time each alarm was active within it (from a raise that may
// lie before `from`).
void write_alarms(JsonWriter& json, HistoryReader& reader, const std::string& meter, int64_t from,
                  int64_t to) {
    std::vector<AlarmEvent> events;
    const bool truncated = reader.alarm_events(meter, from, to, kMostAlarmEvents, events);
    json.key("alarms").begin_array();
    for (const AlarmEvent& e : events) {
        json.begin_object();
        json.member("t", iso_local_time(e.t_ms));
        json.member("t_ms", e.t_ms);
        json.member("key", e.key);
        json.member("state", e.raised ? "raised" : "cleared");
        json.member("description", e.description);
        json.end_object();
    }
    json.end_array();
    json.member("alarms_truncated", truncated);
    // Truncated events keep the newest: what was active before them counts from their start.
    const int64_t first = truncated && !events.empty() ? events.front().t_ms : from;
    json.key("alarm_intervals").begin_array();
    for (const AlarmInterval& i :
         alarm_intervals(alarms_active_before(reader.handle(), meter, first), events)) {
        json.begin_object();
        json.member("key", i.key);
        json.member("description", i.description);
        json.member("raised_ms", i.raised_ms);
        json.key("cleared_ms");
        if (i.cleared_ms) {
            json.value(*i.cleared_ms);
        } else {
            json.null();
        }
        json.end_object();
    }
    json.end_array();
}

}  // namespace

void write_point_members(JsonWriter& json, const Rollup& bucket) {
    json.member("rounds", bucket.rounds);
    json.member("failed", bucket.failed);
    json.member("alarms", bucket.alarms);
    if (!bucket.has_values()) return;
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        json.key(kRolledQuantities[q].name).begin_object();
        json.member("min", bucket.min[q]);
        json.member("mean", bucket.mean(q));
        json.member("max", bucket.max[q]);
        json.end_object();
    }
}

namespace {

// The range asked for, with its open ends closed: from the meter's oldest data, to now. Throws
// BadTimeBound when it ends before it starts.
std::pair<int64_t, int64_t> resolved_range(sqlite3* db, const SeriesRequest& r, int64_t now_ms) {
    const int64_t to = r.to_ms.value_or(now_ms);
    if (r.from_ms) {
        require_ordered_range(*r.from_ms, to);
        return {*r.from_ms, to};
    }
    const auto oldest =
        earlier(raw_end(db, r.meter, INT64_MIN, INT64_MAX, false),
                earlier(first_rollup(db, r.meter, 60), first_rollup(db, r.meter, 3600)));
    return {oldest ? std::min(*oldest, to) : to, to};
}

void write_points(JsonWriter& json, const std::vector<Point>& points) {
    json.key("points").begin_array();
    for (const Point& p : points) {
        json.begin_object();
        json.member("t", iso_local_time(p.t_ms));
        json.member("t_ms", p.t_ms);
        json.member("step_ms", p.step_ms);
        if (p.history_id != 0) json.member("history_id", p.history_id);
        if (!p.failure.empty()) json.member("failure", p.failure);
        write_point_members(json, p.values);
        json.end_object();
    }
    json.end_array();
}

}  // namespace

std::string series_json(HistoryReader& reader, const SeriesRequest& r, int64_t now_ms) {
    sqlite3* db = reader.handle();
    SqliteReadTransaction snapshot(db);
    const auto [from, to] = resolved_range(db, r, now_ms);
    const TierCoverage coverage = tier_coverage(db, r.meter);
    const std::vector<SeriesPart> parts = plan_series(db, r.meter, from, to, r.points, coverage);
    std::vector<Point> points;
    for (std::size_t i = 0; i < parts.size(); ++i)
        read_part(db, r, parts[i], i + 1 == parts.size(), coverage, points);
    std::string out;
    out.reserve(256 + points.size() * 900);
    JsonWriter json(out);
    json.begin_object();
    json.member("meter", r.meter);
    json.member("from", iso_local_time(from));
    json.member("to", iso_local_time(to));
    json.member("step", step_text(parts.back()));
    json.member("step_ms", parts.back().step_ms);
    const std::optional<int64_t> newest = raw_end(db, r.meter, from, to, true);
    json.key("newest_ms");
    if (newest) {
        json.value(*newest);
    } else {
        json.null();
    }
    write_points(json, points);
    write_alarms(json, reader, r.meter, r.since_ms ? std::max(from, *r.since_ms + 1) : from, to);
    json.end_object();
    return out;
}

}  // namespace kavren::host
