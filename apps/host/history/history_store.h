#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "apps/host/history/history_claim.h"
#include "apps/host/history/record_codec.h"
#include "apps/host/round/alarm_book.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kavren::host {

// Another program holds the history's lock: nothing is wrong with the history itself.
struct HistoryBusy : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The host's history in SQLite (WAL): every stored record, every failed round and every alarm
// raised or cleared, each with its instant in UTC, and the per-minute and per-hour rollups.
//
// Opening only checks: a file we cannot write, whose tables are not ours or whose schema is newer
// than ours, or that another host holds (HistoryClaim), is refused, and nothing in it is touched
// (no WAL switch, no tables made, no upgrade) until prepare(), which the host calls once every
// other start-up check has passed; a history to upgrade is checked whole before that writes
// anything. Writes go in transactions that the caller opens and commits, so that a batch of
// rounds is one commit.
class HistoryStore {
  public:
    // Throws std::runtime_error naming the file and the reason when it cannot be used.
    explicit HistoryStore(const std::string& path);
    ~HistoryStore();

    // Creates the file if needed (with incremental vacuum), switches it to WAL and makes our
    // tables, or upgrades a history of an older schema in place. Throws.
    void prepare();
    // Where prepare() reports an upgrade's progress.
    void set_log(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // Gives up waiting for another program's lock once this returns true (checked every few
    // milliseconds while SQLite waits), so that a stop is not held up by a busy database.
    void set_give_up(std::function<bool()> give_up) { give_up_ = std::move(give_up); }

    void begin();
    // Begins only when no other program holds the lock (false then), without waiting: for work
    // that can as well be done later.
    bool try_begin();
    // Commits; then a write-ahead log grown past its bound (a reader held its pages, as a
    // stalled export does) is checkpointed and cut to nothing, without waiting for readers:
    // tried again after later commits, at most once a second, until no reader holds it.
    void commit();
    void rollback() noexcept;
    // Whether the path still names the file prepare() opened: false once it was deleted or
    // replaced (another device or inode) under the running host.
    bool still_at_its_path() const;
    // The write-ahead log's bound in bytes (SQLite's journal_size_limit too).
    void set_log_bound(uint64_t bytes);
    uint64_t log_bound() const { return log_bound_; }
    // The frames in the write-ahead log at which a commit checkpoints it (SQLite's automatic
    // checkpoint, which the commit hook below stands in for). The log then peaks at this many
    // frames, less one, plus the largest commit.
    void set_checkpoint_frames(int frames) { checkpoint_frames_ = frames; }
    int checkpoint_frames() const { return checkpoint_frames_; }
    // Frames (pages) the write-ahead log took from the last commit of this connection, and the
    // most that any of its commits took; counted by SQLite as it writes them.
    uint64_t last_commit_frames() const { return last_commit_frames_; }
    uint64_t largest_commit_frames() const { return largest_commit_frames_; }

    // origin: "round" for a polled round, "restore" for a record restored at start-up; time: the
    // record's own local time stamp; t_ms: the instant the row stands for (Unix ms); id: the
    // row's id, given by the writer that numbers its rounds before they are stored (0: the next
    // free one). Returns the row's id.
    int64_t save_record(const std::string& device, uint32_t data_id, const std::string& time,
                        const uint8_t* record, std::size_t length, const char* origin, int64_t t_ms,
                        int64_t id = 0);
    void save_alarm(const std::string& device, const std::string& key, bool raised,
                    const std::string& description, const std::string& time, int64_t t_ms);
    // A round that failed: its instant and how it failed ("timeout", ...). Not a record.
    void save_failed_round(const std::string& device, int64_t t_ms, const char* kind);

    struct StoredRecord {
        uint32_t data_id = 0;
        int64_t t_ms = 0;  // its instant
        std::vector<uint8_t> bytes;
    };
    // The newest record of the device, or nothing when it has none. Throws for any other
    // failure, with SQLite's reason.
    std::optional<StoredRecord> newest_record(const std::string& device);
    long record_count(const std::string& device);
    // The alarms whose last event was a raise, by key.
    std::map<std::string, AlarmBook::Alarm> active_alarms(const std::string& device);

    // What a consumer outside the host (a broker) has acknowledged, by device: the id of the
    // newest record of the device such that it and every earlier one were acknowledged. Kept
    // in a table of its own, made by prepare_deliveries() (a write, retried by the caller).
    bool has_deliveries();
    void prepare_deliveries();
    std::map<std::string, int64_t> acknowledged(const std::string& consumer);
    // Within a transaction (begin/commit).
    void set_acknowledged(const std::string& consumer, const std::string& device, int64_t id);
    // The id of the device's newest record, 0 when it has none.
    int64_t newest_id(const std::string& device);
    // Every meter with records, with the id of its newest record.
    std::map<std::string, int64_t> newest_ids();
    struct PolledRecord {
        int64_t id = 0;
        int64_t t_ms = 0;  // its instant
        std::vector<uint8_t> bytes;
    };
    // Up to `limit` polled records (not restores) of the device after `after_id`, oldest first.
    std::vector<PolledRecord> polled_after(const std::string& device, int64_t after_id, int limit);
    // Texts remembered for publishing (the driver's limit descriptions): free-form rows of
    // (kind, key, text), written within a transaction.
    std::vector<std::pair<std::string, std::string>> remembered(const std::string& kind);
    void remember(const std::string& kind, const std::string& key, const std::string& text);
    // Within a transaction: the row of (kind, key) is gone.
    void forget(const std::string& kind, const std::string& key);
    // The newest id given to a record (the newest moved to meter order counts even once
    // deleted: no id up to it is given again), 0 when there is none. A mark above it was made
    // before the newest records were deleted.
    int64_t max_record_id();

    // Within a transaction: the bases that no stored record needs any more, of the meters whose
    // records were removed on this connection since the last call.
    void drop_unused_bases();

    // Rows of records this process stored.
    long records_stored() const { return records_stored_; }
    const std::string& path() const { return path_; }
    // The connection, for the history's own parts that keep statements of their own (rollups,
    // purging); only the history's thread uses it once rounds are stored.
    sqlite3* handle() const { return db_; }

    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

  private:
    static int on_busy(void* store, int attempts);
    static int on_commit(void* store, sqlite3* db, const char* name, int frames);
    void open(int flags);
    void switch_to_wal();
    void make_or_upgrade_tables();
    void prepare_statements();
    std::string journal_mode();
    void exec(const char* sql);
    sqlite3_stmt* prepared(const char* sql);
    // Throws HistoryBusy for a lock held by another program, std::runtime_error otherwise.
    [[noreturn]] void fail(const std::string& what);
    void trim_log();
    // records_recent's rounds and meters, counted again after a rollback.
    void count_recent();
    // Every round of records_recent into records_by_meter, and the ring's slots free again
    // (inside the transaction).
    void move_recent();

    std::string path_;
    std::unique_ptr<HistoryClaim> claim_;  // let go after the connection is closed
    sqlite3* db_ = nullptr;
    RecordFunctions* functions_ = nullptr;  // owned by the connection
    std::unique_ptr<RecordBases> bases_;
    std::string encoded_;
    sqlite3_stmt* insert_record_ = nullptr;
    sqlite3_stmt* newest_id_ = nullptr;
    sqlite3_stmt* insert_alarm_ = nullptr;
    sqlite3_stmt* insert_failure_ = nullptr;
    sqlite3_stmt* move_recent_ = nullptr;
    sqlite3_stmt* mark_moved_ = nullptr;
    static constexpr int kPageBytes = 2048;  // of a new history
    // New rounds wait in records_recent until there are this many per meter there.
    static constexpr std::size_t kRecentRoundsPerMeter = 256;
    // and at most this many in all: every read of records reads all of them.
    static constexpr std::size_t kMostRecentRounds = 4096;
    // A row of records_ring has its name and record padded with zeros to a multiple of this
    // many bytes: the row of a meter's next round in its slot mostly takes the same size, and
    // a small record does not take the room of a large one.
    static constexpr int kRingRowBytes = 48;
    std::size_t recent_rows_ = 0;
    std::size_t next_slot_ = 0;  // of records_ring, for the next round
    int64_t newest_id_given_ = 0;
    std::set<std::string, std::less<>> recent_meters_;
    bool recent_counted_ = false;
    std::function<bool()> give_up_;
    bool wait_for_locks_ = true;
    std::function<void(const std::string&)> log_;
    long records_stored_ = 0;          // committed
    long records_in_transaction_ = 0;  // not yet
    uint64_t log_bound_ = 0;
    int checkpoint_frames_ = 1000;  // SQLite's own default
    uint64_t last_commit_frames_ = 0, largest_commit_frames_ = 0;
    bool identity_known_ = false;
    uint64_t device_ = 0, inode_ = 0;  // of the file prepare() opened
    std::chrono::steady_clock::time_point next_log_check_{};
};

}  // namespace kavren::host
