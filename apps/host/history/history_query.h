#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace kavren::host {

// A time bound a reader gave that cannot be read; its text says why.
struct BadTimeBound : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// A time bound as the history stores times: local "YYYY-MM-DD HH:MM:SS". Takes that text, the
// same with a 'T', a minute ("YYYY-MM-DD HH:MM") or a day ("YYYY-MM-DD"), or Unix seconds. A
// shortened upper bound takes in the whole minute or day. Throws BadTimeBound.
std::string parse_time_bound(std::string_view text, bool upper);

// One stored round, decoded.
struct HistoryRow {
    int64_t history_id = 0;
    std::string time;
    std::string record_json;  // every field of the record by name, as one JSON object
};

struct AlarmEvent {
    int64_t id = 0;
    std::string key;
    bool raised = false;
    std::string description;
    std::string time;
};

// Reads the history through a read-only connection of its own: a host writing the same file
// is neither blocked nor blocks it (write-ahead log). Each query reads one consistent state.
class HistoryReader {
  public:
    // Throws std::runtime_error naming the file when it cannot be opened or is not a history.
    explicit HistoryReader(const std::string& path);
    ~HistoryReader();

    bool has_meter(const std::string& meter);
    // Polled rounds of the meter in [from, to] (history time texts), oldest first, at most
    // `limit`. Returns true when more rows were in the range.
    bool rounds(const std::string& meter, const std::string& from, const std::string& to,
                std::size_t limit, const std::function<void(const HistoryRow&)>& row);
    bool alarm_events(const std::string& meter, const std::string& from, const std::string& to,
                      std::size_t limit, std::vector<AlarmEvent>& events);

    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
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
