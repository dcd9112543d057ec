#include "apps/host/history/age_clock.h"

#include <time.h>

#include <algorithm>

#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// How far, for a log line, in its largest unit: "365 days", "1 hour", "5 minutes", "12 s".
std::string roughly(int64_t ms) {
    struct Unit {
        int64_t ms;
        const char *one, *many;
    };
    static const Unit units[] = {{kDayMs, "day", "days"},
                                 {kHourMs, "hour", "hours"},
                                 {kMinuteMs, "minute", "minutes"},
                                 {1000, "s", "s"}};
    for (const Unit& unit : units) {
        if (ms < unit.ms && unit.ms > 1000) continue;
        const int64_t n = (ms + unit.ms / 2) / unit.ms;
        return std::to_string(n) + " " + (n == 1 ? unit.one : unit.many);
    }
    return {};
}

}  // namespace

int64_t monotonic_now_ms() {
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

AgeClock::AgeClock(Clock system, Clock monotonic, std::optional<int64_t> last_round_ms,
                   Limits limits, Log log)
    : system_(std::move(system)),
      monotonic_(std::move(monotonic)),
      limits_(limits),
      log_(std::move(log)) {
    const int64_t system_ms = system_();
    const bool past = last_round_ms && system_ms - *last_round_ms > limits_.start_tolerance_ms;
    kept_at_ms_ = past ? *last_round_ms : system_ms;
    from_last_round_ = past;
    kept_since_ms_ = monotonic_();
}

int64_t AgeClock::now() {
    const int64_t system_ms = system_(), monotonic_ms = monotonic_();
    const int64_t kept_ms = kept_at_ms_ + (monotonic_ms - kept_since_ms_);
    const int64_t ahead = system_ms - kept_ms;
    if (ahead >= -limits_.tolerance_ms && ahead <= limits_.tolerance_ms) {
        if (out_of_step_)
            log_("the system clock is in step again (" + iso_local_time(system_ms) +
                 "): rows are aged by it");
        follow(system_ms, monotonic_ms);
        return system_ms;
    }
    const bool same_step = out_of_step_ && ahead - step_ms_ >= -limits_.tolerance_ms &&
                           ahead - step_ms_ <= limits_.tolerance_ms;
    if (!same_step) {
        moved(system_ms, kept_ms, monotonic_ms);
    } else if (monotonic_ms - step_since_ms_ >= limits_.trust_after_ms) {
        log_("the system clock has held its time (" + iso_local_time(system_ms) + ") for " +
             roughly(limits_.trust_after_ms) + ": rows are aged by it from now on, " +
             roughly(std::max(ahead, -ahead)) + (ahead > 0 ? " later" : " earlier") +
             " than the time kept until now");
        follow(system_ms, monotonic_ms);
        return system_ms;
    }
    return std::min(system_ms, kept_ms);
}

void AgeClock::follow(int64_t system_ms, int64_t monotonic_ms) {
    kept_at_ms_ = system_ms;
    kept_since_ms_ = monotonic_ms;
    from_last_round_ = false;
    out_of_step_ = false;
}

void AgeClock::moved(int64_t system_ms, int64_t kept_ms, int64_t monotonic_ms) {
    const bool first = !out_of_step_;
    out_of_step_ = true;
    step_ms_ = system_ms - kept_ms;
    step_since_ms_ = monotonic_ms;
    // A clock that keeps moving restarts the wait without a line each time.
    if (!first) return;
    const std::string wait =
        ", not by this clock until it has held its time for " + roughly(limits_.trust_after_ms);
    if (step_ms_ < 0) {
        log_("the system clock went back " + roughly(-step_ms_) + " (to " +
             iso_local_time(system_ms) + "): rows are aged by it, and older rows are removed " +
             "only as it passes them");
    } else if (from_last_round_) {
        log_("the system clock (" + iso_local_time(system_ms) + ") is " + roughly(step_ms_) +
             " past the round stored last: rows are aged from that round on (" +
             iso_local_time(kept_ms) + " now)" + wait);
    } else {
        log_("the system clock jumped " + roughly(step_ms_) + " ahead (to " +
             iso_local_time(system_ms) + "): rows are aged by the time kept (" +
             iso_local_time(kept_ms) + ")" + wait);
    }
}

}  // namespace kavren::host
