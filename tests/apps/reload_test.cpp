// kavren-host reloading its configuration file on SIGHUP, against real simulators and the real
// Mosquitto broker: what changed is applied while the rest polls on, a file that fails is kept
// out, and nothing waiting for the broker is lost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"
#include "tests/apps/http_client.h"
#include "tests/apps/mqtt_broker.h"

namespace {

using namespace testing_support;

// The instants of the meter's polled rounds in the history, oldest first.
std::vector<long long> round_times(const std::string& db, const std::string& device) {
    std::vector<long long> times;
    if (access(db.c_str(), F_OK) != 0) return times;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(
        handle, "SELECT t_ms FROM records WHERE device = ? AND origin = 'round' ORDER BY t_ms", -1,
        &s, nullptr);
    sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
        times.push_back(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return times;
}

long long longest_gap(const std::vector<long long>& times) {
    long long gap = 0;
    for (std::size_t i = 1; i < times.size(); ++i) gap = std::max(gap, times[i] - times[i - 1]);
    return gap;
}

long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The topics holding a retained message (not a cleared one) that contain `part`.
std::vector<std::string> retained_of(const std::vector<Message>& messages,
                                     const std::string& part) {
    std::set<std::string> held;
    for (const Message& m : messages) {
        if (!m.retained || m.topic.find(part) == std::string::npos) continue;
        if (m.payload.empty()) {
            held.erase(m.topic);
        } else {
            held.insert(m.topic);
        }
    }
    return {held.begin(), held.end()};
}

// The host's own log lines ("HH:MM:SS text"), not the rounds it prints.
int log_lines(const std::string& text) {
    static const std::regex line("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2} ");
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), line),
                                          std::sregex_iterator()));
}

bool any_on(const std::vector<Message>& messages, const std::string& topic) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.topic == topic; });
}

// A link of the simulator at `port` with its meters ("name": unit).
std::string link_json(int port, const std::vector<std::pair<std::string, int>>& meters) {
    std::string list;
    for (const auto& [name, unit] : meters)
        list += std::string(list.empty() ? "" : ", ") + "{\"name\": \"" + name +
                "\", \"unit\": " + std::to_string(unit) + "}";
    return "{\"tcp\": \"127.0.0.1:" + std::to_string(port) + "\", \"meters\": [" + list + "]}";
}

class Reload : public EndToEnd {
  protected:
    std::string config = dir + "/host.json";
    std::string log = dir + "/host.log";

    std::unique_ptr<Background> start_host() {
        return std::make_unique<Background>(
            std::vector<std::string>{kHost, "--config", config, "--db", db, "--quiet-plugin"}, log);
    }
    void write_config(const std::string& links, const std::string& more) {
        write_file(config, "{\"interval\": 0.5, \"commit_interval\": 0.2, " + more +
                               "\"links\": [" + links + "]}");
    }
    // Waits until the log has `count` lines holding `part`.
    bool logged(const std::string& part, int count = 1, double timeout_s = 20) {
        return eventually([&] { return count_lines(read_file(log), part) >= count; }, timeout_s);
    }
    bool rounds_after(const std::string& meter, long long after_ms, std::size_t count) {
        return eventually(
            [&] {
                const auto times = round_times(db, meter);
                return std::count_if(times.begin(), times.end(), [&](long long t) {
                           return t > after_ms;
                       }) >= static_cast<long>(count);
            },
            20);
    }
};

