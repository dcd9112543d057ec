#include "apps/host/history/rollups.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <limits>

#include "apps/host/history/utc_time.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

constexpr std::size_t kBlobBytes = kRolledQuantityCount * 3 * sizeof(float);

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

std::string Rollup::stats_blob() const {
    if (rounds == 0) return {};
    std::string out(kBlobBytes, '\0');
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        const float triple[3] = {min[q], mean(q), max[q]};
        std::memcpy(&out[q * sizeof triple], triple, sizeof triple);
    }
    return out;
}

bool Rollup::read_stats_blob(const void* bytes, std::size_t length) {
    if (length != kBlobBytes || bytes == nullptr) return false;
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
               "stats) VALUES (?, ?, ?, ?, ?, ?, ?)") {}

bool RollupTable::read(const std::string& device, int step_s, int64_t start_ms, Rollup& out) {
    select_.reset();
    select_.text(1, device);
    select_.integer(2, step_s);
    select_.integer(3, start_ms);
    out.clear();
    if (!select_.step()) return false;
    read_columns(select_, 0, out);
    select_.reset();
    return true;
}

void RollupTable::write(const std::string& device, int step_s, int64_t start_ms,
                        const Rollup& rollup) {
    replace_.text(1, device);
    replace_.integer(2, step_s);
    replace_.integer(3, start_ms);
    replace_.integer(4, rollup.rounds);
    replace_.integer(5, rollup.failed);
    replace_.integer(6, rollup.alarms);
    const std::string stats = rollup.stats_blob();
    if (stats.empty()) {
        sqlite3_bind_null(replace_.get(), 7);
    } else {
        replace_.blob(7, stats.data(), stats.size());
    }
    replace_.run();
}

void for_each_rollup(sqlite3* db, const std::string& device, int step_s, int64_t from_ms,
                     int64_t to_ms, const std::function<void(int64_t, const Rollup&)>& fn) {
    SqliteQuery q(db,
                  "SELECT t_ms, rounds, failed, alarms, stats FROM rollups WHERE device = ? AND "
                  "step_s = ? AND t_ms >= ? AND t_ms <= ? ORDER BY t_ms");
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
    auto found = open_.find({device, step});
    if (found == open_.end()) found = open_.emplace(std::make_pair(device, step), Bucket{}).first;
    Bucket& b = found->second;
    if (!b.loaded || b.start_ms != start) {
        // Rounds of one batch may reach the next minute: the one they leave is written first.
        // A new bucket starts from what is stored.
        if (b.dirty) table_.write(b.device, b.step_s, b.start_ms, b.sums);
        b.dirty = false;
        b.device = device;
        b.step_s = step_s;
        b.start_ms = start;
        b.loaded = true;
        table_.read(device, step_s, start, b.sums);
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
        if (!b->dirty) continue;  // written already, when its meter moved on to the next one
        table_.write(b->device, b->step_s, b->start_ms, b->sums);
        b->dirty = false;
    }
    dirty_.clear();
}

}  // namespace kavren::host
