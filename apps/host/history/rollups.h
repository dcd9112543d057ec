#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apps/host/support/sqlite_query.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

// What the rollups summarize of each complete round: the thirteen measurements Get_Value serves,
// the frequency and the four power factors, by the names the API and export give them.
struct RolledQuantity {
    const char* name;
    std::size_t offset;  // of its single-precision field in the record
};
constexpr std::size_t kRolledQuantityCount = kMeasurementCount + 5;

constexpr std::array<RolledQuantity, kRolledQuantityCount> rolled_quantities() {
    std::array<RolledQuantity, kRolledQuantityCount> all{};
    for (std::size_t i = 0; i < kMeasurementCount; ++i)
        all[i] = {kMeasurements[i].name, kMeasurements[i].offset};
    all[kMeasurementCount] = {"frequency", offsetof(KAVREN_M7_Data_t, frequency)};
    const char* const factors[] = {"power_factor_A", "power_factor_B", "power_factor_C",
                                   "power_factor_total"};
    for (std::size_t k = 0; k < 4; ++k)
        all[kMeasurementCount + 1 + k] = {
            factors[k], offsetof(KAVREN_M7_Data_t, power_factor) + k * sizeof(float)};
    return all;
}
inline constexpr auto kRolledQuantities = rolled_quantities();

// The two stored resolutions: a UTC minute and a UTC hour.
constexpr int kRollupSteps[] = {60, 3600};  // seconds

// A summary of the rounds in one interval: counts, and per quantity the minimum, mean and
// maximum of the complete rounds. Merging summaries gives the summary of the union.
struct Rollup {
    int64_t rounds = 0;  // complete rounds
    int64_t failed = 0;  // failed rounds
    int64_t alarms = 0;  // alarm raises
    float min[kRolledQuantityCount];
    float max[kRolledQuantityCount];
    double sum[kRolledQuantityCount];

    Rollup() { clear(); }
    void clear();
    // A complete round: its record (at least the record's size; shorter ones count as failed).
    void add_record(const uint8_t* record, std::size_t length);
    void merge(const Rollup& other);
    bool has_values() const { return rounds > 0; }
    float mean(std::size_t quantity) const;

    // Stored as min, mean, max per quantity, little-endian single precision.
    static constexpr std::size_t kStatsBytes = kRolledQuantityCount * 3 * sizeof(float);
    // False (and nothing written) when there are no complete rounds.
    bool write_stats(unsigned char (&out)[kStatsBytes]) const;
    // The inverse; false for a blob of another size.
    bool read_stats_blob(const void* bytes, std::size_t length);
};

// The rollup rows in the history, through statements prepared once. A bucket that still grows
// (each meter's current minute and hour) is a row of `rollups_open`, rewritten with each batch
// of rounds; once the meter's rounds reach the next bucket, it moves to `rollups`, where it stays.
// The two tables never hold the same bucket. Each method throws std::runtime_error.
class RollupTable {
  public:
    explicit RollupTable(sqlite3* db);
    // The finished row of (device, step, start), into `out`; false when there is none.
    bool read(const std::string& device, int step_s, int64_t start_ms, Rollup& out);
    // Stores a finished row, replacing one of the same key.
    void write(const std::string& device, int step_s, int64_t start_ms, const Rollup& rollup);
    void remove(const std::string& device, int step_s, int64_t start_ms);
    // The meter's open bucket of the step; false when it has none.
    bool read_open(const std::string& device, int step_s, int64_t& start_ms, Rollup& out);
    // `stored`: the meter has an open row of the step already (it is rewritten in place).
    void write_open(const std::string& device, int step_s, int64_t start_ms, const Rollup& rollup,
                    bool stored);

  private:
    void bind_row(SqliteQuery& q, const std::string& device, int step_s, int64_t start_ms,
                  const Rollup& rollup);
    SqliteQuery select_, replace_, delete_, select_open_, insert_open_, update_open_;
    unsigned char stats_[Rollup::kStatsBytes];
};

// The rows, finished and open, of (device, step) whose start is in [from_ms, to_ms], oldest
// first. Throws std::runtime_error with SQLite's reason.
void for_each_rollup(sqlite3* db, const std::string& device, int step_s, int64_t from_ms,
                     int64_t to_ms, const std::function<void(int64_t start_ms, const Rollup&)>& fn);

// Each meter's current minute and hour, kept in memory and written in the transaction of the
// rounds they summarize (a round reaches the minute and the hour it falls in). A meter's bucket
// not yet seen is read from the history first, so that a restart adds to what is stored, and a
// round of a bucket finished before (a clock set back) reopens it. After a failed transaction,
// forget() makes every bucket read again.
class RollupWriter {
  public:
    explicit RollupWriter(sqlite3* db) : table_(db) {}

    void add_record(const std::string& device, int64_t t_ms, const uint8_t* record,
                    std::size_t length, int alarm_raises);
    void add_failed(const std::string& device, int64_t t_ms);
    // Writes the buckets changed since the last call (inside the caller's transaction).
    void write();
    void forget() {
        open_.clear();
        dirty_.clear();
    }

  private:
    struct Bucket {
        std::string device;
        int step_s = 0;
        int64_t start_ms = 0;
        bool loaded = false;
        bool stored = false;  // as an open row
        bool dirty = false;
        Rollup sums;
    };
    Bucket& bucket(const std::string& device, std::size_t step, int64_t t_ms);

    RollupTable table_;
    // By device, then step index; found by the name without a copy of it.
    std::map<std::string, std::array<Bucket, std::size(kRollupSteps)>, std::less<>> open_;
    std::vector<Bucket*> dirty_;
};

}  // namespace kavren::host
