// The history's figures (docs/performance.md), each through the code the host runs:
//   - a synthetic history of one meter, 30 days of rounds at 1 s (2.6 million rows) and a year of
//     minutes and hours, built here: its file size, and that of everything older than 30 days;
//   - `series` of 1000 points for the last hour, day, 30 days and year of it (medians);
//   - the CPU that rollups and purging add per stored round: the history's sink fed rounds with
//     and without them, the runs interleaved;
//   - the upgrade of a million rows of schema 2;
//   - what incremental vacuum costs a stored and a removed row.
//   - the bytes written to storage per stored round (write_bytes of /proc/self/io), one and ten
//     meters at 1 s in real time, with rollups and the default retention, committed every 5 s
//     (the default; 300 s of rounds after 300 s of warm-up) and at once (for 60 s);
// usage: history_bench DIR [rounds|series|writes [SECONDS [METERS]]|upgrade|store|year]   (its
// files are made in DIR and removed at the end; "year": only the synthetic history and its series;
//        "rounds": only the CPU that rollups and purging add; "series": only the series requests,
//        on DIR/synthetic.db, built when it is not there and kept, so that two builds can be
//        timed on the same file)
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/history/commit_stage.h"
#include "apps/host/history/history_query.h"
#include "apps/host/history/history_store.h"
#include "apps/host/history/rollups.h"
#include "apps/host/history/series.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"
#include "meter/kavren_m7_data.h"
#include "tests/apps/synthetic_record.h"

using namespace kavren;
using namespace kavren::host;
using testing_support::synthetic_record;

