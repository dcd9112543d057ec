#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/history/history_store.h"
#include "apps/host/round/alarm_book.h"
#include "apps/host/round/round_result.h"
#include "apps/host/support/bounded_queue.h"

namespace kavren::host {

// The first sink of every round: stores it, then hands it on. It runs on its own thread, takes
// rounds from a bounded queue, and writes them in small batches, one transaction each, with the
// statements prepared once. Only once a batch is committed are its rounds handed to the other
// sinks (printed, published), and only then does each meter's alarm book change: every round
// that was reported is in the history, also after the host is killed.
//
// A history that cannot be written (busy, full, too large) stalls nobody: the batch is retried
// once a second, the failure logged once with its reason; meanwhile the queue fills up to its
// bound and then new rounds are refused, logged once and counted.
class HistorySink {
  public:
    using Log = std::function<void(const std::string&)>;

    // meter_names: by meter index. The alarm books start from the alarms the history holds.
    HistorySink(HistoryStore& store, std::vector<std::string> meter_names, std::size_t bound,
                Log log);
    ~HistorySink();

    // Before start(): the sinks that get every stored round, in this order.
    void add_sink(RoundSink* sink) { sinks_.push_back(sink); }
    void start();

    // Never waits; false when the round was refused (queue full, or stopping).
    bool submit(std::shared_ptr<const RoundResult> result);
    // Writes what is queued, retrying a failed batch until the deadline, then ends the thread.
    void finish(std::chrono::steady_clock::time_point deadline);

    uint64_t rounds_refused() const { return refused_.load(); }
    // Rounds that were taken but could not be stored before the end.
    uint64_t rounds_lost() const { return lost_.load(); }
    // Whether any write failed while running (even if a retry then succeeded).
    bool write_failed() const { return write_failed_.load(); }
    // The meter's active alarms as they stand now (for start-up, before the thread runs).
    const std::map<std::string, AlarmBook::Alarm>& active_alarms(std::size_t meter) const {
        return books_.at(meter).active();
    }

    HistorySink(const HistorySink&) = delete;
    HistorySink& operator=(const HistorySink&) = delete;

  private:
    using Pending = std::vector<std::shared_ptr<const RoundResult>>;
    void run();
    StoredBatch store_batch(const Pending& batch);

    HistoryStore& store_;
    std::vector<std::string> names_;
    Log log_;
    BoundedQueue<std::shared_ptr<const RoundResult>> queue_;
    std::vector<AlarmBook> books_;  // by meter index; only the thread touches them once started
    std::vector<RoundSink*> sinks_;
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> refusing_{false};
    std::atomic<uint64_t> lost_{0};
    std::atomic<bool> write_failed_{false};
    std::atomic<bool> finishing_{false};
    std::atomic<int64_t> deadline_ns_{0};
    std::thread thread_;
};

}  // namespace kavren::host
