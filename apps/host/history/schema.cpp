#include "apps/host/history/schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "apps/host/history/record_codec.h"
#include "apps/host/history/rollups.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// Schema 2's records: a row id, two indexes over it, every record whole.
const char* const kRecordsOfSchema2 = R"sql(
CREATE TABLE IF NOT EXISTS records (
    id      INTEGER PRIMARY KEY,
    device  TEXT    NOT NULL,
    data_id INTEGER NOT NULL,
    time    TEXT    NOT NULL,
    origin  TEXT    NOT NULL CHECK (origin IN ('round', 'restore')),
    record  BLOB    NOT NULL,
    t_ms    INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS records_by_device ON records (device, id);
CREATE INDEX IF NOT EXISTS records_by_device_utc ON records (device, t_ms);
)sql";

// The compact records (schema 3 on), made as records_new by an upgrade from 2 and then renamed
// (records_by_meter since schema 5): one b-tree in the order every time-range read wants (a
// meter's rounds by their instant). records_by_id is the order of storing, which MQTT's backfill
// and max_size follow. A record is stored as its difference from a base in record_bases (see
// record_codec.h); its local time text is in the record itself. Schema 4 gave a base the number
// of records it holds (schema 3's hold one).
const char* const kCompactRecords = R"sql(
CREATE TABLE IF NOT EXISTS records_new (
    device  TEXT    NOT NULL,
    t_ms    INTEGER NOT NULL,
    id      INTEGER NOT NULL,
    data_id INTEGER NOT NULL,
    origin  TEXT    NOT NULL CHECK (origin IN ('round', 'restore')),
    base    INTEGER NOT NULL,
    record  BLOB    NOT NULL,
    PRIMARY KEY (device, t_ms, id)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS record_bases (
    id      INTEGER PRIMARY KEY,
    device  TEXT    NOT NULL,
    record  BLOB    NOT NULL,
    records INTEGER NOT NULL DEFAULT 1
);
)sql";

// Schema 5: new rounds go to records_ring first, in the order of storing, so that a commit adds
// to a leaf or two of one b-tree whatever the number of meters (in meter order, every meter's
// rounds are a leaf of their own, each written again by every commit). Once it holds enough
// rounds, all of them move to records_by_meter in one statement, which then writes each meter's
// leaf once for many rounds. The ring's rows are not deleted then, which would free its pages and
// take new ones for the next rounds (each time writing page 1 and a pointer-map page): its slots
// are written over from the first again (a row of another size would move rows between leaves:
// rows are padded to a multiple of a few bytes), and a row counts only while its id is above
// records_moved's, the newest id moved. Every id counted there is above every id in
// records_by_meter. The view `records` is all of them, as schemas 3 and 4 named their table;
// deleting from it deletes the rows from where they are.
const char* const kRecentRecords = R"sql(
CREATE TABLE IF NOT EXISTS records_ring (
    slot    INTEGER PRIMARY KEY,
    id      INTEGER NOT NULL,
    device  TEXT    NOT NULL,
    t_ms    INTEGER NOT NULL,
    data_id INTEGER NOT NULL,
    origin  TEXT    NOT NULL CHECK (origin IN ('round', 'restore')),
    base    INTEGER NOT NULL,
    record  BLOB    NOT NULL,
    pad     BLOB    NOT NULL  -- zeros: a row written over by the next of its size fits in place
);
CREATE TABLE IF NOT EXISTS records_moved (through_id INTEGER NOT NULL);
INSERT INTO records_moved SELECT coalesce((SELECT max(id) FROM records_by_meter), 0)
    WHERE NOT EXISTS (SELECT 1 FROM records_moved);
CREATE VIEW IF NOT EXISTS records_recent AS
    SELECT id, device, t_ms, data_id, origin, base, record, slot FROM records_ring
    WHERE id > (SELECT through_id FROM records_moved);
