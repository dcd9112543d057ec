#include "apps/host/support/utc_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kavren::host {

namespace {

// The last second of the year 9999, UTC: no later bound is read.
constexpr int64_t kLastSecond = 253402300799;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

std::tm fields_of(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

// A cursor over a time text: numbers of a fixed width and single characters.
struct Reader {
    std::string_view text;
    std::size_t at = 0;

    bool done() const { return at == text.size(); }
    bool next_is(char c) const { return at < text.size() && text[at] == c; }
    bool take(char c) {
        if (!next_is(c)) return false;
        ++at;
        return true;
    }
    bool number(std::size_t width, int& out) {
        if (at + width > text.size()) return false;
        out = 0;
        for (std::size_t i = at; i < at + width; ++i) {
            if (!is_digit(text[i])) return false;
            out = out * 10 + (text[i] - '0');
        }
        at += width;
        return true;
    }
};

// What a bound text holds before it becomes an instant.
struct BoundFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    int64_t unit_ms = kDayMs;  // the bound's precision: what an upper bound takes in
    bool has_offset = false;
    int offset_minutes = 0;
};

// "Z", "+HH:MM", "+HHMM", "+HH", "-..."; a space stands for the '+' a URL turned into one.
bool read_offset(Reader& r, BoundFields& f) {
    if (r.take('Z') || r.take('z')) {
        f.has_offset = true;
        return true;
    }
    int sign = 0;
    if (r.take('+') || r.take(' ')) {
        sign = 1;
    } else if (r.take('-')) {
        sign = -1;
    } else {
        return true;  // none
    }
    int hours = 0, minutes = 0;
    if (!r.number(2, hours)) return false;
    if (r.take(':')) {
        if (!r.number(2, minutes)) return false;
    } else if (!r.done() && !r.number(2, minutes)) {
        return false;
    }
    if (hours > 23 || minutes > 59) return false;
    f.has_offset = true;
    f.offset_minutes = sign * (hours * 60 + minutes);
    return true;
}

bool read_clock(Reader& r, BoundFields& f) {
    if (!r.number(2, f.hour) || !r.take(':') || !r.number(2, f.minute)) return false;
    f.unit_ms = kMinuteMs;
    if (r.take(':')) {
        if (!r.number(2, f.second)) return false;
        f.unit_ms = 1000;
        if (r.take('.')) {
            int digits = 0, value = 0;
            while (!r.done() && is_digit(r.text[r.at])) {
                if (digits < 3) value = value * 10 + (r.text[r.at] - '0');
                ++digits;
                ++r.at;
            }
            if (digits == 0) return false;
            for (int d = digits; d < 3; ++d) value *= 10;
            f.millis = value;
            f.unit_ms = 1;
        }
    }
    return read_offset(r, f);
}

bool read_bound(std::string_view text, BoundFields& f) {
    Reader r{text};
    if (!r.number(4, f.year) || !r.take('-') || !r.number(2, f.month) || !r.take('-') ||
        !r.number(2, f.day))
        return false;
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > days_in_month(f.year, f.month))
        return false;
    if (!r.done()) {
        if (!r.take('T') && !r.take('t') && !r.take(' ')) return false;
        if (!read_clock(r, f)) return false;
    }
    // Second 60 is a leap second, read as the first of the next minute.
    return r.done() && f.hour <= 23 && f.minute <= 59 && f.second <= 60;
}

}  // namespace

int64_t system_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string iso_local_time(int64_t ms) {
    const int64_t second = floor_to_step(ms, 1000);
    const time_t seconds = static_cast<time_t>(second / 1000);
    std::tm t{};
    if (localtime_r(&seconds, &t) == nullptr) return std::to_string(ms);
    const long offset = t.tm_gmtoff / 60;
    if (t.tm_gmtoff % 60 != 0) {
        const time_t shifted = seconds + static_cast<time_t>(offset * 60);
        if (gmtime_r(&shifted, &t) == nullptr) return std::to_string(ms);
    }
    const long year = t.tm_year + 1900L;
    char text[64];
    int length = year >= 0 && year <= 9999
                     ? std::snprintf(text, sizeof text, "%04ld", year)
                     : std::snprintf(text, sizeof text, "%c%06ld", year < 0 ? '-' : '+',
                                     year < 0 ? -year : year);
    length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                            "-%02d-%02dT%02d:%02d:%02d", t.tm_mon + 1, t.tm_mday, t.tm_hour,
                            t.tm_min, t.tm_sec);
    const int millis = static_cast<int>(ms - second);
    if (millis != 0)
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                ".%03d", millis);
    const long magnitude = offset < 0 ? -offset : offset;
    std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "%c%02ld:%02ld",
                  offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

