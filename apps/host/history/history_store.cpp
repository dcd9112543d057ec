#include "apps/host/history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "apps/host/history/schema.h"
#include "apps/host/support/sqlite_query.h"

namespace kavren::host {

namespace {

// What consumers outside the host acknowledged, and texts kept for them. Made only when such a
// consumer is configured; a history without these tables is still ours.
const char* const kDeliverySchema = R"sql(
CREATE TABLE IF NOT EXISTS deliveries (
    consumer TEXT    NOT NULL,
    device   TEXT    NOT NULL,
    acked_id INTEGER NOT NULL,
    PRIMARY KEY (consumer, device)
);
CREATE TABLE IF NOT EXISTS remembered_texts (
    kind TEXT NOT NULL,
    key  TEXT NOT NULL,
    text TEXT NOT NULL,
    PRIMARY KEY (kind, key)
);
)sql";

// How long one statement waits for another program's lock before it fails with "database is
// locked"; the history's writer then logs it and tries again.
constexpr auto kLockWait = std::chrono::milliseconds(2000);
constexpr auto kLockPoll = std::chrono::milliseconds(5);
// The write-ahead log's bound without a max_size: a little over the 1000 pages at which SQLite
// checkpoints by itself.
constexpr uint64_t kLogBound = 6 * 1024 * 1024;

void bind_text(sqlite3_stmt* s, int i, const std::string& text) {
    sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int HistoryStore::on_busy(void* context, int attempts) {
    const auto* store = static_cast<const HistoryStore*>(context);
    if (!store->wait_for_locks_ || (store->give_up_ && store->give_up_())) return 0;
    if (attempts * kLockPoll >= kLockWait) return 0;
    std::this_thread::sleep_for(kLockPoll);
    return 1;
}

int HistoryStore::on_commit(void* context, sqlite3* db, const char* name, int frames) {
    auto* store = static_cast<HistoryStore*>(context);
    // Pages written to the log since the last commit, counted anew from here on: this commit's,
    // and those of a transaction rolled back after it spilled pages into the log, which take
    // the log's room all the same.
    int written = 0, highest = 0;
    sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &written, &highest, 1);
    store->last_commit_frames_ = static_cast<uint64_t>(std::max(written, 0));
    store->largest_commit_frames_ =
        std::max(store->largest_commit_frames_, store->last_commit_frames_);
    // What SQLite's automatic checkpoint does, which a hook of our own replaces.
    if (frames >= store->checkpoint_frames_) sqlite3_wal_checkpoint(db, name);
    return SQLITE_OK;
}

HistoryStore::HistoryStore(const std::string& path) : path_(path) {
    if (path.empty()) throw std::runtime_error("the history file name is empty");
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) {
        // A new history: made by prepare(), in a folder we can write.
        const std::string folder = folder_of(path);
        if (access(folder.c_str(), W_OK | X_OK) != 0)
            throw std::runtime_error("cannot make history " + path + ": folder " + folder +
                                     " is missing or not writable");
        return;
    }
    if (!S_ISREG(file.st_mode)) throw std::runtime_error("history " + path + " is not a file");
    if (access(path.c_str(), R_OK | W_OK) != 0)
        throw std::runtime_error("history " + path + " is not writable");
    const std::string folder = folder_of(path);
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        throw std::runtime_error("history " + path + ": its folder " + folder +
                                 " is not writable (SQLite keeps its write-ahead log there)");
    claim_ = std::make_unique<HistoryClaim>(path);
    open(SQLITE_OPEN_READWRITE);
    if (sqlite3_db_readonly(db_, "main") == 1) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("history " + path + " is read-only");
    }
    try {
        // Reading the schema also tells a file that is no database from one that is.
        history_schema(db_);
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        rethrow_as_unusable(path);
    }
}

HistoryStore::~HistoryStore() {
    bases_.reset();
    sqlite3_finalize(insert_record_);
    sqlite3_finalize(newest_id_);
    sqlite3_finalize(insert_alarm_);
    sqlite3_finalize(insert_failure_);
    sqlite3_finalize(move_recent_);
    sqlite3_finalize(mark_moved_);
    release_record_functions(functions_);
    sqlite3_close(db_);
}