namespace {

const int64_t kNow = int64_t{1796083200} * 1000;  // 2026-12-01T00:00:00Z: the synthetic "now"

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

uint64_t file_size(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? static_cast<uint64_t>(s.st_size) : 0;
}

void remove_history(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

// Copies the log of the history at `path` into its file, from a connection of its own as a
// reader program could. TRUNCATE also empties the log (for the file's size); PASSIVE is what the
// host's own checkpoint does, beside a writer that goes on. Says so when not every frame went.
void checkpoint(const std::string& path, const char* mode = "TRUNCATE") {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    // busy, frames in the log, frames copied
    int row[3] = {1, -1, -1};
    const auto read_row = [](void* to, int columns, char** values, char**) {
        for (int i = 0; i < std::min(columns, 3); ++i)
            static_cast<int*>(to)[i] = values[i] ? std::atoi(values[i]) : -1;
        return 0;
    };
    const std::string sql = std::string("PRAGMA wal_checkpoint(") + mode + ")";
    sqlite3_exec(db, sql.c_str(), read_row, row, nullptr);
    if (row[0] != 0 || row[1] != row[2])
        std::fprintf(stderr, "checkpoint of %s: %d of %d frames copied\n", path.c_str(), row[2],
                     row[1]);
    sqlite3_close(db);
}

// Open minute and hour sums, written when the next round falls into a new one.
struct Buckets {
    Buckets(RollupTable& rollups, std::string name) : table(rollups), device(std::move(name)) {}
    RollupTable& table;
    std::string device;
    int64_t start[2] = {INT64_MIN, INT64_MIN};
    Rollup sums[2];

    void add(int64_t t_ms, const Rollup& part) {
        for (int k = 0; k < 2; ++k) {
            const int64_t bucket = floor_to_step(t_ms, kRollupSteps[k] * int64_t{1000});
            if (bucket != start[k]) flush(k, bucket);
            sums[k].merge(part);
        }
    }
    void flush(int k, int64_t next) {
        if (sums[k].rounds + sums[k].failed > 0)
            table.write(device, kRollupSteps[k], start[k], sums[k]);
        sums[k].clear();
        start[k] = next;
    }
    void flush_all() {
        for (int k = 0; k < 2; ++k) flush(k, INT64_MIN);
    }
};

// The synthetic history: the year before the last 30 days as minutes and hours, then the last
// 30 days as rounds at 1 s with their minutes and hours (a round in a thousand failed). Returns
// the size of the older part alone, after a checkpoint.
uint64_t build_synthetic(const std::string& path) {
    const int64_t raw_from = kNow - 30 * kDayMs, year_from = kNow - 365 * kDayMs;
    HistoryStore store(path);
    store.prepare();
    RollupTable table(store.handle());
    Buckets buckets(table, "m1");
    int64_t rows = 0;
    store.begin();
    std::vector<uint8_t> records[3];
    for (int64_t t = year_from; t < raw_from; t += kMinuteMs) {
        Rollup minute;
        for (int k = 0; k < 3; ++k) records[k] = synthetic_record(t, t / kMinuteMs + k);
        for (int s = 0; s < 60; ++s)
            minute.add_record(records[s % 3].data(), records[s % 3].size());
        buckets.add(t, minute);
        if (++rows % 20000 == 0) {
            store.commit();
            store.begin();
        }
    }
    buckets.flush_all();
    store.commit();
    checkpoint(path);
    const uint64_t older = file_size(path);
    store.begin();
    for (int64_t t = raw_from, k = 0; t < kNow; t += 1000, ++k) {
        Rollup round;
        if (k % 1000 == 999) {
            store.save_failed_round("m1", t, "timeout");
            round.failed = 1;
        } else {
            const auto record = synthetic_record(t, k);
            store.save_record("m1", 1001, "", record.data(), record.size(), "round", t);
            round.add_record(record.data(), record.size());
        }
        buckets.add(t, round);
        if (k % 50000 == 49999) {
            store.commit();
            store.begin();
        }
    }
    buckets.flush_all();
    store.commit();
    checkpoint(path);
    return older;
}

void print_breakdown(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    SqliteQuery q(db, "SELECT name, sum(pgsize) FROM dbstat GROUP BY name ORDER BY 2 DESC");
    while (q.step())
        std::printf("synthetic_btree %s %.1f MB\n", q.column_text(0).c_str(),
                    static_cast<double>(q.column_int64(1)) / 1e6);
    sqlite3_close(db);
}

// series of 1000 points for ranges ending now, 20 times each, interleaved.
void time_series(const std::string& path) {
    HistoryReader reader(path);
    const struct {
        const char* name;
        int64_t length;
    } ranges[] = {{"1h", kHourMs}, {"1d", kDayMs}, {"30d", 30 * kDayMs}, {"1y", 365 * kDayMs}};
    std::vector<double> ms[4], gzip_ms[4];
    std::string body[4], packed;
    for (int repeat = 0; repeat < 20; ++repeat) {
        for (int r = 0; r < 4; ++r) {
            SeriesRequest request{"m1", kNow - ranges[r].length, kNow - 1, 1000, {}};
            auto t0 = std::chrono::steady_clock::now();
            body[r] = series_json(reader, request, kNow);
            ms[r].push_back(seconds_since(t0) * 1000);
            t0 = std::chrono::steady_clock::now();
            gzip_compress(body[r], packed);
            gzip_ms[r].push_back(seconds_since(t0) * 1000);
        }
    }
    for (int r = 0; r < 4; ++r) {
        const auto step_at = body[r].find("\"step\":\"") + 8;
        const std::string step = body[r].substr(step_at, body[r].find('"', step_at) - step_at);
        std::size_t points = 0;
        for (auto at = body[r].find("\"t_ms\""); at != std::string::npos;
             at = body[r].find("\"t_ms\"", at + 1))
            ++points;
        gzip_compress(body[r], packed);
        std::printf("series_%s_ms %.2f step %s points %zu bytes %zu gzip_bytes %zu gzip_ms %.2f\n",
                    ranges[r].name, median(ms[r]), step.c_str(), points, body[r].size(),
                    packed.size(), median(gzip_ms[r]));
    }
}

// A history of `meters` meters with two hours of rounds at 1 s before kNow (and their rollups).
void prefill(const std::string& path, int meters) {
    remove_history(path);
    HistoryStore store(path);
    store.prepare();
    RollupWriter rollups(store.handle());
    store.begin();
    for (int64_t t = kNow - 2 * kHourMs, k = 0; t < kNow; t += 1000, ++k) {
        for (int m = 0; m < meters; ++m) {
            const auto record = synthetic_record(t, k + m);
            const std::string name = "m" + std::to_string(m);
            store.save_record(name, 1, "", record.data(), record.size(), "round", t);
            rollups.add_record(name, t, record.data(), record.size(), 0);
        }
        if (k % 600 == 599) {
            rollups.write();
            store.commit();
            store.begin();
        }
    }
    rollups.write();
    store.commit();
    checkpoint(path);
}

// Counts what the history hands on, and wakes who waits for a count.
struct Counting : RoundSink {
    const char* name() const override { return "counting"; }
    std::mutex lock;
    std::condition_variable changed;
    std::size_t rounds = 0;
    void take(const StoredBatch&) override {}
    void take_committed(const StoredBatch& batch) override {
        {
            std::lock_guard<std::mutex> hold(lock);
            rounds += batch.size();
        }
        changed.notify_one();
    }
    void wait_for(std::size_t count) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return rounds >= count; });
    }
};

