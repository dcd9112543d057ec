#include "apps/host/history/history_export.h"

#include <sqlite3.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "apps/common/program.h"
#include "apps/host/history/history_query.h"
#include "apps/host/history/series.h"
#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/sqlite_query.h"

namespace kavren::host {

namespace {

// Rows (or rollup buckets) of one read: a few hundred kilobytes, read in a few milliseconds.
constexpr std::size_t kPageRows = 500;

void csv_cell(std::string& line, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

// The record of a round that stored nothing readable: every field there, all zero.
std::string empty_record_json() {
    std::string out;
    JsonWriter json(out);
    json.begin_object();
    write_record_fields(json, KAVREN_M7_Data_t{});
    json.end_object();
    return out;
}

class Output {
  public:
    explicit Output(std::FILE* out) : out_(out) {}
    void line(const std::string& text) {
        if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() ||
            std::fputc('\n', out_) == EOF)
            failed();
    }
    void finish() {
        if (std::fflush(out_) != 0) failed();
    }

  private:
    [[noreturn]] void failed() {
        throw std::runtime_error(std::string("cannot write the export: ") + std::strerror(errno));
    }
    std::FILE* out_;
};

// A rollup row: CSV cells (time, t_ms, the counts, then each quantity's min, mean and max,
// empty without complete rounds) or a JSON object with each quantity as {min, mean, max}.
void rollup_line(std::string& line, bool csv, const ExportRequest& request, int64_t t_ms,
                 const Rollup& row) {
    line.clear();
    if (csv) {
        line = iso_local_time(t_ms) + "," + std::to_string(t_ms) + "," +
               std::to_string(row.rounds) + "," + std::to_string(row.failed) + "," +
               std::to_string(row.alarms);
        std::string cell;
        for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
            for (const float v : {row.min[q], row.mean(q), row.max[q]}) {
                line += ',';
                if (!row.has_values()) continue;
                cell.clear();
                JsonWriter(cell).value(v);
                line += cell;
            }
        }
        return;
    }
    JsonWriter json(line);
    json.begin_object();
    json.member("time", iso_local_time(t_ms));
    json.member("t_ms", t_ms);
    json.member("meter", request.meter);
    json.member("step", request.step);
    write_point_members(json, row);
    json.end_object();
}

// The first and last bucket of the meter's rollups of a step; false when there is none.
bool rollup_span(HistoryReader& reader, const std::string& meter, int step_s, int64_t& first,
                 int64_t& last) {
    SqliteQuery q(reader.handle(),
                  "SELECT min(t_ms), max(t_ms) FROM (SELECT t_ms FROM rollups WHERE device = ?1 "
                  "AND step_s = ?2 UNION ALL SELECT t_ms FROM rollups_open WHERE device = ?1 "
                  "AND step_s = ?2)");
    q.text(1, meter);
    q.integer(2, step_s);
    if (!q.step() || sqlite3_column_type(q.get(), 0) == SQLITE_NULL) return false;
    first = q.column_int64(0);
    last = q.column_int64(1);
    return true;
}

// Each read is over before its rows are written: a reader of the export that stalls holds no
// snapshot of the history, and the host's write-ahead log is not held back by it.
void export_rollups(HistoryReader& reader, const ExportRequest& request, int64_t from, int64_t to,
                    Output& output) {
    const bool csv = request.format == "csv";
    const int step_s = request.step == "1m" ? 60 : 3600;
    std::string line;
    if (csv) {
        line = "time,t_ms,rounds,failed,alarms";
        for (const RolledQuantity& q : kRolledQuantities)
            for (const char* part : {"_min", "_mean", "_max"})
                line += std::string(",") + q.name + part;
        output.line(line);
    }
    int64_t first = 0, last = 0;
    if (!rollup_span(reader, request.meter, step_s, first, last)) return;
    // Every bucket that holds part of the range, a window of buckets at a time.
    const int64_t step_ms = step_s * int64_t{1000};
    const int64_t window_ms = static_cast<int64_t>(kPageRows) * step_ms;
    int64_t cursor = std::max(first, from == INT64_MIN ? from : floor_to_step(from, step_ms));
    const int64_t end = std::min(to, last);
    std::vector<std::pair<int64_t, Rollup>> page;
    while (cursor <= end) {
        const int64_t window_end = end - cursor < window_ms ? end : cursor + window_ms - 1;
        page.clear();
        for_each_rollup(reader.handle(), request.meter, step_s, cursor, window_end,
                        [&](int64_t t_ms, const Rollup& row) { page.emplace_back(t_ms, row); });
        for (const auto& [t_ms, row] : page) {
            rollup_line(line, csv, request, t_ms, row);
            output.line(line);
        }
        if (window_end == end) break;
        cursor = window_end + 1;
    }
}

// A stored round as a CSV line or a JSON object.
void round_line(std::string& line, bool csv, const ExportRequest& request, const HistoryRow& row) {
    line.clear();
    if (csv) {
        line += std::to_string(row.history_id);
        line += ',';
        line += iso_local_time(row.t_ms);
        flatten_members(row.record_json, [&](const std::string&, std::string_view value, bool) {
            line += ',';
            csv_cell(line, value);
        });
    } else {
        line += "{\"history_id\":";
        line += std::to_string(row.history_id);
        line += ",\"time\":\"";
        line += iso_local_time(row.t_ms);
        line += "\",\"t_ms\":";
        line += std::to_string(row.t_ms);
        line += ",\"meter\":\"";
        append_json_escaped(line, request.meter);
        line += "\",\"record\":";
        line += row.record_json;
        line += '}';
    }
}

// The stored rounds, decoded: CSV cells or a JSON object per line.
void export_rounds(HistoryReader& reader, const ExportRequest& request, int64_t from, int64_t to,
                   Output& output) {
    const bool csv = request.format == "csv";
    std::string line;
    if (csv) {
        line = "history_id,time";
        flatten_members(empty_record_json(), [&](const std::string& name, std::string_view, bool) {
            line += ',';
            csv_cell(line, name);
        });
        output.line(line);
    }
    std::vector<HistoryRow> page;
    int64_t after_ms = INT64_MIN, after_id = INT64_MIN;
    for (;;) {
        // Read, then written: see export_rollups.
        reader.rounds_after(request.meter, from, to, after_ms, after_id, kPageRows, page);
        for (const HistoryRow& row : page) {
            round_line(line, csv, request, row);
            output.line(line);
        }
        if (page.size() < kPageRows) return;
        after_ms = page.back().t_ms;
        after_id = page.back().history_id;
    }
}

}  // namespace

