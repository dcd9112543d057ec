// kavren-host's pipeline in this process: the built plug-in, the history and the sinks, with
// links that answer from memory, and the sinks' ends on their own.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "apps/host/history/commit_stage.h"
#include "apps/host/pipeline/pipeline.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/console/console_sink.h"
#include "apps/host/sinks/http/http_sink.h"
#include "apps/host/sinks/mqtt/mqtt_sink.h"
#include "apps/host/support/line_output.h"
#include "apps/host/support/steady_ns.h"
#include "tests/apps/eventually.h"
#include "tests/apps/hostile_peers.h"
#include "tests/apps/http_client.h"
#include "tests/apps/programs.h"

namespace {

using namespace kavren::host;
using testing_support::eventually;
using testing_support::register_value;
using testing_support::seconds_since;
using Clock = std::chrono::steady_clock;

// A link that answers from memory: every register holds register_value(address), unless
// `fails` says the read fails (link: the link's place from 1; number: its reads from 1).
class MemoryLink : public RegisterLink {
  public:
    using Fails = std::function<ReadOutcome(const std::string& link, int number)>;
    MemoryLink(std::string link, Fails fails) : link_(std::move(link)), fails_(std::move(fails)) {}
    asio::awaitable<ReadOutcome> read_registers(int, int start, int count,
                                                uint16_t* words) override {
        const ReadOutcome outcome = fails_ ? fails_(link_, ++reads_) : ReadOutcome::ok;
        if (outcome != ReadOutcome::ok) {
            error_ = std::string("made to fail: ") + outcome_name(outcome);
            co_return outcome;
        }
        for (int i = 0; i < count; ++i) words[i] = register_value(start + i);
        co_return ReadOutcome::ok;
    }
    asio::awaitable<ReadOutcome> exchange(int, const Bytes&, Bytes&) override {
        error_ = "a memory link carries no other requests";
        co_return ReadOutcome::connection_lost;
    }
    const std::string& last_error() const override { return error_; }
    int last_exception() const override { return -1; }
    uint64_t noise_bytes() const override { return 0; }

  private:
    std::string link_;
    Fails fails_;
    int reads_ = 0;
    std::string error_;
};

LinkMaker memory_links(MemoryLink::Fails fails = {}) {
    return [fails](const LinkConfig& link, int) {
        return std::make_unique<MemoryLink>(link.tcp.port, fails);
    };
}

// A sink that keeps every round it is given, and may say it failed. The test owns it; the
// pipeline gets a sink that forwards to it.
class Recording {
  public:
    explicit Recording(const char* name, bool fails = false) : name_(name), fails_(fails) {}
    void take(const StoredBatch& batch) {
        std::lock_guard<std::mutex> hold(lock_);
        rounds_.insert(rounds_.end(), batch.begin(), batch.end());
    }
    StoredBatch rounds() const {
        std::lock_guard<std::mutex> hold(lock_);
        return rounds_;
    }
    std::size_t count() const { return rounds().size(); }
    const char* name_;
    bool fails_;
    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};

  private:
    mutable std::mutex lock_;
    StoredBatch rounds_;
};

class Forwarding : public RoundSink {
  public:
    explicit Forwarding(Recording& to) : to_(to) {}
    const char* name() const override { return to_.name_; }
    void start() override { to_.started_ = true; }
    void take(const StoredBatch& batch) override { to_.take(batch); }
    void finish(Clock::time_point) override { to_.finished_ = true; }
    bool failed() const override { return to_.fails_; }

  private:
    Recording& to_;
};

SinkMaker into(Recording& sink) {
    return [&sink](const SinkContext&) { return std::make_unique<Forwarding>(sink); };
}

class PipelineRun : public testing::Test {
  protected:
    std::string dir = testing_support::make_temp_dir();
    std::mutex log_lock;
    std::vector<std::string> logged;

    ~PipelineRun() override { testing_support::remove_folder(dir); }