// A complete round of meter `m` at second `tick`, its record made for that instant.
std::shared_ptr<RoundResult> complete_round(const std::vector<std::string>& names, int m,
                                            int tick) {
    auto r = std::make_shared<RoundResult>();
    r->meter_index = static_cast<std::size_t>(m);
    r->meter = names[static_cast<std::size_t>(m)];
    r->unix_ms = kNow + tick * int64_t{1000};
    r->outcome.complete = true;
    r->record = synthetic_record(r->unix_ms, tick + m);
    return r;
}

// CPU per stored round (the whole process) of `ticks` seconds of rounds of `meters` meters,
// one batch a second, with rollups and purging (raw kept 2 h: steady removal) or without;
// `grouped`: five seconds of rounds to a commit, as the default commit_interval makes it.
enum class Extras { none, rollups, rollups_and_purging };

double cpu_per_round(const std::string& prefilled, const std::string& path, int meters, int ticks,
                     Extras extras, bool grouped = false) {
    remove_history(path);
    std::filesystem::copy_file(prefilled, path);
    std::vector<std::vector<std::shared_ptr<RoundResult>>> rounds(static_cast<std::size_t>(ticks));
    std::vector<std::string> names;
    for (int m = 0; m < meters; ++m) names.push_back("m" + std::to_string(m));
    for (int tick = 0; tick < ticks; ++tick) {
        for (int m = 0; m < meters; ++m) {
            rounds[static_cast<std::size_t>(tick)].push_back(complete_round(names, m, tick));
        }
    }
    HistoryStore store(path);
    store.prepare();
    std::atomic<int64_t> clock{kNow};
    CommitStage sink(store, names, 100000, [](const std::string&) {});
    if (extras == Extras::rollups_and_purging) {
        RetentionConfig retention;
        retention.raw_ms = 2 * kHourMs;
        const auto now = [&] { return clock.load(); };  // the rounds' time, for both clocks
        sink.set_retention(retention, {}, now, now);
    } else if (extras == Extras::none) {
        sink.set_rollups(false);
    }
    // The five seconds come at once here: a short interval commits them together.
    const int per_commit = grouped ? 5 : 1;
    if (grouped) sink.set_commit_interval(std::chrono::milliseconds(20));
    Counting counted;
    sink.add_sink(&counted);
    sink.start();
    const double cpu0 = cpu_seconds();
    for (int tick = 0; tick < ticks; ++tick) {
        clock.store(kNow + tick * int64_t{1000});
        for (const auto& r : rounds[static_cast<std::size_t>(tick)]) sink.submit(r);
        if ((tick + 1) % per_commit == 0)
            counted.wait_for(static_cast<std::size_t>((tick + 1) * meters));
    }
    const double cpu = cpu_seconds() - cpu0;
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    return cpu / (static_cast<double>(ticks) * meters) * 1e6;
}

void time_rollups_and_purging(const std::string& dir) {
    for (const int meters : {1, 20}) {
        const std::string prefilled = dir + "/prefilled-" + std::to_string(meters) + ".db";
        const std::string path = dir + "/sink.db";
        prefill(prefilled, meters);
        std::vector<double> cpu[4];
        for (int run = 0; run < 7; ++run) {
            for (int k = 0; k < 3; ++k)
                cpu[k].push_back(
                    cpu_per_round(prefilled, path, meters, 300, static_cast<Extras>(k)));
            cpu[3].push_back(
                cpu_per_round(prefilled, path, meters, 300, Extras::rollups_and_purging, true));
        }
        const double none = median(cpu[0]), rollups = median(cpu[1]), both = median(cpu[2]);
        std::printf(
            "round_cpu_us meters %d without %.2f rollups %.2f rollups_purging %.2f added %.2f "
            "rollups_added %.2f grouped_rollups_purging %.2f\n",
            meters, none, rollups, both, both - none, rollups - none, median(cpu[3]));
        remove_history(prefilled);
        remove_history(path);
    }
}

