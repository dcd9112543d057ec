#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/config/retention.h"
#include "apps/host/history/history_store.h"
#include "apps/host/history/purger.h"
#include "apps/host/history/rollups.h"
#include "apps/host/round/alarm_book.h"
#include "apps/host/round/round_result.h"
#include "apps/host/round/round_sink.h"
#include "apps/host/support/queue_worker.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

// The commit stage between the links and the sinks: judges every round, stores it, and hands it
// on twice. It runs on its own thread and takes rounds from a bounded queue. A round taken is
// judged at once (each meter's alarm book changes, a record gets its history id) and handed to
// the sinks' live side; it then waits for the group commit: every commit_interval (at once when
// 0) one transaction writes what waited, with the statements prepared once: the records, the
// alarm events, the failed rounds (not records, but their instants and kinds) and the per-minute
// and per-hour rollups they change. Only once it is committed are those rounds handed to the
// sinks' committed side (RoundSink::take_committed). A stop, or finish(), commits what waits
// before the thread ends: only a kill or a power cut loses rounds, those of the last
// commit_interval at most. A restored record is stored, but is no round: it counts in no rollup.
//
// Between commits it keeps the history within its retention (HistoryPurger): one short step at a
// time, so that a round waits for at most one step.
//
// A history that cannot be written (busy, full, too large) stalls nobody: the commit is retried
// once a second, the failure logged once with its reason, the rounds waiting kept as they were
// judged; meanwhile new rounds stay in the queue, which fills up to its bound and then refuses
// them, logged once and counted.
class CommitStage {
  public:
    using Log = std::function<void(const std::string&)>;

    // meter_names: by meter index. The alarm books start from the alarms the history holds.
    CommitStage(HistoryStore& store, std::vector<std::string> meter_names, std::size_t bound,
                Log log);
    ~CommitStage();

    // Before start(): the sinks that get every stored round, in this order.
    void add_sink(RoundSink* sink) { sinks_.push_back(sink); }
    // Before start(): keep the history within `retention`; rounds these deliveries consumers
    // have not acknowledged are not removed by age. `now` is the system clock rows age by (see
    // AgeClock), `monotonic` the clock that schedules the passes and keeps time when `now`
    // jumps.
    void set_retention(const RetentionConfig& retention, std::vector<std::string> consumers,
                       HistoryPurger::Clock now = system_now_ms,
                       HistoryPurger::Clock monotonic = monotonic_now_ms);
    // Before start(): called once when the history file is deleted or replaced under the
    // running host. From then on no round is stored (they would go to a file nobody can open):
    // each is counted as not stored, and the summary says the file is gone.
    void set_on_file_gone(std::function<void()> fn) { on_file_gone_ = std::move(fn); }
    bool file_gone() const { return file_gone_.load(); }
    // Before start(): without rollups (only to measure what they cost).
    void set_rollups(bool on);
    // Before start(): how long a round may wait for its transaction; zero commits each batch
    // as soon as it is judged.
    void set_commit_interval(std::chrono::milliseconds interval) { commit_interval_ = interval; }
    void start();

    // Never waits; false when the round was refused (queue full, or stopping).
    bool submit(std::shared_ptr<const RoundResult> result);
    // Commits what waits and what is queued, retrying a failed commit until the deadline, then
    // ends the thread.
    void finish(std::chrono::steady_clock::time_point deadline);
    // Commits what waits and what is queued now, without waiting for commit_interval: true once
    // nothing is left uncommitted, false at the deadline (a locked or failing history), when what
    // waits stays for a later commit. The thread runs on either way; rounds submitted meanwhile
    // count too, so that the caller holds them back first.
    bool flush(std::chrono::steady_clock::time_point deadline);

    uint64_t rounds_refused() const { return refused_.load(); }
    // Rounds that were taken but could not be stored before the end.
    uint64_t rounds_lost() const { return lost_.load(); }
    // Whether any write failed while running (even if a retry then succeeded).
    bool write_failed() const { return write_failed_.load(); }
    // Rounds that max_size removed before the MQTT broker acknowledged them.
    uint64_t rounds_dropped_unacknowledged() const {
        return purger_ ? purger_->unacknowledged_dropped() : 0;
    }
    // The most purge steps that ran while rounds waited to be stored.
    uint64_t most_purge_steps_ahead_of_rounds() const { return most_steps_ahead_.load(); }
    // Whether every round was stored: nothing failed, refused or left unstored.
    bool stored_all() const {
        return !write_failed() && !file_gone() && rounds_refused() == 0 && rounds_lost() == 0;
    }
    // What this run stored: "history: FILE (N records stored, ...)".
    std::string summary() const;
    // The meter's active alarms as they stand now (for start-up, before the thread runs).
    const std::map<std::string, AlarmBook::Alarm>& active_alarms(std::size_t meter) const {
        return books_.at(meter).active();
    }

    CommitStage(const CommitStage&) = delete;
    CommitStage& operator=(const CommitStage&) = delete;

  private:
    using Pending = std::vector<std::shared_ptr<const RoundResult>>;
    enum class Trouble { none, busy, failing };
    void run();
    // Takes what the queue holds into `arrived`; false once it is closed and empty.
    bool take_queued(Pending& arrived);
    // Judges the rounds that arrived and hands them to the sinks' live side; they wait in
    // uncommitted_ for their transaction.
    void hand_on_live(Pending& arrived);
    std::shared_ptr<StoredRound> judge(const std::shared_ptr<const RoundResult>& result);
    bool commit_due(bool open) const;
    // Commits what waits and hands it to the sinks' committed side; it stays when the history
    // refuses it.
    void commit_waiting();
    void write_open_rollups();
    void write_waiting();
    // One judged round, into the open transaction.
    void store_round(const StoredRound& round);
    // Whether the file is gone; then the rounds waiting are dropped and counted.
    bool dropped_for_a_gone_file();
    // Waits until `until`, the end of the run's time, or a wake-up by finish().
    void sleep_until(std::chrono::steady_clock::time_point until);
    // Tells flush() when nothing is left uncommitted.
    void tell_if_flushed();
    bool purge_due();
    void purge_step(bool rounds_waiting);

    HistoryStore& store_;
    std::vector<std::string> names_;
    Log log_;
    std::vector<AlarmBook> books_;  // by meter index; only the thread touches them once started
    std::chrono::milliseconds commit_interval_{0};
    StoredBatch uncommitted_;  // judged, handed on live, waiting for their transaction
    std::chrono::steady_clock::time_point commit_at_{};  // when uncommitted_ is due
    int64_t next_id_ = 0;                                // the next record's history id
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    std::atomic<bool> flush_asked_{false};
    bool flushed_ = false;  // under wake_mutex_
    std::condition_variable flushed_cv_;
    std::vector<RoundSink*> sinks_;
    std::unique_ptr<RollupWriter> rollups_;
    std::unique_ptr<HistoryPurger> purger_;
    std::chrono::steady_clock::time_point purge_retry_at_{};
    bool purge_failing_ = false;
    uint64_t steps_ahead_ = 0;  // purge steps since the last batch that rounds waited for
    std::atomic<uint64_t> most_steps_ahead_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> refusing_{false};
    std::atomic<uint64_t> lost_{0};
    std::atomic<bool> write_failed_{false};
    std::atomic<bool> file_gone_{false};
    std::function<void()> on_file_gone_;
    Trouble trouble_ = Trouble::none;  // the thread's only
    std::chrono::steady_clock::time_point retry_at_{};
    QueueWorker<std::shared_ptr<const RoundResult>> worker_;
};

}  // namespace kavren::host