    // `links` links of `meters` meters each, units 1, 2, ... on every link.
    HostConfig config(int links, int meters, long rounds) const {
        HostConfig c;
        c.plugin = KAVREN_M7_PLUGIN_PATH;
        c.database = dir + "/history.db";
        c.interval_s = 0.001;
        c.rounds = rounds;
        c.restore = false;
        c.plugin_log = false;
        for (int l = 0; l < links; ++l) {
            LinkConfig link;
            link.kind = LinkConfig::Kind::tcp;
            link.tcp = {"memory", std::to_string(l + 1)};
            for (int m = 0; m < meters; ++m) {
                MeterConfig meter;
                meter.name = "m" + std::to_string(l + 1) + "." + std::to_string(m + 1);
                meter.unit = m + 1;
                link.meters.push_back(meter);
            }
            c.links.push_back(link);
        }
        return c;
    }
    PipelineReport run(const HostConfig& c, PipelineParts parts) {
        Pipeline pipeline(
            c,
            [this](const std::string& line) {
                std::lock_guard<std::mutex> hold(log_lock);
                logged.push_back(line);
            },
            std::move(parts));
        return pipeline.run();
    }
    std::string last_logged() {
        std::lock_guard<std::mutex> hold(log_lock);
        return logged.empty() ? std::string() : logged.back();
    }
    bool logged_line(const std::string& part) {
        std::lock_guard<std::mutex> hold(log_lock);
        for (const auto& line : logged)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
};

TEST_F(PipelineRun, EveryRoundReachesEverySinkInOrderOnceStored) {
    // The second meter of link 2 fails its third read: that round is failed, not stored.
    const HostConfig c = config(2, 2, 6);
    Recording a("a"), b("b");
    PipelineParts parts;
    parts.make_link = memory_links([](const std::string& link, int number) {
        return link == "2" && number == 7 + 3 ? ReadOutcome::timeout : ReadOutcome::ok;
    });
    parts.sinks = {into(a), into(b)};
    const PipelineReport report = run(c, std::move(parts));
    EXPECT_EQ(report.exit_status(), 0);
    EXPECT_TRUE(a.started_ && a.finished_ && b.started_ && b.finished_);
    const StoredBatch got = a.rounds();
    ASSERT_EQ(got.size(), 24u);
    EXPECT_EQ(b.rounds(), got) << "both sinks get the same rounds in the same order";
    std::map<std::string, long> last_round;
    int64_t last_id = 0;
    int failed = 0;
    for (const auto& round : got) {
        const RoundResult& r = *round->result;
        EXPECT_EQ(r.round, last_round[r.meter] + 1) << r.meter;
        last_round[r.meter] = r.round;
        if (!r.outcome.complete) {
            ++failed;
            EXPECT_EQ(r.meter, "m2.2");
            EXPECT_EQ(r.outcome.failure, ReadOutcome::timeout);
            EXPECT_EQ(round->history_id, 0);
            continue;
        }
        EXPECT_GT(round->history_id, last_id) << "handed on in the order stored";
        last_id = round->history_id;
    }
    EXPECT_EQ(failed, 1);
    EXPECT_NE(last_logged().find("/history.db (23 records stored)"), std::string::npos)
        << last_logged();
    HistoryStore store(c.database);
    EXPECT_EQ(store.record_count("m2.2"), 5);
    EXPECT_EQ(store.record_count("m1.1"), 6);
}

TEST_F(PipelineRun, ASecondRunRestoresEachMetersLastRecordBeforeItsRounds) {
    HostConfig c = config(1, 2, 2);
    Recording first("first"), second("second");
    run(c, {memory_links(), {into(first)}, STDOUT_FILENO});
    ASSERT_EQ(first.count(), 4u);
    c.restore = true;
    c.rounds = 1;
    EXPECT_EQ(run(c, {memory_links(), {into(second)}, STDOUT_FILENO}).exit_status(), 0);
    const StoredBatch got = second.rounds();
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i]->result->origin, RoundResult::Origin::restore);
        // The driver stamps the restored copy anew: all but its time is the stored record's.
        const std::vector<uint8_t>& stored = first.rounds()[2 + i]->result->record;
        const std::vector<uint8_t>& restored = got[i]->result->record;
        ASSERT_EQ(restored.size(), stored.size());
        EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 252, restored.begin()));
        EXPECT_EQ(got[i]->result->stored_record_time, record_time_text(stored));
    }
    EXPECT_EQ(got[2]->result->origin, RoundResult::Origin::round);
}