uint64_t bytes_written() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "write_bytes:") return value;
    return 0;
}

// Bytes written per stored round: `meters` meters' rounds handed over once a second (after a
// first commit that makes the file), the history committed every `commit_interval`; the end of
// the run commits what waits. `whole`: over all `seconds`; the result: over the rounds after
// the first `warm_up` s, once the history's tables have their working size (the table of recent
// rounds fills its slots once, and is written over from then on). Both count the checkpoint of
// what they logged (the log is checkpointed at the end of the warm-up and of the run: a run
// shorter than the host's own checkpoint cycle, 1000 frames, would otherwise never count the
// file's pages); `log_only` is the result without the last checkpoint.
double bytes_per_round(const std::string& path, int meters, int warm_up, int seconds,
                       std::chrono::milliseconds commit_interval, double& whole, double& log_only) {
    remove_history(path);
    HistoryStore store(path);
    store.prepare();
    std::vector<std::string> names;
    for (int m = 0; m < meters; ++m) names.push_back("m" + std::to_string(m));
    CommitStage sink(store, names, 100000, [](const std::string&) {});
    sink.set_retention(RetentionConfig{}, {});
    sink.set_commit_interval(commit_interval);
    Counting counted;
    sink.add_sink(&counted);
    sink.start();
    const auto submit_tick = [&](int tick) {
        for (int m = 0; m < meters; ++m) {
            sink.submit(complete_round(names, m, tick));
        }
    };
    submit_tick(0);
    counted.wait_for(static_cast<std::size_t>(meters));
    const uint64_t bytes0 = bytes_written();
    uint64_t warm = bytes0;
    auto next = std::chrono::steady_clock::now();
    for (int tick = 1; tick <= seconds; ++tick) {
        next += std::chrono::seconds(1);
        std::this_thread::sleep_until(next);
        if (tick == warm_up + 1) {
            checkpoint(path, "PASSIVE");
            warm = bytes_written();
        }
        submit_tick(tick);
    }
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    const uint64_t logged = bytes_written();
    checkpoint(path, "PASSIVE");
    const uint64_t bytes1 = bytes_written();
    remove_history(path);
    const double rounds = static_cast<double>(seconds - warm_up) * meters;
    whole = static_cast<double>(bytes1 - bytes0) / (static_cast<double>(seconds) * meters);
    log_only = static_cast<double>(logged - warm) / rounds;
    return static_cast<double>(bytes1 - warm) / rounds;
}

// Bytes written per round, of `only` meters or of 1 and 10: committed every 5 s, over `seconds`
// s of rounds after as many of warm-up (long enough for several moves of the recent rounds to
// meter order and checkpoints of the log: the steady state); committed at once, over 60 s.
void time_writes(const std::string& dir, int seconds, int only) {
    for (const int meters : {1, 10}) {
        if (only != 0 && meters != only) continue;
        for (const int interval_ms : {5000, 0}) {
            const bool grouped = interval_ms > 0;
            double whole = 0, log_only = 0;
            const double per_round =
                bytes_per_round(dir + "/writes-" + std::to_string(meters) + ".db", meters,
                                grouped ? seconds : 0, grouped ? 2 * seconds : 60,
                                std::chrono::milliseconds(interval_ms), whole, log_only);
            std::printf(
                "bytes_written_per_round meters %d commit_interval_s %d bytes %.0f whole_run "
                "%.0f log_only %.0f\n",
                meters, interval_ms / 1000, per_round, whole, log_only);
        }
    }
}

