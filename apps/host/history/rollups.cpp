#include "apps/host/history/rollups.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <limits>

#include "apps/host/support/utc_time.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

// Columns rounds, failed, alarms, stats from `first` on, into `out`.
void read_columns(const SqliteQuery& q, int first, Rollup& out) {
    out.clear();
    out.rounds = q.column_int64(first);
    out.failed = q.column_int64(first + 1);
    out.alarms = q.column_int64(first + 2);
    sqlite3_stmt* s = q.get();
    const int stats = first + 3;
    if (out.rounds > 0 &&
        !out.read_stats_blob(sqlite3_column_blob(s, stats),
                             static_cast<std::size_t>(sqlite3_column_bytes(s, stats))))
        out.rounds = 0;  // a row without its values counts no complete round
}

}  // namespace

void Rollup::clear() {
    rounds = failed = alarms = 0;
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        min[q] = std::numeric_limits<float>::infinity();
        max[q] = -std::numeric_limits<float>::infinity();
        sum[q] = 0.0;
    }
}

void Rollup::add_record(const uint8_t* record, std::size_t length) {
    if (record == nullptr || length < sizeof(KAVREN_M7_Data_t)) {
        ++failed;
        return;
    }
    ++rounds;
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        float v;
        std::memcpy(&v, record + kRolledQuantities[q].offset, sizeof v);
        if (v < min[q]) min[q] = v;
        if (v > max[q]) max[q] = v;
        sum[q] += v;
    }
}

void Rollup::merge(const Rollup& other) {
    rounds += other.rounds;
    failed += other.failed;
    alarms += other.alarms;
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        if (other.min[q] < min[q]) min[q] = other.min[q];
        if (other.max[q] > max[q]) max[q] = other.max[q];
        sum[q] += other.sum[q];
    }
}

float Rollup::mean(std::size_t quantity) const {
    return rounds > 0 ? static_cast<float>(sum[quantity] / static_cast<double>(rounds)) : 0.0f;
}

bool Rollup::write_stats(unsigned char (&out)[kStatsBytes]) const {
    if (rounds == 0) return false;
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        const float triple[3] = {min[q], mean(q), max[q]};
        std::memcpy(out + q * sizeof triple, triple, sizeof triple);
    }
    return true;
}

bool Rollup::read_stats_blob(const void* bytes, std::size_t length) {
    if (length != kStatsBytes || bytes == nullptr) return false;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        float triple[3];
        std::memcpy(triple, p + q * sizeof triple, sizeof triple);
        min[q] = triple[0];
        sum[q] = static_cast<double>(triple[1]) * static_cast<double>(rounds);
        max[q] = triple[2];
    }
    return true;
}

RollupTable::RollupTable(sqlite3* db)
    : select_(db,
              "SELECT rounds, failed, alarms, stats FROM rollups "
              "WHERE device = ? AND step_s = ? AND t_ms = ?"),
      replace_(db,
               "INSERT OR REPLACE INTO rollups (device, step_s, t_ms, rounds, failed, alarms, "
               "stats) VALUES (?, ?, ?, ?, ?, ?, ?)"),
      delete_(db, "DELETE FROM rollups WHERE device = ? AND step_s = ? AND t_ms = ?"),
      select_open_(db,
                   "SELECT t_ms, rounds, failed, alarms, stats FROM rollups_open "
                   "WHERE device = ? AND step_s = ?"),
      insert_open_(db,
                   "INSERT INTO rollups_open (device, step_s, t_ms, rounds, failed, alarms, stats) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?)"),
      update_open_(db,
                   "UPDATE rollups_open SET t_ms = ?3, rounds = ?4, failed = ?5, alarms = ?6, "
                   "stats = ?7 WHERE device = ?1 AND step_s = ?2") {}

bool RollupTable::read(const std::string& device, int step_s, int64_t start_ms, Rollup& out) {
    select_.reset();
    select_.text(1, device);
    select_.integer(2, step_s);
    select_.integer(3, start_ms);
    out.clear();
    const bool found = select_.step();
    if (found) read_columns(select_, 0, out);
    select_.reset();
    return found;
}

bool RollupTable::read_open(const std::string& device, int step_s, int64_t& start_ms, Rollup& out) {
    select_open_.reset();
    select_open_.text(1, device);
    select_open_.integer(2, step_s);
    out.clear();
    const bool found = select_open_.step();
    if (found) {
        start_ms = select_open_.column_int64(0);
        read_columns(select_open_, 1, out);
    }
    select_open_.reset();
    return found;
}