// The console on a pipe nobody reads drops lines; the other sink and the history get every
// round, and once the pipe is read again what was dropped is said.
TEST_F(PipelineRun, AStalledSinkDropsOnlyItsOwnLines) {
    constexpr long kRounds = 5000;  // more than the console's queue and the pipe hold
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    HostConfig c = config(1, 1, kRounds);
    c.interval_s = 0.0001;
    c.json = true;
    Recording other("other");
    std::atomic<bool> ended{false};
    std::string shown;
    std::thread reader([&] {
        // Reading starts once the other sink has every round.
        eventually([&] { return other.count() == kRounds; }, 120);
        fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
        char buffer[65536];
        for (bool last = false; !last;) {
            last = ended.load();
            ssize_t n;
            while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
                shown.append(buffer, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const PipelineReport report =
        run(c, {memory_links(), {make_console_sink, into(other)}, pipe_ends[1]});
    ended = true;
    reader.join();
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_EQ(report.exit_status(), 0) << "a reader that lags fails nothing";
    EXPECT_EQ(other.count(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(HistoryStore(c.database).record_count("m1.1"), kRounds);
    const auto lines = static_cast<long>(std::count(shown.begin(), shown.end(), '\n'));
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, kRounds);
    const std::string summary = last_logged();
    EXPECT_NE(summary.find("; " + std::to_string(kRounds - lines) +
                           " round lines were not shown: standard output was not read"),
              std::string::npos)
        << summary;
    EXPECT_TRUE(logged_line("round lines were dropped (the rounds are in the history)"));
}

TEST_F(PipelineRun, AFailingSinkIsReportedAndStallsNobody) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    Recording broken("broken", true), fine("fine");
    const PipelineReport report =
        run(config(1, 1, 5), {memory_links(), {make_console_sink, into(broken), into(fine)}, full});
    close(full);
    EXPECT_EQ(report.exit_status(), 1);
    EXPECT_EQ(report.failed_sinks, (std::vector<std::string>{"console", "broken"}));
    EXPECT_TRUE(report.stored_all);
    EXPECT_EQ(fine.count(), 5u);
    EXPECT_TRUE(logged_line("cannot write to standard output: No space left on device"));
    EXPECT_NE(last_logged().find("round lines were not written: standard output failed"),
              std::string::npos)
        << last_logged();
}

// A serial server that misbehaves: stray bytes before every reply, a reply that trickles, one
// from another unit, a connection it drops. Rounds go as over a serial line: those requests fail
// their rounds, the others complete, and nothing of the foreign reply is stored.
TEST_F(PipelineRun, RtuOverTcpAgainstAHostileServerStoresOnlyWhatTheMeterSent) {
    Recording reference("reference");
    HostConfig c = config(1, 1, 1);
    run(c, {memory_links(), {into(reference)}, STDOUT_FILENO});
    ASSERT_EQ(reference.count(), 1u);
    const std::vector<uint8_t> expected = reference.rounds()[0]->result->record;

    using namespace testing_support;
    HostileTcpServer server(
        [](const Bytes& request, int number) {
            Bytes answer{0xFF, static_cast<uint8_t>(number), 0x00};
            Bytes reply = rtu_reply(request);
            if (number == 12) {  // another unit's reply, with other values
                reply[0] = 2;
                for (std::size_t i = 3; i + 2 < reply.size(); ++i) reply[i] = 0xEE;
                reply = with_crc(Bytes(reply.begin(), reply.end() - 2));
            }
            if (number == 14) return Answer{{}, 0, true};
            answer.insert(answer.end(), reply.begin(), reply.end());
            return Answer{answer, number == 10 ? 5 : 0};
        },
        HostileTcpServer::Frames::rtu);
    c = config(1, 1, 6);
    c.database = dir + "/hostile.db";
    c.links[0].kind = LinkConfig::Kind::rtu_over_tcp;
    c.links[0].tcp = {"127.0.0.1", std::to_string(server.port())};
    c.links[0].timeout_ms = 200;
    c.offline_after = 10;
    Recording got("got");
    EXPECT_EQ(run(c, {{}, {into(got)}, STDOUT_FILENO}).exit_status(), 0);
    const StoredBatch rounds = got.rounds();
    ASSERT_EQ(rounds.size(), 6u);
    const ReadOutcome failures[] = {ReadOutcome::timeout, ReadOutcome::bad_reply,
                                    ReadOutcome::connection_lost};
    for (int i = 1; i <= 3; ++i) {
        EXPECT_FALSE(rounds[i]->result->outcome.complete) << i;
        EXPECT_EQ(rounds[i]->result->outcome.failure, failures[i - 1]) << i;
    }
    for (int i : {0, 4, 5}) EXPECT_TRUE(rounds[i]->result->outcome.complete) << i;
    // Three stray bytes before each of the 27 replies (the 14th request got none).
    EXPECT_EQ(rounds[5]->result->stats.noise_bytes, 3u * 27);
    HistoryStore store(c.database);
    const auto stored = store.polled_after("m1.1", 0, 100);
    ASSERT_EQ(stored.size(), 3u);
    for (const auto& row : stored)
        EXPECT_TRUE(
            std::equal(row.bytes.begin() + 4, row.bytes.begin() + 252, expected.begin() + 4))
            << "a record holds values the meter never sent";
}

// The rounds and the log on one pipe (a journal, `2>&1`): each writes whole lines, so that
// neither cuts a line of the other, though many lines go out in one batch.
TEST(LineOutputs, TwoOnOnePipeNeverCutEachOthersLines) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::string read;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
            read.append(buffer, n);
    });
    constexpr int kLines = 3000;
    {
        LineOutput rounds(pipe_ends[1], kLines, {});
        LineOutput log(pipe_ends[1], kLines, {});
        for (int i = 0; i < kLines; ++i) {
            ASSERT_TRUE(rounds.write_line(std::string(1500, 'r')));
            ASSERT_TRUE(log.write_line(std::string(700, 'l')));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        rounds.finish(deadline);
        log.finish(deadline);
    }
    close(pipe_ends[1]);
    reader.join();
    close(pipe_ends[0]);
    std::istringstream in(read);
    int whole = 0;
    for (std::string line; std::getline(in, line);) {
        const bool ok = line == std::string(1500, 'r') || line == std::string(700, 'l');
        ASSERT_TRUE(ok) << "a line cut by the other output: " << line.substr(0, 80) << "...";
        ++whole;
    }
    EXPECT_EQ(whole, 2 * kLines);
}

// Each way a sink ends keeps to the deadline it is given, however stalled its output.
TEST(SinkFinish, EndsByItsDeadlineAndCountsWhatWasLeft) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    {
        LineOutput out(pipe_ends[1], 100000, {});
        const std::string line(1000, 'x');
        for (int i = 0; i < 1000; ++i) ASSERT_TRUE(out.write_line(line));  // 1 MB, unread
        const auto asked = Clock::now();
        out.finish(asked + std::chrono::milliseconds(300));
        EXPECT_GE(seconds_since(asked), 0.29);
        EXPECT_LT(seconds_since(asked), 1.5);
        EXPECT_GT(out.dropped(), 900u) << "what did not fit the pipe is counted";
        EXPECT_FALSE(out.write_line("late")) << "nothing is taken once finished";
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);

    // A broker that is never reached: a second to say goodbye, then the sink is done.
    std::vector<std::string> logged;
    HostConfig c;
    c.mqtt.url = "mqtt+unix:///nonexistent/broker.sock";
    c.mqtt.client_id = "kavren-test";
    const std::string dir = testing_support::make_temp_dir();
    c.database = dir + "/history.db";
    {
        HistoryStore history(c.database);
        history.prepare();
        const SinkContext context{c,
                                  {{"m", 1, "memory"}},
                                  history,
                                  [&](const std::string& line) { logged.push_back(line); },
                                  [] { return false; },
                                  [] {},
                                  STDOUT_FILENO,
                                  {}};
        const auto mqtt = make_mqtt_sink(context);
        ASSERT_TRUE(mqtt);
        mqtt->start();
        const auto asked = Clock::now();
        mqtt->finish(asked);
        EXPECT_LT(seconds_since(asked), 2.0);
    }
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(),
              "mqtt: 0 rounds acknowledged by the broker (it was never reached: the rounds wait "
              "in the history for the next start)");
    testing_support::remove_folder(dir);
}

