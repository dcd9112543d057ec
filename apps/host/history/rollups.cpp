#include "apps/host/history/rollups.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <limits>
#include <set>

#include "apps/host/history/schema.h"
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

void read_marks(const SqliteQuery& q, int first, OpenRollupMarks& marks) {
    marks.record_id = q.column_int64(first);
    marks.failed_id = q.column_int64(first + 1);
    marks.alarm_id = q.column_int64(first + 2);
}

// A read of several statements that sees one state of the history, unless the caller's
// transaction already does.
class ReadSnapshot {
  public:
    explicit ReadSnapshot(sqlite3* db) : db_(sqlite3_get_autocommit(db) ? db : nullptr) {
        if (db_ != nullptr) sqlite_exec(db_, "BEGIN");
    }
    ~ReadSnapshot() {
        if (db_ != nullptr) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

  private:
    sqlite3* db_;
};

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
                   "SELECT t_ms, rounds, failed, alarms, stats, record_id, failed_id, alarm_id "
                   "FROM rollups_open WHERE device = ? AND step_s = ?"),
      insert_open_(db,
                   "INSERT INTO rollups_open (device, step_s, t_ms, rounds, failed, alarms, "
                   "stats, record_id, failed_id, alarm_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
      update_open_(db,
                   "UPDATE rollups_open SET t_ms = ?3, rounds = ?4, failed = ?5, alarms = ?6, "
                   "stats = ?7, record_id = ?8, failed_id = ?9, alarm_id = ?10 WHERE device = ?1 "
                   "AND step_s = ?2") {}

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

bool RollupTable::read_open(const std::string& device, int step_s, int64_t& start_ms, Rollup& out,
                            OpenRollupMarks& marks) {
    select_open_.reset();
    select_open_.text(1, device);
    select_open_.integer(2, step_s);
    out.clear();
    const bool found = select_open_.step();
    if (found) {
        start_ms = select_open_.column_int64(0);
        read_columns(select_open_, 1, out);
        read_marks(select_open_, 5, marks);
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
                             const Rollup& rollup, const OpenRollupMarks& marks, bool stored) {
    SqliteQuery& q = stored ? update_open_ : insert_open_;
    bind_row(q, device, step_s, start_ms, rollup);
    q.integer(8, marks.record_id);
    q.integer(9, marks.failed_id);
    q.integer(10, marks.alarm_id);
    q.run();
}

void RollupTable::remove(const std::string& device, int step_s, int64_t start_ms) {
    delete_.text(1, device);
    delete_.integer(2, step_s);
    delete_.integer(3, start_ms);
    delete_.run();
}

OpenRollupMarks newest_marks(sqlite3* db) {
    SqliteQuery q(db, (std::string("SELECT ") + kNewestRecordId +
                       ", (SELECT coalesce(max(id), 0) FROM failed_rounds), (SELECT "
                       "coalesce(max(id), 0) FROM alarms)")
                          .c_str());
    OpenRollupMarks marks;
    if (q.step()) read_marks(q, 0, marks);
    return marks;
}

void for_each_round_after(sqlite3* db, const std::string& device, const OpenRollupMarks& marks,
                          const std::function<void(int64_t, const uint8_t*, std::size_t, int)>& fn,
                          const int64_t* bucket) {
    // Without a bucket, from the marks on in the order of storing (a minute of rounds for a
    // meter that is polled); with one, by the meter's instants, which a meter no longer polled
    // keeps short however much was stored after its marks.
    SqliteQuery rounds(
        db, bucket == nullptr
                ? "SELECT id, t_ms, record_bytes(base, record) FROM records_by_meter INDEXED BY "
                  "records_by_id WHERE id > ?2 AND device = ?1 AND origin = 'round' UNION ALL "
                  "SELECT id, t_ms, record_bytes(base, record) FROM records_recent WHERE id > ?2 "
                  "AND device = ?1 AND origin = 'round' ORDER BY 1"
                : "SELECT id, t_ms, record_bytes(base, record) FROM records_by_meter WHERE device "
                  "= ?1 AND t_ms >= ?3 AND t_ms < ?4 AND id > ?2 AND origin = 'round' UNION ALL "
                  "SELECT id, t_ms, record_bytes(base, record) FROM records_recent WHERE device = "
                  "?1 AND t_ms >= ?3 AND t_ms < ?4 AND id > ?2 AND origin = 'round' ORDER BY 1");
    SqliteQuery failed(db, bucket == nullptr
                               ? "SELECT t_ms FROM failed_rounds WHERE id > ?2 AND +device = ?1 "
                                 "ORDER BY id"
                               : "SELECT t_ms FROM failed_rounds WHERE device = ?1 AND t_ms >= ?3 "
                                 "AND t_ms < ?4 AND id > ?2 ORDER BY id");
    for (SqliteQuery* q : {&rounds, &failed}) {
        q->text(1, device);
        if (bucket == nullptr) continue;
        q->integer(3, bucket[0]);
        q->integer(4, bucket[1]);
    }
    SqliteQuery raises(db,
                       "SELECT count(*) FROM alarms WHERE device = ?1 AND t_ms = ?2 AND id > ?3 "
                       "AND state = 'raised'");
    rounds.integer(2, marks.record_id);
    // Raises are stamped with their round's instant: two rounds at one instant (a clock set
    // back) share them, counted with the first.
    std::set<int64_t> instants;
    while (rounds.step()) {
        const int64_t t_ms = rounds.column_int64(1);
        int raised = 0;
        if (instants.insert(t_ms).second) {
            raises.reset();
            raises.text(1, device);
            raises.integer(2, t_ms);
            raises.integer(3, marks.alarm_id);
            raised = raises.step() ? static_cast<int>(raises.column_int64(0)) : 0;
        }
        sqlite3_stmt* s = rounds.get();
        fn(t_ms, static_cast<const uint8_t*>(sqlite3_column_blob(s, 2)),
           static_cast<std::size_t>(sqlite3_column_bytes(s, 2)), raised);
    }
    failed.integer(2, marks.failed_id);
    while (failed.step()) fn(failed.column_int64(0), nullptr, 0, 0);
}

void for_each_rollup(sqlite3* db, const std::string& device, int step_s, int64_t from_ms,
                     int64_t to_ms, const std::function<void(int64_t, const Rollup&)>& fn) {
    ReadSnapshot snapshot(db);
    const auto bind_range = [&](SqliteQuery& q) {
        q.text(1, device);
        q.integer(2, step_s);
        q.integer(3, from_ms);
        q.integer(4, to_ms);
    };
    // The open row, with what was stored after its marks in its bucket (with the rollups
    // switched off for a while, or its meter no longer polled, more may have been stored since).
    Rollup open;
    int64_t open_start = 0;
    bool has_open = false;
    {
        SqliteQuery q(db,
                      "SELECT t_ms, rounds, failed, alarms, stats, record_id, failed_id, alarm_id "
                      "FROM rollups_open WHERE device = ?1 AND step_s = ?2 AND t_ms >= ?3 AND "
                      "t_ms <= ?4");
        bind_range(q);
        if (q.step()) {
            has_open = true;
            open_start = q.column_int64(0);
            read_columns(q, 1, open);
            OpenRollupMarks marks;
            read_marks(q, 5, marks);
            const int64_t bucket[2] = {open_start, open_start + step_s * int64_t{1000}};
            for_each_round_after(
                db, device, marks,
                [&](int64_t, const uint8_t* record, std::size_t length, int raised) {
                    if (record == nullptr) {
                        ++open.failed;
                        return;
                    }
                    open.add_record(record, length);
                    open.alarms += raised;
                },
                bucket);
        }
    }
    SqliteQuery q(db,
                  "SELECT t_ms, rounds, failed, alarms, stats FROM rollups WHERE device = ?1 AND "
                  "step_s = ?2 AND t_ms >= ?3 AND t_ms <= ?4 ORDER BY t_ms");
    bind_range(q);
    Rollup row;
    while (q.step()) {
        const int64_t start = q.column_int64(0);
        if (has_open && open_start < start) {
            fn(open_start, open);
            has_open = false;
        }
        read_columns(q, 1, row);
        fn(start, row);
    }
    if (has_open) fn(open_start, open);
}

RollupWriter::Meter& RollupWriter::meter(const std::string& device) {
    const auto found = meters_.find(device);
    if (found != meters_.end()) return found->second;
    Meter& m = meters_.emplace(device, Meter{}).first->second;
    m.device = device;
    OpenRollupMarks marks;
    bool stored = false;
    for (std::size_t step = 0; step < std::size(kRollupSteps); ++step) {
        Bucket& b = m.steps[step];
        // Both of a meter's rows are written together, with the same marks.
        b.stored = b.open = table_.read_open(device, kRollupSteps[step], b.start_ms, b.sums, marks);
        stored = stored || b.stored;
    }
    // What was stored after the rows were written (up to a minute of rounds; everything since
    // the last commit before a crash) is counted again.
    if (stored)
        for_each_round_after(
            db_, device, marks,
            [&](int64_t t_ms, const uint8_t* record, std::size_t length, int raised) {
                if (record == nullptr) {
                    add_failed(device, t_ms);
                } else {
                    add_record(device, t_ms, record, length, raised);
                }
            });
    return m;
}

RollupWriter::Bucket& RollupWriter::bucket(const std::string& device, std::size_t step,
                                           int64_t t_ms) {
    const int step_s = kRollupSteps[step];
    const int64_t start = floor_to_step(t_ms, step_s * int64_t{1000});
    Meter& m = meter(device);
    m.unwritten = true;
    Bucket& b = m.steps[step];
    if (!b.open) {
        b.open = true;
        b.start_ms = start;
        m.changed = true;
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
        m.changed = true;
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

bool RollupWriter::has_unwritten() const {
    for (const auto& [device, m] : meters_)
        if (m.unwritten) return true;
    return false;
}

void RollupWriter::write(bool all) {
    bool any = false;
    for (auto& [device, m] : meters_) any = any || m.changed || (all && m.unwritten);
    if (!any) return;
    const OpenRollupMarks marks = newest_marks(db_);
    for (auto& [device, m] : meters_) {
        if (!m.changed && !(all && m.unwritten)) continue;
        for (std::size_t step = 0; step < std::size(kRollupSteps); ++step) {
            Bucket& b = m.steps[step];
            if (!b.open) continue;
            table_.write_open(device, kRollupSteps[step], b.start_ms, b.sums, marks, b.stored);
            b.stored = true;
        }
        m.changed = m.unwritten = false;
    }
}

}  // namespace kavren::host