void HistoryStore::open(int flags) {
    if (sqlite3_open_v2(path_.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open history " + path_ + ": " + why);
    }
    sqlite3_busy_handler(db_, on_busy, this);
    sqlite3_extended_result_codes(db_, 1);
    functions_ = register_record_functions(db_);
}

void HistoryStore::prepare() {
    if (db_ == nullptr) {
        // Opening makes the file (empty): claimed before anything is written into it.
        open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        claim_ = std::make_unique<HistoryClaim>(path_);
    }
    try {
        // A new file's pages are 2 KiB: a commit writes whole pages into the log (then again at
        // the checkpoint), and a few seconds of rounds fill less than one. Set before anything
        // is read: the first read of a file fixes its page size.
        struct stat before {};
        if (stat(path_.c_str(), &before) == 0 && before.st_size == 0)
            exec(("PRAGMA page_size = " + std::to_string(kPageBytes)).c_str());
        const int schema = history_schema(db_);
        // A new file gives freed pages back to the file system when max_size asks for it:
        // set before its first table, it cannot be set later without rewriting the file.
        if (schema == 0) exec("PRAGMA auto_vacuum = INCREMENTAL");
        // A history to upgrade is read whole first: a damaged one is refused untouched.
        if (schema > 0 && schema < kHistorySchema) check_before_upgrade(db_);
        switch_to_wal();
        // From here on, every commit counts what it wrote into the log.
        int written = 0, highest = 0;
        sqlite3_db_status(db_, SQLITE_DBSTATUS_CACHE_WRITE, &written, &highest, 1);
        sqlite3_wal_hook(db_, on_commit, this);
        exec("PRAGMA synchronous=NORMAL");
        set_log_bound(kLogBound);
        // Deleted rows are not overwritten page by page (Debian's SQLite does by default): the
        // history's purges would write every page they touch twice.
        exec("PRAGMA secure_delete = FAST");
        make_or_upgrade_tables();
        prepare_statements();
        struct stat file {};
        if (stat(path_.c_str(), &file) == 0) {
            identity_known_ = true;
            device_ = static_cast<uint64_t>(file.st_dev);
            inode_ = static_cast<uint64_t>(file.st_ino);
        }
    } catch (...) {
        rethrow_as_unusable(path_);
    }
}

void HistoryStore::prepare_statements() {
    const std::string row = std::to_string(kRingRowBytes);
    insert_record_ = prepared(
        ("INSERT OR REPLACE INTO records_ring (device, data_id, origin, base, record, t_ms, id, "
         "slot, pad) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, zeroblob((" +
         row + " - (length(CAST(?1 AS BLOB)) + length(?5)) % " + row + ") % " + row + "))")
            .c_str());
    newest_id_ = prepared((std::string("SELECT ") + kNewestRecordId).c_str());
    move_recent_ = prepared(
        "INSERT INTO records_by_meter (device, t_ms, id, data_id, origin, base, record) "
        "SELECT device, t_ms, id, data_id, origin, base, record FROM records_recent ORDER BY "
        "device, t_ms, id");
    mark_moved_ = prepared(
        "UPDATE records_moved SET through_id = max(through_id, (SELECT coalesce(max(id), 0) "
        "FROM records_ring))");
    bases_ = std::make_unique<RecordBases>(db_);
    // The meters whose records were removed, for drop_unused_bases(); the connection's own.
    exec(
        "CREATE TEMP TABLE IF NOT EXISTS records_removed (device TEXT PRIMARY KEY) WITHOUT "
        "ROWID; CREATE TEMP TRIGGER IF NOT EXISTS records_removed AFTER DELETE ON "
        "records_by_meter BEGIN INSERT OR IGNORE INTO records_removed VALUES (old.device); "
        "END; CREATE TEMP TRIGGER IF NOT EXISTS records_removed_recent AFTER DELETE ON "
        "records_ring WHEN old.id > (SELECT through_id FROM records_moved) BEGIN INSERT OR "
        "IGNORE INTO records_removed VALUES (old.device); END");
    insert_alarm_ = prepared(
        "INSERT INTO alarms (device, key, state, description, time, t_ms) "
        "VALUES (?, ?, ?, ?, ?, ?)");
    insert_failure_ = prepared("INSERT INTO failed_rounds (device, t_ms, kind) VALUES (?, ?, ?)");
}

// Another program (the sqlite3 shell, a reader) may hold SQLite's locks meanwhile: the switch to
// WAL and the tables are made under them, waiting for it. A history that has both already needs
// no write, so another program's lock does not stop a start.
void HistoryStore::switch_to_wal() {
    if (journal_mode() == "wal") return;
    const auto deadline = std::chrono::steady_clock::now() + 5 * kLockWait;
    for (;;) {
        const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK && journal_mode() == "wal") return;
        if ((rc != SQLITE_OK && (rc & 0xFF) != SQLITE_BUSY) ||
            std::chrono::steady_clock::now() > deadline || (give_up_ && give_up_()))
            fail("cannot switch to write-ahead logging");
        std::this_thread::sleep_for(kLockPoll);
    }
}

