// kavren-host under a system clock that the test moves: libfaketime, preloaded into the host,
// takes its offset from a file the test writes (read again at every look at the clock); the
// monotonic clock stays the machine's, as it does when a real clock jumps. The test itself keeps
// the real clock.
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"

namespace {

using namespace testing_support;

constexpr int64_t kYearMs = int64_t{365} * 86400 * 1000;

int64_t real_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The instant of every record in the history, by id.
std::map<int64_t, int64_t> instants(const std::string& db) {
    std::map<int64_t, int64_t> rows;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 2000);
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(handle, "SELECT id, t_ms FROM records", -1, &s, nullptr);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
            rows[sqlite3_column_int64(s, 0)] = sqlite3_column_int64(s, 1);
        sqlite3_finalize(s);
    }
    sqlite3_close(handle);
    return rows;
}

// Rows stamped at or after `from_ms`.
std::size_t stamped_from(const std::map<int64_t, int64_t>& rows, int64_t from_ms) {
    std::size_t n = 0;
    for (const auto& row : rows) n += row.second >= from_ms;
    return n;
}

class ClockJumps : public EndToEnd {
  protected:
    std::string offset_file = dir + "/clock-offset";

    // "+0", "+365d": how far the host's system clock is from the real one.
    void set_offset(const std::string& offset) { write_file(offset_file, offset + "\n"); }
    // Each batch committed at once: what the history holds is what the host has judged.
    std::unique_ptr<Background> host_on_fake_clock(int port, std::vector<std::string> extra,
                                                   const std::string& log) {
        std::vector<std::string> args{"/usr/bin/env",
                                      "LD_PRELOAD=" KAVREN_FAKETIME_PATH,
                                      "FAKETIME_TIMESTAMP_FILE=" + offset_file,
                                      "FAKETIME_NO_CACHE=1",
                                      "FAKETIME_DONT_FAKE_MONOTONIC=1",
                                      kHost,
                                      "--tcp",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--interval",
                                      "0.1",
                                      "--commit-interval",
                                      "0",
                                      "--db",
                                      db,
                                      "--quiet-plugin"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Background>(args, log);
    }
    // Rows stamped half a year ahead of the real clock or more.
    std::size_t stamped_ahead() { return stamped_from(instants(db), real_now_ms() + kYearMs / 2); }
    // Every row of `before` younger than the retention by the real clock is still there.
    void expect_none_removed_early(const std::map<int64_t, int64_t>& before, int64_t keep_ms) {
        const int64_t cutoff = real_now_ms() - keep_ms;
        const auto now = instants(db);
        for (const auto& row : before) {
            if (row.second < cutoff) continue;
            EXPECT_EQ(now.count(row.first), 1u) << "round " << row.first;
        }
    }
};

bool holds(const std::string& log, const std::string& text) {
    return read_file(log).find(text) != std::string::npos;
}

// With --retention-raw 20s, the clock a year ahead for a few seconds while the host runs: no
// round younger than 20 s goes, the rounds stored meanwhile keep their instants, and once the
// clock is back the rounds go as they age.
TEST_F(ClockJumps, AYearAheadWhileRunningRemovesNothingEarlyAndRetentionGoesOn) {
    ASSERT_EQ(access(KAVREN_FAKETIME_PATH, R_OK), 0)
        << KAVREN_FAKETIME_PATH << ": libfaketime is missing (scripts/bootstrap.sh installs it)";
    int port = 0;
    auto sim = tcp_sim(port);
    set_offset("+0");
    const std::string log = dir + "/host.log";
    auto host = host_on_fake_clock(port, {"--retention-raw", "20s"}, log);
    ASSERT_TRUE(wait_for_file(db));
    ASSERT_TRUE(eventually([&] { return instants(db).size() >= 10; })) << read_file(log);
    const auto before = instants(db);

    set_offset("+365d");
    ASSERT_TRUE(eventually([&] { return holds(log, "jumped 365 days ahead"); })) << read_file(log);
    ASSERT_TRUE(eventually([&] { return stamped_ahead() >= 5; })) << read_file(log);
    expect_none_removed_early(before, 20000);
    set_offset("+0");
    ASSERT_TRUE(eventually([&] { return holds(log, "in step again"); })) << read_file(log);
    const std::size_t ahead = stamped_ahead();
    expect_none_removed_early(before, 20000);

    // Every round of before the jump goes once it is 20 s old; those stamped ahead stay.
    EXPECT_TRUE(eventually(
        [&] {
            const auto now = instants(db);
            for (const auto& row : before)
                if (now.count(row.first) == 1) return false;
            return true;
        },
        60))
        << read_file(log);
    EXPECT_EQ(stamped_ahead(), ahead);
    host->stop();
}

// A host started on a clock set a year ahead, with the default 30 days of raw rounds: its first
// pass (10 s after the start) says why it removes nothing, and every round is kept, before and
// after the clock is set right.
TEST_F(ClockJumps, AHostStartedAYearAheadRemovesNothing) {
    ASSERT_EQ(access(KAVREN_FAKETIME_PATH, R_OK), 0)
        << KAVREN_FAKETIME_PATH << ": libfaketime is missing (scripts/bootstrap.sh installs it)";
    int port = 0;
    auto sim = tcp_sim(port);
    ASSERT_EQ(
        host({"--tcp", "127.0.0.1:" + std::to_string(port), "--interval", "0.1", "--rounds", "10"})
            .status,
        0);
    const auto stored_before = instants(db);
    ASSERT_EQ(stored_before.size(), 10u);

    set_offset("+365d");
    const std::string log = dir + "/host.log";
    auto host = host_on_fake_clock(port, {}, log);
    // The first pass comes 10 s after the start.
    ASSERT_TRUE(eventually([&] { return holds(log, "365 days past the round stored last"); }, 30))
        << read_file(log);
    ASSERT_TRUE(eventually([&] { return stamped_ahead() >= 10; })) << read_file(log);
    set_offset("+0");
    const std::size_t stored = instants(db).size();
    ASSERT_TRUE(eventually([&] { return instants(db).size() >= stored + 10; }));
    host->stop();
    const std::string text = read_file(log);
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(text, summary, std::regex(R"(\((\d+) records stored)"))) << text;
    const auto after = instants(db);
    EXPECT_EQ(after.size(), stored_before.size() + std::stoul(summary[1].str()));
    for (const auto& row : stored_before)
        EXPECT_EQ(after.count(row.first), 1u) << "round " << row.first;
}

}  // namespace
