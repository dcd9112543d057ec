#include "apps/host/history_store.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace kavren::host {

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS records (
    id      INTEGER PRIMARY KEY,
    device  TEXT    NOT NULL,
    data_id INTEGER NOT NULL,
    time    TEXT    NOT NULL,
    origin  TEXT    NOT NULL CHECK (origin IN ('round', 'restore')),
    record  BLOB    NOT NULL
);
CREATE INDEX IF NOT EXISTS records_by_device ON records (device, id);
CREATE TABLE IF NOT EXISTS alarms (
    id          INTEGER PRIMARY KEY,
    device      TEXT    NOT NULL,
    key         TEXT    NOT NULL,
    state       TEXT    NOT NULL CHECK (state IN ('raised', 'cleared')),
    description TEXT    NOT NULL,
    time        TEXT    NOT NULL
);
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (device, key, id);
)sql";

struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &handle, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(handle); }
    void text(int i, const std::string& s) {
        sqlite3_bind_text(handle, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

}  // namespace

HistoryStore::HistoryStore(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open history " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec(kSchema);
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        throw std::runtime_error("history " + path + " is not usable: " + e.what());
    }
}

HistoryStore::~HistoryStore() { sqlite3_close(db_); }

void HistoryStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw std::runtime_error(why);
    }
}

void HistoryStore::save_record(const std::string& device, uint32_t data_id, const std::string& time,
                               const uint8_t* record, std::size_t length, const char* origin) {
    Statement s(
        db_, "INSERT INTO records (device, data_id, time, origin, record) VALUES (?, ?, ?, ?, ?)");
    s.text(1, device);
    sqlite3_bind_int64(s.handle, 2, data_id);
    s.text(3, time);
    s.text(4, origin);
    sqlite3_bind_blob(s.handle, 5, record, static_cast<int>(length), SQLITE_TRANSIENT);
    if (sqlite3_step(s.handle) != SQLITE_DONE)
        throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db_));
}

std::optional<std::vector<uint8_t>> HistoryStore::newest_record(const std::string& device) {
    Statement s(db_, "SELECT record FROM records WHERE device = ? ORDER BY id DESC LIMIT 1");
    s.text(1, device);
    if (sqlite3_step(s.handle) != SQLITE_ROW) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(s.handle, 0));
    const int length = sqlite3_column_bytes(s.handle, 0);
    return std::vector<uint8_t>(bytes, bytes + length);
}

long HistoryStore::record_count(const std::string& device) {
    Statement s(db_, "SELECT count(*) FROM records WHERE device = ?");
    s.text(1, device);
    return sqlite3_step(s.handle) == SQLITE_ROW
               ? static_cast<long>(sqlite3_column_int64(s.handle, 0))
               : 0;
}

void HistoryStore::save_alarm(const std::string& device, const std::string& key, bool raised,
                              const std::string& description, const std::string& time) {
    Statement s(
        db_, "INSERT INTO alarms (device, key, state, description, time) VALUES (?, ?, ?, ?, ?)");
    s.text(1, device);
    s.text(2, key);
    s.text(3, raised ? "raised" : "cleared");
    s.text(4, description);
    s.text(5, time);
    if (sqlite3_step(s.handle) != SQLITE_DONE)
        throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db_));
}

std::map<std::string, HistoryStore::ActiveAlarm> HistoryStore::active_alarms(
    const std::string& device) {
    Statement s(db_,
                "SELECT key, state, description, time FROM alarms WHERE id IN "
                "(SELECT max(id) FROM alarms WHERE device = ? GROUP BY key)");
    s.text(1, device);
    std::map<std::string, ActiveAlarm> active;
    while (sqlite3_step(s.handle) == SQLITE_ROW) {
        const auto column = [&](int i) {
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s.handle, i)));
        };
        if (column(1) == "raised") active[column(0)] = ActiveAlarm{column(2), column(3)};
    }
    return active;
}

}  // namespace kavren::host
