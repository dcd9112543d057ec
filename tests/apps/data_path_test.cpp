// The host's data path under consumers and histories that do not keep up: polling goes on,
// nothing reported is lost, and a stop is quick and clean.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"

namespace {

using namespace testing_support;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

long rows_of(const std::string& db, const std::string& device) {
    if (access(db.c_str(), F_OK) != 0) return 0;  // not made yet
    return static_cast<long>(stored_records(db, device).size());
}

// SIGTERM, then how long the program took to end and its status.
double stop_seconds(Background& program, int* status) {
    const auto asked = steady_clock::now();
    kill(program.pid(), SIGTERM);
    if (!program.wait(10, status)) return 99;
    return std::chrono::duration<double>(steady_clock::now() - asked).count();
}

std::string two_link_config(const std::string& dir, int port) {
    const std::string config = dir + "/host.json";
    const std::string address = "127.0.0.1:" + std::to_string(port);
    write_file(config, R"({"interval": 0.001, "links": [
        {"tcp": ")" + address +
                           R"(", "meters": [{"name": "a", "unit": 1}]},
        {"tcp": ")" + address +
                           R"(", "meters": [{"name": "b", "unit": 2}]}]})");
    return config;
}

TEST_F(EndToEnd, AReaderThatStopsReadingStallsNoLinkAndNoStop) {
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"});
    // Standard output and error both into a pipe that nobody reads (yet).
    const std::string fifo = dir + "/out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Background host_run(
        {kHost, "--config", two_link_config(dir, port), "--json", "--db", db, "--quiet-plugin"},
        fifo);
    // Far more rounds than the pipe and the host's line queue hold: both links go on, and so
    // does the history.
    ASSERT_TRUE(eventually([&] { return rows_of(db, "a") + rows_of(db, "b") > 6000; }, 60))
        << rows_of(db, "a") << " " << rows_of(db, "b");
    const long a = rows_of(db, "a"), b = rows_of(db, "b");
    EXPECT_TRUE(
        eventually([&] { return rows_of(db, "a") > a + 20 && rows_of(db, "b") > b + 20; }, 10));

    // Reading again: the lines dropped meanwhile are reported.
    std::string text;
    std::mutex text_lock;
    std::atomic<bool> reading{true};
    std::thread drain([&] {
        char buffer[65536];
        while (reading) {
            const ssize_t n = read(reader, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(text_lock);
                text.append(buffer, static_cast<std::size_t>(n));
            } else {
                std::this_thread::sleep_for(milliseconds(5));
            }
        }
    });
    const bool reported = eventually(
        [&] {
            std::lock_guard<std::mutex> hold(text_lock);
            return text.find("round lines were dropped") != std::string::npos;
        },
        10);
    int status = -1;
    const double took = stop_seconds(host_run, &status);
    reading = false;
    drain.join();
    close(reader);
    EXPECT_TRUE(reported);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(status, 0);
}

TEST_F(EndToEnd, AHistoryLockedByAnotherProgramGetsItsRowsWhenTheLockGoes) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(host({"--tcp", address, "--rounds", "1"}).status, 0);  // the history exists
    const long before = rows_of(db, "meter-1");

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE; DELETE FROM alarms WHERE 0;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    const std::string log = dir + "/host.log";
    Background host_run({kHost, "--tcp", address, "--interval", "0.02", "--db", db,
                         "--quiet-plugin", "--json", "--history-queue", "40", "--no-restore"},
                        log);
    // Polling goes on (the queue fills and refuses) while nothing can be stored.
    ASSERT_TRUE(eventually(
        [&] {
            const std::string text = read_file(log);
            return text.find("history queue full") != std::string::npos &&
                   text.find("locked by another program") != std::string::npos;
        },
        20))
        << read_file(log);
    EXPECT_EQ(rows_of(db, "meter-1"), before);
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);

    // Every round the queue held arrives; later rounds are stored as they come.
    ASSERT_TRUE(eventually([&] { return rows_of(db, "meter-1") >= before + 60; }, 20));
    int status = -1;
    EXPECT_LT(stop_seconds(host_run, &status), 2.0);
    const std::string text = read_file(log);
    EXPECT_EQ(status, 1) << "refused rounds make the run a failure";
    const auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("history queue full"), 1u) << text;
    EXPECT_NE(text.find("rounds refused while the history queue was full"), std::string::npos);
    // Every round that was printed is in the history.
    long printed = 0;
    for (const auto& line : json_lines(json_only(text))) printed += line["complete"].asBool();
    EXPECT_EQ(rows_of(db, "meter-1") - before, printed);
}

TEST_F(EndToEnd, AStopDuringAResponseTimeOutIsQuickAndClean) {
    int port = 0;
    auto silent = tcp_sim(port, {"--fault-rate", "1", "--fault-kinds", "drop"});
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--timeout-ms",
                         "15000", "--db", db, "--quiet-plugin"},
                        dir + "/host.log");
    // Well inside the first request's time-out: the simulator has it, and drops it.
    ASSERT_TRUE(eventually(
        [&] { return read_file(dir + "/sim-1.log").find("request 1: drop") != std::string::npos; },
        10));
    int status = -1;
    EXPECT_LT(stop_seconds(host_run, &status), 2.0);
    EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
}

TEST_F(EndToEnd, ARecordOfAnotherDataIdIsNotRestored) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(host({"--tcp", address, "--rounds", "2", "--data-id", "5"}).status, 0);
    const Finished second = host({"--tcp", address, "--rounds", "2", "--data-id", "7", "--json"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("not restored: it has data id 5, the meter now has 7"),
              std::string::npos)
        << second.err;
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t i = 2; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].data_id, 7);
        EXPECT_EQ(u32_at(rows[i].record, 0), 7u) << "record " << i << " carries an old data id";
    }
}

TEST_F(EndToEnd, AHistoryThatCannotGrowIsLoggedCountedAndFailsTheRun) {
    int port = 0;
    auto sim = tcp_sim(port);
    // A file-size limit of 128 KiB (blocks of 512 bytes) for the host: room for the history's
    // tables, which it fills within a few hundred rounds. Its lines go through a pipe, which the
    // limit does not hold, to a shell outside it; the host's status, through a file.
    const std::string status_file = dir + "/host-status";
    const Finished run = run_program(
        {"/bin/sh", "-c",
         "{ (ulimit -f 256; exec '" + kHost + "' --tcp 127.0.0.1:" + std::to_string(port) +
             " --interval 0.01 --rounds 400 --commit-interval 0 --json --quiet-plugin --db '" + db +
             "'); echo $? > '" + status_file + "'; } | cat"},
        60);
    EXPECT_EQ(read_file(status_file), "1\n") << run.err;
    EXPECT_NE(run.err.find("cannot store rounds in history"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("rounds not stored"), std::string::npos) << run.err;
    // What was printed was stored, or counted among the rounds not stored.
    long printed = 0;
    for (const auto& line : json_lines(run.out)) printed += line["complete"].asBool();
    std::smatch lost;
    ASSERT_TRUE(std::regex_search(run.err, lost, std::regex(R"(, (\d+) rounds not stored)")))
        << run.err;
    const long stored = rows_of(db, "meter-1");
    EXPECT_LE(stored, printed);
    EXPECT_LE(printed, stored + std::stol(lost[1].str()));
    EXPECT_LT(printed, 400);
}

TEST_F(EndToEnd, AnEmptyHistoryNameIsRefused) {
    const Finished run = run_program({kHost, "--tcp", "127.0.0.1:1502", "--db", ""});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--db must name a file"), std::string::npos) << run.err;
}

}  // namespace