CREATE VIEW IF NOT EXISTS records AS
    SELECT device, t_ms, id, data_id, origin, base, record FROM records_by_meter UNION ALL
    SELECT device, t_ms, id, data_id, origin, base, record FROM records_recent;
CREATE TRIGGER IF NOT EXISTS records_delete INSTEAD OF DELETE ON records BEGIN
    DELETE FROM records_by_meter WHERE device = old.device AND t_ms = old.t_ms AND id = old.id;
    DELETE FROM records_ring WHERE old.id > (SELECT through_id FROM records_moved) AND
        id = old.id;
END;
)sql";

// Schema 5: the newest ids of records, failed rounds and alarm events an open rollup row has
// counted; the rounds after them are counted again from those tables when the row is read.
const char* const kOpenRollupMarks[] = {"record_id", "failed_id", "alarm_id"};

const char* const kRecordsById =
    "CREATE UNIQUE INDEX IF NOT EXISTS records_by_id ON records_by_meter (id)";

// The tables every schema since 2 has.
const char* const kOtherTables = R"sql(
CREATE TABLE IF NOT EXISTS alarms (
    id          INTEGER PRIMARY KEY,
    device      TEXT    NOT NULL,
    key         TEXT    NOT NULL,
    state       TEXT    NOT NULL CHECK (state IN ('raised', 'cleared')),
    description TEXT    NOT NULL,
    time        TEXT    NOT NULL,
    t_ms        INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (device, key, id);
CREATE INDEX IF NOT EXISTS alarms_by_device_utc ON alarms (device, t_ms);
CREATE TABLE IF NOT EXISTS failed_rounds (
    id     INTEGER PRIMARY KEY,
    device TEXT    NOT NULL,
    t_ms   INTEGER NOT NULL,
    kind   TEXT    NOT NULL
);
CREATE INDEX IF NOT EXISTS failed_rounds_by_device_utc ON failed_rounds (device, t_ms);
CREATE TABLE IF NOT EXISTS rollups (
    device TEXT    NOT NULL,
    step_s INTEGER NOT NULL CHECK (step_s IN (60, 3600)),
    t_ms   INTEGER NOT NULL,
    rounds INTEGER NOT NULL,
    failed INTEGER NOT NULL,
    alarms INTEGER NOT NULL,
    stats  BLOB,
    PRIMARY KEY (device, step_s, t_ms)
) WITHOUT ROWID;
-- Each meter's current minute and hour; a bucket moves to rollups once the meter's rounds reach
-- the next one.
CREATE TABLE IF NOT EXISTS rollups_open (
    device TEXT    NOT NULL,
    step_s INTEGER NOT NULL CHECK (step_s IN (60, 3600)),
    t_ms   INTEGER NOT NULL,
    rounds INTEGER NOT NULL,
    failed INTEGER NOT NULL,
    alarms INTEGER NOT NULL,
    stats  BLOB,
    PRIMARY KEY (device, step_s)
) WITHOUT ROWID;
-- Where retention removed rows: a tier ('raw', 'minute', 'hour') may lack rows before t_ms.
CREATE TABLE IF NOT EXISTS purged_before (
    device TEXT    NOT NULL,
    tier   TEXT    NOT NULL CHECK (tier IN ('raw', 'minute', 'hour')),
    t_ms   INTEGER NOT NULL,
    PRIMARY KEY (device, tier)
) WITHOUT ROWID;
)sql";

// The columns of our two first tables in schema 1; schema 2 adds t_ms to each.
const std::vector<std::string> kRecordColumns = {"id",   "device", "data_id",
                                                 "time", "origin", "record"};
const std::vector<std::string> kAlarmColumns = {"id",    "device",      "key",
                                                "state", "description", "time"};
// The compact records' columns.
const std::vector<std::string> kCompactRecordColumns = {"device", "t_ms", "id",    "data_id",
                                                        "origin", "base", "record"};
// Rows converted per transaction.
constexpr std::size_t kChunkRows = 50000;
constexpr auto kProgressEvery = std::chrono::seconds(2);

