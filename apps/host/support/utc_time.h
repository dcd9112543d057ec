#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kavren::host {

// The history keeps every instant as Unix milliseconds (UTC). Local wall-clock time, in the host's
// time zone (TZ, else /etc/localtime), appears only where people read or type times.

constexpr int64_t kMinuteMs = 60 * 1000;
constexpr int64_t kHourMs = 60 * kMinuteMs;
constexpr int64_t kDayMs = 24 * kHourMs;

// The start of the step-long interval (aligned on the Unix epoch) that holds the instant.
inline int64_t floor_to_step(int64_t ms, int64_t step_ms) {
    const int64_t q = ms / step_ms;
    return (ms % step_ms < 0 ? q - 1 : q) * step_ms;
}

// The end of the step-long interval (aligned on the Unix epoch) that the instant starts or is in:
// the instant itself on an edge.
inline int64_t ceil_to_step(int64_t ms, int64_t step_ms) {
    const int64_t start = floor_to_step(ms, step_ms);
    return start == ms ? ms : start + step_ms;
}

int64_t system_now_ms();

// The instant as ISO 8601 in the host's zone with its offset: "2026-12-09T01:02:03+01:00", and
// ".456" after the seconds when it has milliseconds. The year has four digits ("0001"), one
// outside 0 to 9999 a sign and six ("-000044"); an offset is whole minutes (a zone's old local
// mean time of +00:53:28 is written +00:53, the clock time with it), so the text is the instant.
std::string iso_local_time(int64_t ms);
// The same to the second, for times that a record carries to the second: a round's time.
inline std::string iso_local_second(int64_t ms) { return iso_local_time(floor_to_step(ms, 1000)); }

// The instants a local wall-clock time of the host's zone stands for: one (earliest == latest);
// two an hour apart in the hour a fall-back repeats; in the hour a spring-forward skips, there is
// none, and both are the instant the clock would have shown it (the skip moves it forward).
struct LocalInstants {
    int64_t earliest = 0;
    int64_t latest = 0;
};
LocalInstants local_instants(int year, int month, int day, int hour, int minute, int second);

// A time bound a reader gave that cannot be read; its text says why.
struct BadTimeBound : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Throws BadTimeBound, naming both, when the range [from_ms, to_ms] ends before it starts.
void require_ordered_range(int64_t from_ms, int64_t to_ms);

// A time bound in Unix milliseconds. Takes ISO 8601 with an offset ("2026-12-09T01:00:00Z",
// "...+08:00", "...-0530"; a space for the '+' that a URL turns into one), a local time of the
// host's zone without one ("YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]", 'T' or ' '), each with optional
// ".fff" after the seconds, or Unix seconds. An upper bound takes in the whole of its last unit
// (day, minute, second); a local time the fall-back repeats is its earliest instant as a lower
// bound, its latest as an upper one. Years after 9999 are refused. Throws BadTimeBound.
int64_t parse_time_bound(std::string_view text, bool upper);

// Reads the local time texts of stored rows ("YYYY-MM-DD HH:MM:SS") as instants, row by row in
// the order they were stored. In the hour a fall-back repeats, a text is read as its first pass
// (summer time) unless that would put it before the meter's row before it; then as the second.
class StoredLocalTimes {
  public:
    // False when the text is not such a time.
    bool read(const std::string& device, std::string_view text, int64_t& ms);

  private:
    std::map<std::string, int64_t, std::less<>> previous_;  // by device
    std::string minute_text_;                               // "YYYY-MM-DD HH:MM" last seen
    LocalInstants minute_{};                                // its instants at second 0
};

}  // namespace kavren::host
