#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "apps/host/history/rollups.h"

namespace kavren::host {

class HistoryReader;
class JsonWriter;

constexpr std::size_t kDefaultSeriesPoints = 1000;
constexpr std::size_t kMostSeriesPoints = 10000;

// One meter's history over a range, in at most `points` points (see the README: the series API).
struct SeriesRequest {
    std::string meter;
    std::optional<int64_t> from_ms;  // default: the meter's oldest data
    std::optional<int64_t> to_ms;    // default: now (rounds stamped later are left out)
    std::size_t points = kDefaultSeriesPoints;
    std::optional<int64_t> since_ms;  // only points with data after this instant
};

// The reply: each stretch of the range from the finest tier that holds it within `points` (see
// plan_series): the raw rounds (a point per round, or buckets of whole seconds computed from
// them), the minutes or the hours (or buckets of several of them), each point with its step; the
// newest data of the range in the last point, and no round after `to` in it where a finer tier
// holds the end of the range; and the range's alarm events. Read in one read transaction.
// Throws BadTimeBound when the range ends before it starts or cannot be cut into `points`,
// std::runtime_error with SQLite's reason.
std::string series_json(HistoryReader& reader, const SeriesRequest& request, int64_t now_ms);

// A bucket as a point: its counts, and min, mean and max of each quantity when it has complete
// rounds (the members of the object being written).
void write_point_members(JsonWriter& json, const Rollup& bucket);

}  // namespace kavren::host