std::vector<std::string> columns_of(sqlite3* db, const char* table) {
    SqliteQuery info(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    std::vector<std::string> names;
    while (info.step()) names.push_back(info.column_text(1));
    return names;
}

// 0: no such table; 1: the schema 1 columns; 2: those and t_ms; 3: `third`. Throws for
// anything else.
int table_shape(sqlite3* db, const char* table, const std::vector<std::string>& first,
                const std::vector<std::string>& third = {}) {
    std::vector<std::string> names = columns_of(db, table);
    if (names.empty()) return 0;
    if (names == first) return 1;
    std::vector<std::string> second = first;
    second.push_back("t_ms");
    if (names == second) return 2;
    if (!third.empty() && names == third) return 3;
    throw std::runtime_error(std::string("its ") + table + " table is not ours");
}

int64_t count_rows(sqlite3* db, const char* table) {
    SqliteQuery q(db, (std::string("SELECT count(*) FROM ") + table).c_str());
    return q.step() ? q.column_int64(0) : 0;
}

void make_tables_of_schema_2(sqlite3* db) {
    sqlite_exec(db, kRecordsOfSchema2);
    sqlite_exec(db, kOtherTables);
}

// Progress lines of an upgrade, a few seconds apart.
class Progress {
  public:
    Progress(const std::function<void(const std::string&)>& log, std::string path, int64_t total)
        : log_(log), path_(std::move(path)), total_(total) {}
    void advance(const char* what, int64_t rows) {
        done_ += rows;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < kProgressEvery) return;
        last_ = now;
        char line[160];
        std::snprintf(line, sizeof line, ": upgrading, %s: %lld of %lld rows (%.0f %%)", what,
                      static_cast<long long>(done_), static_cast<long long>(total_),
                      total_ > 0 ? 100.0 * static_cast<double>(done_) / total_ : 100.0);
        log_("history " + path_ + line);
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

  private:
    const std::function<void(const std::string&)>& log_;
    std::string path_;
    int64_t total_;
    int64_t done_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_ = started_;
};

// The instant of every row of `table` from its local time text, in transactions of kChunkRows.
// Returns the rows whose text could not be read (they take the instant of the meter's row
// before, or 0).
int64_t convert_times(sqlite3* db, const char* table, Progress& progress) {
    StoredLocalTimes reader;
    std::map<std::string, int64_t> last;
    int64_t unreadable = 0, after_id = 0;
    struct Row {
        int64_t id, ms;
    };
    std::vector<Row> rows;
    const std::string table_name = table;
    SqliteQuery select(
        db, ("SELECT id, device, time FROM " + table_name + " WHERE id > ? ORDER BY id LIMIT ?")
                .c_str());
    for (;;) {
        rows.clear();
        select.reset();
        select.integer(1, after_id);
        select.integer(2, static_cast<int64_t>(kChunkRows));
        while (select.step()) {
            const std::string device = select.column_text(1);
            int64_t ms = 0;
            if (reader.read(device, select.column_text(2), ms)) {
                last[device] = ms;
            } else {
                ++unreadable;
                ms = last[device];
            }
            rows.push_back({select.column_int64(0), ms});
        }
        select.reset();
        if (rows.empty()) return unreadable;
        SqliteTransaction transaction(db);
        SqliteQuery update(db, ("UPDATE " + table_name + " SET t_ms = ? WHERE id = ?").c_str());
        for (const Row& row : rows) {
            update.integer(1, row.ms);
            update.integer(2, row.id);
            update.run();
        }
        transaction.commit();
        after_id = rows.back().id;
        progress.advance("times in UTC", static_cast<int64_t>(rows.size()));
    }
}

// The rollups of every polled round and alarm raise, in one pass over the rounds (inside the
// caller's transaction). Rounds that failed were not stored by schema 1: its rollups count none.
void backfill_rollups(sqlite3* db, Progress& progress) {
    sqlite_exec(db, "DELETE FROM rollups; DELETE FROM rollups_open");
    RollupTable table(db);
    constexpr std::size_t kSteps = std::size(kRollupSteps);
    struct Open {
        int64_t start = 0;
        Rollup sums;
    };
    Open open[kSteps];
    std::string device;
    const auto flush = [&](std::size_t k) {
        if (open[k].sums.rounds > 0)
            table.write(device, kRollupSteps[k], open[k].start, open[k].sums);
        open[k].sums.clear();
    };
    SqliteQuery rounds(db,
                       "SELECT device, t_ms, record FROM records WHERE origin = 'round' "
                       "ORDER BY device, t_ms");
    int64_t seen = 0;
    while (rounds.step()) {
        const std::string next = rounds.column_text(0);
        const int64_t t_ms = rounds.column_int64(1);
        for (std::size_t k = 0; k < kSteps; ++k) {
            const int64_t bucket = floor_to_step(t_ms, kRollupSteps[k] * int64_t{1000});
            if (next == device && bucket == open[k].start) continue;
            flush(k);
            open[k].start = bucket;
        }
        device = next;
        sqlite3_stmt* s = rounds.get();
        const auto* record = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
        const auto length = static_cast<std::size_t>(sqlite3_column_bytes(s, 2));
        for (Open& o : open) o.sums.add_record(record, length);
        if (++seen % 10000 == 0) progress.advance("rollups", 10000);
    }
    for (std::size_t k = 0; k < kSteps; ++k) flush(k);
    progress.advance("rollups", seen % 10000);
    SqliteQuery raises(db, "SELECT device, t_ms FROM alarms WHERE state = 'raised'");
    while (raises.step()) {
        for (const int step_s : kRollupSteps) {
            Rollup stored;
            const std::string name = raises.column_text(0);
            const int64_t bucket = floor_to_step(raises.column_int64(1), step_s * int64_t{1000});
            table.read(name, step_s, bucket, stored);
            ++stored.alarms;
            table.write(name, step_s, bucket, stored);
        }
    }
}

bool is_table(sqlite3* db, const char* name) {
    SqliteQuery q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.text(1, name);
    return q.step();
}

// The marks of the open rollup rows of a history being upgraded, as having counted every row
// stored so far in `records` and the other tables (inside the caller's transaction).
void add_open_rollup_marks(sqlite3* db, const char* records) {
    const std::vector<std::string> columns = columns_of(db, "rollups_open");
    if (std::find(columns.begin(), columns.end(), kOpenRollupMarks[0]) == columns.end())
        for (const char* mark : kOpenRollupMarks)
            sqlite_exec(db, (std::string("ALTER TABLE rollups_open ADD COLUMN ") + mark +
                             " INTEGER NOT NULL DEFAULT 0")
                                .c_str());
    // Set whether the columns were there or not: an upgrade to 2 cut short and finished by an
    // older host left them at 0, which would count a meter's whole history again.
    sqlite_exec(db, (std::string("UPDATE rollups_open SET record_id = (SELECT coalesce(max(id), "
                                 "0) FROM ") +
                     records +
                     "), failed_id = (SELECT coalesce(max(id), 0) FROM failed_rounds), alarm_id "
                     "= (SELECT coalesce(max(id), 0) FROM alarms)")
                        .c_str());
}

// What schema 5 adds to a history of compact records (inside the caller's transaction): schema
// 4's records table becomes records_by_meter under the view, and the open rollup rows get their
// marks.
void make_schema_5_parts(sqlite3* db) {
    if (is_table(db, "records")) sqlite_exec(db, "ALTER TABLE records RENAME TO records_by_meter");
    sqlite_exec(db, kRecentRecords);
    add_open_rollup_marks(db, "records_by_meter");
    sqlite_exec(db, ("PRAGMA user_version = " + std::to_string(kHistorySchema)).c_str());
}

}  // namespace

