#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "apps/host/support/utc_time.h"

struct sqlite3;

namespace kavren::host {

struct RecordFunctions;

// One stored round, decoded.
struct HistoryRow {
    int64_t history_id = 0;
    int64_t t_ms = 0;         // its instant
    std::string record_json;  // every field of the record by name, as one JSON object
};

struct AlarmEvent {
    int64_t id = 0;
    std::string key;
    bool raised = false;
    std::string description;
    int64_t t_ms = 0;
};

// Reads the history through a read-only connection of its own: a host writing the same file
// is neither blocked nor blocks it (write-ahead log). Each query reads one consistent state.
class HistoryReader {
  public:
    // Throws std::runtime_error naming the file when it cannot be opened, is not a history, or
    // has a schema other than this host's (an old one is upgraded by the host at its start).
    explicit HistoryReader(const std::string& path);
    ~HistoryReader();

    bool has_meter(const std::string& meter);
    // Polled rounds of the meter in [from_ms, to_ms], oldest first: all of them, or when there
    // are more than `limit`, the newest `limit`. Returns true when rows were left out.
    bool rounds(const std::string& meter, int64_t from_ms, int64_t to_ms, std::size_t limit,
                const std::function<void(const HistoryRow&)>& row);
    // Up to `count` polled rounds of the meter in [from_ms, to_ms] that come after
    // (after_ms, after_id) in (t_ms, id) order, read in a transaction over before this returns:
    // a reader that pages through a range holds no snapshot between its pages.
    void rounds_after(const std::string& meter, int64_t from_ms, int64_t to_ms, int64_t after_ms,
                      int64_t after_id, std::size_t count, std::vector<HistoryRow>& rows);
    // Alarm raises and clears in the range, oldest first; the newest `limit` when there are more
    // (then true).
    bool alarm_events(const std::string& meter, int64_t from_ms, int64_t to_ms, std::size_t limit,
                      std::vector<AlarmEvent>& events);
    // The connection, for queries of their own (series); one read transaction at a time.
    sqlite3* handle() const { return db_; }

    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
    RecordFunctions* functions_ = nullptr;  // the connection's: released before it closes
};

// The members of one JSON object written by JsonWriter, in order: name and the raw text of its
// value. Used to pick fields and to flatten a record for CSV without naming its fields again.
void for_each_member(std::string_view object,
                     const std::function<void(std::string_view name, std::string_view value)>& fn);
// Only the named members of the object.
std::string pick_members(std::string_view object, const std::set<std::string, std::less<>>& names);
// The object flattened to scalar columns: nested arrays and objects become "name_0",
// "limits_0_value". Strings are returned without quotes, unescaped.
void flatten_members(
    std::string_view object,
    const std::function<void(const std::string& name, std::string_view scalar, bool text)>& fn);

}  // namespace kavren::host
