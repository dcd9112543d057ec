#pragma once

#include <cstdio>
#include <string>

namespace kavren::host {

struct ExportRequest {
    std::string database;
    std::string meter;
    std::string from;  // as given on the command line; empty: from the first round
    std::string to;    // empty: to the last
    std::string format = "csv";
    std::string step = "raw";  // raw, 1m or 1h
};

// Writes the meter's stored rounds in the range, decoded, to `out`: CSV with a header line
// (history_id, time, then every record field by name, arrays and limits spread over columns) or
// one JSON object per line; with step 1m or 1h, the meter's rollup rows instead (time, counts,
// and each quantity's _min, _mean and _max). Times are ISO 8601 with their UTC offset. Reads
// through its own read-only connection, so a host may go on writing the same history. Throws
// app::UsageError for a bad range, format or step, std::runtime_error for a history that cannot
// be read or a meter it does not hold.
void export_history(const ExportRequest& request, std::FILE* out);

// The `kavren-host export ...` command line; returns the exit status.
int export_main(int argc, char** argv);

}  // namespace kavren::host