void rethrow_as_unusable(const std::string& path) {
    try {
        throw;
    } catch (const NewerHistory& e) {
        throw std::runtime_error("history " + path + ": " + e.what());
    } catch (const std::exception& e) {
        throw std::runtime_error("history " + path + " is not usable: " + e.what());
    }
}

int history_schema(sqlite3* db) {
    SqliteQuery version(db, "PRAGMA user_version");
    const int64_t stored = version.step() ? version.column_int64(0) : 0;
    if (stored > kHistorySchema)
        throw NewerHistory("it was written by a newer kavren-host (history schema " +
                           std::to_string(stored) + "; this one knows schemas up to " +
                           std::to_string(kHistorySchema) + ") and is left as it is");
    const int records = table_shape(db, "records", kRecordColumns, kCompactRecordColumns);
    const int alarms = table_shape(db, "alarms", kAlarmColumns);
    if (records == 0 && alarms == 0) return 0;
    if (stored >= 2 && stored <= kHistorySchema) {
        // An upgrade to compact records that was cut short left schema 2's tables as they were.
        if (records != std::min<int64_t>(stored, 3) || alarms != 2)
            throw std::runtime_error("its tables are not those of history schema " +
                                     std::to_string(stored));
        return static_cast<int>(stored);
    }
    if (stored != 0)
        throw std::runtime_error("its schema version " + std::to_string(stored) +
                                 " is not one kavren-host ever wrote");
    return 1;
}

