// The history on its own, in process, with rounds of chosen instants and a clock the test sets:
// rollups written with the rows, daylight-saving changes, retention by age and by size, the
// upgrade of an old history, and the series API's answers.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <json/json.h>

#include "apps/common/program.h"
#include "apps/host/history/commit_stage.h"
#include "apps/host/history/history_export.h"
#include "apps/host/history/history_query.h"
#include "apps/host/history/history_store.h"
#include "apps/host/history/record_codec.h"
#include "apps/host/history/rollups.h"
#include "apps/host/history/schema.h"
#include "apps/host/history/series.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/http/http_api.h"
#include "apps/host/sinks/http/live_meters.h"
#include "apps/host/support/utc_time.h"
#include "meter/kavren_m7_data.h"
#include "tests/apps/http_client.h"
#include "tests/apps/scratch_folder.h"
#include "tests/apps/synthetic_record.h"

namespace {

using namespace kavren;
using namespace kavren::host;
using testing_support::Collecting;
using testing_support::eventually;
using testing_support::synthetic_record;
using testing_support::temp_path;

testing::Environment* const scratch_folder =
    testing::AddGlobalTestEnvironment(new testing_support::ScratchFolder("kavren_history_parts"));

void set_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// An instant written as ISO 8601 (its reading is tested on its own).
int64_t at(const char* iso) { return parse_time_bound(iso, false); }

float quantity(const std::string& record, std::size_t q) {
    float v;
    std::memcpy(&v, record.data() + kRolledQuantities[q].offset, sizeof v);
    return v;
}

// A polled round at `t_ms`: complete (its one limit active or not) or failed with a time-out.
std::shared_ptr<RoundResult> polled(const std::string& meter, std::size_t index, int64_t t_ms,
                                    int k, bool failed = false, bool limit_active = false) {
    auto r = std::make_shared<RoundResult>();
    r->meter = meter;
    r->meter_index = index;
    r->unix_ms = t_ms;
    r->outcome.complete = !failed;
    if (failed) {
        r->outcome.failure = ReadOutcome::timeout;
        return r;
    }
    r->record = synthetic_record(t_ms, k);
    r->limit_reports.push_back(
        LimitReport{2, "0 KAVREN_M7", "16012", "A 相电压小于1", "A 相电压小于1", limit_active, 1});
    return r;
}

using Rounds = std::vector<std::shared_ptr<RoundResult>>;

// Complete rounds of meter "m" a second apart from t0, numbered on from one call to the next.
// With `noisy`, the low bytes of every value change as a meter's do, where the synthetic values
// come back every 17 rounds: a round then takes about as many bytes as a meter's.
struct RoundsEverySecond {
    int64_t t0;
    bool noisy = false;
    int made = 0;
    Rounds next(int n) {
        Rounds rounds;
        for (int i = 0; i < n; ++i, ++made) {
            rounds.push_back(polled("m", 0, t0 + made * 1000, made));
            for (std::size_t q = 0; noisy && q < kRolledQuantityCount; ++q)
                for (std::size_t b = 0; b < 2; ++b)
                    rounds.back()->record[kRolledQuantities[q].offset + b] ^= static_cast<uint8_t>(
                        (static_cast<uint32_t>(made * 31 + q * 7 + b) * 2654435761u) >> 24);
        }
        return rounds;
    }
    int64_t newest_ms() const { return t0 + (made - 1) * int64_t{1000}; }
};

// Submits the rounds and waits until the history has handed every one on.
void feed(CommitStage& sink, Collecting& seen, const Rounds& rounds) {
    const std::size_t target = seen.count() + rounds.size();
    for (const auto& r : rounds) ASSERT_TRUE(sink.submit(r));
    ASSERT_TRUE(eventually([&] { return seen.count() == target; }, 60));
}

// Stores the rounds of meter "m" through a commit stage of their own, ended before it returns.
void fill(HistoryStore& store, Collecting& seen, const Rounds& rounds) {
    CommitStage filling(store, {"m"}, 100000, [](const std::string&) {});
    filling.add_sink(&seen);
    filling.start();
    feed(filling, seen, rounds);
    filling.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
}

// Rows of a query, each column as text (integers in decimal, blobs as their bytes).
std::vector<std::vector<std::string>> query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto* functions = register_record_functions(db);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    std::vector<std::vector<std::string>> rows;
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(s); ++i) {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, i));
            row.emplace_back(bytes == nullptr ? ""
                                              : std::string(bytes, sqlite3_column_bytes(s, i)));
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(s);
    release_record_functions(functions);
    sqlite3_close(db);
    return rows;
}

void execute(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

int64_t number(const std::string& text) { return std::stoll(text); }

std::string bytes_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

uint64_t file_size(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? static_cast<uint64_t>(s.st_size) : 0;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors;
    return v;
}

bool has_offset(const std::string& time) {
    return std::regex_match(time,
                            std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?[+-]\d\d:\d\d)"));
}

// The rollup rows, finished and still open (the two tables never hold the same bucket).
const std::string kAllRollups =
    "(SELECT device, step_s, t_ms, rounds, failed, alarms, stats FROM rollups UNION ALL "
    "SELECT device, step_s, t_ms, rounds, failed, alarms, stats FROM rollups_open)";

// What export writes for the request.
std::string exported(const ExportRequest& request) {
    std::FILE* out = std::tmpfile();
    export_history(request, out);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    return text;
}

// What the rollups should hold, computed from the rounds themselves.
struct Expected {
    int64_t rounds = 0, failed = 0, alarms = 0;
    std::vector<float> min, max;
    std::vector<double> sum;
};
using ExpectedRollups = std::map<std::tuple<std::string, int, int64_t>, Expected>;

void expect_round(ExpectedRollups& expected, const std::string& device, int64_t t_ms,
                  const std::string* record, int raises) {
    for (const int step_s : kRollupSteps) {
        Expected& e = expected[{device, step_s, floor_to_step(t_ms, step_s * 1000)}];
        e.alarms += raises;
        if (record == nullptr) {
            ++e.failed;
            continue;
        }
        if (e.rounds++ == 0) {
            e.min.assign(kRolledQuantityCount, INFINITY);
            e.max.assign(kRolledQuantityCount, -INFINITY);
            e.sum.assign(kRolledQuantityCount, 0.0);
        }
        for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
            const float v = quantity(*record, q);
            e.min[q] = std::min(e.min[q], v);
            e.max[q] = std::max(e.max[q], v);
            e.sum[q] += v;
        }
    }
}

void expect_raise(ExpectedRollups& expected, const std::string& device, int64_t t_ms) {
    for (const int step_s : kRollupSteps)
        ++expected[{device, step_s, floor_to_step(t_ms, step_s * 1000)}].alarms;
}

// Rollup rows (device, step_s, t_ms, rounds, failed, alarms, stats) equal the expected ones, row
// for row; the stats decoded here from their documented layout (min, mean, max per quantity,
// little-endian single precision).
void expect_rollup_rows(const std::vector<std::vector<std::string>>& rows,
                        const ExpectedRollups& expected) {
    std::size_t matched = 0;
    for (const auto& row : rows) {
        const auto found = expected.find({row[0], number(row[1]), number(row[2])});
        ASSERT_NE(found, expected.end()) << row[0] << " " << row[1] << " " << row[2];
        const Expected& e = found->second;
        ++matched;
        EXPECT_EQ(number(row[3]), e.rounds) << row[2];
        EXPECT_EQ(number(row[4]), e.failed) << row[2];
        EXPECT_EQ(number(row[5]), e.alarms) << row[2];
        if (e.rounds == 0) {
            EXPECT_TRUE(row[6].empty());
            continue;
        }
        ASSERT_EQ(row[6].size(), kRolledQuantityCount * 12);
        for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
            float triple[3];
            std::memcpy(triple, row[6].data() + q * 12, 12);
            EXPECT_EQ(triple[0], e.min[q]) << kRolledQuantities[q].name;
            EXPECT_FLOAT_EQ(triple[1], static_cast<float>(e.sum[q] / e.rounds))
                << kRolledQuantities[q].name;
            EXPECT_EQ(triple[2], e.max[q]) << kRolledQuantities[q].name;
        }
    }
    EXPECT_EQ(matched, expected.size());
}

// The rows stored in the two tables of rollups are the expected ones.
void expect_rollups(const std::string& db, const ExpectedRollups& expected) {
    expect_rollup_rows(query(db, "SELECT * FROM " + kAllRollups + " ORDER BY device, step_s, t_ms"),
                       expected);
}

// The rollups as every reader reads them (an open row with the rounds stored after its marks)
// are the expected ones.
void expect_read_rollups(const std::string& db, const ExpectedRollups& expected,
                         int64_t from_ms = 0) {
    HistoryReader reader(db);
    std::vector<std::vector<std::string>> rows;
    std::set<std::string> devices;
    for (const auto& [key, e] : expected) devices.insert(std::get<0>(key));
    for (const std::string& device : devices)
        for (const int step_s : kRollupSteps)
            for_each_rollup(
                reader.handle(), device, step_s, from_ms, INT64_MAX,
                [&](int64_t start, const Rollup& row) {
                    unsigned char stats[Rollup::kStatsBytes];
                    const bool has = row.write_stats(stats);
                    rows.push_back(
                        {device, std::to_string(step_s), std::to_string(start),
                         std::to_string(row.rounds), std::to_string(row.failed),
                         std::to_string(row.alarms),
                         has ? std::string(stats, stats + sizeof stats) : std::string()});
                });
    expect_rollup_rows(rows, expected);
}

