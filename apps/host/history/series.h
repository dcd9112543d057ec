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
    std::optional<int64_t> to_ms;    // default: now, or its newest data if later
    std::size_t points = kDefaultSeriesPoints;
    std::optional<int64_t> since_ms;  // only points with data after this instant
};

// The reply: the finest resolution that covers the whole range in at most `points` points,
// from the raw rounds (a point per round, or buckets of whole seconds computed from them), the
// minutes or the hours (or buckets of several of them), the newest data of the range always in
// the last point, and the range's alarm events. Read in one read transaction. Throws
// std::runtime_error with SQLite's reason.
std::string series_json(HistoryReader& reader, const SeriesRequest& request, int64_t now_ms);

// A bucket as a point: its counts, and min, mean and max of each quantity when it has complete
// rounds (the members of the object being written).
void write_point_members(JsonWriter& json, const Rollup& bucket);

}  // namespace kavren::host
