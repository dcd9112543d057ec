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

// The newest ids of records, failed rounds and alarm events that an open rollup row counts: what
// the history stored after them counts too, once read (see OpenRollupMarks below).
struct OpenRollupMarks {
    int64_t record_id = 0, failed_id = 0, alarm_id = 0;
};

// The rollup rows in the history, through statements prepared once. A bucket that still grows
// (each meter's current minute and hour) is a row of `rollups_open`; once the meter's rounds
// reach the next bucket, it moves to `rollups`, where it stays. The two tables never hold the
// same bucket. An open row is written when its meter's minute changes, not with every commit:
// it carries the marks of what it counts, and the rounds stored after them are counted again
// from the records whenever the row is read. Each method throws std::runtime_error.
class RollupTable {
  public:
    explicit RollupTable(sqlite3* db);
    // The finished row of (device, step, start), into `out`; false when there is none.
    bool read(const std::string& device, int step_s, int64_t start_ms, Rollup& out);
    // Stores a finished row, replacing one of the same key.
    void write(const std::string& device, int step_s, int64_t start_ms, const Rollup& rollup);
    void remove(const std::string& device, int step_s, int64_t start_ms);
    // The meter's open row of the step as stored (without what was stored after its marks);
    // false when it has none.
    bool read_open(const std::string& device, int step_s, int64_t& start_ms, Rollup& out,
                   OpenRollupMarks& marks);
    // `stored`: the meter has an open row of the step already (it is rewritten in place).
    void write_open(const std::string& device, int step_s, int64_t start_ms, const Rollup& rollup,
                    const OpenRollupMarks& marks, bool stored);

  private:
    void bind_row(SqliteQuery& q, const std::string& device, int step_s, int64_t start_ms,
                  const Rollup& rollup);
    SqliteQuery select_, replace_, delete_, select_open_, insert_open_, update_open_;
    unsigned char stats_[Rollup::kStatsBytes];
};

// The newest ids stored so far, as the marks of open rows written now.
OpenRollupMarks newest_marks(sqlite3* db);

// What the history stored of `device` after `marks`, in the order of storing: each polled
// record (`record` null for a failed round) with the alarm raises stored with it.
// `bucket`: only those in [bucket[0], bucket[1]) (Unix ms); null: all of them.
void for_each_round_after(sqlite3* db, const std::string& device, const OpenRollupMarks& marks,
                          const std::function<void(int64_t t_ms, const uint8_t* record,
                                                   std::size_t length, int raises)>& fn,
                          const int64_t* bucket = nullptr);

// The rows, finished and open, of (device, step) whose start is in [from_ms, to_ms], oldest
// first; an open row with the rounds stored after its marks. Throws std::runtime_error with
// SQLite's reason.
void for_each_rollup(sqlite3* db, const std::string& device, int step_s, int64_t from_ms,
                     int64_t to_ms, const std::function<void(int64_t start_ms, const Rollup&)>& fn);

// Each meter's current minute and hour, kept in memory (a round reaches the minute and the hour
// it falls in). A meter's open rows are written in the transaction where its minute changes, and
// a finished bucket with them; the rounds in between are counted from the records when the rows
// are read, so a crash loses none of them. A meter not yet seen is read from the history first,
// so that a restart adds to what is stored, and a round of a bucket finished before (a clock set
// back) reopens it. After a failed transaction, forget() makes every meter read again.
class RollupWriter {
  public:
    explicit RollupWriter(sqlite3* db) : db_(db), table_(db) {}

    // Before a round of the meter is stored: its stored rows are read (and what was stored
    // after their marks counted) without the round.
    void load(const std::string& device) { meter(device); }
    void add_record(const std::string& device, int64_t t_ms, const uint8_t* record,
                    std::size_t length, int alarm_raises);
    void add_failed(const std::string& device, int64_t t_ms);
    // Writes the open rows of the meters whose minute changed since the last call, or with
    // `all` of every meter with rounds since (inside the caller's transaction, after the rounds).
    void write(bool all = false);
    bool has_unwritten() const;
    void forget() { meters_.clear(); }

  private:
    struct Bucket {
        int64_t start_ms = 0;
        bool open = false;    // has a start
        bool stored = false;  // as an open row
        Rollup sums;
    };
    struct Meter {
        std::string device;
        std::array<Bucket, std::size(kRollupSteps)> steps;
        bool changed = false;    // a bucket started: its rows are written at the next write()
        bool unwritten = false;  // it has rounds its stored rows do not count
    };
    Meter& meter(const std::string& device);
    Bucket& bucket(const std::string& device, std::size_t step, int64_t t_ms);

    sqlite3* db_;
    RollupTable table_;
    // Found by the name without a copy of it.
    std::map<std::string, Meter, std::less<>> meters_;
};

}  // namespace kavren::host
