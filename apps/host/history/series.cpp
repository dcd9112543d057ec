#include "apps/host/history/series.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "apps/host/history/alarm_intervals.h"
#include "apps/host/history/history_query.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// Rounds decoded at most for buckets computed from the raw rounds; past that, the minutes.
constexpr int64_t kMostRawRows = 20000;
constexpr std::size_t kMostAlarmEvents = 10000;

enum class Tier { raw, raw_buckets, minutes, hours };

struct Plan {
    Tier tier = Tier::raw;
    int64_t step_ms = 0;  // 0: a point per round
};

// A point: a round (history_id set), a failed round (failure set), or a bucket.
struct Point {
    int64_t t_ms = 0;
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

std::optional<int64_t> first_rollup(sqlite3* db, const std::string& meter, int step_s) {
    // A finished bucket is older than the open one.
    SqliteQuery q(db,
                  "SELECT coalesce((SELECT t_ms FROM rollups WHERE device = ?1 AND step_s = ?2 "
                  "ORDER BY t_ms LIMIT 1), (SELECT t_ms FROM rollups_open WHERE device = ?1 AND "
                  "step_s = ?2))");
    q.text(1, meter);
    q.integer(2, step_s);
    return first_value(q);
}

// Whether the meter's tier holds everything from `from_ms` on: retention removed none of its
// rows after that instant.
bool covers(sqlite3* db, const std::string& meter, const char* tier, int64_t from_ms) {
    SqliteQuery q(db, "SELECT t_ms FROM purged_before WHERE device = ? AND tier = ?");
    q.text(1, meter);
    q.text(2, tier);
    return !q.step() || q.column_int64(0) <= from_ms;
}

int64_t count_raw(sqlite3* db, const std::string& meter, int64_t from, int64_t to, int64_t most) {
    int64_t total = 0;
    for (const char* table : {"records", "failed_rounds"}) {
        const std::string origin = std::string(table) == "records" ? " AND origin = 'round'" : "";
        SqliteQuery q(db, ("SELECT count(*) FROM (SELECT 1 FROM " + std::string(table) +
                           " WHERE device = ? AND t_ms >= ? AND t_ms <= ?" + origin + " LIMIT ?)")
                              .c_str());
        q.text(1, meter);
        q.integer(2, from);
        q.integer(3, to);
        q.integer(4, most + 1);
        if (q.step()) total += q.column_int64(0);
    }
    return total;
}

int64_t bucket_count(int64_t from, int64_t to, int64_t step) {
    return (floor_to_step(to, step) - floor_to_step(from, step)) / step + 1;
}

// The shortest multiple of `base` that cuts [from, to] into at most `points` buckets.
int64_t fit_step(int64_t from, int64_t to, std::size_t points, int64_t base) {
    const auto n = static_cast<int64_t>(points);
    const int64_t wanted = (to - from) / n + 1;
    int64_t step = std::max<int64_t>(1, (wanted + base - 1) / base) * base;
    while (bucket_count(from, to, step) > n) step += base;
    return step;
}

Plan plan_for(sqlite3* db, const SeriesRequest& r, int64_t from, int64_t to) {
    const int64_t wanted = (to - from) / static_cast<int64_t>(r.points) + 1;
    if (wanted < kMinuteMs && covers(db, r.meter, "raw", from)) {
        const int64_t rows = count_raw(db, r.meter, from, to, kMostRawRows);
        if (rows <= static_cast<int64_t>(r.points)) return {Tier::raw, 0};
        if (rows <= kMostRawRows) return {Tier::raw_buckets, fit_step(from, to, r.points, 1000)};
    }
    if (wanted < kHourMs && covers(db, r.meter, "minute", floor_to_step(from, kMinuteMs)))
        return {Tier::minutes, fit_step(from, to, r.points, kMinuteMs)};
    return {Tier::hours, fit_step(from, to, r.points, kHourMs)};
}

// Adds to the bucket starting at `start`, made if needed; points stay in time order.
Rollup& bucket_at(std::vector<Point>& points, int64_t start) {
    if (points.empty() || points.back().t_ms < start) {
        points.push_back(Point{start, 0, {}, {}});
        return points.back().values;
    }
    auto at = std::lower_bound(points.begin(), points.end(), start,
                               [](const Point& p, int64_t t) { return p.t_ms < t; });
    if (at == points.end() || at->t_ms != start) at = points.insert(at, Point{start, 0, {}, {}});
    return at->values;
}

// The raw rounds and failed rounds in [from, to]: each a point (step 0) or into buckets.
void read_raw(sqlite3* db, const std::string& meter, int64_t from, int64_t to, int64_t step,
              std::vector<Point>& points) {
    SqliteQuery rounds(db,
                       "SELECT t_ms, id, record FROM records WHERE device = ? AND t_ms >= ? AND "
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
        return bucket_at(points, step > 0 ? floor_to_step(t_ms, step) : t_ms);
    };
    while (rounds.step()) {
        sqlite3_stmt* s = rounds.get();
        const auto* record = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
        const auto length = static_cast<std::size_t>(sqlite3_column_bytes(s, 2));
        if (step > 0) {
            at(rounds.column_int64(0)).add_record(record, length);
            continue;
        }
        points.push_back(Point{rounds.column_int64(0), rounds.column_int64(1), {}, {}});
        points.back().values.add_record(record, length);
    }
    while (failed.step()) {
        if (step > 0) {
            ++at(failed.column_int64(0)).failed;
            continue;
        }
        Point p{failed.column_int64(0), 0, failed.column_text(1), {}};
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

std::string step_text(const Plan& plan) {
    return plan.tier == Tier::raw ? "raw" : std::to_string(plan.step_ms / 1000) + "s";
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

// The range asked for, with its open ends closed: from the meter's oldest data, to now (or its
// newest data, when later).
std::pair<int64_t, int64_t> resolved_range(sqlite3* db, const SeriesRequest& r, int64_t now_ms) {
    const std::optional<int64_t> newest_any = raw_end(db, r.meter, INT64_MIN, INT64_MAX, true);
    const int64_t to = r.to_ms.value_or(std::max(now_ms, newest_any.value_or(now_ms)));
    if (r.from_ms) return {*r.from_ms, to};
    const auto oldest =
        earlier(raw_end(db, r.meter, INT64_MIN, INT64_MAX, false),
                earlier(first_rollup(db, r.meter, 60), first_rollup(db, r.meter, 3600)));
    return {oldest ? std::min(*oldest, to) : to, to};
}

// The points of the plan: only what is newer than since_ms (rounds after it, buckets that end
// after it).
std::vector<Point> read_points(sqlite3* db, const SeriesRequest& r, const Plan& plan, int64_t from,
                               int64_t to) {
    int64_t read_from = plan.tier == Tier::raw ? from : floor_to_step(from, plan.step_ms);
    if (r.since_ms && *r.since_ms >= read_from)
        read_from =
            plan.tier == Tier::raw ? *r.since_ms + 1 : floor_to_step(*r.since_ms + 1, plan.step_ms);
    std::vector<Point> points;
    if (plan.tier == Tier::raw || plan.tier == Tier::raw_buckets) {
        const int64_t read_to =
            plan.tier == Tier::raw ? to : floor_to_step(to, plan.step_ms) + plan.step_ms - 1;
        read_raw(db, r.meter, read_from, read_to, plan.step_ms, points);
        return points;
    }
    const int step_s = plan.tier == Tier::minutes ? 60 : 3600;
    for_each_rollup(db, r.meter, step_s, read_from, to, [&](int64_t start, const Rollup& row) {
        bucket_at(points, floor_to_step(start, plan.step_ms)).merge(row);
    });
    return points;
}

void write_points(JsonWriter& json, const std::vector<Point>& points) {
    json.key("points").begin_array();
    for (const Point& p : points) {
        json.begin_object();
        json.member("t", iso_local_time(p.t_ms));
        json.member("t_ms", p.t_ms);
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
    const Plan plan = plan_for(db, r, from, to);
    const std::vector<Point> points = read_points(db, r, plan, from, to);
    std::string out;
    out.reserve(256 + points.size() * 900);
    JsonWriter json(out);
    json.begin_object();
    json.member("meter", r.meter);
    json.member("from", iso_local_time(from));
    json.member("to", iso_local_time(to));
    json.member("step", step_text(plan));
    json.member("step_ms", plan.step_ms);
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
