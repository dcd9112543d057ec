#include "apps/host/history/purger.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "apps/host/history/history_store.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"

namespace kavren::host {

namespace {

// The work of one step: it then commits and lets the next batch of rounds in.
constexpr auto kStepTime = std::chrono::milliseconds(20);
// The first pass after a start comes at most this long after it.
constexpr int64_t kFirstPassAfterMs = 10000;
// How often the file's size is read while nothing says it grew fast.
constexpr auto kSizeCheckEvery = std::chrono::milliseconds(500);
// Frames a round writes into the log, until a batch of this many rounds has shown it: a guess on
// the safe side (a batch of a thousand rounds writes about a hundred pages, rollups included).
constexpr double kFramesPerRoundUnseen = 0.15;
constexpr std::size_t kRoundsToLearnFrom = 100;

// One kind of row removed by age. Parameters: :device, :cutoff (rows before it go), :limit, and
// for records :newest (the meter's newest id, kept), :pin (the newest acknowledged id) and
// :folded (the marks of the meter's open rollup rows: the rows after them stay, as reading those
// rows counts them). The newest failed round stays: a new one would take its id again, below
// the marks.
struct AgeJob {
    int64_t RetentionConfig::*keep;
    int64_t bucket_ms;  // a rollup bucket goes once all of it is older than the retention
    const char* tier;   // in purged_before; none for alarm events
    const char* sql;
};
const AgeJob kAgeJobs[] = {
    // Each of the two tables of records by itself: through the view, every row would be
    // deleted by a trigger of its own.
    {&RetentionConfig::raw_ms, 0, "raw",
     "DELETE FROM records_by_meter WHERE id IN (SELECT id FROM records_by_meter WHERE device = "
     ":device AND t_ms < :cutoff AND id < :newest AND id <= :pin AND id <= :folded ORDER BY t_ms "
     "LIMIT :limit)"},
    {&RetentionConfig::raw_ms, 0, "raw",
     "DELETE FROM records_ring WHERE id IN (SELECT id FROM records_recent WHERE device = :device "
     "AND t_ms < :cutoff AND id < :newest AND id <= :pin AND id <= :folded ORDER BY t_ms LIMIT "
     ":limit)"},
    {&RetentionConfig::raw_ms, 0, "raw",
     "DELETE FROM failed_rounds WHERE id IN (SELECT id FROM failed_rounds WHERE device = :device "
     "AND t_ms < :cutoff AND id <= (SELECT coalesce(min(failed_id), 9223372036854775807) FROM "
     "rollups_open WHERE device = :device) AND id < (SELECT max(id) FROM failed_rounds) ORDER BY "
     "t_ms LIMIT :limit)"},
    // Alarm events stay as long as the minutes, and each alarm's newest event for ever.
    {&RetentionConfig::minute_ms, 0, nullptr,
     "DELETE FROM alarms WHERE id IN (SELECT id FROM alarms WHERE device = :device AND "
     "t_ms < :cutoff AND id <= (SELECT coalesce(min(alarm_id), 9223372036854775807) FROM "
     "rollups_open WHERE device = :device) AND id NOT IN (SELECT max(id) FROM alarms WHERE device "
     "= :device GROUP BY "
     "key) ORDER BY t_ms LIMIT :limit)"},
    {&RetentionConfig::minute_ms, kMinuteMs, "minute",
     "DELETE FROM rollups WHERE device = :device AND step_s = 60 AND t_ms < :cutoff AND t_ms < "
     "coalesce((SELECT t_ms FROM rollups WHERE device = :device AND step_s = 60 ORDER BY t_ms "
     "LIMIT 1 OFFSET :limit), 9223372036854775807)"},
    {&RetentionConfig::hour_ms, kHourMs, "hour",
     "DELETE FROM rollups WHERE device = :device AND step_s = 3600 AND t_ms < :cutoff AND t_ms < "
     "coalesce((SELECT t_ms FROM rollups WHERE device = :device AND step_s = 3600 ORDER BY t_ms "
     "LIMIT 1 OFFSET :limit), 9223372036854775807)"},
};

// The newest id (mark: record_id or failed_id) the open rollup rows of the meter `device` (a
// column or a parameter) have counted.
std::string folded_through_sql(const char* device, const char* mark = "record_id") {
    return std::string("(SELECT coalesce(min(") + mark +
           "), 9223372036854775807) FROM rollups_open AS o WHERE o.device = " + device + ")";
}

void bind(SqliteQuery& q, const char* name, int64_t value) {
    const int i = sqlite3_bind_parameter_index(q.get(), name);
    if (i > 0) q.integer(i, value);
}

int64_t pragma(sqlite3* db, const char* name) {
    SqliteQuery q(db, (std::string("PRAGMA ") + name).c_str());
    return q.step() ? q.column_int64(0) : 0;
}

uint64_t file_size(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? static_cast<uint64_t>(s.st_size) : 0;
}

}  // namespace

HistoryPurger::HistoryPurger(HistoryStore& store, RetentionConfig config,
                             std::vector<std::string> consumers, Log log, Clock now,
                             Clock monotonic)
    : store_(store),
      config_(config),
      consumers_(std::move(consumers)),
      log_(std::move(log)),
      monotonic_(std::move(monotonic)) {
    sqlite3* db = store_.handle();
    // The first pass waits a little: a start has the meters' records to restore first, on the
    // same connection.
    next_pass_ms_ = pass_every() == kKeepForever
                        ? kKeepForever
                        : monotonic_() + std::min<int64_t>(pass_every(), kFirstPassAfterMs);
    if (shortest() != kKeepForever) {
        // A step of the clock of up to a hundredth of the shortest retention (a second to a
        // minute) is followed at once; a larger one once the clock has held it for a tenth (a
        // minute to an hour). At a start, a clock past the round stored last by up to a tenth of
        // the shortest retention is followed at once: it removes at most that share early. That
        // round is read before this start stores its first.
        const int64_t tolerance = std::clamp<int64_t>(shortest() / 100, 1000, kMinuteMs);
        const AgeClock::Limits limits{tolerance,
                                      std::clamp<int64_t>(shortest() / 10, kMinuteMs, kHourMs),
                                      std::max(tolerance, shortest() / 10)};
        age_clock_ = std::make_unique<AgeClock>(
            std::move(now), monotonic_, last_round_ms(), limits,
            [this](const std::string& line) { log_("history " + store_.path() + ": " + line); });
    }
    page_size_ = static_cast<uint64_t>(pragma(db, "page_size"));
    incremental_vacuum_ = pragma(db, "auto_vacuum") == 2;
    if (config_.max_size == 0) return;
    // The write-ahead log is part of the bound: it is checkpointed and cut back to a size that
    // fits well within it.
    const uint64_t wal_pages = std::clamp<uint64_t>(config_.max_size / page_size_ / 64, 16, 1000);
    const uint64_t frame = page_size_ + 24;
    store_.set_checkpoint_frames(static_cast<int>(wal_pages));
    // Cut back only what grew past the checkpoint's size by more than a transaction: a log cut
    // at every checkpoint would be grown again by the next.
    log_bound_ = 2 * wal_pages * frame + 32;
    store_.set_log_bound(log_bound_);
    log_reserve_ = wal_reserve_ = log_bound_;
    headroom_ = std::max<uint64_t>(config_.max_size / 64, 64 * page_size_);
}

int64_t HistoryPurger::rows_per_statement() const {
    if (config_.max_size == 0) return 1000;
    // A deleted round dirties about a tenth of a page: a step stays well inside the log's bound.
    const auto base =
        std::clamp<int64_t>(static_cast<int64_t>(log_bound_ / (page_size_ + 24)) * 2, 64, 1000);
    // At the bound, a step removes more than the batches before it stored, and at least as many
    // as wait for their commit, whose room it makes: the file shrinks ahead of that commit.
    if (!forced_) return base;
    const auto rounds = std::max<int64_t>(2 * static_cast<int64_t>(rounds_since_step_),
                                          static_cast<int64_t>(waiting_));
    return std::clamp<int64_t>(rounds, base, 1000);
}

void HistoryPurger::stored(std::size_t rounds) {
    rounds_since_check_ += rounds;
    rounds_since_step_ += rounds;
    waiting_ = 0;
    const uint64_t frames = store_.last_commit_frames();
    largest_commit_ = std::max(largest_commit_, frames);
    if (rounds == 0) return;
    const double per_round = static_cast<double>(frames) / static_cast<double>(rounds);
    if (rounds > most_rounds_ || (rounds == most_rounds_ && per_round > frames_per_round_)) {
        most_rounds_ = rounds;
        frames_per_round_ = per_round;
    }
}

void HistoryPurger::waiting(std::size_t rounds) {
    // More rounds waiting make a larger commit: seen as soon as rounds stored would be.
    if (rounds > waiting_) rounds_since_check_ += rounds - waiting_;
    waiting_ = rounds;
}

uint64_t HistoryPurger::next_commit_frames() const {
    const double per_round =
        most_rounds_ >= kRoundsToLearnFrom ? frames_per_round_ : kFramesPerRoundUnseen;
    const auto rounds = static_cast<uint64_t>(std::ceil(static_cast<double>(waiting_) * per_round));
    return std::max(largest_commit_, rounds);
}

HistoryPurger::Sizes HistoryPurger::sizes() {
    sqlite3* db = store_.handle();
    Sizes s;
    const uint64_t pages = static_cast<uint64_t>(pragma(db, "page_count"));
    const uint64_t free = static_cast<uint64_t>(pragma(db, "freelist_count"));
    s.used = (pages - std::min(pages, free)) * page_size_;
    s.free = free * page_size_;
    const uint64_t wal = file_size(store_.path() + "-wal");
    // The database as SQLite has it (pages not yet copied from the log count already), and the
    // log as the file system has it.
    s.file = std::max(pages * page_size_, file_size(store_.path())) + wal;
    // At its peak the log holds the frames up to the checkpoint's threshold, less one, and the
    // whole commit that crosses it; the database grows by at most a page per frame of it.
    const uint64_t commit = next_commit_frames();
    const auto threshold = static_cast<uint64_t>(std::max(store_.checkpoint_frames(), 1));
    log_reserve_ = std::max(log_bound_, (threshold - 1 + commit) * (page_size_ + 24) + 32);
    commit_reserve_ = commit * page_size_;
    // A log a reader made grow past that is cut back by the store once the reader is done: it
    // counts while it is there, not for good.
    wal_reserve_ = wal > log_reserve_ ? wal + wal / 4 : log_reserve_;
    return s;
}

void HistoryPurger::check_size() {
    const auto now = std::chrono::steady_clock::now();
    // A round adds about 400 bytes; the check comes before the growth can eat the headroom.
    const bool grew = rounds_since_check_ * 400 >= headroom_ / 4;
    if (!grew && now < next_size_check_) return;
    next_size_check_ = now + kSizeCheckEvery;
    rounds_since_check_ = 0;
    const Sizes s = sizes();
    const bool over = s.used + headroom_ + commit_reserve_ + wal_reserve_ > config_.max_size;
    const bool too_long =
        incremental_vacuum_ && s.free > 0 && s.used + s.free + wal_reserve_ > config_.max_size;
    if (!over && !too_long) {
        exhausted_ = false;
        if (!incremental_vacuum_ && s.file > config_.max_size && !told_cannot_shrink_) {
            told_cannot_shrink_ = true;
            log_("history " + store_.path() + " takes " + size_text(s.file) +
                 ", more than its max_size of " + size_text(config_.max_size) +
                 ": its free pages are reused, but a file made before this kavren-host cannot "
                 "give them back (with the host stopped: sqlite3 FILE \"PRAGMA "
                 "auto_vacuum=INCREMENTAL; VACUUM\")");
        }
        return;
    }
    if (!exhausted_) forced_ = true;
}

bool HistoryPurger::due() {
    if (config_.max_size > 0) {
        if (!forced_) check_size();
        if (forced_) return true;
    }
    if (in_pass_) return true;
    return monotonic_() >= next_pass_ms_;
}

void HistoryPurger::step() {
    ++steps_;
    const auto deadline = std::chrono::steady_clock::now() + kStepTime;
    step_ = Removed{};
    forced_end_ = false;
    // Never waits for another program's lock: the rounds' own writes do, and say so.
    if (!store_.try_begin()) throw HistoryBusy("the history is locked by another program");
    try {
        if (before_step_) before_step_();
        if (forced_) {
            size_step();
        } else {
            age_step(deadline);
        }
        store_.drop_unused_bases();
        store_.commit();
        largest_commit_ = std::max(largest_commit_, store_.last_commit_frames());
    } catch (const std::runtime_error& e) {
        // Rolled back: nothing of this step was removed, and it is done again.
        store_.rollback();
        if ((sqlite3_errcode(store_.handle()) & 0xFF) == SQLITE_BUSY) throw HistoryBusy(e.what());
        throw std::runtime_error(std::string("cannot remove old rows: ") + e.what());
    }
    // What a forced purge removed counts once it is committed.
    if (step_.rounds > 0) {
        removed_.first_ms =
            removed_.rounds > 0 ? std::min(removed_.first_ms, step_.first_ms) : step_.first_ms;
        removed_.last_ms = std::max(removed_.last_ms, step_.last_ms);
    }
    removed_.rounds += step_.rounds;
    removed_.unacknowledged += step_.unacknowledged;
    removed_.failed += step_.failed;
    removed_.minutes += step_.minutes;
    removed_.hours += step_.hours;
    unacknowledged_dropped_.fetch_add(step_.unacknowledged);
    rounds_since_step_ = 0;
    if (forced_end_) end_forced_purge(forced_why_);
}

std::map<std::string, int64_t> HistoryPurger::pins() {
    std::map<std::string, int64_t> pins;
    if (consumers_.empty() || !store_.has_deliveries()) return pins;
    SqliteQuery q(store_.handle(), "SELECT device, acked_id FROM deliveries WHERE consumer = ?");
    for (const std::string& consumer : consumers_) {
        q.reset();
        q.text(1, consumer);
        while (q.step()) {
            const std::string device = q.column_text(0);
            const auto found = pins.find(device);
            const int64_t id = q.column_int64(1);
            if (found == pins.end() || id < found->second) pins[device] = id;
        }
    }
    return pins;
}

void HistoryPurger::age_step(std::chrono::steady_clock::time_point deadline) {
    if (!age_clock_) return;  // nothing is removed by age
    if (!in_pass_) {
        in_pass_ = true;
        pass_started_ms_ = monotonic_();
        pass_now_ms_ = age_clock_->now();
        pass_job_ = pass_device_ = 0;
        pass_newest_ = store_.newest_ids();
        pass_devices_.clear();
        for (const auto& meter : pass_newest_) pass_devices_.push_back(meter.first);
        pass_pins_ = pins();
    }
    const int64_t limit = rows_per_statement();
    int64_t removed = 0;  // a step removes at most `limit` rows: its log stays within bounds
    for (; pass_job_ < std::size(kAgeJobs); ++pass_job_, pass_device_ = 0) {
        const AgeJob& job = kAgeJobs[pass_job_];
        const int64_t keep = config_.*job.keep;
        if (keep == kKeepForever) continue;
        const int64_t cutoff = pass_now_ms_ - keep - job.bucket_ms;
        SqliteQuery q(store_.handle(), job.sql);
        while (pass_device_ < pass_devices_.size()) {
            const std::string& device = pass_devices_[pass_device_];
            const auto pin = pass_pins_.find(device);
            q.reset();
            q.text(sqlite3_bind_parameter_index(q.get(), ":device"), device);
            bind(q, ":cutoff", cutoff);
            const int64_t asked = limit - removed;
            bind(q, ":limit", asked);
            if (sqlite3_bind_parameter_index(q.get(), ":newest") > 0)
                bind(q, ":newest", pass_newest_[device]);
            bind(q, ":pin", pin == pass_pins_.end() ? kKeepForever : pin->second);
            if (sqlite3_bind_parameter_index(q.get(), ":folded") > 0)
                bind(q, ":folded", folded_through(device));
            q.run();
            const int changes = sqlite3_changes(store_.handle());
            if (changes > 0 && job.tier != nullptr) note_purged(device, job.tier, cutoff);
            if (pass_job_ < 2) pass_removed_[device] += changes;  // raw rounds
            removed += changes;
            if (changes < asked) ++pass_device_;  // nothing more of it to remove
            if (removed >= limit || std::chrono::steady_clock::now() > deadline) return;
        }
    }
    // Once through: the next pass when a little more has aged.
    in_pass_ = false;
    tell_large_removals();
    next_pass_ms_ = pass_started_ms_ + pass_every();
}

int64_t HistoryPurger::folded_through(const std::string& device) {
    SqliteQuery q(store_.handle(), ("SELECT " + folded_through_sql("?")).c_str());
    q.text(1, device);
    return q.step() ? q.column_int64(0) : 0;
}

int64_t HistoryPurger::shortest() const {
    int64_t shortest = kKeepForever;
    for (const AgeJob& job : kAgeJobs) shortest = std::min(shortest, config_.*job.keep);
    return shortest;
}

void HistoryPurger::tell_large_removals() {
    // Counted only up to what went: a pass that removes less than a meter keeps costs nothing.
    SqliteQuery left(store_.handle(),
                     "SELECT count(*) FROM (SELECT 1 FROM records WHERE device = ? LIMIT ?)");
    for (const auto& [device, removed] : pass_removed_) {
        if (removed == 0) continue;
        left.reset();
        left.text(1, device);
        left.integer(2, removed);
        const int64_t kept = left.step() ? left.column_int64(0) : removed;
        if (kept >= removed) continue;
        log_("history " + store_.path() + ": " + device + ": " + std::to_string(removed) +
             " raw rounds removed at once, more than the " + std::to_string(kept) +
             " kept: those stored before " + iso_local_time(pass_now_ms_ - config_.raw_ms) +
             " (raw retention, aged by " + iso_local_time(pass_now_ms_) + ")");
    }
    pass_removed_.clear();
}

int64_t HistoryPurger::pass_every() const {
    return shortest() == kKeepForever ? kKeepForever
                                      : std::clamp<int64_t>(shortest() / 100, 1000, kHourMs);
}

std::optional<int64_t> HistoryPurger::last_round_ms() {
    // By id, the order of storing: the host's clock when it stored its last round, which a round
    // stamped ahead by a clock that came back since does not stand for.
    SqliteQuery q(store_.handle(),
                  "SELECT t_ms, id FROM records_by_meter INDEXED BY records_by_id WHERE origin = "
                  "'round' UNION ALL SELECT t_ms, id FROM records_recent WHERE origin = 'round' "
                  "ORDER BY 2 DESC LIMIT 1");
    if (!q.step()) return std::nullopt;
    return q.column_int64(0);
}

bool HistoryPurger::remove_oldest_raw() {
    // The oldest rows by id, which grows as rounds are stored; each meter's newest stays.
    std::string kept;
    std::map<std::string, int64_t> pinned = pins();
    for (const auto& meter : store_.newest_ids())
        kept += (kept.empty() ? "" : ",") + std::to_string(meter.second);
    if (kept.empty()) return false;
    // From each table by itself, meter order first (its ids are all below the ring's): through
    // the view, a trigger would delete each row, and scan the ring for each. A meter's rows after
    // its open rollup rows' marks stay: its rollups count them from there (after a kill, until it
    // is polled again; at most a minute of rounds).
    const char* const from[][2] = {
        {"records_by_meter", "records_by_meter AS r INDEXED BY records_by_id"},
        {"records_ring", "records_recent AS r"}};
    uint64_t removed = 0;
    int64_t last_ms = 0;
    std::map<std::string, int64_t> horizons;
    const auto limit = static_cast<uint64_t>(rows_per_statement());
    for (const auto& table : from) {
        if (removed >= limit) break;
        SqliteQuery q(
            store_.handle(),
            (std::string("DELETE FROM ") + table[0] + " WHERE id IN (SELECT id FROM " + table[1] +
             " WHERE id NOT IN (" + kept + ") AND id <= " + folded_through_sql("r.device") +
             " ORDER BY id LIMIT ?) RETURNING id, device, t_ms")
                .c_str());
        q.integer(1, static_cast<int64_t>(limit - removed));
        while (q.step()) {
            const int64_t t_ms = q.column_int64(2);
            const std::string device = q.column_text(1);
            int64_t& horizon = horizons[device];
            horizon = std::max(horizon, t_ms + 1);
            const auto pin = pinned.find(device);
            if (pin != pinned.end() && q.column_int64(0) > pin->second) ++step_.unacknowledged;
            if (step_.rounds == 0 || t_ms < step_.first_ms) step_.first_ms = t_ms;
            step_.last_ms = std::max(step_.last_ms, t_ms);
            last_ms = std::max(last_ms, t_ms);
            ++step_.rounds;
            ++removed;
        }
    }
    if (removed == 0) return false;
    for (const auto& h : horizons) note_purged(h.first, "raw", h.second);
    // Failed rounds up to the same instant go with them, but those after the marks.
    SqliteQuery failed(store_.handle(),
                       ("DELETE FROM failed_rounds WHERE id IN (SELECT id FROM failed_rounds AS r "
                        "WHERE t_ms <= ? AND id < (SELECT max(id) FROM failed_rounds) AND id <= " +
                        folded_through_sql("r.device", "failed_id") + " ORDER BY id LIMIT ?)")
                           .c_str());
    failed.integer(1, last_ms);
    failed.integer(2, rows_per_statement());
    failed.run();
    step_.failed += static_cast<uint64_t>(sqlite3_changes(store_.handle()));
    return true;
}

bool HistoryPurger::remove_oldest_rollups(int step_s) {
    std::string oldest_device;
    int64_t oldest = kKeepForever;
    SqliteQuery first(store_.handle(),
                      "SELECT t_ms FROM rollups WHERE device = ? AND step_s = ? ORDER BY t_ms "
                      "LIMIT 1");
    for (const auto& meter : store_.newest_ids()) {
        first.reset();
        first.text(1, meter.first);
        first.integer(2, step_s);
        if (first.step() && first.column_int64(0) < oldest) {
            oldest = first.column_int64(0);
            oldest_device = meter.first;
        }
    }
    first.reset();
    if (oldest_device.empty()) return false;
    const AgeJob& job = kAgeJobs[step_s == 60 ? 4 : 5];
    // Its oldest rows: up to `limit` of them, and only whole ones before the next bucket.
    const int64_t limit = rows_per_statement();
    SqliteQuery last(store_.handle(),
                     "SELECT max(t_ms) FROM (SELECT t_ms FROM rollups WHERE device = ? AND "
                     "step_s = ? ORDER BY t_ms LIMIT ?)");
    last.text(1, oldest_device);
    last.integer(2, step_s);
    last.integer(3, limit);
    const int64_t before = last.step() ? last.column_int64(0) + step_s * int64_t{1000} : oldest;
    SqliteQuery q(store_.handle(), job.sql);
    q.text(sqlite3_bind_parameter_index(q.get(), ":device"), oldest_device);
    bind(q, ":cutoff", before);
    bind(q, ":limit", limit);
    q.run();
    const auto removed = static_cast<uint64_t>(sqlite3_changes(store_.handle()));
    if (removed > 0) note_purged(oldest_device, job.tier, before);
    (step_s == 60 ? step_.minutes : step_.hours) += removed;
    return removed > 0;
}

void HistoryPurger::size_step() {
    const Sizes s = sizes();
    // The file as it is, with the log at its peak beside it and room to grow, first: free pages
    // beyond that go back to the file system (at the next checkpoint, once the log held what
    // moved) before more rows go.
    if (give_back(s.used + s.free + wal_reserve_ + headroom_, s.free)) return;
    if (s.used + 2 * headroom_ + commit_reserve_ + wal_reserve_ <= config_.max_size) {
        forced_end_ = true;
        forced_why_ = nullptr;
        return;
    }
    // One removal a step: its write-ahead log stays within the bound.
    if (!remove_oldest_raw() && !remove_oldest_rollups(60) && !remove_oldest_rollups(3600)) {
        forced_end_ = true;
        forced_why_ = "only each meter's newest round is left, and the bound cannot be kept";
    }
}

bool HistoryPurger::give_back(uint64_t needed, uint64_t free) {
    if (!incremental_vacuum_ || free == 0 || needed <= config_.max_size) return false;
    // A page moved writes about two into the log: a step writes no more than the commit that
    // room is kept for.
    const uint64_t most = std::min<uint64_t>(static_cast<uint64_t>(rows_per_statement()) / 4 + 1,
                                             std::max<uint64_t>(next_commit_frames() / 2, 16));
    const uint64_t pages = std::min<uint64_t>((needed - config_.max_size) / page_size_ + 1, most);
    sqlite_exec(store_.handle(),
                ("PRAGMA incremental_vacuum(" + std::to_string(pages) + ")").c_str());
    return true;
}

void HistoryPurger::note_purged(const std::string& device, const char* tier, int64_t before) {
    SqliteQuery q(store_.handle(),
                  "INSERT INTO purged_before (device, tier, t_ms) VALUES (?, ?, ?) "
                  "ON CONFLICT (device, tier) DO UPDATE SET t_ms = max(t_ms, excluded.t_ms)");
    q.text(1, device);
    q.text(2, tier);
    q.integer(3, before);
    q.run();
}

void HistoryPurger::end_forced_purge(const char* why) {
    forced_ = false;
    exhausted_ = why != nullptr;
    if (!removed_.any() && why == nullptr) return;
    std::string line = "history " + store_.path() + ": at its max_size of " +
                       size_text(config_.max_size) + ", removed " +
                       std::to_string(removed_.rounds) + " rounds";
    if (removed_.rounds > 0)
        line += " stored " + iso_local_time(removed_.first_ms) + " to " +
                iso_local_time(removed_.last_ms);
    if (removed_.unacknowledged > 0)
        line += " (" + std::to_string(removed_.unacknowledged) +
                " of them not yet acknowledged by the MQTT broker)";
    line += ", " + std::to_string(removed_.failed) + " failed rounds, " +
            std::to_string(removed_.minutes) + " minutes and " + std::to_string(removed_.hours) +
            " hours";
    if (why != nullptr) line += std::string("; ") + why;
    log_(line);
    removed_ = Removed{};
}

}  // namespace kavren::host
