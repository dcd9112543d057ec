#include "apps/host/history_sink.h"

#include <thread>

#include "apps/common/stop_signal.h"
#include "apps/host/meter_services.h"
#include "apps/host/modbus_link.h"
#include "apps/host/steady_ns.h"

namespace kavren::host {

namespace {

// A batch is at most this many rounds, so a commit stays short.
constexpr std::size_t kBatchRounds = 256;
constexpr auto kRetryAfter = std::chrono::seconds(1);
constexpr auto kBatchWindow = std::chrono::milliseconds(10);
// A purge that failed for another reason than a lock is tried again after this.
constexpr auto kPurgeRetryAfter = std::chrono::seconds(60);

}  // namespace

HistorySink::HistorySink(HistoryStore& store, std::vector<std::string> meter_names,
                         std::size_t bound, Log log)
    : store_(store),
      names_(std::move(meter_names)),
      log_(std::move(log)),
      queue_(bound),
      rollups_(std::make_unique<RollupWriter>(store.handle())) {
    books_.resize(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i)
        books_[i].restore(store_.active_alarms(names_[i]));
}

HistorySink::~HistorySink() { finish(std::chrono::steady_clock::now()); }

void HistorySink::set_retention(const RetentionConfig& retention,
                                std::vector<std::string> consumers, HistoryPurger::Clock now) {
    purger_ = std::make_unique<HistoryPurger>(store_, retention, std::move(consumers), log_,
                                              std::move(now));
}

void HistorySink::set_rollups(bool on) {
    if (!on) rollups_.reset();
    if (on && !rollups_) rollups_ = std::make_unique<RollupWriter>(store_.handle());
}

void HistorySink::start() {
    thread_ = std::thread([this] { run(); });
}

bool HistorySink::submit(std::shared_ptr<const RoundResult> result) {
    if (queue_.try_push(std::move(result))) {
        if (refusing_.exchange(false))
            log_("history queue has room again (" + std::to_string(refused_.load()) +
                 " rounds refused so far)");
        return true;
    }
    refused_.fetch_add(1);
    if (!refusing_.exchange(true) && !finishing_.load())
        log_("history queue full (" + std::to_string(queue_.bound()) +
             " rounds waiting to be stored): new rounds are refused until it drains");
    return false;
}

void HistorySink::finish(std::chrono::steady_clock::time_point deadline) {
    deadline_ns_.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
    finishing_.store(true);
    queue_.close();
    if (thread_.joinable()) thread_.join();
}

StoredBatch HistorySink::store_batch(const Pending& batch) {
    // The alarm books as this batch leaves them; they become the books once it is committed.
    std::map<std::size_t, AlarmBook> books;
    StoredBatch stored;
    stored.reserve(batch.size());
    store_.begin();
    try {
        for (const auto& result : batch) {
            auto round = std::make_shared<StoredRound>();
            round->result = result;
            const std::size_t meter = result->meter_index;
            auto book = books.find(meter);
            if (book == books.end()) book = books.emplace(meter, books_.at(meter)).first;
            const bool polled = result->origin == RoundResult::Origin::round;
            if (result->has_record()) {
                const std::string record_time = record_time_text(result->record);
                round->history_id = store_.save_record(
                    result->meter, result->data_id, record_time, result->record.data(),
                    result->record.size(), polled ? "round" : "restore", result->unix_ms);
                int raises = 0;
                for (const LimitReport& report : result->limit_reports) {
                    const auto change =
                        book->second.report(report.key, report.active, report.text, record_time);
                    if (change == AlarmBook::Change::none) continue;
                    const bool raised = change == AlarmBook::Change::raised;
                    raises += raised;
                    store_.save_alarm(result->meter, report.key, raised, report.text, record_time,
                                      result->unix_ms);
                    round->alarm_changes.push_back({report.key, raised, report.text});
                }
                if (polled && rollups_)
                    rollups_->add_record(result->meter, result->unix_ms, result->record.data(),
                                         result->record.size(), raises);
            } else if (polled && !result->outcome.complete) {
                store_.save_failed_round(result->meter, result->unix_ms,
                                         outcome_name(result->outcome.failure));
                if (rollups_) rollups_->add_failed(result->meter, result->unix_ms);
            }
            round->active_alarms = book->second.active();
            stored.push_back(std::move(round));
        }
        if (rollups_) rollups_->write();
        store_.commit();
    } catch (...) {
        store_.rollback();
        // The rollups in memory hold what was rolled back: they are read again.
        if (rollups_) rollups_->forget();
        throw;
    }
    for (auto& book : books) books_[book.first] = std::move(book.second);
    return stored;
}

bool HistorySink::purge_due() {
    if (!purger_ || std::chrono::steady_clock::now() < purge_retry_at_) return false;
    return purger_->due();
}

void HistorySink::purge_step(bool rounds_waiting) {
    try {
        purger_->step();
        if (purge_failing_) log_("history " + store_.path() + ": old rows are removed again");
        purge_failing_ = false;
    } catch (const HistoryBusy&) {
        // Another program holds the lock; the rounds' own retry says so.
        purge_retry_at_ = std::chrono::steady_clock::now() + kRetryAfter;
    } catch (const std::exception& e) {
        if (!purge_failing_)
            log_("history " + store_.path() + ": " + e.what() + " (trying again in a minute)");
        purge_failing_ = true;
        purge_retry_at_ = std::chrono::steady_clock::now() + kPurgeRetryAfter;
    }
    if (rounds_waiting || queue_.size() > 0) ++steps_ahead_;
}

void HistorySink::run() {
    enum class Trouble { none, busy, failing };
    Pending pending;
    Trouble trouble = Trouble::none;
    auto retry_at = std::chrono::steady_clock::now();
    for (;;) {
        const bool finishing = finishing_.load();
        if (finishing && steady_now_ns() > deadline_ns_.load()) break;
        // While the history is in trouble, new rounds stay in the queue, whose bound then
        // refuses the excess: only the batch being retried is held here.
        if (pending.empty() || (trouble == Trouble::none && pending.size() < kBatchRounds)) {
            const bool was_empty = pending.empty();
            // Old rows are removed while no round waits, a step at a time.
            const bool purge = was_empty && trouble == Trouble::none && !finishing && purge_due();
            if (!queue_.pop_all(pending, std::chrono::milliseconds(purge ? 0 : 200)) &&
                pending.empty())
                return;  // closed, and everything stored
            if (pending.empty()) {
                if (purge) purge_step(false);
                continue;
            }
            // A batch stays open a few milliseconds for the rounds that come meanwhile: one
            // commit and one wake-up for many rounds when they come fast. Asleep, not waiting on
            // the queue, so that producers have nobody to wake.
            if (was_empty && !pending.empty() && !finishing) {
                std::this_thread::sleep_for(kBatchWindow);
                queue_.pop_all(pending, std::chrono::milliseconds(0));
            }
        } else if (trouble == Trouble::failing && std::chrono::steady_clock::now() < retry_at) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (pending.empty()) continue;
        const std::size_t count = std::min(pending.size(), kBatchRounds);
        const Pending batch(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
        StoredBatch stored;
        most_steps_ahead_.store(std::max(most_steps_ahead_.load(), steps_ahead_));
        steps_ahead_ = 0;
        try {
            stored = store_batch(batch);
        } catch (const HistoryBusy& e) {
            // Another program holds the lock: the rounds wait in the queue, nothing is wrong.
            if (trouble != Trouble::busy)
                log_("history " + store_.path() + " is locked by another program (" + e.what() +
                     "): rounds wait until it is free");
            trouble = Trouble::busy;
            continue;
        } catch (const std::exception& e) {
            if (trouble != Trouble::failing)
                log_("cannot store rounds in history " + store_.path() + ": " + e.what() +
                     " (trying again every second)");
            write_failed_.store(true);
            trouble = Trouble::failing;
            retry_at = std::chrono::steady_clock::now() + kRetryAfter;
            continue;
        }
        if (trouble != Trouble::none) log_("history " + store_.path() + " takes rounds again");
        trouble = Trouble::none;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
        for (RoundSink* sink : sinks_) sink->take(stored);
        // While rounds keep coming, one purge step after each batch: neither starves.
        if (purger_) {
            purger_->stored(count);
            if (!finishing && purge_due()) purge_step(!pending.empty());
        }
    }
    // Out of time: what is still waiting is lost, and said so by the caller.
    queue_.pop_all(pending, std::chrono::milliseconds(0));
    lost_.store(pending.size());
}

}  // namespace kavren::host