// A history that another program keeps locked: the commit stage gives up at its deadline, and
// says how many rounds it could not store.
TEST(SinkFinish, TheCommitStageEndsByItsDeadlineWithAHistoryThatStaysLocked) {
    const std::string dir = testing_support::make_temp_dir();
    const std::string path = dir + "/history.db";
    HistoryStore store(path);
    store.prepare();
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // As the pipeline does at a stop: SQLite's wait for the lock gives up with the deadline.
    std::atomic<int64_t> give_up_at{INT64_MAX};
    store.set_give_up([&] { return steady_now_ns() > give_up_at.load(); });
    {
        CommitStage stage(store, {"m"}, 100, [](const std::string&) {});
        stage.start();
        for (int i = 0; i < 5; ++i) {
            auto round = std::make_shared<RoundResult>();
            round->meter = "m";
            round->outcome.complete = true;
            round->record.assign(259, 0);
            ASSERT_TRUE(stage.submit(round));
        }
        const auto asked = Clock::now();
        give_up_at = steady_ns(asked + std::chrono::milliseconds(300));
        stage.finish(asked + std::chrono::milliseconds(300));
        EXPECT_LT(seconds_since(asked), 1.5);
        EXPECT_EQ(stage.rounds_lost(), 5u);
        EXPECT_FALSE(stage.stored_all());
        EXPECT_NE(stage.summary().find("(0 records stored, 5 rounds not stored)"),
                  std::string::npos)
            << stage.summary();
    }
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    testing_support::remove_folder(dir);
}

