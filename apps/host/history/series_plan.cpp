#include "apps/host/history/series_plan.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <string>

#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// Rounds decoded at most for buckets computed from the raw rounds; past that, the minutes.
constexpr int64_t kMostRawRows = 20000;

Tier coarser(Tier tier) { return tier == Tier::raw ? Tier::minutes : Tier::hours; }

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

// The shortest step above `step` at which the bucket holding `at` has another index
// (INT64_MAX: none; the index of 0 is 0, of an instant before it -1 from a step on).
int64_t next_index_change(int64_t at, int64_t step) {
    if (at > 0) {
        const int64_t k = at / step;
        return k == 0 ? INT64_MAX : at / k + 1;
    }
    if (at < 0) {
        const int64_t c = (-at + step - 1) / step;
        return c <= 1 ? INT64_MAX : (-at + c - 2) / (c - 1);
    }
    return INT64_MAX;
}

// The shortest multiple of `base` that cuts [from, to] into at most `points` buckets and divides
// `within` (when not 0, so that the buckets fill the coarser bucket before them); 0 when none
// does (one bucket never holds a range across the epoch, an edge of every step). Steps at which
// the count cannot change are passed over.
int64_t fit_step(int64_t from, int64_t to, int64_t points, int64_t base, int64_t within) {
    const int64_t wanted = (to - from) / points + 1;
    int64_t step = std::max<int64_t>(1, (wanted + base - 1) / base) * base;
    for (;;) {
        const bool fits = bucket_count(from, to, step) <= points;
        if (fits && (within == 0 || within % step == 0)) return step;
        int64_t next = step + base;
        if (!fits) {
            const int64_t change =
                std::min(next_index_change(from, step), next_index_change(to, step));
            if (change == INT64_MAX) return 0;
            next = std::max(next, ceil_to_step(change, base));
        }
        if (within > 0 && next > within) return 0;
        step = next;
    }
}

// A tier and where it takes over from the coarser one before it (INT64_MIN: from the start).
struct TierUse {
    Tier tier;
    int64_t start;
};

// The tiers that serve [from, to] when `finest` is the finest the points allow, coarsest first:
// each from the first edge of the coarser tier's bucket where it holds every row. A finer tier
// that holds what the tier before it holds takes its place.
std::vector<TierUse> tiers_used(const TierCoverage& coverage, Tier finest, int64_t from,
                                int64_t to) {
    std::vector<TierUse> used{{Tier::hours, INT64_MIN}};
    if (finest == Tier::hours) return used;
    for (Tier tier = Tier::minutes;; tier = Tier::raw) {
        if (tier_holds(coverage, tier, from)) {
            used.assign(1, {tier, INT64_MIN});
        } else {
            const int64_t held = tier == Tier::raw ? coverage.raw : coverage.minutes;
            int64_t start = ceil_to_step(held, tier_base_ms(used.back().tier));
            while (start <= used.back().start) {
                used.pop_back();
                start = ceil_to_step(held, tier_base_ms(used.back().tier));
            }
            if (start <= to) used.push_back({tier, start});
        }
        if (tier == finest || tier == Tier::raw) break;
    }
    return used;
}

// The newest part's step within the points left: the raw rounds themselves while they fit.
bool fit_newest(sqlite3* db, const std::string& meter, SeriesPart& part, int64_t points,
                int64_t within) {
    if (points < 1) return false;
    if (part.tier == Tier::raw) {
        const int64_t rows = count_raw(db, meter, part.from_ms, part.to_ms, kMostRawRows);
        part.step_ms = 0;
        if (rows <= points) return true;
        if (rows > kMostRawRows) return false;
    }
    part.step_ms = fit_step(part.from_ms, part.to_ms, points, tier_base_ms(part.tier), within);
    return part.step_ms > 0;
}

// The parts the tiers give, within the points; none when they do not fit.
std::vector<SeriesPart> parts_of(sqlite3* db, const std::string& meter,
                                 const std::vector<TierUse>& used, int64_t from, int64_t to,
                                 int64_t points) {
    std::vector<SeriesPart> parts;
    for (std::size_t i = 0; i < used.size(); ++i) {
        SeriesPart part{used[i].tier, std::max(used[i].start, from),
                        i + 1 < used.size() ? used[i + 1].start - 1 : to, 0};
        if (i + 1 < used.size()) {
            part.step_ms = tier_base_ms(part.tier);
            points -= bucket_count(part.from_ms, part.to_ms, part.step_ms);
        } else if (!fit_newest(db, meter, part, points,
                               i > 0 ? tier_base_ms(used[i - 1].tier) : 0)) {
            return {};
        }
        parts.push_back(part);
    }
    return parts;
}

std::optional<int64_t> purged_before(sqlite3* db, const std::string& meter, const char* tier) {
    SqliteQuery q(db, "SELECT t_ms FROM purged_before WHERE device = ? AND tier = ?");
    q.text(1, meter);
    q.text(2, tier);
    if (!q.step()) return std::nullopt;
    return q.column_int64(0);
}

}  // namespace

int64_t tier_base_ms(Tier tier) {
    return tier == Tier::raw ? 1000 : tier == Tier::minutes ? kMinuteMs : kHourMs;
}

TierCoverage tier_coverage(sqlite3* db, const std::string& meter) {
    TierCoverage c;
    if (const auto raw = purged_before(db, meter, "raw")) c.raw = *raw;
    // A minute goes once all of it is older than the retention: those starting later are whole.
    if (const auto minutes = purged_before(db, meter, "minute"))
        c.minutes = ceil_to_step(*minutes, kMinuteMs);
    return c;
}

bool tier_holds(const TierCoverage& coverage, Tier tier, int64_t at) {
    return tier == Tier::hours || (tier == Tier::raw ? coverage.raw : coverage.minutes) <= at;
}

std::vector<SeriesPart> plan_series(sqlite3* db, const std::string& meter, int64_t from, int64_t to,
                                    std::size_t points, const TierCoverage& coverage) {
    const auto n = static_cast<int64_t>(points);
    const int64_t wanted = (to - from) / n + 1;
    Tier finest = wanted < kMinuteMs ? Tier::raw : wanted < kHourMs ? Tier::minutes : Tier::hours;
    for (;;) {
        // The hours alone always fit, but for one point across the epoch.
        std::vector<SeriesPart> parts =
            parts_of(db, meter, tiers_used(coverage, finest, from, to), from, to, n);
        if (!parts.empty()) return parts;
        if (finest == Tier::hours)
            throw BadTimeBound(
                "one point cannot hold a range across 1970-01-01T00:00:00Z, where buckets are "
                "aligned: ask for 2 points or more");
        finest = coarser(finest);
    }
}

}  // namespace kavren::host