// On a copy of `image`, a host polling another meter at a max_size far below the file removes
// what it can: all of m1's rows but those its open rows (the buckets from `open_ms` on) have not
// counted yet, which every reader still counts.
void expect_open_rows_kept_by_max_size(const std::string& image, int64_t open_ms,
                                       const ExpectedRollups& expected) {
    const std::string db = temp_path("rollups-purged.db");
    for (const char* suffix : {"", "-wal"})
        std::filesystem::copy_file(image + suffix, db + suffix,
                                   std::filesystem::copy_options::overwrite_existing);
    ExpectedRollups open;
    for (const auto& [key, e] : expected)
        if (std::get<2>(key) >= floor_to_step(open_ms, kHourMs)) open[key] = e;
    {
        HistoryStore store(db);
        store.prepare();
        CommitStage sink(store, {"m2"}, 100000, [](const std::string&) {});
        RetentionConfig retention;
        retention.raw_ms = retention.minute_ms = kKeepForever;
        retention.max_size = 64 * 1024;
        sink.set_retention(retention, {});
        Collecting seen;
        sink.add_sink(&seen);
        sink.start();
        int64_t t = open_ms + kHourMs;
        ASSERT_TRUE(eventually([&] {
            feed(sink, seen, {polled("m2", 0, t += 1000, 1)});
            return query(db, "SELECT count(*) FROM rollups WHERE device = 'm1'")[0][0] == "0";
        }));
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    EXPECT_EQ(query(db,
                    "SELECT count(*) FROM records WHERE device = 'm1' AND id <= (SELECT "
                    "min(record_id) FROM rollups_open WHERE device = 'm1')")[0][0],
              "0");
    expect_read_rollups(db, open, floor_to_step(open_ms, kHourMs));
}

TEST(RetentionValues, DurationsAndSizesAsWritten) {
    EXPECT_EQ(parse_retention_duration("10s"), 10000);
    EXPECT_EQ(parse_retention_duration("5m"), 300000);
    EXPECT_EQ(parse_retention_duration("30d"), 30 * kDayMs);
    EXPECT_EQ(parse_retention_duration("2w"), 14 * kDayMs);
    EXPECT_EQ(parse_retention_duration("1y"), 365 * kDayMs);
    EXPECT_EQ(parse_retention_duration("forever"), kKeepForever);
    for (const char* bad : {"", "10", "0s", "1.5d", "-1h", "10 x", "10S", "1001y", "never"})
        EXPECT_THROW(parse_retention_duration(bad), std::invalid_argument) << bad;
    EXPECT_EQ(parse_history_size("2GiB"), uint64_t{2} << 30);
    EXPECT_EQ(parse_history_size("500MB"), 500000000u);
    EXPECT_EQ(parse_history_size("1.5 gib"), uint64_t{3} << 29);
    EXPECT_EQ(parse_history_size("1048576"), 1048576u);
    EXPECT_EQ(parse_history_size("unlimited"), 0u);
    for (const char* bad : {"", "1KiB", "1048575", "2 zettabytes", "GiB", "-2GiB", "1e9"})
        EXPECT_THROW(parse_history_size(bad), std::invalid_argument) << bad;
    EXPECT_EQ(retention_text(30 * kDayMs), "30d");
    EXPECT_EQ(size_text(uint64_t{3} << 29), "1.5 GiB");
    const RetentionConfig file = read_retention(parse(R"({"raw": "10s", "max_size": "1GiB"})"), "");
    EXPECT_EQ(file.raw_ms, 10000);
    EXPECT_EQ(file.minute_ms, 400 * kDayMs);  // the defaults for what it does not name
    EXPECT_EQ(file.hour_ms, kKeepForever);
    EXPECT_EQ(file.max_size, uint64_t{1} << 30);
}

// Two meters, rounds 20 s apart across an hour, a failed round now and then, a limit that
// comes and goes, and a restored record: each minute and hour row is what its rounds make, the
// restore counts nowhere. A later sink adds to the rows already stored.
TEST(Rollups, MinutesAndHoursSummarizeTheStoredRoundsFailuresAndRaises) {
    set_zone("UTC");
    const std::string db = temp_path("rollups.db");
    HistoryStore store(db);
    store.prepare();
    const int64_t t0 = at("2026-12-08T09:50:10Z");
    Rounds rounds;
    auto restore = polled("m1", 0, t0 - 5000, 99);
    restore->origin = RoundResult::Origin::restore;
    rounds.push_back(restore);
    ExpectedRollups expected;
    bool active[2] = {false, false};
    for (int k = 0; k < 120; ++k) {
        for (std::size_t m = 0; m < 2; ++m) {
            const std::string name = m == 0 ? "m1" : "m2";
            const int64_t t = t0 + k * 20000 + static_cast<int64_t>(m) * 3000;
            const bool failed = (k + static_cast<int>(m)) % 7 == 3;
            const bool limit = (k / 9) % 2 == 1;
            rounds.push_back(polled(name, m, t, k + 50 * static_cast<int>(m), failed, limit));
            const std::string record(rounds.back()->record.begin(), rounds.back()->record.end());
            const int raises = !failed && limit && !active[m] ? 1 : 0;
            if (!failed) active[m] = limit;
            expect_round(expected, name, t, failed ? nullptr : &record, raises);
        }
    }
    Collecting seen;
    {
        CommitStage sink(store, {"m1", "m2"}, 100000, [](const std::string&) {});
        sink.add_sink(&seen);
        sink.start();
        feed(sink, seen, rounds);
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    expect_rollups(db, expected);
    EXPECT_EQ(query(db, "SELECT count(*) FROM failed_rounds")[0][0],
              std::to_string(std::count_if(rounds.begin(), rounds.end(),
                                           [](const auto& r) { return !r->outcome.complete; })));

    // A host started again within the same minute adds to its row; a clock set back reopens a
    // minute finished before, and adds to it.
    const int64_t later = t0 + 119 * 20000 + 9000, earlier = t0 + 30000;
    Rounds one{polled("m1", 0, later, 7), polled("m1", 0, earlier, 8), polled("m1", 0, later, 9)};
    for (const auto& r : one) {
        const std::string record(r->record.begin(), r->record.end());
        expect_round(expected, "m1", r->unix_ms, &record, 0);
    }
    {
        CommitStage sink(store, {"m1", "m2"}, 100, [](const std::string&) {});
        sink.add_sink(&seen);
        sink.start();
        feed(sink, seen, one);
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    expect_rollups(db, expected);
}

// The open rows are written when a minute changes: a host killed between keeps, in the file, the
// rounds stored since only as records. Every reader counts them all the same, from a copy of the
// file taken as a kill leaves it (a limit raised at an instant the clock then gives again too),
// and a host started on that copy adds to what it counts. max_size leaves those records to a
// host that polls other meters.
TEST(Rollups, AKilledHostsOpenRowsCountEveryRoundStored) {
    set_zone("UTC");
    const std::string db = temp_path("rollups-killed.db"), image = temp_path("rollups-image.db");
    const int64_t t0 = at("2026-12-08T09:58:30Z");
    constexpr std::size_t kBeforeKill = 120;  // up to 10:00:28, half a minute after a write
    Rounds rounds;
    ExpectedRollups before_kill, expected;
    bool active = false;
    const auto add = [&](int64_t t, int values, bool failed, bool limit) {
        rounds.push_back(polled("m1", 0, t, values, failed, limit));
        const std::string record(rounds.back()->record.begin(), rounds.back()->record.end());
        const int raises = !failed && limit && !active ? 1 : 0;
        if (!failed) active = limit;
        if (rounds.size() <= kBeforeKill)
            expect_round(before_kill, "m1", t, failed ? nullptr : &record, raises);
        expect_round(expected, "m1", t, failed ? nullptr : &record, raises);
    };
    for (std::size_t k = 0; k < 150; ++k) {
        const int64_t t = t0 + static_cast<int64_t>(k) * 1000;
        add(t, static_cast<int>(k), k % 11 == 5, (k / 13) % 2 == 1);
        if (k == 117) add(t, 500, false, true);  // raised at 10:00:27, which comes again
    }
    Collecting seen;
    {
        HistoryStore store(db);
        store.prepare();
        CommitStage sink(store, {"m1"}, 100000, [](const std::string&) {});
        sink.set_commit_interval(std::chrono::milliseconds(0));
        sink.add_sink(&seen);
        sink.start();
        for (std::size_t k = 0; k < kBeforeKill; k += 10)
            feed(sink, seen, Rounds(rounds.begin() + k, rounds.begin() + k + 10));
        // Between commits, as a kill leaves the file and its log.
        for (const char* suffix : {"", "-wal"})
            std::filesystem::copy_file(db + suffix, image + suffix,
                                       std::filesystem::copy_options::overwrite_existing);
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    expect_rollups(db, before_kill);  // a stopped host's rows are whole
    const auto open_rounds = query(image, "SELECT rounds FROM rollups_open WHERE step_s = 60");
    ASSERT_EQ(open_rounds.size(), 1u);
    EXPECT_LT(number(open_rounds[0][0]), 25);  // the rows lack most of the minute's rounds
    expect_read_rollups(image, before_kill);
    expect_open_rows_kept_by_max_size(image, t0 + 90000, before_kill);

    HistoryStore store(image);
    store.prepare();
    CommitStage sink(store, {"m1"}, 100000, [](const std::string&) {});
    sink.add_sink(&seen);
    sink.start();
    feed(sink, seen, Rounds(rounds.begin() + kBeforeKill, rounds.end()));
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    expect_rollups(image, expected);
}

// Rounds a minute apart under Berlin's zone across the autumn fall-back (02:00 to 02:59 local
// twice) and the spring-forward (02:00 to 02:59 local never): rows, ranges and rollups follow the
// instants; every hour has its own 60 rounds.
TEST(DaylightSaving, RangesOrderAndRollupsFollowUtcAcrossBothChanges) {
    set_zone("Europe/Berlin");
    const std::string db = temp_path("dst.db");
    HistoryStore store(db);
    store.prepare();
    const int64_t autumn = at("2026-10-25T00:00:00Z"), spring = at("2026-03-29T00:00:00Z");
    Rounds rounds;
    for (const int64_t start : {spring, autumn})
        for (int k = 0; k < 180; ++k) rounds.push_back(polled("m", 0, start + k * 60000, k));
    Collecting seen;
    CommitStage sink(store, {"m"}, 100000, [](const std::string&) {});
    sink.add_sink(&seen);
    sink.start();
    feed(sink, seen, rounds);
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));

    auto rows = query(db, "SELECT t_ms, record_bytes(base, record) FROM records ORDER BY id");
    ASSERT_EQ(rows.size(), 360u);
    std::size_t repeated = 0, skipped = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(number(rows[i][0]), rounds[i]->unix_ms);
        const std::string& record = rows[i][1];
        rows[i][1] =
            record_time_text(reinterpret_cast<const uint8_t*>(record.data()), record.size());
        repeated += rows[i][1].compare(0, 14, "2026-10-25 02:") == 0;
        skipped += rows[i][1].compare(0, 14, "2026-03-29 02:") == 0;
    }
    EXPECT_EQ(repeated, 120u);  // the record's own local stamp repeats the hour
    EXPECT_EQ(skipped, 0u);
    for (const int64_t start : {spring, autumn}) {
        const auto hours = query(db, "SELECT t_ms, rounds FROM " + kAllRollups +
                                         " WHERE step_s = 3600 AND "
                                         "t_ms >= " +
                                         std::to_string(start) + " AND t_ms < " +
                                         std::to_string(start + 3 * kHourMs) + " ORDER BY t_ms");
        ASSERT_EQ(hours.size(), 3u);
        for (int h = 0; h < 3; ++h) {
            EXPECT_EQ(number(hours[h][0]), start + h * kHourMs);
            EXPECT_EQ(hours[h][1], "60");
        }
    }

    // The repeated local hour as a range holds both passes, in order; with an offset, one pass.
    HistoryReader reader(db);
    std::vector<int64_t> seen_ms;
    std::vector<std::string> texts;
    reader.rounds("m", parse_time_bound("2026-10-25 02:00", false),
                  parse_time_bound("2026-10-25 02:59", true), 1000, [&](const HistoryRow& row) {
                      seen_ms.push_back(row.t_ms);
                      texts.push_back(iso_local_time(row.t_ms));
                  });
    ASSERT_EQ(seen_ms.size(), 120u);
    EXPECT_TRUE(std::is_sorted(seen_ms.begin(), seen_ms.end()));
    EXPECT_EQ(texts.front(), "2026-10-25T02:00:00+02:00");
    EXPECT_EQ(texts[59], "2026-10-25T02:59:00+02:00");
    EXPECT_EQ(texts[60], "2026-10-25T02:00:00+01:00");
    EXPECT_EQ(texts.back(), "2026-10-25T02:59:00+01:00");
    SeriesRequest second_pass;
    second_pass.meter = "m";
    second_pass.from_ms = parse_time_bound("2026-10-25T02:00:00+01:00", false);
    second_pass.to_ms = parse_time_bound("2026-10-25T02:59:59+01:00", true);
    const Json::Value series = parse(series_json(reader, second_pass, autumn + kDayMs));
    EXPECT_EQ(series["step"], "raw");
    ASSERT_EQ(series["points"].size(), 60u);
    for (const Json::Value& p : series["points"]) {
        EXPECT_EQ(p["t"].asString().substr(19), "+01:00");
        EXPECT_GE(p["t_ms"].asInt64(), autumn + kHourMs);
    }
    // Hours of the spring day: none lost, none doubled, each with its own offset.
    SeriesRequest day;
    day.meter = "m";
    day.from_ms = parse_time_bound("2026-03-29", false);
    day.to_ms = parse_time_bound("2026-03-29", true);
    day.points = 23;  // the day has 23 hours
    const Json::Value hours = parse(series_json(reader, day, spring + kDayMs));
    EXPECT_EQ(hours["step"], "3600s");
    ASSERT_EQ(hours["points"].size(), 3u);
    EXPECT_EQ(hours["points"][0]["t"], "2026-03-29T01:00:00+01:00");
    EXPECT_EQ(hours["points"][1]["t"], "2026-03-29T03:00:00+02:00");
    EXPECT_EQ(hours["points"][2]["t"], "2026-03-29T04:00:00+02:00");
    for (const Json::Value& p : hours["points"]) EXPECT_EQ(p["rounds"], 60);

    // Export of the autumn hours: the repeated local hour twice, told apart by its offset.
    ExportRequest request;
    request.database = db;
    request.meter = "m";
    request.from = "2026-10-25T00:00:00Z";
    request.to = "2026-10-25T02:59:59Z";
    request.step = "1h";
    std::istringstream lines(exported(request));
    std::vector<std::string> cells;
    for (std::string line; std::getline(lines, line);)
        cells.push_back(line.substr(0, line.find(',')));
    EXPECT_EQ(cells,
              (std::vector<std::string>{"time", "2026-10-25T02:00:00+02:00",
                                        "2026-10-25T02:00:00+01:00", "2026-10-25T03:00:00+01:00"}));
    set_zone("UTC");
}

// 40 s of rounds at 0.1 s with --retention-raw 10s, the clock moving with the rounds: the raw
// rows keep the last 10 s, the minutes the whole run, and a series of the whole run reaches
// from the first round to the newest, each stretch from the finest rows that hold it. A meter
// whose rounds the broker has not acknowledged keeps them past the 10 s.
TEST(Retention, RawRowsKeepTheLastTenSecondsWhileMinutesCoverTheWholeRun) {
    set_zone("UTC");
    const std::string db = temp_path("retention.db");
    HistoryStore store(db);
    store.prepare();
    store.prepare_deliveries();
    HistoryStore broker_side(db);  // the MQTT sink's connection of its own
    broker_side.prepare();
    std::atomic<int64_t> clock{0};
    RetentionConfig retention;
    retention.raw_ms = parse_retention_duration("10s");
    Collecting seen;
    CommitStage sink(store, {"m", "p"}, 100000, [](const std::string&) {});
    // The clock moves with the rounds, faster than time passes: no jump, and a pass each of its
    // seconds.
    const auto now = [&] { return clock.load(); };
    sink.set_retention(retention, {"mqtt test"}, now, now);
    sink.add_sink(&seen);
    sink.start();
    const int64_t t0 = at("2026-12-08T10:00:25Z") + 300;
    int64_t last = 0, pin = 0;
    for (int group = 0; group < 40; ++group) {
        Rounds rounds;
        for (int k = group * 10; k < group * 10 + 10; ++k) {
            last = t0 + k * 100;
            rounds.push_back(polled("m", 0, last, k));
            rounds.push_back(polled("p", 1, last, k));
        }
        clock.store(last);
        feed(sink, seen, rounds);
        if (group == 9) {
            // The broker acknowledged p's first 100 rounds, and no more.
            std::lock_guard<std::mutex> hold(seen.lock);
            pin = seen.rounds.back()->history_id;
            broker_side.begin();
            broker_side.set_acknowledged("mqtt test", "p", pin);
            broker_side.commit();
        }
    }
    // A second later, the next pass has removed what is older than 10 s by then.
    clock.store(last + 1000);
    const int64_t cutoff = last + 1000 - 10000;
    const auto oldest = [&](const char* meter) {
        return number(query(
            db, std::string("SELECT min(t_ms) FROM records WHERE device = '") + meter + "'")[0][0]);
    };
    ASSERT_TRUE(eventually([&] { return oldest("m") >= cutoff; }));
    EXPECT_LT(oldest("m"), cutoff + 100);  // nothing newer than the 10 s went
    EXPECT_EQ(query(db, "SELECT max(t_ms) FROM records WHERE device = 'm'")[0][0],
              std::to_string(last));
    const auto p_rows = query(db, "SELECT min(id), min(t_ms) FROM records WHERE device = 'p'");
    EXPECT_EQ(number(p_rows[0][0]), pin + 2);  // p's next round (ids alternate between meters)
    EXPECT_EQ(number(p_rows[0][1]), t0 + 100 * 100);
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(sink.rounds_dropped_unacknowledged(), 0u);

    const auto minutes = query(db, "SELECT min(t_ms), max(t_ms), sum(rounds) FROM " + kAllRollups +
                                       " WHERE "
                                       "device = 'm' AND step_s = 60");
    EXPECT_EQ(number(minutes[0][0]), floor_to_step(t0, kMinuteMs));
    EXPECT_EQ(number(minutes[0][1]), floor_to_step(last, kMinuteMs));
    EXPECT_EQ(minutes[0][2], "400");

    // The whole run in 100 points: the minute in which the raw rows end, whole from the minutes,
    // then every round after that minute as itself, from the raw rows.
    HistoryReader reader(db);
    const Json::Value whole = parse(series_json(reader, SeriesRequest{"m", {}, {}, 100, {}}, last));
    EXPECT_EQ(whole["step"], "raw");  // the newest points'
    const int64_t raw_from = ceil_to_step(
        number(
            query(db, "SELECT t_ms FROM purged_before WHERE device = 'm' AND tier = 'raw'")[0][0]),
        kMinuteMs);
    ASSERT_EQ(raw_from, floor_to_step(last, kMinuteMs));
    const Json::Value& points = whole["points"];
    const auto raw_rounds = static_cast<unsigned>((last - raw_from) / 100 + 1);
    ASSERT_EQ(points.size(), 1 + raw_rounds);
    EXPECT_EQ(points[0]["t_ms"].asInt64(), floor_to_step(t0, kMinuteMs));
    EXPECT_EQ(points[0]["step_ms"], 60000);
    EXPECT_EQ(points[0]["rounds"].asUInt(), 400 - raw_rounds);
    for (unsigned i = 1; i < points.size(); ++i) {
        EXPECT_EQ(points[i]["t_ms"].asInt64(), raw_from + (i - 1) * 100);
        EXPECT_EQ(points[i]["step_ms"], 0);
        EXPECT_EQ(points[i]["rounds"], 1);
        EXPECT_GT(points[i]["history_id"].asInt64(), 0);
    }
    EXPECT_EQ(points[points.size() - 1]["t_ms"].asInt64(), last);
    EXPECT_EQ(whole["newest_ms"].asInt64(), last);
    int64_t total = 0;
    for (const Json::Value& p : points) total += p["rounds"].asInt64();
    EXPECT_EQ(total, 400);
}

// The file sizes after every stored batch, seen by a sink after the history's thread committed.
struct SizeWatch : RoundSink {
    const char* name() const override { return "size watch"; }
    std::string db;
    std::atomic<uint64_t> largest{0};
    explicit SizeWatch(std::string path) : db(std::move(path)) {}
    void take(const StoredBatch&) override {}
    void take_committed(const StoredBatch&) override {
        const uint64_t now = file_size(db) + file_size(db + "-wal");
        if (now > largest.load()) largest.store(now);
    }
};

// A history filled, then polled on with max_size a little above its file's size: the file stays
// under it, the oldest rounds go (and the log says what went, also what the broker had not
// acknowledged), the newest stay, and rounds never wait for more than one purge step. A bound
// lowered below the file makes a file with incremental vacuum smaller.
TEST(Retention, MaxSizeKeepsTheFileUnderItsBoundAndSaysWhatItRemoved) {
    set_zone("UTC");
    const std::string db = temp_path("size.db");
    const int64_t t0 = at("2026-12-01T00:00:00Z");
    RoundsEverySecond rounds_of_m{t0, true};
    const auto next_rounds = [&](int n) { return rounds_of_m.next(n); };
    HistoryStore store(db);
    store.prepare();
    store.prepare_deliveries();
    Collecting seen;
    fill(store, seen, next_rounds(4000));
    execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    const uint64_t filled = file_size(db) + file_size(db + "-wal");
    store.begin();
    store.set_acknowledged("mqtt test", "m", 100);  // the broker has the first 100 rounds
    store.commit();

    RetentionConfig retention;
    retention.raw_ms = retention.minute_ms = kKeepForever;
    retention.max_size = std::max<uint64_t>(filled + filled / 10, kSmallestMaxSize);
    std::vector<std::string> logged;
    std::mutex log_lock;
    SizeWatch watch(db);
    {
        CommitStage sink(store, {"m"}, 100000, [&](const std::string& line) {
            std::lock_guard<std::mutex> hold(log_lock);
            logged.push_back(line);
        });
        sink.set_retention(retention, {"mqtt test"});
        sink.add_sink(&seen);
        sink.add_sink(&watch);
        sink.start();
        for (int group = 0; group < 100; ++group) feed(sink, seen, next_rounds(20));
        ASSERT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> hold(log_lock);
            return !logged.empty();
        }));
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        EXPECT_LE(sink.most_purge_steps_ahead_of_rounds(), 1u);
        EXPECT_GT(sink.rounds_dropped_unacknowledged(), 0u);
    }
    EXPECT_LE(watch.largest.load(), retention.max_size) << "bound " << retention.max_size;
    EXPECT_LE(file_size(db) + file_size(db + "-wal"), retention.max_size);
    {
        std::lock_guard<std::mutex> hold(log_lock);
        ASSERT_FALSE(logged.empty());
        EXPECT_NE(logged[0].find("at its max_size"), std::string::npos) << logged[0];
        EXPECT_NE(logged[0].find("not yet acknowledged by the MQTT broker"), std::string::npos)
            << logged[0];
    }
    // The oldest went, the newest stayed, every one of them.
    const auto kept = query(db, "SELECT min(t_ms), max(t_ms), count(*) FROM records");
    EXPECT_GT(number(kept[0][0]), t0);
    EXPECT_EQ(number(kept[0][1]), rounds_of_m.newest_ms());
    EXPECT_EQ(number(kept[0][2]), (number(kept[0][1]) - number(kept[0][0])) / 1000 + 1);
    EXPECT_EQ(query(db, "PRAGMA integrity_check")[0][0], "ok");

    // A bound below the file: a file made with incremental vacuum gives its pages back.
    ASSERT_EQ(query(db, "PRAGMA auto_vacuum")[0][0], "2");
    retention.max_size = std::max<uint64_t>(filled * 6 / 10, kSmallestMaxSize);
    {
        CommitStage sink(store, {"m"}, 100000, [](const std::string&) {});
        sink.set_retention(retention, {});
        sink.add_sink(&seen);
        sink.start();
        ASSERT_TRUE(eventually([&] {
            feed(sink, seen, next_rounds(10));
            execute(db, "PRAGMA wal_checkpoint(PASSIVE)");
            return file_size(db) + file_size(db + "-wal") <= retention.max_size;
        })) << "file "
            << file_size(db) << " log " << file_size(db + "-wal") << " bound "
            << retention.max_size;
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
}

