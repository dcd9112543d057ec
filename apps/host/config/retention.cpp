#include "apps/host/config/retention.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "apps/host/config/field_values.h"

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

RetentionConfig read_retention(const Json::Value& value, const std::string& file) {
    if (!value.isObject()) Place{file, {}, {}}.bad("\"retention\" must be an object");
    RetentionConfig config;
    read_fields(Section::retention, value, {}, file, Place{file, {}, {}, "retention"}, &config);
    return config;
}

}  // namespace kavren::host
