#include "apps/host/history/commit_stage.h"

#include <unistd.h>

#include <algorithm>

#include "apps/host/round/read_outcome.h"
#include "apps/host/round/round_text.h"

namespace kavren::host {

namespace {

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
    purger_->set_before_step([this] {
        if (rollups_) rollups_->write(true);
    });
}

void CommitStage::set_rollups(bool on) {
    if (!on) rollups_.reset();
    if (on && !rollups_) rollups_ = std::make_unique<RollupWriter>(store_.handle());
}

void CommitStage::start() {
    // The history ids are given here, in the order the rounds are judged: a round shown live
    // carries the id it will be stored under.
    next_id_ = store_.max_record_id() + 1;
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
    {
        std::lock_guard<std::mutex> hold(wake_mutex_);
        woken_ = true;
    }
    wake_.notify_all();
    worker_.finish(deadline);
}

bool CommitStage::flush(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    flushed_ = false;
    flush_asked_.store(true);
    woken_ = true;
    wake_.notify_all();
    worker_.queue().nudge();
    const bool flushed = flushed_cv_.wait_until(lock, deadline, [this] { return flushed_; });
    flush_asked_.store(false);
    return flushed;
}

void CommitStage::tell_if_flushed() {
    if (!flush_asked_.load() || !uncommitted_.empty() || worker_.queue().size() > 0) return;
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        flushed_ = true;
    }
    flushed_cv_.notify_all();
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

std::shared_ptr<StoredRound> CommitStage::judge(const std::shared_ptr<const RoundResult>& result) {
    auto round = std::make_shared<StoredRound>();
    round->result = result;
    AlarmBook& book = books_.at(result->meter_index);
    if (result->has_record()) {
        round->history_id = next_id_++;
        const std::string record_time = record_time_text(result->record);
        for (const LimitReport& report : result->limit_reports) {
            const auto change =
                book.report(report.key, report.active, report.text, record_time, result->unix_ms);
            if (change == AlarmBook::Change::none) continue;
            round->alarm_changes.push_back(
                {report.key, change == AlarmBook::Change::raised, report.text});
        }
    }
    round->active_alarms = book.active();
    return round;
}

void CommitStage::hand_on_live(Pending& arrived) {
    if (arrived.empty()) return;
    StoredBatch batch;
    batch.reserve(arrived.size());
    for (const auto& result : arrived) batch.push_back(judge(result));
    arrived.clear();
    for (RoundSink* sink : sinks_) sink->take(batch);
    if (uncommitted_.empty()) commit_at_ = std::chrono::steady_clock::now() + commit_interval_;
    uncommitted_.insert(uncommitted_.end(), batch.begin(), batch.end());
    if (purger_) purger_->waiting(uncommitted_.size());
}

void CommitStage::store_round(const StoredRound& round) {
    const RoundResult& result = *round.result;
    const bool polled = result.origin == RoundResult::Origin::round;
    if (rollups_) rollups_->load(result.meter);
    if (result.has_record()) {
        const std::string record_time = record_time_text(result.record);
        store_.save_record(result.meter, result.data_id, record_time, result.record.data(),
                           result.record.size(), polled ? "round" : "restore", result.unix_ms,
                           round.history_id);
        int raises = 0;
        for (const AlarmChange& change : round.alarm_changes) {
            raises += change.raised;
            store_.save_alarm(result.meter, change.key, change.raised, change.description,
                              record_time, result.unix_ms);
        }
        if (polled && rollups_)
            rollups_->add_record(result.meter, result.unix_ms, result.record.data(),
                                 result.record.size(), raises);
    } else if (polled && !result.outcome.complete) {
        store_.save_failed_round(result.meter, result.unix_ms,
                                 outcome_name(result.outcome.failure));
        if (rollups_) rollups_->add_failed(result.meter, result.unix_ms);
    }
}

void CommitStage::write_waiting() {
    store_.begin();
    try {
        for (const auto& round : uncommitted_) store_round(*round);
        // The open rollup rows of the meters whose minute changed: the others' rounds are
        // counted from the records when their rows are read.
        if (rollups_) rollups_->write();
        store_.commit();
    } catch (...) {
        store_.rollback();
        // The rollups in memory hold what was rolled back: they are read again.
        if (rollups_) rollups_->forget();
        throw;
    }
}

void CommitStage::write_open_rollups() {
    if (!rollups_ || !rollups_->has_unwritten() || dropped_for_a_gone_file()) return;
    // A stopped host leaves its open rollup rows whole, for any reader of the file. Should this
    // fail, nothing is lost: the rounds they lack are counted from the records when read.
    try {
        store_.begin();
        rollups_->write(true);
        store_.commit();
    } catch (const std::exception&) {
        store_.rollback();
        rollups_->forget();
    }
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
        if (rollups_) rollups_->forget();
        purge_retry_at_ = std::chrono::steady_clock::now() + kRetryAfter;
    } catch (const std::exception& e) {
        // The open rollup rows the step wrote were rolled back with it.
        if (rollups_) rollups_->forget();
        if (!purge_failing_)
            log_("history " + store_.path() + ": " + e.what() + " (trying again in a minute)");
        purge_failing_ = true;
        purge_retry_at_ = std::chrono::steady_clock::now() + kPurgeRetryAfter;
    }
    if (rounds_waiting || worker_.queue().size() > 0) ++steps_ahead_;
}