// A history of schema 2 with `rows` records of two meters (and an alarm event every thousand),
// made from the schema 2 history kept for the tests.
void build_old(const std::string& path, int64_t rows) {
    remove_history(path);
    std::ifstream in(std::string(KAVREN_SOURCE_DIR) + "/tests/apps/fixtures/history-schema-2.sql");
    std::stringstream text;
    text << in.rdbuf();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite_exec(db, text.str().c_str());
    sqlite_exec(db,
                "DELETE FROM records; DELETE FROM alarms; DELETE FROM failed_rounds; DELETE FROM "
                "rollups; DELETE FROM rollups_open; BEGIN");
    SqliteQuery insert(db,
                       "INSERT INTO records (device, data_id, time, origin, record, t_ms) "
                       "VALUES (?, 1, ?, 'round', ?, ?)");
    SqliteQuery alarm(db,
                      "INSERT INTO alarms (device, key, state, description, time, t_ms) "
                      "VALUES (?, '0 KAVREN_M7', ?, 'A 相电压小于2.2', ?, ?)");
    char local[32];
    for (int64_t k = 0; k < rows; ++k) {
        const int64_t t = kNow - rows / 2 * 1000 + (k / 2) * 1000;
        const time_t seconds = static_cast<time_t>(t / 1000);
        std::tm parts{};
        localtime_r(&seconds, &parts);
        std::strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", &parts);
        const auto record = synthetic_record(t, k);
        const std::string device = k % 2 == 0 ? "feeder-1" : "feeder-2";
        insert.text(1, device);
        insert.text(2, local);
        insert.blob(3, record.data(), record.size());
        insert.integer(4, t);
        insert.run();
        if (k % 1000 == 0) {
            alarm.text(1, device);
            alarm.text(2, k % 2000 == 0 ? "raised" : "cleared");
            alarm.text(3, local);
            alarm.integer(4, t);
            alarm.run();
        }
    }
    sqlite_exec(db, "COMMIT");
    sqlite3_close(db);
    checkpoint(path);
}

int64_t pragma_value(sqlite3* db, const char* name) {
    SqliteQuery q(db, (std::string("PRAGMA ") + name).c_str());
    return q.step() ? q.column_int64(0) : 0;
}

void time_upgrade(const std::string& dir) {
    const std::string old = dir + "/old.db", path = dir + "/upgraded.db";
    const int64_t rows = 1000000;
    build_old(old, rows);
    std::vector<double> wall, cpu;
    for (int run = 0; run < 2; ++run) {
        remove_history(path);
        std::filesystem::copy_file(old, path);
        const auto t0 = std::chrono::steady_clock::now();
        const double cpu0 = cpu_seconds();
        {
            HistoryStore store(path);
            store.prepare();
        }
        wall.push_back(seconds_since(t0));
        cpu.push_back(cpu_seconds() - cpu0);
    }
    checkpoint(path);
    // The old file gives its freed pages back to no one (made without incremental vacuum, as
    // histories before schema 2 were): its pages in use tell what the records take now.
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const double used_mb =
        static_cast<double>(pragma_value(db, "page_count") - pragma_value(db, "freelist_count")) *
        static_cast<double>(pragma_value(db, "page_size")) / 1e6;
    sqlite3_close(db);
    std::printf("upgrade_s schema 2 rows %lld wall %.2f cpu %.2f file_mb %.1f used_after_mb %.1f\n",
                static_cast<long long>(rows), median(wall), median(cpu),
                static_cast<double>(file_size(old)) / 1e6, used_mb);
    remove_history(old);
    remove_history(path);
}

using RecordSource = std::function<std::vector<uint8_t>(int64_t t_ms, int k)>;

// Records whose values move as a meter's do, where the synthetic ones cycle through 17 states:
// each rolled-up quantity a random walk (steps of about 0.05 %), stamped like the synthetic ones.
RecordSource drifting_records() {
    auto random = std::make_shared<std::mt19937>(7);
    auto values = std::make_shared<std::vector<float>>();
    return [random, values](int64_t t_ms, int k) {
        auto record = synthetic_record(t_ms, k);
        std::normal_distribution<float> step(0.0f, 0.0005f);
        for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
            if (values->size() <= q) {
                float v = 0;
                std::memcpy(&v, record.data() + kRolledQuantities[q].offset, sizeof v);
                values->push_back(v);
            }
            (*values)[q] *= 1.0f + step(*random);
            std::memcpy(record.data() + kRolledQuantities[q].offset, &(*values)[q], sizeof(float));
        }
        return record;
    };
}

