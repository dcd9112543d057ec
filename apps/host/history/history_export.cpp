#include "apps/host/history/history_export.h"

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "apps/common/program.h"
#include "apps/host/history/history_query.h"
#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"

namespace kavren::host {

namespace {

// No limit on the rows of an export: they are written as they are read.
constexpr std::size_t kAllRows = std::size_t{1} << 50;

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

}  // namespace

void export_history(const ExportRequest& request, std::FILE* out) {
    if (request.format != "csv" && request.format != "jsonl")
        throw app::UsageError("--format must be csv or jsonl");
    std::string from = "0000-00-00 00:00:00", to = "9999-99-99 99:99:99";
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
    reader.rounds(request.meter, from, to, kAllRows, [&](const HistoryRow& row) {
        line.clear();
        if (csv) {
            line += std::to_string(row.history_id);
            line += ',';
            csv_cell(line, row.time);
            flatten_members(row.record_json, [&](const std::string&, std::string_view value, bool) {
                line += ',';
                csv_cell(line, value);
            });
        } else {
            line += "{\"history_id\":";
            line += std::to_string(row.history_id);
            line += ",\"time\":\"";
            append_json_escaped(line, row.time);
            line += "\",\"meter\":\"";
            append_json_escaped(line, request.meter);
            line += "\",\"record\":";
            line += row.record_json;
            line += '}';
        }
        output.line(line);
    });
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
                   "First time: YYYY-MM-DD[ HH:MM[:SS]] (local) or Unix seconds");
    app.add_option("--to", request.to,
                   "Last time, the same way (a day or minute includes all of it)");
    app.add_option("--format", request.format, "csv or jsonl")->capture_default_str();
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