void RollupTable::bind_row(SqliteQuery& q, const std::string& device, int step_s, int64_t start_ms,
                           const Rollup& rollup) {
    q.text(1, device);
    q.integer(2, step_s);
    q.integer(3, start_ms);
    q.integer(4, rollup.rounds);
    q.integer(5, rollup.failed);
    q.integer(6, rollup.alarms);
    if (rollup.write_stats(stats_)) {
        sqlite3_bind_blob(q.get(), 7, stats_, sizeof stats_, SQLITE_STATIC);
    } else {
        sqlite3_bind_null(q.get(), 7);
    }
}

void RollupTable::write(const std::string& device, int step_s, int64_t start_ms,
                        const Rollup& rollup) {
    bind_row(replace_, device, step_s, start_ms, rollup);
    replace_.run();
}

void RollupTable::write_open(const std::string& device, int step_s, int64_t start_ms,
                             const Rollup& rollup, bool stored) {
    SqliteQuery& q = stored ? update_open_ : insert_open_;
    bind_row(q, device, step_s, start_ms, rollup);
    q.run();
}

void RollupTable::remove(const std::string& device, int step_s, int64_t start_ms) {
    delete_.text(1, device);
    delete_.integer(2, step_s);
    delete_.integer(3, start_ms);
    delete_.run();
}

void for_each_rollup(sqlite3* db, const std::string& device, int step_s, int64_t from_ms,
                     int64_t to_ms, const std::function<void(int64_t, const Rollup&)>& fn) {
    SqliteQuery q(db,
                  "SELECT t_ms, rounds, failed, alarms, stats FROM rollups WHERE device = ?1 AND "
                  "step_s = ?2 AND t_ms >= ?3 AND t_ms <= ?4 UNION ALL "
                  "SELECT t_ms, rounds, failed, alarms, stats FROM rollups_open WHERE device = ?1 "
                  "AND step_s = ?2 AND t_ms >= ?3 AND t_ms <= ?4 ORDER BY t_ms");
    q.text(1, device);
    q.integer(2, step_s);
    q.integer(3, from_ms);
    q.integer(4, to_ms);
    Rollup row;
    while (q.step()) {
        read_columns(q, 1, row);
        fn(q.column_int64(0), row);
    }
}

RollupWriter::Bucket& RollupWriter::bucket(const std::string& device, std::size_t step,
                                           int64_t t_ms) {
    const int step_s = kRollupSteps[step];
    const int64_t start = floor_to_step(t_ms, step_s * int64_t{1000});
    auto found = open_.find(device);
    if (found == open_.end()) found = open_.emplace(device, decltype(open_)::mapped_type{}).first;
    Bucket& b = found->second[step];
    if (!b.loaded) {
        b.device = device;
        b.step_s = step_s;
        b.loaded = true;
        b.stored = table_.read_open(device, step_s, b.start_ms, b.sums);
        if (!b.stored) b.start_ms = start;
    }
    if (b.start_ms != start) {
        // The meter's rounds reached another bucket: the one they leave is finished (added to a
        // finished row of the same bucket, which a clock set back can have left), and the one
        // they enter starts from its finished row, if any, which it takes over.
        if (b.sums.rounds + b.sums.failed + b.sums.alarms > 0) {
            Rollup finished;
            table_.read(device, step_s, b.start_ms, finished);
            finished.merge(b.sums);
            table_.write(device, step_s, b.start_ms, finished);
        }
        b.start_ms = start;
        if (table_.read(device, step_s, start, b.sums)) table_.remove(device, step_s, start);
    }
    if (!b.dirty) {
        b.dirty = true;
        dirty_.push_back(&b);
    }
    return b;
}

void RollupWriter::add_record(const std::string& device, int64_t t_ms, const uint8_t* record,
                              std::size_t length, int alarm_raises) {
    for (std::size_t step = 0; step < std::size(kRollupSteps); ++step) {
        Rollup& sums = bucket(device, step, t_ms).sums;
        sums.add_record(record, length);
        sums.alarms += alarm_raises;
    }
}

void RollupWriter::add_failed(const std::string& device, int64_t t_ms) {
    for (std::size_t step = 0; step < std::size(kRollupSteps); ++step)
        ++bucket(device, step, t_ms).sums.failed;
}

void RollupWriter::write() {
    for (Bucket* b : dirty_) {
        table_.write_open(b->device, b->step_s, b->start_ms, b->sums, b->stored);
        b->stored = true;
        b->dirty = false;
    }
    dirty_.clear();
}

}  // namespace kavren::host