// µs to store a round (record and rollups, batches of 128 rows as the writer makes them) and to
// remove one (chunks of 1000), and bytes per row, with and without incremental vacuum.
void time_vacuum_mode(const std::string& path, bool incremental, double& store_us,
                      double& remove_us, double& bytes_per_row,
                      const RecordSource& records = synthetic_record) {
    constexpr int kRows = 50000;
    remove_history(path);
    if (!incremental) {
        // Without: a file whose first table was made before the host's prepare().
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite_exec(db, "PRAGMA auto_vacuum = NONE; CREATE TABLE t (x); DROP TABLE t;");
        sqlite3_close(db);
    }
    HistoryStore store(path);
    store.prepare();
    RollupWriter rollups(store.handle());
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < kRows; ++k) {
        if (k % 128 == 0) store.begin();
        const int64_t t = kNow + k * int64_t{1000};
        const auto record = records(t, k);
        store.save_record("m1", 1, "", record.data(), record.size(), "round", t);
        rollups.add_record("m1", t, record.data(), record.size(), 0);
        if (k % 128 == 127 || k == kRows - 1) {
            rollups.write();
            store.commit();
        }
    }
    store_us = seconds_since(t0) * 1e6 / kRows;
    checkpoint(path);
    bytes_per_row = static_cast<double>(file_size(path)) / kRows;
    t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < kRows / 1000 - 1; ++k) {
        store.begin();
        sqlite_exec(store.handle(),
                    "DELETE FROM records WHERE id IN (SELECT id FROM records ORDER BY id LIMIT "
                    "1000)");
        store.commit();
    }
    remove_us = seconds_since(t0) * 1e6 / (kRows - 1000);
    SqliteQuery mode(store.handle(), "PRAGMA auto_vacuum");
    if (!mode.step() || (mode.column_int64(0) == 2) != incremental)
        std::printf("vacuum_mode_unexpected %lld\n", static_cast<long long>(mode.column_int64(0)));
}

void time_vacuum(const std::string& dir) {
    const std::string path = dir + "/vacuum.db";
    std::vector<double> store_with, store_without, remove_with, remove_without;
    double bytes_with = 0, bytes_without = 0;
    for (int run = 0; run < 5; ++run) {
        double s = 0, r = 0;
        time_vacuum_mode(path, false, s, r, bytes_without);
        store_without.push_back(s);
        remove_without.push_back(r);
        time_vacuum_mode(path, true, s, r, bytes_with);
        store_with.push_back(s);
        remove_with.push_back(r);
    }
    std::printf("vacuum_store_us without %.2f with %.2f\n", median(store_without),
                median(store_with));
    std::printf("vacuum_remove_us without %.2f with %.2f\n", median(remove_without),
                median(remove_with));
    std::printf("vacuum_bytes_per_row without %.1f with %.1f\n", bytes_without, bytes_with);
    double s = 0, r = 0, drifting = 0;
    time_vacuum_mode(path, true, s, r, drifting, drifting_records());
    std::printf("drifting_bytes_per_row %.1f store_us %.2f\n", drifting, s);
    remove_history(path);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    if (argc > 2 && std::string(argv[2]) == "rounds") {  // that part alone
        time_rollups_and_purging(dir);
        return 0;
    }
    if (argc > 2 && std::string(argv[2]) == "writes") {
        time_writes(dir, argc > 3 ? std::atoi(argv[3]) : 300, argc > 4 ? std::atoi(argv[4]) : 0);
        return 0;
    }
    if (argc > 2 && std::string(argv[2]) == "store") {
        time_vacuum(dir);
        return 0;
    }
    if (argc > 2 && std::string(argv[2]) == "upgrade") {
        time_upgrade(dir);
        return 0;
    }
    // The old history's local times, and every reply's offsets, in a zone with summer time.
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const std::string synthetic = dir + "/synthetic.db";
    if (argc > 2 && std::string(argv[2]) == "series") {
        if (file_size(synthetic) == 0) build_synthetic(synthetic);
        time_series(synthetic);
        return 0;
    }
    remove_history(synthetic);
    auto t0 = std::chrono::steady_clock::now();
    const uint64_t older = build_synthetic(synthetic);
    std::printf("synthetic_built_s %.1f\n", seconds_since(t0));
    std::printf("synthetic_file_mb %.1f older_than_30d_mb %.1f\n",
                static_cast<double>(file_size(synthetic)) / 1e6, static_cast<double>(older) / 1e6);
    print_breakdown(synthetic);
    time_series(synthetic);
    remove_history(synthetic);
    if (argc > 2 && std::string(argv[2]) == "year") return 0;
    time_rollups_and_purging(dir);
    time_writes(dir, 300, 0);
    time_upgrade(dir);
    time_vacuum(dir);
    return 0;
}
