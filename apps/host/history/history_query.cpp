#include "apps/host/history/history_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "apps/host/history/record_codec.h"
#include "apps/host/history/schema.h"
#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/sqlite_query.h"

namespace kavren::host {

namespace {

// The end of a JSON value starting at `at` in text written by JsonWriter.
std::size_t value_end(std::string_view s, std::size_t at) {
    if (at >= s.size()) return at;
    if (s[at] == '"') {
        std::size_t i = at + 1;
        while (i < s.size() && s[i] != '"') i += (s[i] == '\\') ? 2 : 1;
        return i + 1;
    }
    if (s[at] == '{' || s[at] == '[') {
        int depth = 0;
        for (std::size_t i = at; i < s.size(); ++i) {
            const char c = s[i];
            if (c == '"') {
                i = value_end(s, i) - 1;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (--depth == 0) return i + 1;
            }
        }
        return s.size();
    }
    std::size_t i = at;
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']') ++i;
    return i;
}

// The members of an object: fn(name, raw value text) for each, in order.
template <typename Fn>
void members_of(std::string_view object, Fn&& fn) {
    std::size_t i = 1;  // past '{'
    while (i < object.size() && object[i] == '"') {
        const std::size_t name_end = value_end(object, i);
        const std::string_view name = object.substr(i + 1, name_end - i - 2);
        const std::size_t start = name_end + 1;  // past ':'
        const std::size_t end = value_end(object, start);
        fn(name, object.substr(start, end - start));
        i = end;
        if (i < object.size() && object[i] == ',') ++i;
    }
}

std::string unquoted(std::string_view quoted) {
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 2 < quoted.size()) {
            const char c = quoted[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        } else {
            out += quoted[i];
        }
    }
    return out;
}

void for_each_element(std::string_view array, const std::function<void(std::string_view)>& fn) {
    std::size_t i = 1;
    while (i < array.size() && array[i] != ']') {
        const std::size_t end = value_end(array, i);
        fn(array.substr(i, end - i));
        i = end;
        if (i < array.size() && array[i] == ',') ++i;
    }
}

void flatten_value(const std::string& name, std::string_view value,
                   const std::function<void(const std::string&, std::string_view, bool)>& fn) {
    if (value.empty()) return;
    if (value.front() == '{') {
        for_each_member(value, [&](std::string_view member, std::string_view v) {
            flatten_value(name + "_" + std::string(member), v, fn);
        });
    } else if (value.front() == '[') {
        std::size_t k = 0;
        for_each_element(value, [&](std::string_view v) {
            flatten_value(name + "_" + std::to_string(k++), v, fn);
        });
    } else if (value.front() == '"') {
        const std::string text = unquoted(value);
        fn(name, text, true);
    } else {
        fn(name, value, false);
    }
}

// The row a query of (id, t_ms, record) stands on, its record decoded.
void decoded_row(SqliteQuery& q, HistoryRow& out) {
    out.history_id = q.column_int64(0);
    out.t_ms = q.column_int64(1);
    const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 2));
    const std::vector<uint8_t> bytes(blob, blob + sqlite3_column_bytes(q.get(), 2));
    out.record_json.clear();
    KAVREN_M7_Data_t record;
    if (decode_record(bytes, record)) {
        JsonWriter json(out.record_json);
        json.begin_object();
        write_record_fields(json, record);
        json.end_object();
    } else {
        out.record_json = "{}";  // a row of another size: its time alone
    }
}

}  // namespace

HistoryReader::HistoryReader(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open history " + path + ": " + why);
    }
    // A writer's checkpoint can hold a lock for a moment.
    sqlite3_busy_timeout(db_, 2000);
    functions_ = register_record_functions(db_);
    try {
        const int schema = history_schema(db_);
        if (schema == 0) throw std::runtime_error("it holds no records table");
        if (schema != kHistorySchema)
            throw std::runtime_error("it has history schema " + std::to_string(schema) +
                                     ": start kavren-host with it once, which upgrades it");
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        rethrow_as_unusable(path);
    }
}

HistoryReader::~HistoryReader() {
    release_record_functions(functions_);
    sqlite3_close(db_);
}

bool HistoryReader::has_meter(const std::string& meter) {
    SqliteQuery q(db_, "SELECT 1 FROM records WHERE device = ? LIMIT 1");
    q.text(1, meter);
    return q.step();
}

