#include "apps/host/history/history_query.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/sqlite_query.h"

namespace kavren::host {

namespace {

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int number_at(std::string_view s, std::size_t at, std::size_t length) {
    int n = 0;
    for (std::size_t i = at; i < at + length; ++i) n = n * 10 + (s[i] - '0');
    return n;
}

// A read transaction: every statement in it sees the same committed state.
class ReadTransaction {
  public:
    explicit ReadTransaction(sqlite3* db) : db_(db) {
        if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~ReadTransaction() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }

  private:
    sqlite3* db_;
};

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

}  // namespace

std::string parse_time_bound(std::string_view text, bool upper) {
    if (all_digits(text)) {
        if (text.size() > 12) throw BadTimeBound("time out of range: " + std::string(text));
        const time_t seconds = static_cast<time_t>(std::stoll(std::string(text)));
        std::tm local{};
        if (localtime_r(&seconds, &local) == nullptr)
            throw BadTimeBound("time out of range: " + std::string(text));
        char out[32];
        std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local);
        return out;
    }
    // YYYY-MM-DD[( |T)HH:MM[:SS]]
    const auto bad = [&] {
        return BadTimeBound("bad time \"" + std::string(text).substr(0, 40) +
                            "\": expected YYYY-MM-DD[ HH:MM[:SS]] or Unix seconds");
    };
    const std::size_t n = text.size();
    if (n != 10 && n != 16 && n != 19) throw bad();
    const auto digits_at = [&](std::size_t at, std::size_t length) {
        return all_digits(text.substr(at, length));
    };
    if (!digits_at(0, 4) || text[4] != '-' || !digits_at(5, 2) || text[7] != '-' ||
        !digits_at(8, 2))
        throw bad();
    const int month = number_at(text, 5, 2), day = number_at(text, 8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) throw bad();
    int hour = upper ? 23 : 0, minute = upper ? 59 : 0, second = upper ? 59 : 0;
    if (n >= 16) {
        if ((text[10] != ' ' && text[10] != 'T') || !digits_at(11, 2) || text[13] != ':' ||
            !digits_at(14, 2))
            throw bad();
        hour = number_at(text, 11, 2);
        minute = number_at(text, 14, 2);
        if (n == 19) {
            if (text[16] != ':' || !digits_at(17, 2)) throw bad();
            second = number_at(text, 17, 2);
        } else {
            second = upper ? 59 : 0;
        }
    }
    if (hour > 23 || minute > 59 || second > 60) throw bad();
    char out[32];
    std::snprintf(out, sizeof out, "%.4s-%02d-%02d %02d:%02d:%02d", text.data(), month, day, hour,
                  minute, second);
    return out;
}

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
    try {
        SqliteQuery q(db_,
                      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
                      "'records'");
        if (!q.step() || sqlite3_column_int(q.get(), 0) != 1)
            throw std::runtime_error("it holds no records table");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("history " + path + " is not usable: " + e.what());
    }
}

HistoryReader::~HistoryReader() { sqlite3_close(db_); }

bool HistoryReader::has_meter(const std::string& meter) {
    SqliteQuery q(db_, "SELECT 1 FROM records WHERE device = ? LIMIT 1");
    q.text(1, meter);
    return q.step();
}

bool HistoryReader::rounds(const std::string& meter, const std::string& from, const std::string& to,
                           std::size_t limit, const std::function<void(const HistoryRow&)>& row) {
    ReadTransaction snapshot(db_);
    SqliteQuery q(db_,
                  "SELECT id, time, record FROM records "
                  "WHERE device = ? AND time >= ? AND time <= ? AND origin = 'round' "
                  "ORDER BY time, id LIMIT ?");
    q.text(1, meter);
    q.text(2, from);
    q.text(3, to);
    q.integer(4, static_cast<int64_t>(limit) + 1);
    HistoryRow out;
    std::size_t taken = 0;
    std::vector<uint8_t> bytes;
    while (q.step()) {
        if (taken == limit) return true;
        out.history_id = sqlite3_column_int64(q.get(), 0);
        out.time = q.column_text(1);
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(q.get(), 2));
        bytes.assign(blob, blob + sqlite3_column_bytes(q.get(), 2));
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
        row(out);
        ++taken;
    }
    return false;
}

bool HistoryReader::alarm_events(const std::string& meter, const std::string& from,
                                 const std::string& to, std::size_t limit,
                                 std::vector<AlarmEvent>& events) {
    SqliteQuery q(db_,
                  "SELECT id, key, state, description, time FROM alarms WHERE device = ? AND "
                  "time >= ? AND time <= ? ORDER BY time, id LIMIT ?");
    q.text(1, meter);
    q.text(2, from);
    q.text(3, to);
    q.integer(4, static_cast<int64_t>(limit) + 1);
    while (q.step()) {
        if (events.size() == limit) return true;
        events.push_back({sqlite3_column_int64(q.get(), 0), q.column_text(1),
                          q.column_text(2) == "raised", q.column_text(3), q.column_text(4)});
    }
    return false;
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