void check_before_upgrade(sqlite3* db) {
    // The first problem found is enough to refuse it.
    SqliteQuery check(db, "PRAGMA quick_check(1)");
    std::string found = check.step() ? check.column_text(0) : std::string("no answer");
    if (found == "ok") return;
    // "*** in database main ***\nPage 2: ...": its last line names the problem.
    found = found.substr(found.rfind('\n') + 1);
    throw std::runtime_error("it is damaged (" + found +
                             ") and is left as it is; the sqlite3 shell's .recover may rescue "
                             "its rows into a new file");
}

namespace {

void upgrade_history_to_2(sqlite3* db, const std::string& path,
                          const std::function<void(const std::string&)>& log) {
    const int64_t records = count_rows(db, "records"), alarms = count_rows(db, "alarms");
    log("history " + path +
        ": upgrading to history schema 2 (instants in UTC, per-minute and per-hour rollups): " +
        std::to_string(records) + " records and " + std::to_string(alarms) + " alarm events");
    Progress progress(log, path, 2 * records + alarms);  // times, then rollups
    {
        SqliteTransaction transaction(db);
        bool missing = false;
        for (const char* table : {"records", "alarms"}) {
            const std::vector<std::string> columns = columns_of(db, table);
            missing = missing || columns.empty();
            if (!columns.empty() && columns.back() != "t_ms")
                sqlite_exec(db, (std::string("ALTER TABLE ") + table +
                                 " ADD COLUMN t_ms INTEGER NOT NULL DEFAULT 0")
                                    .c_str());
        }
        // The indexes come after the conversion, which is quicker without them; a table that was
        // never made is made now.
        if (missing) make_tables_of_schema_2(db);
        transaction.commit();
    }
    int64_t unreadable = convert_times(db, "records", progress);
    unreadable += convert_times(db, "alarms", progress);
    SqliteTransaction transaction(db);
    sqlite_exec(db, "DROP INDEX IF EXISTS records_by_device_time");
    make_tables_of_schema_2(db);
    add_open_rollup_marks(db, "records");
    backfill_rollups(db, progress);
    sqlite_exec(db, "PRAGMA user_version = 2");
    transaction.commit();
    char done[96];
    std::snprintf(done, sizeof done, ": upgraded in %.1f s", progress.seconds());
    std::string line = "history " + path + done;
    if (unreadable > 0)
        line += "; " + std::to_string(unreadable) +
                " rows had a time that is not YYYY-MM-DD HH:MM:SS and took the instant of their "
                "meter's row before";
    log(line);
}

// Schema 2's records into records_new, each encoded against its meter's base, in order of
// storing and in transactions of kChunkRows.
void compact_records(sqlite3* db, Progress& progress) {
    RecordBases bases(db);
    SqliteQuery select(db,
                       "SELECT id, device, data_id, origin, record, t_ms FROM records WHERE id > ? "
                       "ORDER BY id LIMIT ?");
    SqliteQuery insert(db,
                       "INSERT INTO records_new (device, t_ms, id, data_id, origin, base, record) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?)");
    std::string encoded;
    for (int64_t after = 0;;) {
        SqliteTransaction transaction(db);
        select.reset();
        select.integer(1, after);
        select.integer(2, static_cast<int64_t>(kChunkRows));
        int64_t rows = 0;
        while (select.step()) {
            sqlite3_stmt* s = select.get();
            const std::string device = select.column_text(1);
            const auto* record = static_cast<const uint8_t*>(sqlite3_column_blob(s, 4));
            const auto length = static_cast<std::size_t>(sqlite3_column_bytes(s, 4));
            const int64_t base = bases.encode(device, record, length, encoded);
            after = select.column_int64(0);
            insert.text(1, device);
            insert.integer(2, select.column_int64(5));
            insert.integer(3, after);
            insert.integer(4, select.column_int64(2));
            insert.text(5, select.column_text(3));
            insert.integer(6, base);
            insert.blob(7, encoded.data(), encoded.size());
            insert.run();
            ++rows;
        }
        select.reset();
        transaction.commit();
        if (rows == 0) return;
        progress.advance("compact records", rows);
    }
}

void upgrade_history_to_compact(sqlite3* db, const std::string& path,
                                const std::function<void(const std::string&)>& log) {
    const int64_t records = count_rows(db, "records");
    log("history " + path + ": upgrading to history schema " + std::to_string(kHistorySchema) +
        " (compact records, in one b-tree by meter and instant): " + std::to_string(records) +
        " records");
    Progress progress(log, path, records);
    {
        // What an upgrade cut short made is made again from the start; schema 2's records were
        // left as they were.
        SqliteTransaction transaction(db);
        sqlite_exec(db, "DROP TABLE IF EXISTS records_new; DROP TABLE IF EXISTS record_bases");
        sqlite_exec(db, kCompactRecords);
        transaction.commit();
    }
    compact_records(db, progress);
    {
        SqliteTransaction transaction(db);
        sqlite_exec(db, "DROP TABLE records; ALTER TABLE records_new RENAME TO records_by_meter");
        sqlite_exec(db, kRecordsById);
        make_schema_5_parts(db);
        transaction.commit();
    }
    // The old records' pages go back to the file system where the file allows it.
    SqliteQuery vacuum(db, "PRAGMA incremental_vacuum");
    while (vacuum.step()) {
    }
    char done[96];
    std::snprintf(done, sizeof done, ": upgraded in %.1f s", progress.seconds());
    log("history " + path + done);
}

}  // namespace

void make_history_tables(sqlite3* db) {
    sqlite_exec(db, kCompactRecords);
    sqlite_exec(db, "ALTER TABLE records_new RENAME TO records_by_meter");
    sqlite_exec(db, kRecordsById);
    sqlite_exec(db, kOtherTables);
    make_schema_5_parts(db);
}

void upgrade_history(sqlite3* db, const std::string& path,
                     const std::function<void(const std::string&)>& log) {
    int schema = history_schema(db);
    if (schema == 1) {
        upgrade_history_to_2(db, path, log);
        schema = 2;
    }
    if (schema == 2) {
        upgrade_history_to_compact(db, path, log);
    } else {
        // Its records stay as they are: schema 3's bases hold one record each.
        SqliteTransaction transaction(db);
        if (schema == 3)
            sqlite_exec(db,
                        "ALTER TABLE record_bases ADD COLUMN records INTEGER NOT NULL DEFAULT 1");
        make_schema_5_parts(db);
        transaction.commit();
        log("history " + path + ": upgraded to history schema " + std::to_string(kHistorySchema) +
            " (bases of several records, new rounds in the order of storing)");
    }
}

}  // namespace kavren::host
