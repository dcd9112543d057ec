#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/host/config/retention.h"
#include "apps/host/history/age_clock.h"

namespace kavren::host {

class HistoryStore;

// Keeps the history within its retention and its max_size, on the history's own thread, in
// small transactions between batches of rounds (each step holds the write lock for at most a
// few tens of milliseconds), oldest rows first.
//
// By age: raw rounds and failed rounds older than `raw`, minutes (and alarm events) older than
// `minute`, hours older than `hour`. Never a meter's newest record (the one restored at the
// next start), never the newest event of an alarm (the alarm book's state), and never a round
// that a consumer (an MQTT broker) has not acknowledged. Age is judged by an AgeClock, which a
// system clock that jumps ahead does not move; passes come on the monotonic clock.
//
// By size: when the file (database and write-ahead log) nears max_size, the oldest raw rounds of
// any meter go first, acknowledged or not, then the oldest minutes, then the oldest hours; each
// such purge is logged once with what it removed, and the rounds dropped unacknowledged are
// counted. Freed pages are reused; a history made with incremental vacuum also gives them back
// to the file system while it is above its bound. Room is kept for the next commit at every
// instant of it: the pages it adds, and the write-ahead log at its peak, the checkpoint's
// threshold plus that commit. A commit's size is what the largest commit so far wrote into the
// log, or what the rounds waiting for it will write if that is more (learnt from the commits
// before, per round).
class HistoryPurger {
  public:
    using Log = std::function<void(const std::string&)>;
    using Clock = std::function<int64_t()>;  // now: Unix ms, or monotonic ms

    // consumers: the deliveries consumers whose unacknowledged rounds are kept ("mqtt ...").
    // now: the system clock; monotonic: a clock that only moves forward.
    HistoryPurger(HistoryStore& store, RetentionConfig config, std::vector<std::string> consumers,
                  Log log, Clock now, Clock monotonic);

    // Whether a step has work to do. Cheap: the file's size is read at most every few
    // hundred milliseconds or after enough rounds were stored to matter.
    bool due();
    // One transaction of work. Throws what the store throws (HistoryBusy, std::runtime_error).
    void step();
    // Called first in each step's transaction: the open rollup rows are written there, so that
    // their marks, which keep the raw rows after them, let the step remove what it should.
    void set_before_step(std::function<void()> before) { before_step_ = std::move(before); }
    // Told after each committed batch: rounds stored, so that a file nearing its bound is seen
    // in time, and what their commit wrote into the log.
    void stored(std::size_t rounds);
    // Told as rounds wait for their commit: how many wait now.
    void waiting(std::size_t rounds);

    uint64_t unacknowledged_dropped() const { return unacknowledged_dropped_.load(); }
    uint64_t steps() const { return steps_; }

  private:
    struct Sizes {
        uint64_t file = 0;  // database and write-ahead log, as the file system has them
        uint64_t used = 0;  // pages holding data
        uint64_t free = 0;  // pages on the free list
    };
    // What a forced purge removed so far, for its one log line.
    struct Removed {
        uint64_t rounds = 0, unacknowledged = 0, failed = 0, minutes = 0, hours = 0;
        int64_t first_ms = 0, last_ms = 0;
        bool any() const { return rounds + failed + minutes + hours > 0; }
    };

    Sizes sizes();
    // Frames the next commit may write into the log.
    uint64_t next_commit_frames() const;
    void check_size();
    void age_step(std::chrono::steady_clock::time_point deadline);
    void size_step();
    // Gives free pages back to the file system, as many as `needed` (bytes) is above max_size,
    // a step's share at most; false when there is nothing to give back.
    bool give_back(uint64_t needed, uint64_t free);
    // Says in the log where a pass removed more of a meter's raw rounds than it kept: a
    // retention lowered, a long stop, a clock followed to a new time; never silently.
    void tell_large_removals();
    // Rows of the tier before `before` may be gone (for readers choosing a resolution).
    void note_purged(const std::string& device, const char* tier, int64_t before);
    bool remove_oldest_raw();
    bool remove_oldest_rollups(int step_s);
    void end_forced_purge(const char* why);
    std::map<std::string, int64_t> pins();
    int64_t rows_per_statement() const;
    // The shortest retention by age (kKeepForever: none).
    int64_t shortest() const;
    // The newest record id the meter's open rollup rows have counted.
    int64_t folded_through(const std::string& device);
    // Time between two passes: a hundredth of the shortest retention, 1 s to an hour.
    int64_t pass_every() const;
    // The instant of the polled round stored last, of any meter.
    std::optional<int64_t> last_round_ms();

    HistoryStore& store_;
    std::function<void()> before_step_;
    RetentionConfig config_;
    std::vector<std::string> consumers_;
    Log log_;
    Clock monotonic_;
    std::unique_ptr<AgeClock> age_clock_;  // none without a retention by age

    // Age: a pass over every device and tier, resumed where the last step stopped; passes are
    // scheduled on the monotonic clock.
    int64_t next_pass_ms_ = 0;
    bool in_pass_ = false;
    int64_t pass_now_ms_ = 0;      // the instant its rows are aged by
    int64_t pass_started_ms_ = 0;  // monotonic
    std::size_t pass_job_ = 0, pass_device_ = 0;
    std::vector<std::string> pass_devices_;
    std::map<std::string, int64_t> pass_pins_;
    std::map<std::string, int64_t> pass_newest_;   // each meter's newest id as the pass began
    std::map<std::string, int64_t> pass_removed_;  // raw rounds removed by the pass, by meter

    // Size.
    std::chrono::steady_clock::time_point next_size_check_{};
    std::size_t rounds_since_check_ = 0;
    std::size_t rounds_since_step_ = 0;
    uint64_t page_size_ = 4096;
    uint64_t wal_reserve_ = 0;     // bytes the write-ahead log may reach
    uint64_t log_reserve_ = 0;     // ... when no reader holds it
    uint64_t log_bound_ = 0;       // the store's bound: what the log is cut back to
    uint64_t commit_reserve_ = 0;  // bytes the next commit may add to the database
    uint64_t headroom_ = 0;        // bytes kept for growth between checks
    uint64_t largest_commit_ = 0;  // frames, of the commits since this purger began
    double frames_per_round_ = 0;  // of the largest batch of rounds committed; 0: none yet
    std::size_t most_rounds_ = 0;  // ... its rounds
    std::size_t waiting_ = 0;      // rounds waiting for their commit
    bool incremental_vacuum_ = false;
    bool forced_ = false;
    bool exhausted_ = false;  // nothing left that a forced purge may remove
    bool told_cannot_shrink_ = false;
    Removed removed_;          // by the forced purge under way, committed
    Removed step_;             // by the step under way, not yet committed
    bool forced_end_ = false;  // the step under way ends the forced purge
    const char* forced_why_ = nullptr;

    std::atomic<uint64_t> unacknowledged_dropped_{0};
    uint64_t steps_ = 0;
};

}  // namespace kavren::host
