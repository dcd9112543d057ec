#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace kavren::host {

// Where a series' points come from: the raw rounds, the per-minute or the per-hour rollups.
enum class Tier { raw, minutes, hours };

// The length of a tier's own bucket (a round's instant for raw: buckets of whole seconds).
int64_t tier_base_ms(Tier tier);

// From where each tier holds every row of a meter: retention may have removed the rows before
// (INT64_MIN: nothing removed). The hours are read wherever the others are gone.
struct TierCoverage {
    int64_t raw = INT64_MIN;      // rounds and failed rounds from this instant on
    int64_t minutes = INT64_MIN;  // minutes that start at or after it (a minute's edge)
};
// Throws std::runtime_error with SQLite's reason.
TierCoverage tier_coverage(sqlite3* db, const std::string& meter);
// Whether the tier holds every row from `at` on.
bool tier_holds(const TierCoverage& coverage, Tier tier, int64_t at);

// A stretch of a series' range read from one tier, in buckets of `step_ms` aligned on the Unix
// epoch (0: a point per raw round).
struct SeriesPart {
    Tier tier = Tier::raw;
    int64_t from_ms = 0;  // the range's start for the oldest part, else a bucket edge
    int64_t to_ms = 0;    // inclusive: the next part starts after it
    int64_t step_ms = 0;
};

// The parts of [from, to] in at most `points` points together, oldest first: each stretch from
// the finest tier that holds every row of it, no finer than the points allow. The resolution
// the whole range allows (about (to - from) / points) picks the finest tier; where retention
// removed its rows, the stretch before reads a coarser tier, in whole buckets of that tier, and
// the finer part starts at the edge of one (so no round is in two points, and every bucket
// comes from one tier). The coarser parts take a point per minute or hour; the newest part takes
// the rest of the points, in a step that divides the bucket before it. Rounds are read as
// themselves while they fit, buckets computed from them for at most 20,000 rounds. Throws
// BadTimeBound for one point over a range across the Unix epoch (no bucket holds it),
// std::runtime_error with SQLite's reason.
std::vector<SeriesPart> plan_series(sqlite3* db, const std::string& meter, int64_t from, int64_t to,
                                    std::size_t points, const TierCoverage& coverage);

}  // namespace kavren::host
