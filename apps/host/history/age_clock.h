#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kavren::host {

// Milliseconds since the machine started, suspended time included (CLOCK_BOOTTIME): a clock
// that only moves forward, whatever the system clock does.
int64_t monotonic_now_ms();

// The instant the history's rows are aged by. The system clock can jump: a bad time source or a
// hand-set date a year ahead, a board without a real-time clock that starts in 2000 and is
// stepped by NTP. Aged by a clock a year ahead, every row would go at once, for good.
//
// So this keeps a time of its own: it starts at the system clock, or at the round stored last
// where the system clock is past it by more than `start_tolerance` (a stop that long, or a clock
// set ahead meanwhile), runs on with the monotonic clock, and follows the system clock while the
// two agree within `tolerance`. Rows are aged by the earlier of the two. A system clock that
// moved ahead of the kept time is followed only once it has held its new time (within
// `tolerance`) for `trust_after`: a clock that jumps and comes back removes nothing that the kept
// time would not have, and one that came back finds retention in step again at once. A system
// clock behind the kept time removes less; it is followed once it has held its time for
// `trust_after` too, so that a later jump ahead is judged from it.
//
// A round stamped in the future counts for nothing: the kept time starts at most at the system
// clock, and from the round stored last, not the one of the latest instant. Each jump, each
// return and each new time followed is logged once.
class AgeClock {
  public:
    using Clock = std::function<int64_t()>;  // Unix ms (the system clock) or monotonic ms
    using Log = std::function<void(const std::string&)>;

    struct Limits {
        int64_t tolerance_ms = 60000;
        int64_t trust_after_ms = 3600000;
        int64_t start_tolerance_ms = 60000;
    };

    AgeClock(Clock system, Clock monotonic, std::optional<int64_t> last_round_ms, Limits limits,
             Log log);

    // The instant to age rows by, now.
    int64_t now();

  private:
    void follow(int64_t system_ms, int64_t monotonic_ms);
    void moved(int64_t system_ms, int64_t kept_ms, int64_t monotonic_ms);

    Clock system_, monotonic_;
    Limits limits_;
    Log log_;
    // The kept time: kept_at_ms_ when the monotonic clock read kept_since_ms_.
    int64_t kept_at_ms_ = 0, kept_since_ms_ = 0;
    bool from_last_round_ = false;  // the kept time started at the round stored last
    // A system clock out of step with the kept time: by how much, since when (monotonic).
    bool out_of_step_ = false;
    int64_t step_ms_ = 0, step_since_ms_ = 0;
};

}  // namespace kavren::host