// The system clock and the monotonic clock as a test sets them.
struct TestClocks {
    std::atomic<int64_t> system;
    std::atomic<int64_t> monotonic{kDayMs};
    explicit TestClocks(int64_t system_ms) : system(system_ms) {}
    // Time passes: both move on.
    void pass(int64_t ms) {
        system += ms;
        monotonic += ms;
    }
};

// Lines logged from the history's thread.
struct LogLines {
    std::mutex lock;
    std::vector<std::string> lines;
    CommitStage::Log log() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> hold(lock);
            lines.push_back(line);
        };
    }
    std::size_t count(const std::string& text) {
        std::lock_guard<std::mutex> hold(lock);
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    std::string all() {
        std::lock_guard<std::mutex> hold(lock);
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }
};

// The file's size (database and write-ahead log) sampled from a thread of its own as fast as
// it goes, in between commits as much as after them: its largest.
struct SizeSampler {
    std::string db;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> largest{0};
    std::atomic<uint64_t> samples{0};
    std::thread thread;
    explicit SizeSampler(std::string path) : db(std::move(path)) {
        thread = std::thread([this] {
            while (!stop.load()) {
                // The log read on both sides of the database: unchanged, the two sizes were
                // the file's together at the instant the database was read.
                const uint64_t log = file_size(db + "-wal");
                const uint64_t now = file_size(db) + log;
                if (file_size(db + "-wal") == log) {
                    if (now > largest.load()) largest.store(now);
                    samples.fetch_add(1);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    ~SizeSampler() {
        stop.store(true);
        thread.join();
    }
};

// Group commit: each commit holds hundreds of rounds, more than the write-ahead log's own
// checkpoint threshold; the log peaks at that threshold plus one commit. Sampled between commits
// too, the file stays under max_size at every instant, while the history keeps most of what fit.
TEST(Retention, MaxSizeHoldsAtEveryInstantOfLargeCommits) {
    set_zone("UTC");
    const std::string db = temp_path("size-commits.db");
    RoundsEverySecond rounds_of_m{at("2026-12-01T00:00:00Z"), true};
    const auto next_rounds = [&](int n) { return rounds_of_m.next(n); };
    HistoryStore store(db);
    store.prepare();
    Collecting seen;
    // Enough rounds that the 5 % above them is more than the log's own bound (about 130 KiB):
    // removing rows writes to the log before the file can shrink.
    constexpr int kFilled = 24000;
    fill(store, seen, next_rounds(kFilled));
    execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    const uint64_t filled = file_size(db) + file_size(db + "-wal");

    RetentionConfig retention;
    retention.raw_ms = retention.minute_ms = kKeepForever;
    retention.max_size = filled + filled / 20;
    LogLines logged;
    SizeSampler sampler(db);
    {
        CommitStage sink(store, {"m"}, 100000, logged.log());
        sink.set_retention(retention, {});
        sink.set_commit_interval(std::chrono::milliseconds(500));
        sink.add_sink(&seen);
        sink.start();
        // Rounds come a few at a time, as polling brings them, and wait for their commit.
        for (int group = 0; group < 400; ++group) {
            const std::size_t live = seen.live_count() + 30;
            for (const auto& r : next_rounds(30)) ASSERT_TRUE(sink.submit(r));
            const auto given_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (seen.live_count() < live) {
                ASSERT_LT(std::chrono::steady_clock::now(), given_up) << "rounds not handed on";
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    EXPECT_GT(sampler.samples.load(), 100u);
    EXPECT_LE(sampler.largest.load(), retention.max_size)
        << "over by " << sampler.largest.load() - retention.max_size << " of "
        << retention.max_size;
    const int64_t kept = number(query(db, "SELECT count(*) FROM records")[0][0]);
    EXPECT_LT(kept, kFilled) << logged.all();
    EXPECT_GE(kept, kFilled / 2);
}

// A commit stage over meter "m" that keeps raw rows 10 s, by the test's clocks.
std::unique_ptr<CommitStage> aging_sink(HistoryStore& store, TestClocks& clocks, LogLines& logged,
                                        Collecting& seen) {
    auto sink =
        std::make_unique<CommitStage>(store, std::vector<std::string>{"m"}, 100000, logged.log());
    RetentionConfig retention;
    retention.raw_ms = 10000;
    sink->set_retention(
        retention, {}, [&] { return clocks.system.load(); },
        [&] { return clocks.monotonic.load(); });
    sink->add_sink(&seen);
    sink->start();
    return sink;
}

// The rows of meter "m" stamped in [from, to].
int64_t rows_between(const std::string& db, int64_t from, int64_t to) {
    return number(query(db, "SELECT count(*) FROM records WHERE t_ms BETWEEN " +
                                std::to_string(from) + " AND " + std::to_string(to))[0][0]);
}

// Raw rows kept 10 s, and the system clock jumping while the host runs: a year ahead and back
// removes nothing that time alone would not have (the rounds stamped meanwhile keep their
// instants), and retention goes on once it is back. A clock that holds its new time is followed
// once it has held it for a minute.
TEST(Retention, AClockThatJumpsAheadAndBackRemovesNothingBeforeItsTime) {
    set_zone("UTC");
    const std::string db = temp_path("clock-jumps.db");
    const int64_t t0 = at("2026-12-08T10:00:00Z"), year = 365 * kDayMs;
    HistoryStore store(db);
    store.prepare();
    TestClocks clocks(t0);
    LogLines logged;
    Collecting seen;
    auto sink = aging_sink(store, clocks, logged, seen);
    RoundsEverySecond rounds_of_m{t0};
    for (int k = 0; k < 20; ++k) {
        if (k > 0) clocks.pass(1000);
        feed(*sink, seen, rounds_of_m.next(1));
    }
    const int64_t last = rounds_of_m.newest_ms();  // t0 + 19 s, the clock's time
    const auto oldest = [&] { return number(query(db, "SELECT min(t_ms) FROM records")[0][0]); };
    ASSERT_TRUE(eventually([&] { return oldest() == last - 10000; })) << oldest() - t0;

    // A year ahead for a second: the pass then ages rows by the time kept, t0 + 20 s.
    clocks.system += year;
    clocks.monotonic += 1000;
    ASSERT_TRUE(eventually([&] { return logged.count("jumped 365 days ahead") == 1; }))
        << logged.all();
    feed(*sink, seen, {polled("m", 0, clocks.system, 20), polled("m", 0, clocks.system + 500, 21)});
    EXPECT_EQ(rows_between(db, t0, last), 10);
    EXPECT_EQ(oldest(), last - 9000);

    // Back: in step again at once, and rows go as they age, those of the future not.
    clocks.system = last + 2000;
    clocks.monotonic += 1000;
    ASSERT_TRUE(eventually([&] { return logged.count("in step again") == 1; })) << logged.all();
    clocks.pass(5000);
    EXPECT_TRUE(eventually([&] { return rows_between(db, t0, last) == 4; }))
        << rows_between(db, t0, last);
    EXPECT_EQ(rows_between(db, t0 + year, t0 + year + kDayMs), 2);

    // Two days ahead, for good: followed once it has held them for a minute (a tenth of the
    // retention, at least a minute).
    clocks.system += 2 * kDayMs;
    clocks.monotonic += 1000;
    ASSERT_TRUE(eventually([&] { return logged.count("jumped 2 days ahead") == 1; }))
        << logged.all();
    feed(*sink, seen, {polled("m", 0, clocks.system, 22)});
    EXPECT_EQ(rows_between(db, t0, last), 3);  // aged by the time kept: last + 8 s
    clocks.pass(kMinuteMs);
    ASSERT_TRUE(eventually([&] { return logged.count("aged by it from now on") == 1; }))
        << logged.all();
    EXPECT_TRUE(eventually([&] { return rows_between(db, t0, last) == 0; }));
    EXPECT_EQ(rows_between(db, t0 + year, t0 + year + kDayMs), 2);
    sink->finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(query(db, "SELECT count(*) FROM records")[0][0], "3") << logged.all();
}

// A pass that removes more of a meter's raw rounds than it keeps says so in the log: a history
// of 30 s of rounds, then kept 10 s. The passes after it remove a round each, silently.
TEST(Retention, APassThatRemovesMostOfAMetersRawRoundsSaysSo) {
    set_zone("UTC");
    const std::string db = temp_path("large-removal.db");
    const int64_t t0 = at("2026-12-08T10:00:00Z");
    HistoryStore store(db);
    store.prepare();
    Collecting seen;
    RoundsEverySecond rounds_of_m{t0};
    fill(store, seen, rounds_of_m.next(30));
    TestClocks clocks(rounds_of_m.newest_ms());
    LogLines logged;
    auto sink = aging_sink(store, clocks, logged, seen);
    const auto rows = [&] { return number(query(db, "SELECT count(*) FROM records")[0][0]); };
    clocks.pass(1000);  // the first pass: what is older than 10 s goes
    ASSERT_TRUE(eventually([&] { return rows() == 10; })) << rows();
    ASSERT_TRUE(eventually([&] { return logged.count("removed at once") == 1; })) << logged.all();
    EXPECT_EQ(logged.count("m: 20 raw rounds removed at once, more than the 10 kept"), 1u)
        << logged.all();
    for (int k = 0; k < 5; ++k) {
        clocks.pass(1000);
        feed(*sink, seen, rounds_of_m.next(1));
        ASSERT_TRUE(eventually([&] { return rows() == 10; })) << rows();
    }
    sink->finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(logged.count("removed at once"), 1u) << logged.all();
}

// Starts with a clock that is wrong. Set a year ahead before the start: rows are aged from the
// round stored last on. A round stamped in the future (by such a clock) moves nothing. A
// board that starts in 2000 removes nothing, and once NTP has set its clock and the clock has
// held its time for a minute, the rounds stamped in 2000 go with those past their retention.
TEST(Retention, AHostStartedOnAWrongClockAgesRowsFromTheRoundStoredLast) {
    set_zone("UTC");
    const std::string db = temp_path("clock-at-start.db");
    const int64_t t0 = at("2026-12-08T10:00:00Z"), year = 365 * kDayMs;
    HistoryStore store(db);
    store.prepare();
    Collecting seen;
    RoundsEverySecond rounds_of_m{t0};
    fill(store, seen, rounds_of_m.next(30));  // t0 to t0 + 29 s
    const int64_t last = rounds_of_m.newest_ms();
    {
        TestClocks clocks(last + 1000 + year);
        LogLines logged;
        auto sink = aging_sink(store, clocks, logged, seen);
        clocks.pass(1000);  // the first pass
        ASSERT_TRUE(eventually([&] {
            return logged.count("365 days past the round stored last") == 1;
        })) << logged.all();
        feed(*sink, seen, {polled("m", 0, clocks.system, 30)});
        EXPECT_EQ(rows_between(db, t0, last), 10);  // aged by last + 2 s
    }
    {
        // The clock right again; the round stamped a year ahead is ignored.
        TestClocks clocks(last + 1000);
        LogLines logged;
        auto sink = aging_sink(store, clocks, logged, seen);
        clocks.pass(1000);
        EXPECT_TRUE(eventually([&] { return rows_between(db, t0, last) == 9; }));
        EXPECT_EQ(logged.count("clock"), 0u) << logged.all();
    }
    TestClocks clocks(at("2000-01-01T00:00:00Z"));
    LogLines logged;
    auto sink = aging_sink(store, clocks, logged, seen);
    clocks.pass(1000);
    feed(*sink, seen, {polled("m", 0, clocks.system, 31), polled("m", 0, clocks.system + 1, 32)});
    const int64_t ntp = last + 5000;  // NTP steps the clock
    clocks.system = ntp;
    clocks.monotonic += 1000;
    ASSERT_TRUE(eventually([&] { return logged.count("days ahead") == 1; })) << logged.all();
    feed(*sink, seen, {polled("m", 0, ntp, 33)});
    EXPECT_EQ(rows_between(db, t0, last), 9);
    EXPECT_EQ(rows_between(db, 0, at("2000-01-02T00:00:00Z")), 2);
    clocks.pass(kMinuteMs);
    ASSERT_TRUE(eventually([&] { return logged.count("aged by it from now on") == 1; }))
        << logged.all();
    EXPECT_TRUE(eventually([&] { return rows_between(db, 0, ntp - 1) == 0; }))
        << rows_between(db, 0, ntp - 1);
    sink->finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    // The meter's newest round and the one of the future are left.
    EXPECT_EQ(rows_between(db, ntp, ntp), 1);
    EXPECT_EQ(query(db, "SELECT count(*) FROM records")[0][0], "2");
}

// A reader that holds its snapshot lets the write-ahead log grow; once it lets go, the writer
// cuts the log back to its bound within seconds. An export whose output stalls (a full pipe)
// holds no snapshot while it waits: the log stays within its bound throughout.
TEST(HistoryLog, AStalledExportHoldsNothingAndALogAReaderGrewIsCutBackAfterIt) {
    set_zone("UTC");
    const std::string db = temp_path("log.db");
    const int64_t t0 = at("2026-12-01T00:00:00Z");
    RoundsEverySecond rounds_of_m{t0};
    const auto next_rounds = [&](int n) { return rounds_of_m.next(n); };
    const uint64_t bound = 256 * 1024;
    HistoryStore store(db);
    store.prepare();
    store.set_log_bound(bound);
    Collecting seen;
    CommitStage sink(store, {"m"}, 100000, [](const std::string&) {});
    sink.add_sink(&seen);
    sink.start();
    feed(sink, seen, next_rounds(2000));
    const auto log_size = [&] { return file_size(db + "-wal"); };

    // A reader in the middle of a transaction: the log grows past the bound while it reads.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM records", nullptr, nullptr, nullptr);
    while (log_size() < 4 * bound) feed(sink, seen, next_rounds(100));
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    EXPECT_TRUE(eventually(
        [&] {
            feed(sink, seen, next_rounds(5));
            return log_size() <= bound;
        },
        5))
        << "log " << log_size() << " 5 s after the reader let go";

    // An export into a pipe nobody reads, stalled once the pipe is full.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const int capacity = fcntl(pipe_ends[0], F_GETPIPE_SZ);
    std::FILE* out = fdopen(pipe_ends[1], "w");
    std::thread exporting([&] {
        ExportRequest request;
        request.database = db;
        request.meter = "m";
        request.format = "jsonl";
        EXPECT_NO_THROW(export_history(request, out));
        std::fclose(out);
    });
    const auto waiting = [&] {
        int queued = 0;
        ioctl(pipe_ends[0], FIONREAD, &queued);
        return queued >= capacity;
    };
    ASSERT_TRUE(eventually(waiting));
    const uint64_t written_before = log_size();
    for (int i = 0; i < 10; ++i) feed(sink, seen, next_rounds(100));
    EXPECT_TRUE(eventually([&] {
        feed(sink, seen, next_rounds(5));
        return log_size() <= bound;
    })) << "log "
        << log_size() << ", " << written_before << " when the export stalled";
    EXPECT_TRUE(waiting()) << "the export did not stay stalled";
    // Then read to its end: every round it began with, once, in order.
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    exporting.join();
    close(pipe_ends[0]);
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    const auto lines = std::count(text.begin(), text.end(), '\n');
    EXPECT_GE(lines, 2000);
    EXPECT_LE(lines, rounds_of_m.made);
    int64_t previous = -1;
    for (std::size_t at = 0; (at = text.find("\"history_id\":", at)) != std::string::npos;) {
        at += 13;
        const int64_t id = std::stoll(text.substr(at, 20));
        EXPECT_GT(id, previous);
        previous = id;
    }
}

// A history of an older schema made from its fixture's SQL text (tests/apps/fixtures), as `name`.
std::string fixture_history(const std::string& name, int schema) {
    const std::string path = temp_path(name);
    std::ifstream in(std::string(KAVREN_SOURCE_DIR) + "/tests/apps/fixtures/history-schema-" +
                     std::to_string(schema) + ".sql");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty());
    execute(path, text.str());
    return path;
}

// The old history of the fixture (written by the host before schema versions, in Berlin's zone).
std::string old_history(const std::string& name) { return fixture_history(name, 1); }

// The lines a host's start logs on the history at `db` (an upgrade's).
std::vector<std::string> lines_of_start(const std::string& db) {
    std::vector<std::string> logged;
    HistoryStore store(db);
    store.set_log([&](const std::string& line) { logged.push_back(line); });
    store.prepare();
    return logged;
}

// The fixture's history upgraded in place: every row gets the instant of its local time text,
// and its rollups are those its polled rounds and raises make (restored records count nowhere).
TEST(Upgrade, AnOldHistoryGetsInstantsAndRollupsEqualToItsRows) {
    set_zone("Europe/Berlin");
    const std::string db = old_history("old.db");
    std::map<std::string, std::vector<std::string>> before;  // by id: time, record
    for (const auto& row : query(db, "SELECT id, time, record FROM records"))
        before[row[0]] = {row[1], row[2]};
    const std::vector<std::string> logged = lines_of_start(db);
    EXPECT_EQ(query(db, "PRAGMA user_version")[0][0], std::to_string(kHistorySchema));
    ASSERT_GE(logged.size(), 4u);
    EXPECT_NE(logged.front().find("upgrading to history schema 2"), std::string::npos)
        << logged.front();
    EXPECT_NE(logged.back().find("upgraded in"), std::string::npos) << logged.back();

    const auto instant_of = [](const std::string& text) {
        std::tm t{};
        strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &t);
        t.tm_isdst = -1;
        return static_cast<int64_t>(std::mktime(&t)) * 1000;
    };
    ExpectedRollups expected;
    const auto records = query(
        db, "SELECT device, id, t_ms, origin, record_bytes(base, record) FROM records ORDER BY id");
    ASSERT_EQ(records.size(), before.size());
    ASSERT_GT(records.size(), 200u);
    for (const auto& row : records) {
        const auto& old = before.at(row[1]);
        EXPECT_EQ(number(row[2]), instant_of(old[0])) << old[0];
        EXPECT_TRUE(row[4] == old[1]) << "record " << row[1] << " came back changed";
        if (row[3] == "round") expect_round(expected, row[0], number(row[2]), &row[4], 0);
    }
    const auto alarms = query(db, "SELECT device, time, t_ms, state FROM alarms");
    ASSERT_FALSE(alarms.empty());
    for (const auto& row : alarms) {
        EXPECT_EQ(number(row[2]), instant_of(row[1])) << row[1];
        if (row[3] == "raised") expect_raise(expected, row[0], number(row[2]));
    }
    expect_rollups(db, expected);

    // Started again: nothing more to do.
    EXPECT_TRUE(lines_of_start(db).empty());
    set_zone("UTC");
}

// Rows an old host stored through the autumn fall-back, their local texts going 02:59:30 and
// then 02:00:00 again: the upgrade reads the repeated hour in the order the rows were stored.
TEST(Upgrade, TheRepeatedHourOfAFallBackIsReadInTheOrderTheRowsWereStored) {
    set_zone("Europe/Berlin");
    const std::string db = old_history("fall-back.db");
    execute(db, "DELETE FROM records; DELETE FROM alarms;");
    const int64_t start = at("2026-10-24T23:30:00Z");  // 01:30 summer time
    std::string inserts = "BEGIN;";
    for (int k = 0; k < 240; ++k) {
        const time_t seconds = static_cast<time_t>((start + k * 30000) / 1000);
        std::tm local{};
        localtime_r(&seconds, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        inserts += "INSERT INTO records (device, data_id, time, origin, record) VALUES ('m', 1, '" +
                   std::string(text) + "', 'round', zeroblob(259));";
    }
    execute(db, inserts + "COMMIT;");
    {
        HistoryStore store(db);
        store.prepare();
    }
    const auto rows = query(db, "SELECT t_ms FROM records ORDER BY id");
    ASSERT_EQ(rows.size(), 240u);
    for (std::size_t k = 0; k < rows.size(); ++k)
        EXPECT_EQ(number(rows[k][0]), start + static_cast<int64_t>(k) * 30000) << k;
    set_zone("UTC");
}

TEST(Upgrade, AHistoryOfANewerSchemaIsRefusedUntouched) {
    const std::string db = temp_path("newer.db");
    {
        HistoryStore store(db);
        store.prepare();
    }
    execute(db, "PRAGMA user_version = " + std::to_string(kHistorySchema + 1));
    execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    const std::string before = bytes_of(db);
    try {
        HistoryStore store(db);
        ADD_FAILURE() << "a newer history was accepted";
    } catch (const std::runtime_error& e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("newer kavren-host"), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
    EXPECT_THROW(HistoryReader reader(db), std::runtime_error);
    EXPECT_TRUE(bytes_of(db) == before) << "its bytes changed";
}

// An old history with one damaged page is refused before its upgrade writes anything: not
// switched to write-ahead logging, no column added, its bytes as they were.
TEST(Upgrade, ADamagedOldHistoryIsRefusedUntouched) {
    const std::string db = old_history("damaged.db");
    // The first page of its records (past the first page, which holds the schema) overwritten.
    const int64_t page_size = number(query(db, "PRAGMA page_size")[0][0]);
    const int64_t root =
        number(query(db, "SELECT rootpage FROM sqlite_master WHERE name = 'records'")[0][0]);
    ASSERT_GT(root, 1);
    {
        std::fstream file(db, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((root - 1) * page_size);
        const std::string garbage(static_cast<std::size_t>(page_size) / 4, '\xff');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    const std::string before = bytes_of(db);
    try {
        HistoryStore store(db);
        store.prepare();
        ADD_FAILURE() << "a damaged history was upgraded";
    } catch (const std::runtime_error& e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("history " + db + " is not usable: it is damaged"), std::string::npos)
            << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_TRUE(bytes_of(db) == before) << "its bytes changed";
    EXPECT_EQ(file_size(db + "-wal"), 0u);
}

// The schema 2 fixture (written by the host of schema 2), its records compact now: every row
// comes back as it was, byte for byte, and the rest of the history is as it was.
std::string schema_2_history(const std::string& name) { return fixture_history(name, 2); }

const char* const kRowsOfSchema2 =
    "SELECT id, device, data_id, origin, t_ms, record FROM records ORDER BY id";
const char* const kRowsOfSchema3 =
    "SELECT id, device, data_id, origin, t_ms, record_bytes(base, record) FROM records ORDER BY id";
const char* const kOtherRows =
    "SELECT 'a', id, device, key, state, t_ms FROM alarms UNION ALL SELECT 'f', id, device, kind, "
    "'', t_ms FROM failed_rounds UNION ALL SELECT 'r', step_s, device, t_ms, rounds, stats FROM "
    "rollups ORDER BY 1, 2, 3, 4";

TEST(Upgrade, ASchema2HistoryKeepsEveryRecordByteForByte) {
    const std::string db = schema_2_history("schema-2.db");
    const auto records = query(db, kRowsOfSchema2), others = query(db, kOtherRows);
    ASSERT_GT(records.size(), 250u);
    const std::vector<std::string> logged = lines_of_start(db);
    EXPECT_EQ(query(db, "PRAGMA user_version")[0][0], std::to_string(kHistorySchema));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[0].find("upgrading to history schema " + std::to_string(kHistorySchema)),
              std::string::npos)
        << logged[0];
    EXPECT_NE(logged[1].find("upgraded in"), std::string::npos) << logged[1];
    EXPECT_TRUE(query(db, kRowsOfSchema3) == records);
    EXPECT_TRUE(query(db, kOtherRows) == others);
    // Fewer bytes than the records they stand for, bases included.
    const auto stored = query(db,
                              "SELECT (SELECT sum(length(record)) FROM records) + (SELECT "
                              "sum(length(record)) FROM record_bases)");
    EXPECT_LT(number(stored[0][0]), static_cast<int64_t>(records.size()) * 259 / 2);

    // What the host reads at start and for MQTT's backfill.
    HistoryStore store(db);
    store.prepare();
    const auto newest = store.newest_record("feeder-1");
    ASSERT_TRUE(newest.has_value());
    const auto last = query(db,
                            "SELECT record_bytes(base, record) FROM records WHERE device = "
                            "'feeder-1' ORDER BY id DESC LIMIT 1");
    EXPECT_TRUE(std::string(newest->bytes.begin(), newest->bytes.end()) == last[0][0]);
    const auto polled = store.polled_after("feeder 2", 0, 100000);
    const auto expected = query(db,
                                "SELECT id FROM records WHERE device = 'feeder 2' AND origin = "
                                "'round' ORDER BY id");
    ASSERT_EQ(polled.size(), expected.size());
    for (std::size_t i = 0; i < polled.size(); ++i) EXPECT_EQ(polled[i].id, number(expected[i][0]));
}

// An upgrade cut short left a half-filled table of compact records and bases: the next start
// makes them again from the records of schema 2, which were left as they were.
TEST(Upgrade, AnUpgradeCutShortStartsAgainFromTheBeginning) {
    const std::string db = schema_2_history("cut-short.db");
    const auto records = query(db, kRowsOfSchema2);
    execute(db,
            "CREATE TABLE records_new (device TEXT NOT NULL, t_ms INTEGER NOT NULL, id INTEGER NOT "
            "NULL, data_id INTEGER NOT NULL, origin TEXT NOT NULL, base INTEGER NOT NULL, record "
            "BLOB NOT NULL, PRIMARY KEY (device, t_ms, id)) WITHOUT ROWID; CREATE TABLE "
            "record_bases (id INTEGER PRIMARY KEY, device TEXT NOT NULL, record BLOB NOT NULL); "
            "INSERT INTO record_bases VALUES (1, 'feeder-1', x'0102'); INSERT INTO records_new "
            "SELECT device, t_ms, id, data_id, origin, 1, x'ff' FROM records WHERE id < 50");
    {
        HistoryStore store(db);
        store.prepare();
    }
    EXPECT_EQ(query(db, "PRAGMA user_version")[0][0], std::to_string(kHistorySchema));
    EXPECT_TRUE(query(db, kRowsOfSchema3) == records);
    EXPECT_TRUE(query(db, "SELECT name FROM sqlite_master WHERE name = 'records_new'").empty());
}

// The schema 3 fixture (written by the host of schema 3): its bases get their count of records
// and nothing else is rewritten; every record reads back as that host stored it, and the rounds
// stored after the upgrade read back too.
TEST(Upgrade, ASchema3HistoryKeepsItsRecordsAsTheyAre) {
    const std::string db = fixture_history("schema-3.db", 3);
    // What schema 3's decoder gave: each record against its one-record base.
    std::map<std::string, std::vector<uint8_t>> bases;
    for (const auto& row : query(db, "SELECT id, record FROM record_bases"))
        bases[row[0]].assign(row[1].begin(), row[1].end());
    std::vector<std::vector<std::string>> expected;
    for (auto row : query(db, "SELECT id, device, t_ms, base, record FROM records ORDER BY id")) {
        const auto bytes = expand_record(
            bases.at(row[3]), reinterpret_cast<const uint8_t*>(row[4].data()), row[4].size());
        expected.push_back({row[0], row[1], row[2], std::string(bytes.begin(), bytes.end())});
    }
    ASSERT_GT(expected.size(), 400u);
    const auto records = query(db, "SELECT * FROM records ORDER BY id");
    const auto others = query(db, kOtherRows);
    const std::vector<std::string> logged = lines_of_start(db);
    EXPECT_EQ(query(db, "PRAGMA user_version")[0][0], std::to_string(kHistorySchema));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("upgraded to history schema 5"), std::string::npos) << logged[0];
    EXPECT_TRUE(query(db, "SELECT * FROM records ORDER BY id") == records);
    EXPECT_TRUE(query(db, kOtherRows) == others);
    const char* const decoded =
        "SELECT id, device, t_ms, record_bytes(base, record) FROM records ORDER BY id";
    EXPECT_TRUE(query(db, decoded) == expected);

    HistoryStore store(db);
    store.prepare();
    Collecting seen;
    CommitStage sink(store, {"feeder-1"}, 1000, [](const std::string&) {});
    sink.add_sink(&seen);
    sink.start();
    const int64_t t = number(expected.back()[2]) + 1000;
    Rounds more;
    for (int k = 0; k < 70; ++k) more.push_back(polled("feeder-1", 0, t + k * 1000, k));
    feed(sink, seen, more);
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    const auto after = query(db, decoded);
    ASSERT_EQ(after.size(), expected.size() + more.size());
    EXPECT_TRUE(std::vector<std::vector<std::string>>(
                    after.begin(), after.begin() + static_cast<std::ptrdiff_t>(expected.size())) ==
                expected);
    for (std::size_t i = 0; i < more.size(); ++i)
        EXPECT_TRUE(after[expected.size() + i][3] ==
                    std::string(more[i]->record.begin(), more[i]->record.end()));
}

// A long run of two meters, each record read back as it was stored: values that drift, limit
// alarms raised and cleared, failed rounds, restored records, records whose bytes change
// anywhere (setup, limits, flags, all of them at once), a stretch of records that cycle through
// a few states (bases of several records), a restart between (new bases), and then the oldest
// half removed (the bases only it used go with it).
TEST(CompactRecords, ALongRunReadsBackByteForByte) {
    const std::string db = temp_path("compact.db");
    std::mt19937 random(29);
    const int64_t t0 = at("2026-06-01T00:00:00Z");
    Rounds rounds;
    std::vector<uint8_t> drift(sizeof(KAVREN_M7_Data_t), 0);
    std::vector<std::vector<uint8_t>> states(7);
    for (auto& state : states)
        for (int n = 0; n < 40; ++n)
            state.push_back(static_cast<uint8_t>(random()));  // the bytes a state sets
    for (int k = 0; k < 1600; ++k) {
        const std::string meter = k % 2 == 0 ? "m" : "p";
        auto r = polled(meter, static_cast<std::size_t>(k % 2), t0 + (k / 2) * 1000, k,
                        random() % 17 == 0, (k / 40) % 2 == 1);
        if (r->has_record()) {
            if (random() % 50 == 0) drift[random() % drift.size()] = static_cast<uint8_t>(random());
            for (std::size_t i = 0; i < drift.size(); ++i) r->record[i] ^= drift[i];
            if (k >= 300 && k < 700) {
                const auto& state = states[static_cast<std::size_t>(k / 2) % states.size()];
                std::memcpy(r->record.data() + 60, state.data(), state.size());
            }
            if (random() % 97 == 0)
                for (auto& byte : r->record) byte = static_cast<uint8_t>(random());
            if (random() % 113 == 0) r->origin = RoundResult::Origin::restore;
        }
        rounds.push_back(r);
    }
    std::vector<std::string> stored;  // the records, in the order stored
    for (const auto& r : rounds)
        if (r->has_record()) stored.emplace_back(r->record.begin(), r->record.end());
    const auto half = rounds.begin() + static_cast<std::ptrdiff_t>(rounds.size() / 2);
    for (const Rounds& part : {Rounds(rounds.begin(), half), Rounds(half, rounds.end())}) {
        HistoryStore store(db);
        store.prepare();
        Collecting seen;
        CommitStage sink(store, {"m", "p"}, 100000, [](const std::string&) {});
        sink.add_sink(&seen);
        sink.start();
        feed(sink, seen, part);
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    const auto read = [&] {
        std::vector<std::string> bytes;
        for (const auto& row :
             query(db, "SELECT record_bytes(base, record) FROM records ORDER BY id"))
            bytes.push_back(row[0]);
        return bytes;
    };
    ASSERT_TRUE(read() == stored);
    EXPECT_GT(number(query(db, "SELECT count(*) FROM record_bases WHERE records > 1")[0][0]), 0);
    EXPECT_GT(number(query(db, "SELECT count(*) FROM failed_rounds")[0][0]), 0);
    EXPECT_GT(number(query(db, "SELECT count(*) FROM alarms")[0][0]), 10);
    EXPECT_GT(number(query(db, "SELECT count(*) FROM records WHERE origin = 'restore'")[0][0]), 0);

    const int64_t bases = number(query(db, "SELECT count(*) FROM record_bases")[0][0]);
    const std::size_t removed = stored.size() / 2;
    {
        HistoryStore store(db);
        store.prepare();
        store.begin();
        sqlite3_exec(store.handle(),
                     ("DELETE FROM records WHERE id <= (SELECT id FROM records ORDER BY id LIMIT 1 "
                      "OFFSET " +
                      std::to_string(removed - 1) + ")")
                         .c_str(),
                     nullptr, nullptr, nullptr);
        store.drop_unused_bases();
        store.commit();
    }
    EXPECT_TRUE(read() == std::vector<std::string>(
                              stored.begin() + static_cast<std::ptrdiff_t>(removed), stored.end()));
    EXPECT_LT(number(query(db, "SELECT count(*) FROM record_bases")[0][0]), bases);
    HistoryStore store(db);
    store.prepare();
    const auto newest = store.newest_record("p");
    ASSERT_TRUE(newest.has_value());
    std::string last_of_p;
    for (const auto& r : rounds)
        if (r->has_record() && r->meter == "p")
            last_of_p.assign(r->record.begin(), r->record.end());
    EXPECT_TRUE(std::string(newest->bytes.begin(), newest->bytes.end()) == last_of_p);
}

// The clock ran a year ahead for a few rounds and came back: a range without `to` still ends
// now, in the present rounds as themselves, and the rounds after them come through since_ms;
// the rounds stamped a year ahead are in a range whose `to` is after them.
TEST(Series, RoundsStampedInTheFutureDoNotHideThePresent) {
    set_zone("UTC");
    const std::string db = temp_path("future.db");
    HistoryStore store(db);
    store.prepare();
    Collecting seen;
    CommitStage sink(store, {"m"}, 100000, [](const std::string&) {});
    sink.add_sink(&seen);
    sink.start();
    RoundsEverySecond present{at("2026-12-08T10:00:00Z")};
    feed(sink, seen, present.next(600));
    const int64_t ahead = present.newest_ms() + 364 * kDayMs;
    feed(sink, seen, {polled("m", 0, ahead, 0), polled("m", 0, ahead + 1000, 1)});
    feed(sink, seen, present.next(60));
    const int64_t now = present.newest_ms() + 500;

    HistoryReader reader(db);
    const int64_t from = now - 15 * kMinuteMs;  // the page's last 15 minutes
    const Json::Value last =
        parse(series_json(reader, SeriesRequest{"m", from, {}, 1000, {}}, now));
    EXPECT_EQ(last["to"], iso_local_time(now));
    EXPECT_EQ(last["step"], "raw");
    ASSERT_EQ(last["points"].size(), 660u);
    EXPECT_EQ(last["points"][659]["t_ms"].asInt64(), present.newest_ms());
    EXPECT_EQ(last["newest_ms"].asInt64(), present.newest_ms());
    feed(sink, seen, present.next(1));
    const Json::Value newer = parse(series_json(
        reader, SeriesRequest{"m", from, {}, 1000, last["newest_ms"].asInt64()}, now + 1000));
    ASSERT_EQ(newer["points"].size(), 1u);
    EXPECT_EQ(newer["points"][0]["t_ms"].asInt64(), present.newest_ms());

    const Json::Value stored =
        parse(series_json(reader, SeriesRequest{"m", {}, {}, 1000, {}}, now + 1000));
    EXPECT_EQ(stored["newest_ms"].asInt64(), present.newest_ms());
    EXPECT_EQ(stored["points"].size(), 661u);
    const Json::Value named =
        parse(series_json(reader, SeriesRequest{"m", {}, ahead + 1000, 1000, {}}, now + 1000));
    EXPECT_EQ(named["newest_ms"].asInt64(), ahead + 1000);
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
}

// Two hours of rounds 2 s apart with a minute in which every round failed and five minutes in
// which none was made, asked for through the API as the page would.
class SeriesApi : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        set_zone("Asia/Kolkata");  // +05:30: offsets that are not whole hours
        HistoryStore store(db());
        store.prepare();
        Collecting seen;
        CommitStage sink(store, {"m"}, 100000, [](const std::string&) {});
        sink.add_sink(&seen);
        sink.start();
        Rounds rounds;
        for (int k = 0; k < 3600; ++k) {
            const int64_t t = start() + k * 2000;
            const int64_t minute = (t - start()) / kMinuteMs;
            if (minute >= 40 && minute < 45) continue;  // the host was not running
            const bool failed = minute == 30, raise = k % 100 == 50;
            rounds.push_back(polled("m", 0, t, k, failed, raise));
            raises() += !failed && raise;
        }
        feed(sink, seen, rounds);
        sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    static std::string db() { return temp_path("series.db"); }
    static int& raises() {
        static int count = 0;
        return count;
    }
    // The whole two hours, as Unix seconds.
    static std::string range() {
        return "from=" + ms(start() / 1000) + "&to=" + ms(newest() / 1000) + "&";
    }
    static int64_t start() { return at("2026-12-08T06:00:00Z"); }
    static int64_t newest() { return start() + 3599 * 2000; }

    Json::Value get(const std::string& target, int status = 200) {
        LiveMeters sink({MeterIdentity{"m", 1, "link", {}}});
        HttpApi api(sink, db(), HttpLimits{}, 2.0, "/nonexistent");
        HttpRequest request;
        request.method = "GET";
        const auto question = target.find('?');
        request.path = target.substr(0, question);
        if (question != std::string::npos) {
            std::istringstream parts(target.substr(question + 1));
            for (std::string part; std::getline(parts, part, '&');) {
                const auto eq = part.find('=');
                request.query[part.substr(0, eq)] = part.substr(eq + 1);
            }
        }
        const HttpResponse r = api.handle(request);
        EXPECT_EQ(r.status, status) << target << "\n" << r.body.substr(0, 300);
        return parse(r.body);
    }
    static std::string ms(int64_t v) { return std::to_string(v); }
};

TEST_F(SeriesApi, PointsCoverTheRangeWithTheNewestRoundInTheLastAndOffsetsEverywhere) {
    const std::string base = "/api/meters/m/series?" + range();
    for (const int points : {1, 7, 100, 1000}) {
        const Json::Value r = get(base + "points=" + std::to_string(points));
        ASSERT_GE(r["points"].size(), 1u);
        EXPECT_LE(r["points"].size(), static_cast<unsigned>(points)) << points;
        const Json::Value& last = r["points"][r["points"].size() - 1];
        const int64_t step = r["step_ms"].asInt64();
        EXPECT_LE(last["t_ms"].asInt64(), newest());
        EXPECT_GT(last["t_ms"].asInt64() + std::max<int64_t>(step, 1), newest()) << points;
        EXPECT_EQ(r["newest_ms"].asInt64(), newest());
        EXPECT_LE(r["points"][0]["t_ms"].asInt64(), start());
        for (const char* bound : {"from", "to"}) EXPECT_TRUE(has_offset(r[bound].asString()));
        for (const Json::Value& p : r["points"]) EXPECT_TRUE(has_offset(p["t"].asString()));
        for (const Json::Value& a : r["alarms"]) EXPECT_TRUE(has_offset(a["t"].asString()));
    }
    const Json::Value hundred = get(base + "points=100");
    EXPECT_EQ(hundred["step"], "120s");
    EXPECT_EQ(get(base + "points=1")["step"], "7200s");
    EXPECT_EQ(get(base + "points=1000")["step"], "8s");
    int raised = 0;
    for (const Json::Value& a : hundred["alarms"]) raised += a["state"] == "raised";
    EXPECT_EQ(raised, raises());
    int64_t counted = 0;
    for (const Json::Value& p : hundred["points"]) counted += p["alarms"].asInt64();
    EXPECT_EQ(counted, raises());

    // The last ten minutes: 300 rounds as themselves, min = mean = max; as 6 s buckets for 100.
    const std::string last_ten = "/api/meters/m/series?from=" + ms((start() + 6600000) / 1000) +
                                 "&to=" + ms(newest() / 1000);
    const Json::Value raw = get(last_ten);
    EXPECT_EQ(raw["step"], "raw");
    ASSERT_EQ(raw["points"].size(), 300u);
    const Json::Value& one = raw["points"][299];
    EXPECT_EQ(one["t_ms"].asInt64(), newest());
    EXPECT_EQ(one["rounds"], 1);
    EXPECT_GT(one["history_id"].asInt64(), 0);
    EXPECT_EQ(one["UA"]["min"], one["UA"]["max"]);
    EXPECT_EQ(one["UA"]["mean"], one["UA"]["max"]);
    const Json::Value buckets = get(last_ten + "&points=100");
    EXPECT_EQ(buckets["step"], "6s");
    EXPECT_LE(buckets["points"].size(), 100u);

    // since_ms: only what is newer; a bucket comes again while it may still grow.
    const Json::Value since = get(last_ten + "&since_ms=" + ms(newest() - 10000));
    ASSERT_EQ(since["points"].size(), 5u);
    EXPECT_GT(since["points"][0]["t_ms"].asInt64(), newest() - 10000);
    const Json::Value since_buckets = get(base + "points=100&since_ms=" + ms(newest() - 1000));
    ASSERT_EQ(since_buckets["points"].size(), 1u);
    EXPECT_EQ(since_buckets["points"][0]["t_ms"],
              hundred["points"][hundred["points"].size() - 1]["t_ms"]);
}

// A range that ends on the start of a bucket (its last second taken in): the last point holds
// the rounds of that second, the newest of the range, and none after it, whether the buckets
// come from the raw rounds, the minutes or the hours.
TEST_F(SeriesApi, TheLastBucketHoldsNoRoundAfterTheRange) {
    const int64_t to = start() + kHourMs + 999;  // 07:00:00, a round at it, the next 2 s later
    const struct {
        int64_t from;
        int points;
        const char* step;
    } cases[] = {
        {start() + 30 * kMinuteMs, 61, "30s"}, {start(), 31, "120s"}, {start(), 1, "7200s"}};
    for (const auto& c : cases) {
        const Json::Value r = get("/api/meters/m/series?from=" + ms(c.from / 1000) +
                                  "&to=" + ms(to / 1000) + "&points=" + std::to_string(c.points));
        EXPECT_EQ(r["step"], c.step);
        const Json::Value& points = r["points"];
        ASSERT_GE(points.size(), 1u);
        const Json::Value& last = points[points.size() - 1];
        EXPECT_EQ(r["newest_ms"].asInt64(), to - 999) << c.step;
        EXPECT_LE(last["t_ms"].asInt64(), to - 999) << c.step;
        EXPECT_GT(last["t_ms"].asInt64() + last["step_ms"].asInt64(), to - 999) << c.step;
        int64_t rounds = 0, failed = 0;
        for (const Json::Value& p : points) {
            rounds += p["rounds"].asInt64();
            failed += p["failed"].asInt64();
        }
        const std::string within =
            " WHERE t_ms >= " + ms(points[0]["t_ms"].asInt64()) + " AND t_ms <= " + ms(to);
        EXPECT_EQ(rounds, number(query(db(), "SELECT count(*) FROM records" + within)[0][0]))
            << c.step;
        EXPECT_EQ(failed, number(query(db(), "SELECT count(*) FROM failed_rounds" + within)[0][0]))
            << c.step;
    }
}

// The two hours after retention removed the minutes before 07:00 and the rounds before 07:30:07:
// the hour before the minutes, the minutes up to the first minute after the rounds' start, then
// the rounds; every round in one point, the steps only getting finer.
TEST_F(SeriesApi, WhereRetentionRemovedRowsTheStretchBeforeComesFromCoarserRows) {
    const std::string copy = temp_path("series-retained.db");
    std::remove(copy.c_str());
    execute(db(), "VACUUM INTO '" + copy + "'");
    const int64_t minutes_from = start() + kHourMs - 30000,
                  raw_from = start() + 90 * kMinuteMs + 7000;
    execute(copy, "DELETE FROM rollups WHERE step_s = 60 AND t_ms < " + ms(minutes_from) +
                      "; DELETE FROM records WHERE t_ms < " + ms(raw_from) +
                      "; DELETE FROM failed_rounds WHERE t_ms < " + ms(raw_from) +
                      "; INSERT INTO purged_before (device, tier, t_ms) VALUES ('m', 'minute', " +
                      ms(minutes_from) + "), ('m', 'raw', " + ms(raw_from) + ")");
    HistoryReader reader(copy);
    const Json::Value r = parse(
        series_json(reader, SeriesRequest{"m", start(), newest(), 1000, {}}, newest() + 1000));
    EXPECT_EQ(r["step"], "raw");
    const Json::Value& points = r["points"];
    ASSERT_EQ(points.size(), 1 + 31 + (newest() - start() - 91 * kMinuteMs) / 2000 + 1);
    EXPECT_EQ(points[0]["t_ms"].asInt64(), start());
    EXPECT_EQ(points[0]["step_ms"], 3600000);
    for (int i = 1; i <= 31; ++i) {
        EXPECT_EQ(points[i]["t_ms"].asInt64(), start() + (59 + i) * kMinuteMs);
        EXPECT_EQ(points[i]["step_ms"], 60000);
    }
    for (Json::ArrayIndex i = 32; i < points.size(); ++i) {
        EXPECT_EQ(points[i]["t_ms"].asInt64(), start() + 91 * kMinuteMs + (i - 32) * 2000);
        EXPECT_EQ(points[i]["step_ms"], 0);
        EXPECT_GT(points[i]["history_id"].asInt64(), 0);
    }
    int64_t rounds = 0, failed = 0;
    for (const Json::Value& p : points) {
        rounds += p["rounds"].asInt64();
        failed += p["failed"].asInt64();
    }
    EXPECT_EQ(rounds, number(query(db(), "SELECT count(*) FROM records")[0][0]));
    EXPECT_EQ(failed, number(query(db(), "SELECT count(*) FROM failed_rounds")[0][0]));
}

TEST_F(SeriesApi, FailedRoundsAndMissingRoundsAreToldApart) {
    // Minutes: the one whose rounds all failed is a point without values; the five without any
    // rounds have no point.
    const Json::Value minutes = get("/api/meters/m/series?" + range() + "points=120");
    EXPECT_EQ(minutes["step"], "60s");
    std::vector<int64_t> starts;
    for (const Json::Value& p : minutes["points"]) {
        starts.push_back((p["t_ms"].asInt64() - start()) / kMinuteMs);
        if (starts.back() == 30) {
            EXPECT_EQ(p["rounds"], 0);
            EXPECT_EQ(p["failed"], 30);
            EXPECT_FALSE(p.isMember("UA"));
        } else {
            EXPECT_EQ(p["rounds"], 30);
            EXPECT_EQ(p["failed"], 0);
            EXPECT_TRUE(p["UA"].isMember("mean"));
        }
    }
    EXPECT_EQ(starts.size(), 115u);
    for (int gap = 40; gap < 45; ++gap)
        EXPECT_EQ(std::count(starts.begin(), starts.end(), gap), 0) << gap;
    // Raw: each failed round is a point of its own, with how it failed.
    const Json::Value raw =
        get("/api/meters/m/series?from=" + ms((start() + 30 * kMinuteMs) / 1000) +
            "&to=" + ms((start() + 31 * kMinuteMs - 1) / 1000));
    EXPECT_EQ(raw["step"], "raw");
    ASSERT_EQ(raw["points"].size(), 30u);
    EXPECT_EQ(raw["points"][0]["failed"], 1);
    EXPECT_EQ(raw["points"][0]["failure"], "timeout");
}

TEST_F(SeriesApi, BadRequestsAre400AndAnUnknownMeter404) {
    for (const char* query :
         {"points=0", "points=10001", "points=ten", "points=", "from=2026-13-01",
          "from=2026-12-09&to=2026-12-08", "from=10000-01-01", "to=253402300800", "since_ms=soon",
          "since_ms=99999999999999999", "limit=5", "step=raw",
          "from=1969-12-31&to=1970-01-02&points=1"}) {
        const Json::Value r = get(std::string("/api/meters/m/series?") + query, 400);
        EXPECT_TRUE(r.isMember("error")) << query;
    }
    // Without `to` a range ends now: one that starts later ends before it starts.
    const std::string later = ms(system_now_ms() / 1000 + 3600);
    EXPECT_TRUE(get("/api/meters/m/series?from=" + later, 400).isMember("error"));
    EXPECT_TRUE(get("/api/meters/nobody/series", 404).isMember("error"));
}

// Export of the rollups: a row per minute with each quantity's min, mean and max, the same as
// the series gives.
TEST_F(SeriesApi, ExportOfMinutesHasMinMeanAndMaxColumns) {
    ExportRequest request;
    request.database = db();
    request.meter = "m";
    request.step = "1m";
    for (const char* format : {"csv", "jsonl"}) {
        request.format = format;
        std::istringstream lines(exported(request));
        std::vector<std::string> all;
        for (std::string line; std::getline(lines, line);) all.push_back(line);
        if (std::string(format) == "csv") {
            ASSERT_EQ(all.size(), 116u);
            EXPECT_EQ(all[0].substr(0, 52), "time,t_ms,rounds,failed,alarms,UA_min,UA_mean,UA_max");
            EXPECT_EQ(std::count(all[0].begin(), all[0].end(), ','), 4 + 18 * 3);
            EXPECT_EQ(std::count(all[31].begin(), all[31].end(), ','), 4 + 18 * 3);
        } else {
            ASSERT_EQ(all.size(), 115u);
            const Json::Value first = parse(all[0]);
            EXPECT_EQ(first["rounds"], 30);
            EXPECT_TRUE(has_offset(first["time"].asString()));
            EXPECT_EQ(first["step"], "1m");
            EXPECT_LE(first["UA"]["min"].asFloat(), first["UA"]["mean"].asFloat());
            EXPECT_LE(first["UA"]["mean"].asFloat(), first["UA"]["max"].asFloat());
        }
    }
    request.step = "5m";
    EXPECT_THROW(export_history(request, stdout), app::UsageError);
}

}  // namespace