bool HistoryReader::rounds(const std::string& meter, int64_t from_ms, int64_t to_ms,
                           std::size_t limit, const std::function<void(const HistoryRow&)>& row) {
    SqliteReadTransaction snapshot(db_);
    // Rows of the range, restored ones too, counted in the index alone: when there are no more
    // than `limit`, none is left out.
    SqliteQuery count(db_,
                      "SELECT count(*) FROM (SELECT 1 FROM records WHERE device = ? AND "
                      "t_ms >= ? AND t_ms <= ? LIMIT ?)");
    count.text(1, meter);
    count.integer(2, from_ms);
    count.integer(3, to_ms);
    count.integer(4, static_cast<int64_t>(limit) + 1);
    // Else the oldest row that is left out.
    SqliteQuery boundary(db_,
                         "SELECT t_ms, id FROM records WHERE device = ? AND t_ms >= ? AND "
                         "t_ms <= ? AND origin = 'round' ORDER BY t_ms DESC, id DESC "
                         "LIMIT 1 OFFSET ?");
    boundary.text(1, meter);
    boundary.integer(2, from_ms);
    boundary.integer(3, to_ms);
    boundary.integer(4, static_cast<int64_t>(limit));
    const bool truncated =
        count.step() && count.column_int64(0) > static_cast<int64_t>(limit) && boundary.step();
    const int64_t after_ms = truncated ? boundary.column_int64(0) : INT64_MIN;
    const int64_t after_id = truncated ? boundary.column_int64(1) : INT64_MIN;
    SqliteQuery q(db_,
                  "SELECT id, t_ms, record_bytes(base, record) FROM records WHERE device = ? AND "
                  "t_ms >= ? AND "
                  "t_ms <= ? AND origin = 'round' AND (t_ms > ? OR id > ?) ORDER BY t_ms, id");
    q.text(1, meter);
    q.integer(2, std::max(from_ms, after_ms));
    q.integer(3, to_ms);
    q.integer(4, after_ms);
    q.integer(5, after_id);
    HistoryRow out;
    while (q.step()) {
        decoded_row(q, out);
        row(out);
    }
    return truncated;
}

void HistoryReader::rounds_after(const std::string& meter, int64_t from_ms, int64_t to_ms,
                                 int64_t after_ms, int64_t after_id, std::size_t count,
                                 std::vector<HistoryRow>& rows) {
    SqliteReadTransaction snapshot(db_);
    SqliteQuery q(db_,
                  "SELECT id, t_ms, record_bytes(base, record) FROM records WHERE device = ? AND "
                  "t_ms >= ? AND "
                  "t_ms <= ? AND origin = 'round' AND (t_ms > ? OR (t_ms = ? AND id > ?)) "
                  "ORDER BY t_ms, id LIMIT ?");
    q.text(1, meter);
    q.integer(2, std::max(from_ms, after_ms));
    q.integer(3, to_ms);
    q.integer(4, after_ms);
    q.integer(5, after_ms);
    q.integer(6, after_id);
    q.integer(7, static_cast<int64_t>(count));
    rows.clear();
    while (q.step()) decoded_row(q, rows.emplace_back());
}

bool HistoryReader::alarm_events(const std::string& meter, int64_t from_ms, int64_t to_ms,
                                 std::size_t limit, std::vector<AlarmEvent>& events) {
    SqliteQuery q(db_,
                  "SELECT id, key, state, description, t_ms FROM alarms WHERE device = ? AND "
                  "t_ms >= ? AND t_ms <= ? ORDER BY t_ms DESC, id DESC LIMIT ?");
    q.text(1, meter);
    q.integer(2, from_ms);
    q.integer(3, to_ms);
    q.integer(4, static_cast<int64_t>(limit) + 1);
    const std::size_t first = events.size();
    bool truncated = false;
    while (q.step()) {
        if (events.size() - first == limit) {
            truncated = true;
            break;
        }
        events.push_back({q.column_int64(0), q.column_text(1), q.column_text(2) == "raised",
                          q.column_text(3), q.column_int64(4)});
    }
    std::reverse(events.begin() + static_cast<std::ptrdiff_t>(first), events.end());
    return truncated;
}

void for_each_member(std::string_view object,
                     const std::function<void(std::string_view, std::string_view)>& fn) {
    members_of(object, fn);
}

std::string pick_members(std::string_view object, const std::set<std::string, std::less<>>& names) {
    std::string out = "{";
    out.reserve(32 + 24 * names.size());
    members_of(object, [&](std::string_view name, std::string_view value) {
        if (names.find(name) == names.end()) return;
        if (out.size() > 1) out += ',';
        out += '"';
        out += name;
        out += "\":";
        out += value;
    });
    return out + "}";
}

void flatten_members(std::string_view object,
                     const std::function<void(const std::string&, std::string_view, bool)>& fn) {
    for_each_member(object, [&](std::string_view name, std::string_view value) {
        flatten_value(std::string(name), value, fn);
    });
}

}  // namespace kavren::host
