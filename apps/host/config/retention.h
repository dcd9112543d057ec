#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <json/json.h>

namespace kavren::host {

constexpr int64_t kKeepForever = std::numeric_limits<int64_t>::max();

// How long the history keeps each resolution, and the most its file (database and write-ahead
// log) may take. Raw rounds the MQTT side has not had acknowledged stay past `raw_ms` until
// `max_size` forces them out.
struct RetentionConfig {
    int64_t raw_ms = 30 * int64_t{86400000};
    int64_t minute_ms = 400 * int64_t{86400000};
    int64_t hour_ms = kKeepForever;
    uint64_t max_size = uint64_t{2} << 30;  // bytes; 0: no bound
};

// The smallest max_size: the write-ahead log and the room for growth need about this much.
constexpr uint64_t kSmallestMaxSize = uint64_t{1} << 20;

// "30d", "10s", "2w", "1y" (units s, m, h, d, w, y; a year is 365 days) or "forever", in
// milliseconds. Throws std::invalid_argument saying what is accepted.
int64_t parse_retention_duration(std::string_view text);
// "2GiB", "500MB", "1048576" (bytes; kB, MB, GB, TB by 1000, KiB, MiB, GiB, TiB by 1024) or
// "unlimited" (0). Throws std::invalid_argument.
uint64_t parse_history_size(std::string_view text);
// For log lines: "30d", "forever"; "2 GiB", "1.5 MiB".
std::string retention_text(int64_t ms);
std::string size_text(uint64_t bytes);

// The configuration file's "retention" object; `file` names it in messages. Throws ConfigError
// naming the member.
RetentionConfig read_retention(const Json::Value& value, const std::string& file);

}  // namespace kavren::host
