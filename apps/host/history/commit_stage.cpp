#include "apps/host/history/commit_stage.h"

#include <unistd.h>

#include <thread>

#include "apps/host/round/read_outcome.h"
#include "apps/host/round/round_text.h"

namespace kavren::host {

namespace {

// A batch is at most this many rounds, so a commit stays short.
constexpr std::size_t kBatchRounds = 256;
constexpr auto kRetryAfter = std::chrono::seconds(1);
constexpr auto kBatchWindow = std::chrono::milliseconds(10);
// A purge that failed for another reason than a lock is tried again after this.
constexpr auto kPurgeRetryAfter = std::chrono::seconds(60);

std::string absolute_path(const std::string& path) {
    char here[4096];
    if (!path.empty() && path.front() != '/' && getcwd(here, sizeof here) != nullptr)
        return std::string(here) + "/" + path;
    return path;
}

}  // namespace

CommitStage::CommitStage(HistoryStore& store, std::vector<std::string> meter_names,
                         std::size_t bound, Log log)
    : store_(store),
      names_(std::move(meter_names)),
      log_(std::move(log)),
      rollups_(std::make_unique<RollupWriter>(store.handle())),
      worker_(bound) {
    books_.resize(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i)
        books_[i].restore(store_.active_alarms(names_[i]));
}

CommitStage::~CommitStage() { finish(std::chrono::steady_clock::now()); }

void CommitStage::set_retention(const RetentionConfig& retention,
                                std::vector<std::string> consumers, HistoryPurger::Clock now,
                                HistoryPurger::Clock monotonic) {
    purger_ = std::make_unique<HistoryPurger>(store_, retention, std::move(consumers), log_,
                                              std::move(now), std::move(monotonic));
}

void CommitStage::set_rollups(bool on) {
    if (!on) rollups_.reset();
    if (on && !rollups_) rollups_ = std::make_unique<RollupWriter>(store_.handle());
}

void CommitStage::start() {
    worker_.start([this] { run(); });
}

bool CommitStage::submit(std::shared_ptr<const RoundResult> result) {
    if (worker_.queue().try_push(std::move(result))) {
        if (refusing_.exchange(false))
            log_("history queue has room again (" + std::to_string(refused_.load()) +
                 " rounds refused so far)");
        return true;
    }
    refused_.fetch_add(1);
    if (!refusing_.exchange(true) && !worker_.finishing())
        log_("history queue full (" + std::to_string(worker_.queue().bound()) +
             " rounds waiting to be stored): new rounds are refused until it drains");
    return false;
}

void CommitStage::finish(std::chrono::steady_clock::time_point deadline) {
    worker_.finish(deadline);
}

std::string CommitStage::summary() const {
    std::string line = "history: " + absolute_path(store_.path()) + " (";
    if (file_gone()) {
        line += "deleted or replaced while the host ran: the " +
                std::to_string(store_.records_stored()) + " records stored before went with it";
    } else {
        line += std::to_string(store_.records_stored()) + " records stored";
    }
    if (rounds_refused() > 0)
        line += ", " + std::to_string(rounds_refused()) +
                " rounds refused while the history queue was full";
    if (rounds_lost() > 0) line += ", " + std::to_string(rounds_lost()) + " rounds not stored";
    if (rounds_dropped_unacknowledged() > 0)
        line += ", " + std::to_string(rounds_dropped_unacknowledged()) +
                " rounds removed by max_size before the MQTT broker acknowledged them";
    return line + ")";
}

StoredBatch CommitStage::store_batch(const Pending& batch) {
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
            store_round(*result, book->second, *round);
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

void CommitStage::store_round(const RoundResult& result, AlarmBook& book, StoredRound& round) {
    const bool polled = result.origin == RoundResult::Origin::round;
    if (result.has_record()) {
        const std::string record_time = record_time_text(result.record);
        round.history_id =
            store_.save_record(result.meter, result.data_id, record_time, result.record.data(),
                               result.record.size(), polled ? "round" : "restore", result.unix_ms);
        int raises = 0;
        for (const LimitReport& report : result.limit_reports) {
            const auto change =
                book.report(report.key, report.active, report.text, record_time, result.unix_ms);
            if (change == AlarmBook::Change::none) continue;
            const bool raised = change == AlarmBook::Change::raised;
            raises += raised;
            store_.save_alarm(result.meter, report.key, raised, report.text, record_time,
                              result.unix_ms);
            round.alarm_changes.push_back({report.key, raised, report.text});
        }
        if (polled && rollups_)
            rollups_->add_record(result.meter, result.unix_ms, result.record.data(),
                                 result.record.size(), raises);
    } else if (polled && !result.outcome.complete) {
        store_.save_failed_round(result.meter, result.unix_ms,
                                 outcome_name(result.outcome.failure));
        if (rollups_) rollups_->add_failed(result.meter, result.unix_ms);
    }
    round.active_alarms = book.active();
}

bool CommitStage::purge_due() {
    if (!purger_ || std::chrono::steady_clock::now() < purge_retry_at_) return false;
    return purger_->due();
}

void CommitStage::purge_step(bool rounds_waiting) {
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
    if (rounds_waiting || worker_.queue().size() > 0) ++steps_ahead_;
}

void CommitStage::run() {
    Pending pending;
    while (!worker_.out_of_time()) {
        // While the history is in trouble, new rounds stay in the queue, whose bound then
        // refuses the excess: only the batch being retried is held here.
        if (pending.empty() || (trouble_ == Trouble::none && pending.size() < kBatchRounds)) {
            if (!take_queued(pending)) return;  // closed, and everything stored
        } else if (trouble_ == Trouble::failing && std::chrono::steady_clock::now() < retry_at_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (!pending.empty()) commit_first(pending);
    }
    // Out of time: what is still waiting is lost, and said so in the summary.
    worker_.queue().pop_all(pending, std::chrono::milliseconds(0));
    lost_.fetch_add(pending.size());
}

bool CommitStage::take_queued(Pending& pending) {
    const bool finishing = worker_.finishing();
    const bool was_empty = pending.empty();
    auto& queue = worker_.queue();
    // Old rows are removed while no round waits, a step at a time.
    const bool purge = was_empty && trouble_ == Trouble::none && !finishing && purge_due();
    if (!queue.pop_all(pending, std::chrono::milliseconds(purge ? 0 : 200)) && pending.empty())
        return false;
    if (pending.empty()) {
        if (purge) purge_step(false);
        return true;
    }
    // A batch stays open a few milliseconds for the rounds that come meanwhile: one commit and
    // one wake-up for many rounds when they come fast. Asleep, not waiting on the queue, so
    // that producers have nobody to wake.
    if (was_empty && !pending.empty() && !finishing) {
        std::this_thread::sleep_for(kBatchWindow);
        queue.pop_all(pending, std::chrono::milliseconds(0));
    }
    return true;
}

bool CommitStage::dropped_for_a_gone_file(Pending& pending) {
    if (!file_gone_.load() && store_.still_at_its_path()) return false;
    if (!file_gone_.exchange(true)) {
        log_("history " + absolute_path(store_.path()) +
             " was deleted or replaced while the host ran: no round is stored from now on, and "
             "the host stops (status 1); started again, it makes a new history");
        if (on_file_gone_) on_file_gone_();
    }
    lost_.fetch_add(pending.size());
    pending.clear();
    return true;
}

void CommitStage::commit_first(Pending& pending) {
    if (dropped_for_a_gone_file(pending)) return;
    const auto count = static_cast<std::ptrdiff_t>(std::min(pending.size(), kBatchRounds));
    StoredBatch stored;
    most_steps_ahead_.store(std::max(most_steps_ahead_.load(), steps_ahead_));
    steps_ahead_ = 0;
    try {
        stored = store_batch(Pending(pending.begin(), pending.begin() + count));
    } catch (const HistoryBusy& e) {
        // Another program holds the lock: the rounds wait in the queue, nothing is wrong.
        if (trouble_ != Trouble::busy)
            log_("history " + store_.path() + " is locked by another program (" + e.what() +
                 "): rounds wait until it is free");
        trouble_ = Trouble::busy;
        return;
    } catch (const std::exception& e) {
        if (trouble_ != Trouble::failing)
            log_("cannot store rounds in history " + store_.path() + ": " + e.what() +
                 " (trying again every second)");
        write_failed_.store(true);
        trouble_ = Trouble::failing;
        retry_at_ = std::chrono::steady_clock::now() + kRetryAfter;
        return;
    }
    if (trouble_ != Trouble::none) log_("history " + store_.path() + " takes rounds again");
    trouble_ = Trouble::none;
    pending.erase(pending.begin(), pending.begin() + count);
    for (RoundSink* sink : sinks_) sink->take(stored);
    // While rounds keep coming, one purge step after each batch: neither starves.
    if (purger_) {
        purger_->stored(static_cast<std::size_t>(count));
        if (!worker_.finishing() && purge_due()) purge_step(!pending.empty());
    }
}

}  // namespace kavren::host