void HistoryStore::make_or_upgrade_tables() {
    int schema = history_schema(db_);
    if (schema == 0) {
        exec("BEGIN IMMEDIATE");
        try {
            // Under the write lock: another host may have made them meanwhile.
            if (history_schema(db_) == 0) make_history_tables(db_);
            exec("COMMIT");
        } catch (...) {
            rollback();
            throw;
        }
        schema = history_schema(db_);
    }
    if (schema > 0 && schema < kHistorySchema) {
        upgrade_history(
            db_, path_, log_ ? log_ : [](const std::string&) {});
        schema = history_schema(db_);
    }
    if (schema != kHistorySchema) throw std::runtime_error("its upgrade did not complete");
}

std::string HistoryStore::journal_mode() {
    SqliteQuery q(db_, "PRAGMA journal_mode");
    return q.step() ? q.column_text(0) : std::string();
}

sqlite3_stmt* HistoryStore::prepared(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db_));
    return statement;
}

void HistoryStore::exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail("");
}

void HistoryStore::fail(const std::string& what) {
    std::string why = (what.empty() ? "" : what + ": ") + sqlite3_errmsg(db_);
    // "disk I/O error" alone does not say that the disk is full or the file at its size limit.
    const int system_error = sqlite3_system_errno(db_);
    if (system_error != 0 && (sqlite3_errcode(db_) & 0xFF) == SQLITE_IOERR) {
        why += std::string(" (") + std::strerror(system_error) + ")";
    } else if (sqlite3_extended_errcode(db_) == SQLITE_IOERR_WRITE) {
        // A short write, which leaves no errno: a full disk or the file-size limit.
        why += " (a write was cut short: the disk is full or the file at its size limit)";
    }
    if ((sqlite3_errcode(db_) & 0xFF) == SQLITE_BUSY) throw HistoryBusy(why);
    throw std::runtime_error(why);
}

void HistoryStore::begin() {
    exec("BEGIN IMMEDIATE");
    records_in_transaction_ = 0;
}
bool HistoryStore::try_begin() {
    wait_for_locks_ = false;
    const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    wait_for_locks_ = true;
    if ((rc & 0xFF) == SQLITE_BUSY) return false;
    if (rc != SQLITE_OK) fail("");
    records_in_transaction_ = 0;
    return true;
}

void HistoryStore::commit() {
    exec("COMMIT");
    records_stored_ += records_in_transaction_;
    records_in_transaction_ = 0;
    trim_log();
}

bool HistoryStore::still_at_its_path() const {
    if (!identity_known_) return true;
    struct stat file {};
    return stat(path_.c_str(), &file) == 0 && static_cast<uint64_t>(file.st_dev) == device_ &&
           static_cast<uint64_t>(file.st_ino) == inode_;
}

void HistoryStore::set_log_bound(uint64_t bytes) {
    log_bound_ = bytes;
    exec(("PRAGMA journal_size_limit = " + std::to_string(bytes)).c_str());
}