void export_history(const ExportRequest& request, std::FILE* out) {
    if (request.format != "csv" && request.format != "jsonl")
        throw app::UsageError("--format must be csv or jsonl");
    if (request.step != "raw" && request.step != "1m" && request.step != "1h")
        throw app::UsageError("--step must be raw, 1m or 1h");
    int64_t from = INT64_MIN, to = INT64_MAX;
    try {
        if (!request.from.empty()) from = parse_time_bound(request.from, false);
        if (!request.to.empty()) to = parse_time_bound(request.to, true);
    } catch (const BadTimeBound& e) {
        throw app::UsageError(e.what());
    }
    if (from > to) throw app::UsageError("--from is after --to");
    if (access(request.database.c_str(), F_OK) != 0)
        throw app::UsageError("no history file " + request.database);
    HistoryReader reader(request.database);
    if (!reader.has_meter(request.meter))
        throw std::runtime_error("history " + request.database + " holds no meter named " +
                                 request.meter);
    Output output(out);
    if (request.step != "raw") {
        export_rollups(reader, request, from, to, output);
        output.finish();
        return;
    }
    export_rounds(reader, request, from, to, output);
    output.finish();
}

int export_main(int argc, char** argv) {
    ExportRequest request;
    CLI::App app{
        "kavren-host export: writes a meter's stored rounds, every record field decoded and\n"
        "named, to standard output. A running host may keep writing the same history."};
    app.name("kavren-host export");
    app.add_option("--db", request.database, "SQLite history file")->required();
    app.add_option("--meter", request.meter, "Name of the meter")->required();
    app.add_option("--from", request.from,
                   "First time: ISO 8601 with an offset (2026-12-09T01:00:00+01:00), "
                   "YYYY-MM-DD[ HH:MM[:SS]] in the local time zone, or Unix seconds");
    app.add_option("--to", request.to,
                   "Last time, the same way (a day, minute or second includes all of it)");
    app.add_option("--format", request.format, "csv or jsonl")->capture_default_str();
    app.add_option("--step", request.step,
                   "raw: every stored round; 1m or 1h: the per-minute or per-hour rollups, each "
                   "quantity's minimum, mean and maximum")
        ->capture_default_str();
    if (auto status = app::parse_command_line(app, argc, argv, "kavren-host export"))
        return *status;
    // A reader that goes away (`| head`) ends the export quietly, with a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    return app::run_reporting_errors("kavren-host export", [&] {
        export_history(request, stdout);
        return 0;
    });
}

}  // namespace kavren::host
