// The host keeps polling through every kind of fault, and a killed host loses no stored round.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"

namespace {

using namespace testing_support;
using std::chrono::milliseconds;

struct RoundLog {
    int failed = 0;
    int complete_after_failure = 0;
    int complete = 0;
    std::vector<std::string> failure_kinds;
    std::vector<long long> ids;  // the complete rounds' history ids, as printed
};

// The lines a running host has written whole so far.
std::string whole_lines(const std::string& text) { return text.substr(0, text.rfind('\n') + 1); }

RoundLog rounds_in(const std::string& log) {
    RoundLog r;
    for (const auto& line : json_lines(json_only(log))) {
        if (line.isMember("restored")) continue;
        if (!line["complete"].asBool()) {
            ++r.failed;
            r.failure_kinds.push_back(line["failure"]["kind"].asString());
        } else {
            ++r.complete;
            r.ids.push_back(line["history_id"].asInt64());
            if (r.failed > 0) ++r.complete_after_failure;
        }
    }
    return r;
}

TEST_F(EndToEnd, ATcpResetAbandonsOneRoundAndTheHostReconnects) {
    int port = 0;
    auto sim = tcp_sim(port, {"--fault", "3:reset"});
    const Finished run = host({"--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "3",
                               "--interval", "0.05", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const RoundLog r = rounds_in(run.out);
    EXPECT_EQ(r.failure_kinds, std::vector<std::string>{"connection_lost"});
    EXPECT_EQ(r.complete, 2);
}

TEST_F(EndToEnd, ALateReplyDoesNotSpillIntoTheNextRound) {
    // Request 3 is answered 600 ms late, after the host gave up at 200 ms.
    auto sim = pty_sim({"--fault", "3:delay", "--delay-ms", "600"});
    const Finished run = host({"--rtu", dir + "/meter", "--rounds", "6", "--interval", "0.05",
                               "--timeout-ms", "200", "--offline-after", "10", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const RoundLog r = rounds_in(run.out);
    ASSERT_GE(r.failed, 1);
    EXPECT_EQ(r.failure_kinds.front(), "timeout");
    EXPECT_LE(r.failed, 3) << run.out;
    EXPECT_GE(r.complete_after_failure, 3) << run.out;
    const auto expected = decoded(image);
    for (const auto& row : stored_records(db, "meter-1"))
        expect_same_measurements(row.record, expected);
}

TEST_F(EndToEnd, AMeterGoneMidRoundAndItsSerialDeviceRemovedAndBack) {
    auto sim = pty_sim({"--line-rate", "9600"});
    Background host_run(
        {kHost, "--rtu", dir + "/meter", "--rounds", "16", "--interval", "0.3", "--timeout-ms",
         "1000", "--offline-after", "2", "--db", db, "--quiet-plugin", "--json"},
        dir + "/host.log");
    // Paced rounds take about 370 ms each and follow each other at once (the interval is
    // shorter): once a second round is printed, the third is under way, and the meter goes in
    // the middle of it. The time-out bounds each paced reply as a whole, so it leaves room for a
    // busy machine.
    const auto printed = [&] { return rounds_in(whole_lines(read_file(dir + "/host.log"))); };
    ASSERT_TRUE(eventually([&] { return printed().complete >= 2; }));
    kill_pty_sim(sim);  // the device is gone, as an unplugged adapter's name
    // Back, on another pseudo-terminal under the same name, once the meter is taken for offline.
    ASSERT_TRUE(eventually([&] { return printed().failed >= 2; }));
    sim = pty_sim({"--line-rate", "9600"});
    int status = -1;
    ASSERT_TRUE(host_run.wait(90, &status));
    EXPECT_EQ(status, 0);
    const std::string log = read_file(dir + "/host.log");
    const RoundLog r = rounds_in(log);
    EXPECT_GE(r.failed, 2) << log;
    EXPECT_GE(r.complete_after_failure, 1) << log;
    EXPECT_NE(log.find("meter-1 back online"), std::string::npos) << log;
    for (const auto& row : stored_records(db, "meter-1"))
        expect_same_measurements(row.record, decoded(image));
}

std::string integrity(const std::string& db) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::string result = "?";
    if (sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return result;
}

// A round is printed as soon as it is complete and stored at the next group commit: a kill
// loses the rounds of the last commit interval at most, and what is stored is whole.
TEST_F(EndToEnd, AHostKilledDuringRoundsLosesAtMostItsLastCommitInterval) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    // Rounds every 0.2 s, committed every second: five rounds to a commit, a few more when a
    // busy machine delays one.
    const int most_missing = 5 + 2;
    Background host_run({kHost, "--tcp", address, "--interval", "0.2", "--commit-interval", "1",
                         "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.log");
    ASSERT_TRUE(eventually(
        [&] { return rounds_in(whole_lines(read_file(dir + "/host.log"))).complete > 12; }));
    kill(host_run.pid(), SIGKILL);
    host_run.wait(10);

    EXPECT_EQ(integrity(db), "ok");
    const auto rows = stored_records(db, "meter-1");
    // A kill may cut the last line short.
    const RoundLog printed = rounds_in(whole_lines(read_file(dir + "/host.log")));
    ASSERT_GT(printed.complete, 12);
    ASSERT_FALSE(rows.empty());
    // Stored: the run's rounds one after another, each once, whole, from its first round on.
    const auto expected = decoded(image);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].id, printed.ids.front() + static_cast<long long>(i));
        EXPECT_EQ(rows[i].origin, "round");
        expect_same_measurements(rows[i].record, expected);
    }
    // Printed and not stored: only the newest, those of the commit that the kill cut off.
    int missing = 0;
    for (const long long id : printed.ids) missing += id > rows.back().id;
    EXPECT_LE(missing, most_missing)
        << rows.size() << " stored, " << printed.complete << " printed";

    const Finished again = host({"--tcp", address, "--rounds", "1", "--json"});
    ASSERT_EQ(again.status, 0) << again.err;
    const auto lines = json_lines(again.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0]["restored"].asBool());
    EXPECT_EQ(static_cast<float>(lines[0]["values"]["UA"].asDouble()), 230.0f);
    EXPECT_EQ(stored_records(db, "meter-1").size(), rows.size() + 2);
    EXPECT_EQ(integrity(db), "ok");
}

// Rounds wait for their commit: with an hour's interval none is stored while the host runs,
// though each is printed; a stop (SIGTERM) commits every one of them before the host ends. With
// a short interval, rounds reach the history while it runs.
TEST_F(EndToEnd, RoundsWaitForTheGroupCommitAndAStopStoresEveryOne) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    Background waiting({kHost, "--tcp", address, "--interval", "0.05", "--commit-interval", "3600",
                        "--db", db, "--quiet-plugin", "--json"},
                       dir + "/host.log");
    ASSERT_TRUE(eventually(
        [&] { return rounds_in(whole_lines(read_file(dir + "/host.log"))).complete >= 5; }));
    EXPECT_TRUE(stored_records(db, "meter-1").empty());
    kill(waiting.pid(), SIGTERM);
    int status = -1;
    ASSERT_TRUE(waiting.wait(30, &status));
    EXPECT_EQ(status, 0);
    const RoundLog printed = rounds_in(read_file(dir + "/host.log"));
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), printed.ids.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].id, printed.ids[i]);

    Background committing({kHost, "--tcp", address, "--interval", "0.05", "--commit-interval",
                           "0.5", "--db", db, "--quiet-plugin", "--no-restore", "--json"},
                          dir + "/again.log");
    EXPECT_TRUE(eventually([&] { return stored_records(db, "meter-1").size() > rows.size(); }));
    kill(committing.pid(), SIGTERM);
    EXPECT_TRUE(committing.wait(30, &status));
    EXPECT_EQ(status, 0);
}

}  // namespace