void HistoryStore::trim_log() {
    const auto now = std::chrono::steady_clock::now();
    if (log_bound_ == 0 || now < next_log_check_) return;
    next_log_check_ = now + std::chrono::seconds(1);
    struct stat log {};
    if (stat((path_ + "-wal").c_str(), &log) != 0 ||
        static_cast<uint64_t>(log.st_size) <= log_bound_)
        return;
    // A reader still on old pages makes this a passive checkpoint, and SQLITE_BUSY: no wait.
    const bool waiting = wait_for_locks_;
    wait_for_locks_ = false;
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    wait_for_locks_ = waiting;
}
void HistoryStore::rollback() noexcept {
    records_in_transaction_ = 0;
    recent_rows_ = 0;
    recent_meters_.clear();
    recent_counted_ = false;
    // The bases written in the transaction go with it; a read between would keep one.
    if (bases_) bases_->forget();
    if (db_ != nullptr && !sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    forget_bases(functions_);
}

int64_t HistoryStore::save_record(const std::string& device, uint32_t data_id,
                                  const std::string& /*time: the record's own stamp*/,
                                  const uint8_t* record, std::size_t length, const char* origin,
                                  int64_t t_ms, int64_t id) {
    int64_t base = 0;
    try {
        base = bases_->encode(device, record, length, encoded_);
    } catch (const std::exception&) {
        fail("cannot store a record");
    }
    sqlite3_stmt* s = insert_record_;
    sqlite3_reset(s);
    bind_text(s, 1, device);
    sqlite3_bind_int64(s, 2, data_id);
    sqlite3_bind_text(s, 3, origin, -1, SQLITE_STATIC);
    sqlite3_bind_int64(s, 4, base);
    sqlite3_bind_blob(s, 5, encoded_.data(), static_cast<int>(encoded_.size()), SQLITE_STATIC);
    sqlite3_bind_int64(s, 6, t_ms);
    if (!recent_counted_) count_recent();
    if (id <= 0) id = newest_id_given_ + 1;  // the next free id, as a row id would be given
    sqlite3_bind_int64(s, 7, id);
    sqlite3_bind_int64(s, 8, static_cast<int64_t>(next_slot_));
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail("cannot store a record");
    ++records_in_transaction_;
    newest_id_given_ = std::max(newest_id_given_, id);
    ++next_slot_;
    ++recent_rows_;
    if (recent_meters_.find(device) == recent_meters_.end()) recent_meters_.insert(device);
    // Each meter's rounds move in blocks: its leaf in meter order is written once per block. A
    // commit of many rounds moves them as they come, so that the table never grows past a block.
    if (recent_rows_ >= std::min(kRecentRoundsPerMeter * recent_meters_.size(), kMostRecentRounds))
        move_recent();
    return id;
}

void HistoryStore::save_alarm(const std::string& device, const std::string& key, bool raised,
                              const std::string& description, const std::string& time,
                              int64_t t_ms) {
    sqlite3_stmt* s = insert_alarm_;
    sqlite3_reset(s);
    bind_text(s, 1, device);
    bind_text(s, 2, key);
    sqlite3_bind_text(s, 3, raised ? "raised" : "cleared", -1, SQLITE_STATIC);
    bind_text(s, 4, description);
    bind_text(s, 5, time);
    sqlite3_bind_int64(s, 6, t_ms);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail("cannot store an alarm");
}

void HistoryStore::save_failed_round(const std::string& device, int64_t t_ms, const char* kind) {
    sqlite3_stmt* s = insert_failure_;
    sqlite3_reset(s);
    bind_text(s, 1, device);
    sqlite3_bind_int64(s, 2, t_ms);
    sqlite3_bind_text(s, 3, kind, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) fail("cannot store a failed round");
}

std::optional<HistoryStore::StoredRecord> HistoryStore::newest_record(const std::string& device) {
    SqliteQuery q(db_,
                  "SELECT data_id, record_bytes(base, record), t_ms, id FROM records_by_meter "
                  "INDEXED BY records_by_id WHERE device = ?1 UNION ALL SELECT data_id, "
                  "record_bytes(base, record), t_ms, id FROM records_recent WHERE device = ?1 "
                  "ORDER BY 4 DESC LIMIT 1");
    q.text(1, device);
    if (!q.step()) return std::nullopt;
    StoredRecord found;
    found.data_id = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0));
    found.t_ms = sqlite3_column_int64(q.get(), 2);
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 1));
    const int length = sqlite3_column_bytes(q.get(), 1);
    if (bytes != nullptr && length > 0) found.bytes.assign(bytes, bytes + length);
    return found;
}

