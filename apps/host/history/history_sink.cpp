#include "apps/host/history/history_sink.h"

#include <thread>

#include "apps/common/stop_signal.h"
#include "apps/host/round/round_text.h"
#include "apps/host/support/steady_ns.h"

namespace kavren::host {

namespace {

// A batch is at most this many rounds, so a commit stays short.
constexpr std::size_t kBatchRounds = 256;
constexpr auto kRetryAfter = std::chrono::seconds(1);
constexpr auto kBatchWindow = std::chrono::milliseconds(10);

}  // namespace

HistorySink::HistorySink(HistoryStore& store, std::vector<std::string> meter_names,
                         std::size_t bound, Log log)
    : store_(store), names_(std::move(meter_names)), log_(std::move(log)), queue_(bound) {
    books_.resize(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i)
        books_[i].restore(store_.active_alarms(names_[i]));
}

HistorySink::~HistorySink() { finish(std::chrono::steady_clock::now()); }

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
            if (result->has_record()) {
                const std::string record_time = record_time_text(result->record);
                round->history_id = store_.save_record(
                    result->meter, result->data_id, record_time, result->record.data(),
                    result->record.size(),
                    result->origin == RoundResult::Origin::restore ? "restore" : "round");
                for (const LimitReport& report : result->limit_reports) {
                    const auto change =
                        book->second.report(report.key, report.active, report.text, record_time);
                    if (change == AlarmBook::Change::none) continue;
                    const bool raised = change == AlarmBook::Change::raised;
                    store_.save_alarm(result->meter, report.key, raised, report.text, record_time);
                    round->alarm_changes.push_back({report.key, raised, report.text});
                }
            }
            round->active_alarms = book->second.active();
            stored.push_back(std::move(round));
        }
        store_.commit();
    } catch (...) {
        store_.rollback();
        throw;
    }
    for (auto& book : books) books_[book.first] = std::move(book.second);
    return stored;
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
            if (!queue_.pop_all(pending, std::chrono::milliseconds(200)) && pending.empty())
                return;  // closed, and everything stored
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
    }
    // Out of time: what is still waiting is lost, and said so by the caller.
    queue_.pop_all(pending, std::chrono::milliseconds(0));
    lost_.store(pending.size());
}

}  // namespace kavren::host