LocalInstants local_instants(int year, int month, int day, int hour, int minute, int second) {
    // mktime with each reading of daylight saving time; a reading that is not the zone's at that
    // wall-clock time comes back as another wall-clock time, and is no reading of this one.
    int64_t found[2];
    int count = 0;
    for (int dst = 0; dst <= 1; ++dst) {
        std::tm t = fields_of(year, month, day, hour, minute, second);
        t.tm_isdst = dst;
        const time_t instant = std::mktime(&t);
        if (t.tm_year == year - 1900 && t.tm_mon == month - 1 && t.tm_mday == day &&
            t.tm_hour == hour && t.tm_min == minute && t.tm_sec == second)
            found[count++] = static_cast<int64_t>(instant) * 1000;
    }
    if (count == 0) {
        std::tm t = fields_of(year, month, day, hour, minute, second);
        t.tm_isdst = -1;
        found[count++] = static_cast<int64_t>(std::mktime(&t)) * 1000;
    }
    if (count == 1 || found[0] == found[1]) return {found[0], found[0]};
    return {std::min(found[0], found[1]), std::max(found[0], found[1])};
}

int64_t parse_time_bound(std::string_view text, bool upper) {
    const std::string shown(text.substr(0, 40));
    bool digits = !text.empty();
    for (char c : text) digits = digits && is_digit(c);
    if (digits) {
        if (text.size() > 12 || std::stoll(std::string(text)) > kLastSecond)
            throw BadTimeBound("time out of range (after the year 9999): " + shown);
        const int64_t ms = std::stoll(std::string(text)) * 1000;
        return upper ? ms + 999 : ms;
    }
    if (text.size() > 4 && is_digit(text[0]) && is_digit(text[4]) && text.find('-') > 4)
        throw BadTimeBound("time out of range (after the year 9999): " + shown);
    BoundFields f;
    if (!read_bound(text, f))
        throw BadTimeBound("bad time \"" + shown +
                           "\": expected ISO 8601 with an offset (2026-12-09T01:00:00Z, "
                           "2026-12-09T09:00:00+08:00), YYYY-MM-DD[ HH:MM[:SS]] in the host's time "
                           "zone, or Unix seconds");
    int64_t ms;
    if (f.has_offset) {
        std::tm t = fields_of(f.year, f.month, f.day, f.hour, f.minute, f.second);
        ms = (static_cast<int64_t>(timegm(&t)) - f.offset_minutes * 60) * 1000;
    } else if (upper && f.unit_ms == kDayMs) {
        // A day ends where the next one starts, 23 or 25 hours later on the days the clock
        // changes (mktime carries the 32nd into the next month).
        return local_instants(f.year, f.month, f.day + 1, 0, 0, 0).earliest - 1;
    } else {
        const LocalInstants local =
            local_instants(f.year, f.month, f.day, f.hour, f.minute, f.second);
        ms = upper ? local.latest : local.earliest;
    }
    ms += f.millis;
    return upper ? ms + f.unit_ms - 1 : ms;
}

void require_ordered_range(int64_t from_ms, int64_t to_ms) {
    if (from_ms > to_ms)
        throw BadTimeBound("the range ends before it starts (from " + iso_local_time(from_ms) +
                           ", to " + iso_local_time(to_ms) + ")");
}

bool StoredLocalTimes::read(const std::string& device, std::string_view text, int64_t& ms) {
    if (text.size() != 19 || text[10] != ' ' || text[13] != ':' || text[16] != ':') return false;
    if (text.compare(0, 16, minute_text_) != 0) {
        BoundFields f;
        if (!read_bound(text.substr(0, 16), f)) return false;
        minute_ = local_instants(f.year, f.month, f.day, f.hour, f.minute, 0);
        minute_text_.assign(text.data(), 16);
    }
    if (!is_digit(text[17]) || !is_digit(text[18])) return false;
    const int64_t second = ((text[17] - '0') * 10 + (text[18] - '0')) * 1000;
    if (second > 60000) return false;
    const int64_t first = minute_.earliest + second, second_pass = minute_.latest + second;
    auto previous = previous_.find(device);
    if (previous == previous_.end()) previous = previous_.emplace(device, first).first;
    ms = first < previous->second && second_pass != first ? second_pass : first;
    previous->second = ms;
    return true;
}

}  // namespace kavren::host
