#include "apps/host/config/retention.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <CLI/CLI.hpp>

namespace kavren::host {

namespace {

struct Unit {
    const char* name;
    double factor;
};

// The number in front of a unit, and the unit as written; false when there is no number.
bool split_number(std::string_view text, double& number, std::string& unit, bool fraction) {
    std::size_t i = 0;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || (fraction && text[i] == '.')))
        ++i;
    if (i == 0 || i > 18) return false;
    try {
        std::size_t used = 0;
        number = std::stod(std::string(text.substr(0, i)), &used);
        if (used != i) return false;
    } catch (const std::exception&) {
        return false;
    }
    std::size_t u = i;
    while (u < text.size() && text[u] == ' ') ++u;
    unit = std::string(text.substr(u));
    return true;
}

bool same_letters(const std::string& a, const char* b) {
    if (a.size() != std::char_traits<char>::length(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string text_of(const Json::Value& object, const char* name, const std::string& place) {
    const Json::Value& v = object[name];
    if (!v.isString())
        throw std::invalid_argument(place + "\"retention\": \"" + name +
                                    "\" must be text such as \"30d\"" +
                                    (std::string(name) == "max_size" ? " or \"2GiB\"" : ""));
    return v.asString();
}

// A member of the "retention" object, read by `parse`.
template <typename T, typename Parse>
void read_member(const Json::Value& value, const char* name, const std::string& place, Parse parse,
                 T& out) {
    if (!value.isMember(name)) return;
    const std::string text = text_of(value, name, place);
    try {
        out = parse(text);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(place + "\"retention\": \"" + name + "\" " + e.what());
    }
}

// An option given on the command line, read by `parse`.
template <typename T, typename Parse>
void apply_option(const std::string& text, const char* option, Parse parse, T& out) {
    if (text.empty()) return;
    try {
        out = parse(text);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string(option) + " " + e.what());
    }
}

}  // namespace

int64_t parse_retention_duration(std::string_view text) {
    if (text == "forever") return kKeepForever;
    static const Unit units[] = {{"s", 1e3},     {"m", 60e3},        {"h", 3600e3},
                                 {"d", 86400e3}, {"w", 7 * 86400e3}, {"y", 365 * 86400e3}};
    double number = 0;
    std::string unit;
    if (split_number(text, number, unit, false)) {
        for (const Unit& u : units) {
            if (unit != u.name) continue;
            const double ms = number * u.factor;
            if (number >= 1 && ms <= 1000 * 365 * 86400e3) return static_cast<int64_t>(ms);
        }
    }
    throw std::invalid_argument(
        "must be a whole number with a unit s, m, h, d, w or y (\"30d\", "
        "\"10s\"; at least 1s, at most 1000y) or \"forever\" (got \"" +
        std::string(text.substr(0, 40)) + "\")");
}

uint64_t parse_history_size(std::string_view text) {
    if (text == "unlimited") return 0;
    static const Unit units[] = {{"", 1},
                                 {"B", 1},
                                 {"kB", 1e3},
                                 {"MB", 1e6},
                                 {"GB", 1e9},
                                 {"TB", 1e12},
                                 {"KiB", 1024.0},
                                 {"MiB", 1048576.0},
                                 {"GiB", 1073741824.0},
                                 {"TiB", 1099511627776.0}};
    double number = 0;
    std::string unit;
    if (split_number(text, number, unit, true)) {
        for (const Unit& u : units) {
            if (!same_letters(unit, u.name)) continue;
            const double bytes = std::floor(number * u.factor);
            if (bytes < static_cast<double>(kSmallestMaxSize))
                throw std::invalid_argument(
                    "must be at least 1MiB: the history needs room for "
                    "its write-ahead log (got \"" +
                    std::string(text.substr(0, 40)) + "\")");
            if (bytes <= 1e18) return static_cast<uint64_t>(bytes);
        }
    }
    throw std::invalid_argument(
        "must be a size such as \"2GiB\", \"500MB\" or a number of bytes, or \"unlimited\" "
        "(got \"" +
        std::string(text.substr(0, 40)) + "\")");
}

std::string retention_text(int64_t ms) {
    if (ms == kKeepForever) return "forever";
    static const Unit units[] = {{"y", 365 * 86400e3}, {"w", 7 * 86400e3}, {"d", 86400e3},
                                 {"h", 3600e3},        {"m", 60e3},        {"s", 1e3}};
    for (const Unit& u : units) {
        const auto factor = static_cast<int64_t>(u.factor);
        if (ms >= factor && ms % factor == 0) return std::to_string(ms / factor) + u.name;
    }
    return std::to_string(ms) + "ms";
}

std::string size_text(uint64_t bytes) {
    static const char* const names[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t k = 0;
    while (value >= 1024 && k + 1 < std::size(names)) {
        value /= 1024;
        ++k;
    }
    char out[32];
    std::snprintf(out, sizeof out, k == 0 ? "%.0f %s" : "%.1f %s", value, names[k]);
    return out;
}

RetentionConfig read_retention(const Json::Value& value, const std::string& place) {
    if (!value.isObject()) throw std::invalid_argument(place + "\"retention\" must be an object");
    RetentionConfig config;
    static const char* const known[] = {"raw", "minute", "hour", "max_size"};
    for (const std::string& name : value.getMemberNames()) {
        bool found = false;
        for (const char* k : known) found = found || name == k;
        if (!found)
            throw std::invalid_argument(place + "\"retention\": unknown member \"" + name +
                                        "\" (known: raw, minute, hour, max_size)");
    }
    read_member(value, "raw", place, parse_retention_duration, config.raw_ms);
    read_member(value, "minute", place, parse_retention_duration, config.minute_ms);
    read_member(value, "hour", place, parse_retention_duration, config.hour_ms);
    read_member(value, "max_size", place, parse_history_size, config.max_size);
    return config;
}

void RetentionOptions::add_to(CLI::App& app) {
    app.add_option("--retention-raw", raw_,
                   "How long every round is kept: s, m, h, d, w, y or \"forever\" (default 30d)");
    app.add_option("--retention-minute", minute_,
                   "How long the per-minute rollups are kept (default 400d)");
    app.add_option("--retention-hour", hour_,
                   "How long the per-hour rollups are kept (default forever)");
    app.add_option("--history-max-size", max_size_,
                   "The most the history file may take, its write-ahead log included: the "
                   "oldest rounds, then the oldest minutes go first (default 2GiB; "
                   "\"unlimited\")");
}

void RetentionOptions::apply(RetentionConfig& config) const {
    apply_option(raw_, "--retention-raw", parse_retention_duration, config.raw_ms);
    apply_option(minute_, "--retention-minute", parse_retention_duration, config.minute_ms);
    apply_option(hour_, "--retention-hour", parse_retention_duration, config.hour_ms);
    apply_option(max_size_, "--history-max-size", parse_history_size, config.max_size);
}

}  // namespace kavren::host