long HistoryStore::record_count(const std::string& device) {
    SqliteQuery q(db_, "SELECT count(*) FROM records WHERE device = ?");
    q.text(1, device);
    return q.step() ? static_cast<long>(sqlite3_column_int64(q.get(), 0)) : 0;
}

std::map<std::string, AlarmBook::Alarm> HistoryStore::active_alarms(const std::string& device) {
    SqliteQuery q(db_,
                  "SELECT key, state, description, time, t_ms FROM alarms WHERE id IN "
                  "(SELECT max(id) FROM alarms WHERE device = ? GROUP BY key)");
    q.text(1, device);
    std::map<std::string, AlarmBook::Alarm> active;
    while (q.step()) {
        if (q.column_text(1) == "raised")
            active[q.column_text(0)] = AlarmBook::Alarm{q.column_text(2), q.column_text(3),
                                                        sqlite3_column_int64(q.get(), 4)};
    }
    return active;
}

bool HistoryStore::has_deliveries() {
    SqliteQuery q(
        db_,
        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('deliveries', "
        "'remembered_texts')");
    return q.step() && sqlite3_column_int(q.get(), 0) == 2;
}

void HistoryStore::prepare_deliveries() {
    if (has_deliveries()) return;
    exec("BEGIN IMMEDIATE");
    try {
        exec(kDeliverySchema);
        exec("COMMIT");
    } catch (...) {
        rollback();
        throw;
    }
}

std::map<std::string, int64_t> HistoryStore::acknowledged(const std::string& consumer) {
    std::map<std::string, int64_t> marks;
    if (!has_deliveries()) return marks;
    SqliteQuery q(db_, "SELECT device, acked_id FROM deliveries WHERE consumer = ?");
    q.text(1, consumer);
    while (q.step()) marks[q.column_text(0)] = sqlite3_column_int64(q.get(), 1);
    return marks;
}

void HistoryStore::set_acknowledged(const std::string& consumer, const std::string& device,
                                    int64_t id) {
    SqliteQuery q(db_,
                  "INSERT INTO deliveries (consumer, device, acked_id) VALUES (?, ?, ?) "
                  "ON CONFLICT (consumer, device) DO UPDATE SET acked_id = excluded.acked_id");
    q.text(1, consumer);
    q.text(2, device);
    sqlite3_bind_int64(q.get(), 3, id);
    if (sqlite3_step(q.get()) != SQLITE_DONE) fail("cannot store an acknowledgement");
}

int64_t HistoryStore::newest_id(const std::string& device) {
    // Back from the newest id to the meter's: a few steps for a meter that is polled.
    SqliteQuery q(db_,
                  "SELECT coalesce((SELECT max(id) FROM records_recent WHERE device = ?1), (SELECT "
                  "id FROM records_by_meter INDEXED BY records_by_id WHERE device = ?1 ORDER BY id "
                  "DESC LIMIT 1), 0)");
    q.text(1, device);
    return q.step() ? sqlite3_column_int64(q.get(), 0) : 0;
}

std::map<std::string, int64_t> HistoryStore::newest_ids() {
    // The recent rounds read once; then meter order skipped through from name to name (a few
    // lookups per meter), the newest of a meter without recent rounds read back by id.
    std::map<std::string, int64_t> ids;
    SqliteQuery recent(db_, "SELECT device, max(id) FROM records_recent GROUP BY device");
    while (recent.step()) ids[recent.column_text(0)] = recent.column_int64(1);
    SqliteQuery next(db_, "SELECT min(device) FROM records_by_meter WHERE device > ?");
    SqliteQuery newest(db_,
                       "SELECT id FROM records_by_meter INDEXED BY records_by_id WHERE device = ? "
                       "ORDER BY id DESC LIMIT 1");
    std::string last;
    for (;;) {
        next.reset();
        next.text(1, last);
        if (!next.step() || sqlite3_column_type(next.get(), 0) == SQLITE_NULL) break;
        last = next.column_text(0);
        if (ids.count(last) > 0) continue;
        newest.reset();
        newest.text(1, last);
        ids[last] = newest.step() ? newest.column_int64(0) : 0;
    }
    return ids;
}

std::vector<HistoryStore::PolledRecord> HistoryStore::polled_after(const std::string& device,
                                                                   int64_t after_id, int limit) {
    SqliteQuery q(db_,
                  "SELECT id, record_bytes(base, record), t_ms FROM records_by_meter INDEXED BY "
                  "records_by_id WHERE device = ?1 AND id > ?2 AND origin = 'round' UNION ALL "
                  "SELECT id, record_bytes(base, record), t_ms FROM records_recent WHERE device = "
                  "?1 AND id > ?2 AND origin = 'round' ORDER BY 1 LIMIT ?3");
    q.text(1, device);
    sqlite3_bind_int64(q.get(), 2, after_id);
    sqlite3_bind_int(q.get(), 3, limit);
    std::vector<PolledRecord> rows;
    while (q.step()) {
        PolledRecord row;
        row.id = sqlite3_column_int64(q.get(), 0);
        row.t_ms = sqlite3_column_int64(q.get(), 2);
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 1));
        const int length = sqlite3_column_bytes(q.get(), 1);
        if (bytes != nullptr && length > 0) row.bytes.assign(bytes, bytes + length);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::pair<std::string, std::string>> HistoryStore::remembered(const std::string& kind) {
    std::vector<std::pair<std::string, std::string>> rows;
    if (!has_deliveries()) return rows;
    SqliteQuery q(db_, "SELECT key, text FROM remembered_texts WHERE kind = ? ORDER BY key");
    q.text(1, kind);
    while (q.step()) rows.emplace_back(q.column_text(0), q.column_text(1));
    return rows;
}

void HistoryStore::remember(const std::string& kind, const std::string& key,
                            const std::string& text) {
    SqliteQuery q(db_,
                  "INSERT OR REPLACE INTO remembered_texts (kind, key, text) VALUES (?, ?, ?)");
    q.text(1, kind);
    q.text(2, key);
    q.text(3, text);
    if (sqlite3_step(q.get()) != SQLITE_DONE) fail("cannot store a text");
}

void HistoryStore::forget(const std::string& kind, const std::string& key) {
    SqliteQuery q(db_, "DELETE FROM remembered_texts WHERE kind = ? AND key = ?");
    q.text(1, kind);
    q.text(2, key);
    if (sqlite3_step(q.get()) != SQLITE_DONE) fail("cannot forget a text");
}

void HistoryStore::drop_unused_bases() {
    // A meter's records use its bases in the order they were stored: those older than the base
    // of its oldest record are used by none. Only meters whose records were removed are looked
    // at: their oldest record is near the start of the order of storing, which is read from its
    // start; the bases are read by id, only those older than that one.
    exec(
        "DELETE FROM record_bases WHERE device IN (SELECT device FROM temp.records_removed) AND "
        "id < coalesce((SELECT r.base FROM records_by_meter AS r INDEXED BY records_by_id WHERE "
        "r.device = record_bases.device ORDER BY r.id LIMIT 1), (SELECT r.base FROM "
        "records_recent AS r WHERE r.device = record_bases.device ORDER BY r.id LIMIT 1)); "
        "DELETE FROM temp.records_removed");
}

int64_t HistoryStore::max_record_id() {
    sqlite3_reset(newest_id_);
    const int64_t id =
        sqlite3_step(newest_id_) == SQLITE_ROW ? sqlite3_column_int64(newest_id_, 0) : 0;
    sqlite3_reset(newest_id_);
    return id;
}

void HistoryStore::count_recent() {
    SqliteQuery q(db_, "SELECT device, count(*), max(slot) FROM records_recent GROUP BY device");
    recent_rows_ = next_slot_ = 0;
    recent_meters_.clear();
    while (q.step()) {
        recent_meters_.insert(q.column_text(0));
        recent_rows_ += static_cast<std::size_t>(q.column_int64(1));
        next_slot_ = std::max(next_slot_, static_cast<std::size_t>(q.column_int64(2)) + 1);
    }
    newest_id_given_ = max_record_id();
    recent_counted_ = true;
}

void HistoryStore::move_recent() {
    for (sqlite3_stmt* s : {move_recent_, mark_moved_}) {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) fail("cannot move the recent records");
    }
    recent_rows_ = next_slot_ = 0;
    recent_meters_.clear();
}

}  // namespace kavren::host