// The page and the API from start() to finish(), showing the rounds the sink was given.
TEST(HttpSinkAlone, ServesWhatItWasGivenFromStartUntilFinish) {
    const std::string dir = testing_support::make_temp_dir();
    HostConfig c;
    c.database = dir + "/history.db";
    HistoryStore history(c.database);
    history.prepare();
    SinkContext context{
        c,     {{"m", 3, "memory"}}, history, [](const std::string&) {}, [] { return false; },
        [] {}, STDOUT_FILENO,        {}};
    EXPECT_FALSE(make_http_sink(context)) << "off without an address";
    c.http.listen = "127.0.0.1:0";
    c.http.port_file = dir + "/port";
    const auto sink = make_http_sink(context);
    ASSERT_TRUE(sink);
    sink->start();
    const int port = testing_support::port_from_file(c.http.port_file);
    ASSERT_GT(port, 0);
    auto result = std::make_shared<RoundResult>();
    result->meter = "m";
    result->outcome.complete = true;
    result->record.assign(259, 0);
    auto round = std::make_shared<StoredRound>();
    round->result = result;
    round->history_id = 42;
    sink->take({round});
    const auto reply = testing_support::http_get(port, "/api/meters/m");
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("\"unit\":3"), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find("\"history_id\":42"), std::string::npos) << reply.body;
    sink->finish(Clock::now());
    EXPECT_NE(access(c.http.port_file.c_str(), F_OK), 0) << "the port file goes with the server";
    EXPECT_EQ(testing_support::http_get(port, "/").status, 0) << "nothing serves any more";
    testing_support::remove_folder(dir);
}

TEST(BoundedQueue, RefusesPastItsBoundAndHandsOutWhatWasQueuedAfterClosing) {
    BoundedQueue<int> queue(3);
    EXPECT_TRUE(queue.try_push(1));
    const int more[] = {2, 3, 4, 5};
    EXPECT_EQ(queue.try_push_all(std::begin(more), std::end(more)), 2u);
    EXPECT_FALSE(queue.try_push(6));
    std::vector<int> out;
    EXPECT_TRUE(queue.pop_all(out, std::chrono::milliseconds(0)));
    EXPECT_EQ(out, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(queue.try_push(7));
    queue.close();
    EXPECT_FALSE(queue.try_push(8));
    out.clear();
    EXPECT_TRUE(queue.pop_all(out, std::chrono::seconds(10))) << "what was queued comes first";
    EXPECT_EQ(out, std::vector<int>{7});
    const auto asked = Clock::now();
    EXPECT_FALSE(queue.pop_all(out, std::chrono::seconds(10))) << "then the end, at once";
    EXPECT_LT(seconds_since(asked), 5.0);
}

}  // namespace
