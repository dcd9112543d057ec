#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kavren::host {

// One SQLite statement for the length of a scope: prepared here, finalized when it goes. A
// failure throws std::runtime_error with SQLite's reason.
class SqliteQuery {
  public:
    SqliteQuery(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &handle_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~SqliteQuery() { sqlite3_finalize(handle_); }

    sqlite3_stmt* get() const { return handle_; }
    void text(int i, const std::string& s) {
        sqlite3_bind_text(handle_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, int64_t v) { sqlite3_bind_int64(handle_, i, v); }
    void blob(int i, const void* bytes, std::size_t length) {
        sqlite3_bind_blob(handle_, i, bytes, static_cast<int>(length), SQLITE_TRANSIENT);
    }
    // Ready to be bound and stepped again (a statement kept for many uses).
    void reset() { sqlite3_reset(handle_); }
    // Steps a statement that returns no rows; throws with SQLite's reason when it fails.
    void run() {
        const int rc = sqlite3_step(handle_);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            const std::string why = sqlite3_errmsg(db_);
            sqlite3_reset(handle_);
            throw std::runtime_error(why);
        }
        sqlite3_reset(handle_);
    }
    int64_t column_int64(int i) const { return sqlite3_column_int64(handle_, i); }
    // True for a row, false when there are no more.
    bool step() {
        const int rc = sqlite3_step(handle_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(sqlite3_errmsg(db_));
    }
    // A text column that may be NULL in a file written by someone else.
    std::string column_text(int i) const {
        const auto* text = sqlite3_column_text(handle_, i);
        return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
    }

    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

  private:
    sqlite3* db_;
    sqlite3_stmt* handle_ = nullptr;
};

// Runs SQL text (one statement or several); throws std::runtime_error with SQLite's reason.
inline void sqlite_exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error != nullptr ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw std::runtime_error(why);
    }
}

// A read transaction: every statement in it sees the same committed state.
class SqliteReadTransaction {
  public:
    explicit SqliteReadTransaction(sqlite3* db) : db_(db) { sqlite_exec(db, "BEGIN"); }
    ~SqliteReadTransaction() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }

    SqliteReadTransaction(const SqliteReadTransaction&) = delete;
    SqliteReadTransaction& operator=(const SqliteReadTransaction&) = delete;

  private:
    sqlite3* db_;
};

// A write transaction for the length of a scope: rolled back unless commit() was called.
class SqliteTransaction {
  public:
    explicit SqliteTransaction(sqlite3* db) : db_(db) { sqlite_exec(db, "BEGIN IMMEDIATE"); }
    ~SqliteTransaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        sqlite_exec(db_, "COMMIT");
        done_ = true;
    }

    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace kavren::host