// Two links, three meters: one meter added to the first link, one removed from the second and
// the MQTT prefix changed, in one reload. The meters that stay poll on without a gap; the new
// one is stored and published at once; the removed one leaves nothing retained at the broker.
TEST_F(Reload, AChangedFileIsAppliedAsADifferenceWhileTheMetersThatStayPollOn) {
    Broker broker(dir, "site");
    int port_a = 0, port_b = 0;
    auto sim_a = tcp_sim(port_a, {"--unit", "1-2"});
    auto sim_b = tcp_sim(port_b, {"--unit", "1-2"});
    const auto mqtt = [&](const std::string& prefix) {
        return "\"mqtt\": {\"url\": \"" + broker.url() + "\", \"prefix\": \"" + prefix + "\"}, ";
    };
    write_config(link_json(port_a, {{"a1", 1}}) + ", " + link_json(port_b, {{"b1", 1}, {"b2", 2}}),
                 mqtt("site1"));
    Subscriber sub(broker.socket(), "checker", true);
    auto host = start_host();
    ASSERT_TRUE(sub.wait(
        [](const std::vector<Message>& m) {
            return any_on(m, "site1/a1/state") && any_on(m, "site1/b2/state");
        },
        30))
        << read_file(log);
    // What a subscriber that comes now is given: the broker's retained messages.
    const auto retained_now = [&](const std::string& part) {
        Subscriber fresh(broker.socket(), "fresh", true);
        EXPECT_TRUE(fresh.sync("kavren-test/sync"));
        return retained_of(fresh.messages(), part);
    };
    ASSERT_TRUE(eventually([&] { return !retained_now("homeassistant/sensor/").empty(); }))
        << "discovery";
    ASSERT_FALSE(retained_now("site1/b2/").empty());
    ASSERT_FALSE(retained_now("_b2/").empty()) << "b2's discovery";

    write_config(link_json(port_a, {{"a1", 1}, {"a2", 2}}) + ", " + link_json(port_b, {{"b1", 1}}),
                 mqtt("site2"));
    const long long reload_ms = now_ms();
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: meters added: a2; meters removed: b2; fields changed: mqtt.prefix"))
        << read_file(log);
    // The added meter: stored and published within 5 s of the signal.
    EXPECT_TRUE(rounds_after("a2", reload_ms, 1));
    EXPECT_TRUE(sub.wait([](const std::vector<Message>& m) { return any_on(m, "site2/a2/state"); },
                         5 - (now_ms() - reload_ms) / 1000.0))
        << read_file(log);
    EXPECT_TRUE(
        sub.wait([](const std::vector<Message>& m) { return any_on(m, "site2/a1/state"); }, 10));
    // The meters that stayed: no round later than 1.5 intervals after the one before, across
    // the reload and three intervals past it.
    ASSERT_TRUE(rounds_after("a1", reload_ms + 1500, 1));
    ASSERT_TRUE(rounds_after("b1", reload_ms + 1500, 1));
    EXPECT_LE(longest_gap(round_times(db, "a1")), 750);
    EXPECT_LE(longest_gap(round_times(db, "b1")), 750);
    const auto b2 = round_times(db, "b2");
    EXPECT_TRUE(b2.empty() || b2.back() < reload_ms + 1000) << "the removed meter polled on";
    // Nothing retained is left of the removed meter or of the old prefix.
    std::vector<std::string> left;
    EXPECT_TRUE(eventually(
        [&] {
            // The removed meter's topics (its discovery's hold the host id first) and the old
            // prefix's.
            left = retained_now("_b2/");
            for (const std::string& topic : retained_now("site1/")) left.push_back(topic);
            return left.empty();
        },
        20))
        << ::testing::PrintToString(left) << read_file(log);
    EXPECT_FALSE(round_times(db, "b2").empty()) << "the removed meter's history is kept";
}

