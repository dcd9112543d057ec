#pragma once

#include <functional>
#include <stdexcept>
#include <string>

struct sqlite3;

namespace kavren::host {

// The history's schema version, kept in PRAGMA user_version. 1 is the first schema (every time
// a local text; its files say 0), 2 keeps every instant in UTC and has the rollups, 3 keeps the
// records compact in one b-tree by meter and instant, 4 lets a record's base hold several records,
// 5 keeps new rounds in the order of storing until they move, many at once, to meter order.
constexpr int kHistorySchema = 5;

// The newest id given to a record, as an SQL expression: never below the newest id moved to
// meter order, as a round given an id under it would not count as recent.
inline constexpr const char* kNewestRecordId =
    "max((SELECT through_id FROM records_moved), (SELECT coalesce(max(id), 0) FROM "
    "records_ring), (SELECT coalesce(max(id), 0) FROM records_by_meter))";

// The tables and indexes of kHistorySchema in a new history, and its version (inside the
// caller's transaction).
void make_history_tables(sqlite3* db);

// A history written by a later kavren-host, whose schema this one does not know.
struct NewerHistory : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Inside a catch block: the exception being handled, as the one line that tells what is wrong
// with the history at `path` ("history P: it was written by a newer ..." for NewerHistory,
// "history P is not usable: ..." for any other std::exception), thrown as std::runtime_error.
[[noreturn]] void rethrow_as_unusable(const std::string& path);

// The schema of an open history: 0 when it has none of our tables yet, 1 to 4 for a history to
// upgrade (also one whose upgrade was cut short), kHistorySchema for a current one. Throws
// NewerHistory, or std::runtime_error when its records or alarms table is not ours.
int history_schema(sqlite3* db);

// Reads the whole of a history to upgrade (PRAGMA quick_check) before anything is written into
// it: the upgrade reads every row, and a damaged page found halfway would leave a file that is
// neither the old one nor a new one. Throws std::runtime_error saying what is damaged.
void check_before_upgrade(sqlite3* db);

// Brings a schema 1 to 4 history to kHistorySchema in place. From 1 to 2: the instant of every
// row read from its local time text in the host's zone (see StoredLocalTimes), the new tables
// and indexes, and the rollups of every stored round. From 2: the records copied, compact, into
// their new table, which then takes the old one's place. From 3: the bases' count of records. From
// 3 and 4: the table of recent rounds and the marks of the open rollups. Rows are converted in
// transactions of their own, so a history of millions of rows needs no write-ahead log of its size;
// an upgrade cut short is done again at the next start (from 2 from its beginning: schema 2's
// records stay as they were until the last transaction). `log` gets a line at the start, a progress
// line every few seconds, and one at the end. Throws std::runtime_error with SQLite's reason.
void upgrade_history(sqlite3* db, const std::string& path,
                     const std::function<void(const std::string&)>& log);

}  // namespace kavren::host