void CommitStage::run() {
    Pending arrived;
    bool open = true;
    while (!worker_.out_of_time()) {
        // While the history is in trouble, new rounds stay in the queue, whose bound then
        // refuses the excess: only the rounds judged before are held here.
        if (trouble_ == Trouble::none && open) {
            open = take_queued(arrived);
            hand_on_live(arrived);
        } else if (trouble_ == Trouble::failing) {
            sleep_until(retry_at_);
        }
        if (commit_due(open)) commit_waiting();
        tell_if_flushed();
        if (!open && uncommitted_.empty()) {  // closed, and everything stored
            write_open_rollups();
            return;
        }
    }
    // Out of time: what is still waiting is lost, and said so in the summary.
    worker_.queue().pop_all(arrived, std::chrono::milliseconds(0));
    lost_.fetch_add(arrived.size() + uncommitted_.size());
    uncommitted_.clear();
}

bool CommitStage::take_queued(Pending& arrived) {
    const bool finishing = worker_.finishing();
    auto& queue = worker_.queue();
    const auto now = std::chrono::steady_clock::now();
    // Old rows are removed while no commit is due, a step at a time.
    const bool purge = !finishing && purge_due() && !commit_due(true);
    auto wait = std::chrono::milliseconds(purge ? 0 : 200);
    if (!uncommitted_.empty())
        wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(commit_at_ - now),
                          std::chrono::milliseconds(0), wait);
    if (!queue.pop_all(arrived, wait)) return false;
    if (arrived.empty()) {
        if (purge) purge_step(false);
        return true;
    }
    // A batch stays open a few milliseconds for the rounds that come meanwhile: one hand-off
    // and one wake-up for many rounds when they come fast. Not waiting on the queue, so that
    // producers have nobody to wake.
    if (!finishing) {
        sleep_until(std::chrono::steady_clock::now() + kBatchWindow);
        queue.pop_all(arrived, std::chrono::milliseconds(0));
    }
    return true;
}

void CommitStage::sleep_until(std::chrono::steady_clock::time_point until) {
    if (worker_.finishing()) until = std::min(until, worker_.deadline());
    std::unique_lock<std::mutex> lock(wake_mutex_);
    wake_.wait_until(lock, until, [this] { return woken_; });
    woken_ = false;
}

bool CommitStage::commit_due(bool open) const {
    if (uncommitted_.empty()) return false;
    return trouble_ != Trouble::none || !open || worker_.finishing() || flush_asked_.load() ||
           commit_interval_.count() == 0 || std::chrono::steady_clock::now() >= commit_at_ ||
           uncommitted_.size() >= worker_.queue().bound();
}

bool CommitStage::dropped_for_a_gone_file() {
    if (!file_gone_.load() && store_.still_at_its_path()) return false;
    if (!file_gone_.exchange(true)) {
        log_("history " + absolute_path(store_.path()) +
             " was deleted or replaced while the host ran: no round is stored from now on, and "
             "the host stops (status 1); started again, it makes a new history");
        if (on_file_gone_) on_file_gone_();
    }
    lost_.fetch_add(uncommitted_.size());
    uncommitted_.clear();
    return true;
}

void CommitStage::commit_waiting() {
    if (dropped_for_a_gone_file()) return;
    most_steps_ahead_.store(std::max(most_steps_ahead_.load(), steps_ahead_));
    steps_ahead_ = 0;
    try {
        write_waiting();
    } catch (const HistoryBusy& e) {
        // Another program holds the lock: the rounds wait, nothing is wrong.
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
    StoredBatch committed;
    committed.swap(uncommitted_);
    for (RoundSink* sink : sinks_) sink->take_committed(committed);
    // While rounds keep coming, one purge step after each commit: neither starves.
    if (purger_) {
        purger_->stored(committed.size());
        if (!worker_.finishing() && purge_due()) purge_step(worker_.queue().size() > 0);
    }
}

}  // namespace kavren::host