// A file that fails its checks on a reload is not applied: one line says why, every meter polls
// on, and /metrics says the reload failed.
TEST_F(Reload, ABrokenFileIsNotAppliedAndTheHostPollsOn) {
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"});
    const std::string http =
        "\"http\": {\"listen\": \"127.0.0.1:0\", \"port_file\": \"" + dir + "/http.port\"}, ";
    write_config(link_json(port, {{"m1", 1}, {"m2", 2}}), http);
    auto host = start_host();
    const int http_port = port_from_file(dir + "/http.port");
    ASSERT_NE(http_port, 0) << read_file(log);
    ASSERT_TRUE(rounds_after("m2", 0, 2)) << read_file(log);

    write_config(link_json(port, {{"m1", 1}, {"m2", 300}}), http);
    const std::string before = read_file(log);
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: not applied")) << read_file(log);
    const long long refused_ms = now_ms();
    EXPECT_TRUE(rounds_after("m1", refused_ms, 3));
    EXPECT_TRUE(rounds_after("m2", refused_ms, 3));
    const std::string after = read_file(log).substr(before.size());
    EXPECT_EQ(log_lines(after), 1) << after;
    EXPECT_NE(after.find(config), std::string::npos) << after;
    EXPECT_NE(after.find("m2"), std::string::npos) << after;
    EXPECT_NE(after.find("unit"), std::string::npos) << after;
    const std::string metrics = http_get(http_port, "/metrics").body;
    EXPECT_NE(metrics.find("\nkavren_config_last_reload_successful 0\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("\nkavren_config_reloads_total{result=\"failure\"} 1\n"),
              std::string::npos)
        << metrics;
}

// A reload while the broker is away restarts the MQTT sink (a meter is added): every round
// stored meanwhile still arrives once the broker is back.
TEST_F(Reload, NoRoundWaitingForTheBrokerIsLostAcrossAReload) {
    Broker broker(dir, "site");
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"});
    const std::string mqtt = "\"mqtt\": {\"url\": \"" + broker.url() + "\"}, ";
    write_config(link_json(port, {{"keep", 1}}), mqtt);
    auto sub = std::make_unique<Subscriber>(broker.socket(), "checker", false);
    auto host = start_host();
    ASSERT_TRUE(sub->wait([](const auto& m) { return any_on(m, "kavren/keep/rounds"); }, 30))
        << read_file(log);

    broker.stop();
    const long long away_ms = now_ms();
    ASSERT_TRUE(rounds_after("keep", away_ms, 2));
    write_config(link_json(port, {{"keep", 1}, {"more", 2}}), mqtt);
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: meters added: more")) << read_file(log);
    ASSERT_TRUE(rounds_after("keep", now_ms(), 2));
    broker.start();
    const auto stored = round_ids(db, "keep");
    EXPECT_TRUE(sub->wait(
        [&](const std::vector<Message>& m) {
            const auto got = history_ids(m, "kavren/keep/rounds");
            const std::set<long long> arrived(got.begin(), got.end());
            return std::all_of(stored.begin(), stored.end(),
                               [&](long long id) { return arrived.count(id) > 0; });
        },
        30))
        << read_file(log);
}

// A reload while another program holds the history's write lock waits for it, the rounds of the
// moment held: once the lock is gone the reload is applied, the meter that stays has no gap and
// the host stores every round (status 0 at its stop).
TEST_F(Reload, AReloadWhileTheHistoryIsLockedLosesNoRound) {
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"});
    write_config(link_json(port, {{"keep", 1}}), "");
    auto host = start_host();
    ASSERT_TRUE(rounds_after("keep", 0, 2)) << read_file(log);

    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(logged("is locked by another program")) << read_file(log);
    write_config(link_json(port, {{"keep", 1}, {"more", 2}}), "");
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: meters added: more")) << read_file(log);
    // The lock is held three intervals more: rounds come while the reload waits for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);

    const long long freed_ms = now_ms();
    EXPECT_TRUE(rounds_after("more", freed_ms, 2)) << read_file(log);
    ASSERT_TRUE(rounds_after("keep", freed_ms + 1000, 1)) << read_file(log);
    EXPECT_LE(longest_gap(round_times(db, "keep")), 750);
    kill(host->pid(), SIGTERM);
    int status = -1;
    ASSERT_TRUE(host->wait(10, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(log);
    EXPECT_EQ(read_file(log).find("not stored"), std::string::npos) << read_file(log);
}

// A TCP port held by the test (another program, to the host): listening, not accepting.
int hold_a_port(int& fd) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(fd, 1) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// A reload that cannot start part of what it changed (a gateway's port held by another program)
// applies the rest and counts as failed; the same file, sent again once the port is free, starts
// it: the link polls again and the reload counts as applied.
TEST_F(Reload, WhatFailedToStartIsTriedAgainByTheNextReloadOfTheSameFile) {
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1"});
    const std::string http =
        "\"http\": {\"listen\": \"127.0.0.1:0\", \"port_file\": \"" + dir + "/http.port\"}, ";
    std::string link = link_json(port, {{"m1", 1}});
    write_config(link, http);
    auto host = start_host();
    const int http_port = port_from_file(dir + "/http.port");
    ASSERT_NE(http_port, 0) << read_file(log);
    ASSERT_TRUE(rounds_after("m1", 0, 2)) << read_file(log);
    const auto metric_says = [&](const std::string& line) {
        return eventually([&] {
            // The page's server restarts with the links' gateways, on a port of its own.
            const int now_at = port_from_file(dir + "/http.port");
            return http_get(now_at, "/metrics").body.find("\n" + line + "\n") != std::string::npos;
        });
    };

    int taken = -1;
    const int taken_port = hold_a_port(taken);
    ASSERT_NE(taken_port, 0);
    link.pop_back();
    write_config(
        link + ", \"gateway\": {\"listen\": \"127.0.0.1:" + std::to_string(taken_port) + "\"}}",
        http);
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: applied in part, this failed:")) << read_file(log);
    EXPECT_TRUE(metric_says("kavren_config_last_reload_successful 0"));

    close(taken);
    kill(host->pid(), SIGHUP);
    ASSERT_TRUE(logged("reload: the configuration is unchanged")) << read_file(log);
    EXPECT_TRUE(metric_says("kavren_config_last_reload_successful 1")) << read_file(log);
    EXPECT_TRUE(rounds_after("m1", now_ms(), 2)) << read_file(log);
    EXPECT_TRUE(wait_for_port(taken_port)) << "the gateway listens";
}

}  // namespace
