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

}  // namespace kavren::host
