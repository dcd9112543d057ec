// kavren-host's HTTP side against kavren-sim: /metrics read by the Prometheus client's own
// parser, the JSON API against the history file, history export,
// basic authentication, and clients that hold connections open.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <zlib.h>

#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"
#include "tests/apps/e2e_fixture.h"
#include "tests/apps/http_client.h"
#include "tests/apps/metrics_samples.h"

namespace {

using namespace testing_support;
using kavren::kMeasurements;

// An instant as ISO 8601 in UTC with milliseconds: a time bound as exact as the stored one.
std::string utc_iso(long long ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    return std::string(text) + "." + std::to_string(1000 + ms % 1000).substr(1) + "Z";
}

// Every time in a reply carries its UTC offset.
bool has_offset(const std::string& time) {
    return std::regex_match(time,
                            std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?[+-]\d\d:\d\d)"));
}

// The id and instant of every stored row, oldest first.
std::vector<std::pair<long long, long long>> ids_and_instants(const std::string& db) {
    sqlite3* handle = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle, "SELECT id, t_ms FROM records WHERE device = 'meter-1' ORDER BY id",
                       -1, &s, nullptr);
    std::vector<std::pair<long long, long long>> rows;
    while (sqlite3_step(s) == SQLITE_ROW)
        rows.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1));
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return rows;
}

// The threads a process has now.
std::size_t thread_count(pid_t pid) {
    std::size_t count = 0;
    DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (tasks == nullptr) return 0;
    while (const dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
    return count;
}

class HttpHost : public EndToEnd {
  protected:
    std::string port_file = dir + "/http-port";
    std::unique_ptr<Background> running;
    int port = 0;

    // Starts the host with the HTTP server on a port of its choosing. Each batch is committed
    // at once: these tests compare what the live side shows with what the history holds.
    void start_host(std::vector<std::string> args, const std::string& listen = "127.0.0.1:0") {
        args.insert(args.begin(), kHost);
        args.insert(args.end(), {"--db", db, "--quiet-plugin", "--http", listen, "--http-port-file",
                                 port_file, "--commit-interval", "0"});
        running = std::make_unique<Background>(args, dir + "/host.log");
        port = port_from_file(port_file);
        ASSERT_GT(port, 0) << read_file(dir + "/host.log");
    }
    Json::Value get_json(const std::string& target, int expected_status = 200) {
        const HttpReply r = http_get(port, target);
        EXPECT_EQ(r.status, expected_status) << target << "\n" << r.body;
        EXPECT_NE(r.headers.find("Content-Type: application/json"), std::string::npos);
        return parse_json(r.body);
    }
    // Samples of /metrics as the Prometheus client library parses them.
    std::vector<Sample> metrics() { return metrics_samples(port, dir); }
    long complete_rounds() {
        const Json::Value m = get_json("/api/meters/meter-1");
        return m["rounds"]["complete"].asInt();
    }
};

TEST_F(HttpHost, MetricsCarryTheStoredValuesCountFaultsAndStopWhenTheMeterIsOffline) {
    // Requests 3 and 10 fall in rounds 1 and 2.
    auto sim = pty_sim({"--fault", "3:crc", "--fault", "10:exception"});
    start_host({"--rtu", dir + "/meter", "--interval", "0.1", "--timeout-ms", "300",
                "--offline-after", "2"});
    ASSERT_TRUE(eventually([&] { return complete_rounds() >= 3; })) << read_file(dir + "/host.log");

    auto samples = metrics();
    const auto rows = stored_records(db, "meter-1");
    ASSERT_FALSE(rows.empty());
    const std::vector<uint8_t>& newest = rows.back().record;
    // Every voltage and current sample is the stored record's float; averages under names of
    // their own, so that a sum over a per-phase metric adds phases only.
    const struct {
        const char* metric;
        std::map<std::string, std::string> labels;
    } measured[12] = {
        {"kavren_voltage_volts", {{"phase", "A"}}},
        {"kavren_voltage_volts", {{"phase", "B"}}},
        {"kavren_voltage_volts", {{"phase", "C"}}},
        {"kavren_voltage_average_volts", {}},
        {"kavren_line_voltage_volts", {{"line", "AB"}}},
        {"kavren_line_voltage_volts", {{"line", "BC"}}},
        {"kavren_line_voltage_volts", {{"line", "CA"}}},
        {"kavren_line_voltage_average_volts", {}},
        {"kavren_current_amperes", {{"phase", "A"}}},
        {"kavren_current_amperes", {{"phase", "B"}}},
        {"kavren_current_amperes", {{"phase", "C"}}},
        {"kavren_current_average_amperes", {}},
    };
    for (int k = 0; k < 12; ++k) {
        auto labels = measured[k].labels;
        labels.emplace("meter", "meter-1");
        const Sample* s = find(samples, measured[k].metric, labels);
        ASSERT_NE(s, nullptr) << kMeasurements[k].name;
        EXPECT_EQ(static_cast<float>(s->value), f32_at(newest, kMeasurements[k].offset))
            << kMeasurements[k].name;
    }
    EXPECT_EQ(count_named(samples, "kavren_voltage_volts"), 3u);
    EXPECT_EQ(count_named(samples, "kavren_line_voltage_volts"), 3u);
    EXPECT_EQ(count_named(samples, "kavren_current_amperes"), 3u);
    const Sample* zero = find(samples, "kavren_zero_sequence_current_amperes", {});
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(static_cast<float>(zero->value), f32_at(newest, kMeasurements[12].offset));
    const Sample* frequency = find(samples, "kavren_frequency_hertz", {});
    ASSERT_NE(frequency, nullptr);
    EXPECT_EQ(static_cast<float>(frequency->value),
              f32_at(newest, offsetof(KAVREN_M7_Data_t, frequency)));
    EXPECT_EQ(static_cast<float>(frequency->value), 50.0f);
    EXPECT_EQ(count_named(samples, "kavren_power_factor_ratio"), 3u);
    EXPECT_EQ(count_named(samples, "kavren_power_factor_total_ratio"), 1u);
    EXPECT_EQ(count_named(samples, "kavren_limit_alarm_active"), 6u);
    // `sum by (meter)` over the phase voltages adds the three phases, nothing else.
    double phase_sum = 0;
    for (const Sample& v : samples)
        if (v.name == "kavren_voltage_volts") phase_sum += static_cast<float>(v.value);
    EXPECT_EQ(phase_sum, double{f32_at(newest, kMeasurements[0].offset)} +
                             f32_at(newest, kMeasurements[1].offset) +
                             f32_at(newest, kMeasurements[2].offset));
    // Each limit's value is a gauge of its quantity, in volts here: the meter image's limits are
    // 220 V to 225 V on measurand codes 7 to 12, and code 10 names no measurand, so that limit
    // has no value sample while its alarm is reported. The description names the measurand and
    // the comparison, not the value, so that a changed limit keeps its series.
    std::size_t thresholds = 0;
    for (const Sample& v : samples) thresholds += v.name.rfind("kavren_limit_threshold", 0) == 0;
    EXPECT_EQ(thresholds, 5u);
    for (int slot = 0; slot < 6; ++slot) {
        const std::string key = std::to_string(slot) + " KAVREN_M7";
        const Sample* threshold = find(samples, "kavren_limit_threshold_volts", {{"alarm", key}});
        if (slot == 3) {
            EXPECT_EQ(threshold, nullptr) << key;
        } else {
            ASSERT_NE(threshold, nullptr) << key;
            EXPECT_EQ(threshold->value, 220.0 + slot) << key;
        }
        const Sample* alarm = find(samples, "kavren_limit_alarm_active", {{"alarm", key}});
        ASSERT_NE(alarm, nullptr) << key;
        const std::string description = alarm->labels["description"].asString();
        EXPECT_TRUE(std::regex_search(description, std::regex("(小于|大于)$"))) << description;
    }
    // The injected faults, each counted once under its kind, and the rounds they ended.
    EXPECT_EQ(find(samples, "kavren_errors_total", {{"kind", "crc_error"}})->value, 1.0);
    EXPECT_EQ(find(samples, "kavren_errors_total", {{"kind", "exception"}})->value, 1.0);
    EXPECT_EQ(find(samples, "kavren_errors_total", {{"kind", "timeout"}})->value, 0.0);
    EXPECT_EQ(find(samples, "kavren_rounds_total", {{"outcome", "crc_error"}})->value, 1.0);
    EXPECT_EQ(find(samples, "kavren_rounds_total", {{"outcome", "exception"}})->value, 1.0);
    const double complete = find(samples, "kavren_rounds_total", {{"outcome", "complete"}})->value;
    EXPECT_GE(complete, 3.0);
    EXPECT_EQ(find(samples, "kavren_round_duration_seconds_count", {})->value, complete);
    EXPECT_EQ(find(samples, "kavren_round_duration_seconds_bucket", {{"le", "+Inf"}})->value,
              complete);
    EXPECT_GE(find(samples, "kavren_requests_total", {})->value, 7.0 * complete);
    EXPECT_EQ(find(samples, "kavren_meter_online", {})->value, 1.0);
    const double last = find(samples, "kavren_last_complete_round_timestamp_seconds", {})->value;
    EXPECT_NEAR(last, static_cast<double>(std::time(nullptr)), 30.0);

    // The meter goes away: once it is offline, no measurement is reported as current.
    kill_pty_sim(sim);
    ASSERT_TRUE(eventually([&] {
        return find(metrics(), "kavren_meter_online", {})->value == 0.0;
    })) << read_file(dir + "/host.log");
    samples = metrics();
    for (const char* name :
         {"kavren_voltage_volts", "kavren_voltage_average_volts", "kavren_line_voltage_volts",
          "kavren_line_voltage_average_volts", "kavren_current_amperes",
          "kavren_current_average_amperes", "kavren_zero_sequence_current_amperes",
          "kavren_frequency_hertz", "kavren_power_factor_ratio", "kavren_power_factor_total_ratio"})
        EXPECT_EQ(count_named(samples, name), 0u) << name;
    // What it did is still counted; the time of its last complete round stays.
    EXPECT_GE(find(samples, "kavren_rounds_total", {{"outcome", "complete"}})->value, complete);
    EXPECT_EQ(find(samples, "kavren_last_complete_round_timestamp_seconds", {})->value >= last,
              true);
}

TEST_F(HttpHost, TheApiServesWhatTheHistoryHoldsAndRefusesBadRequests) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.2",
                "--timeout-ms", "200", "--offline-after", "1"});
    ASSERT_TRUE(eventually([&] { return complete_rounds() >= 6; }));
    // No more records once the meter is gone: the history stands still for the comparison.
    sim->kill_now();
    ASSERT_TRUE(eventually([&] { return !get_json("/api/meters/meter-1")["online"].asBool(); }));
    const auto rows = stored_records(db, "meter-1");
    ASSERT_GE(rows.size(), 6u);

    const Json::Value all = get_json("/api/meters");
    ASSERT_EQ(all["meters"].size(), 1u);
    ASSERT_EQ(all["measurements"].size(), 13u);
    const Json::Value& meter = all["meters"][0];
    EXPECT_EQ(meter["name"].asString(), "meter-1");
    EXPECT_FALSE(meter["latest"]["complete"].asBool());
    const Json::Value& last = meter["last_complete"];
    // The newest complete round is the newest stored row, with the same decoded fields.
    const auto ids_times = ids_and_instants(db);
    ASSERT_EQ(ids_times.size(), rows.size());
    EXPECT_EQ(last["history_id"].asInt64(), ids_times.back().first);
    for (const auto& m : kMeasurements) {
        EXPECT_EQ(static_cast<float>(last["record"][m.name].asDouble()),
                  f32_at(rows.back().record, m.offset))
            << m.name;
        EXPECT_EQ(static_cast<float>(last["values"][m.name].asDouble()),
                  f32_at(rows.back().record, m.offset))
            << m.name;
    }

    // A range from the second row's instant to the fifth's holds exactly the rows with such
    // instants.
    const long long from = ids_times[1].second, to = ids_times[4].second;
    const Json::Value range =
        get_json("/api/meters/meter-1/history?from=" + utc_iso(from) + "&to=" + utc_iso(to));
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < ids_times.size(); ++i)
        if (ids_times[i].second >= from && ids_times[i].second <= to) expected.push_back(i);
    ASSERT_EQ(range["rows"].size(), expected.size());
    EXPECT_FALSE(range["truncated"].asBool());
    EXPECT_TRUE(has_offset(range["from"].asString())) << range["from"];
    for (Json::ArrayIndex k = 0; k < range["rows"].size(); ++k) {
        const Json::Value& row = range["rows"][k];
        const std::size_t i = expected[k];
        EXPECT_EQ(row["history_id"].asInt64(), ids_times[i].first);
        EXPECT_EQ(row["t_ms"].asInt64(), ids_times[i].second);
        EXPECT_TRUE(has_offset(row["time"].asString())) << row["time"];
        EXPECT_EQ(row["record"]["data_id"].asUInt(), u32_at(rows[i].record, 0));
        EXPECT_EQ(static_cast<float>(row["record"][kMeasurements[0].name].asDouble()),
                  f32_at(rows[i].record, kMeasurements[0].offset));
        EXPECT_EQ(static_cast<float>(row["record"]["limits"][1]["value"].asDouble()),
                  f32_at(rows[i].record, 30 + 10 + 2));
    }
    // The whole history; a row limit, which keeps the newest rows; chosen fields only.
    EXPECT_EQ(get_json("/api/meters/meter-1/history")["rows"].size(), rows.size());
    const Json::Value two = get_json("/api/meters/meter-1/history?limit=2");
    ASSERT_EQ(two["rows"].size(), 2u);
    EXPECT_TRUE(two["truncated"].asBool());
    EXPECT_EQ(two["rows"][0]["history_id"].asInt64(), ids_times[ids_times.size() - 2].first);
    EXPECT_EQ(two["rows"][1]["history_id"].asInt64(), ids_times.back().first);
    const std::string current = kMeasurements[8].name;
    const Json::Value picked =
        get_json("/api/meters/meter-1/history?limit=1&fields=" + current + ",frequency");
    EXPECT_EQ(picked["rows"][0]["record"].getMemberNames(),
              (std::vector<std::string>{current, "frequency"}));
    EXPECT_TRUE(get_json("/api/alarms")["meters"].isMember("meter-1"));

    // Errors are JSON with their status.
    for (const char* target : {"/api/meters/nobody", "/api/meters/nobody/history",
                               "/api/meters/nobody/alarms", "/api/nothing"})
        EXPECT_TRUE(get_json(target, 404).isMember("error")) << target;
    for (const char* target :
         {"/api/meters/meter-1/history?from=yesterday", "/api/meters/meter-1/history?to=2026-13-01",
          "/api/meters/meter-1/history?from=2026-05-02&to=2026-05-01",
          "/api/meters/meter-1/history?limit=0", "/api/meters/meter-1/history?limit=10001",
          "/api/meters/meter-1/history?limit=ten", "/api/meters/meter-1/alarms?from=x",
          "/api/meters/meter-1/history?to=253402300800",
          "/api/meters/meter-1/history?from=253402300800&to=253402300900",
          "/api/meters/meter-1/history?fields=", "/api/meters/meter-1/alarms?fields=UA"})
        EXPECT_TRUE(get_json(target, 400).isMember("error")) << target;
    // A misspelt field or parameter is named in the refusal.
    const std::pair<const char*, const char*> misspelt[] = {{"fields=UAA", "\"UAA\""},
                                                            {"fields=frequency,UX", "\"UX\""},
                                                            {"feilds=UA", "\"feilds\""},
                                                            {"form=1", "\"form\""}};
    for (const auto& [query, named] : misspelt) {
        const std::string message =
            get_json("/api/meters/meter-1/history?" + std::string(query), 400)["error"].asString();
        EXPECT_NE(message.find(named), std::string::npos) << query << ": " << message;
    }
    const HttpReply post = http_request(port, "POST", "/api/meters");
    EXPECT_EQ(post.status, 405);
    // A name made to resolve here (DNS rebinding) is not served without a password.
    EXPECT_EQ(http_request(port, "GET", "/metrics", "Host: attacker.example\r\n").status, 403);
    EXPECT_EQ(http_request(port, "GET", "/metrics", "Host: localhost:8080\r\n").status, 200);
    // A request larger than the bound is refused, and the next one served.
    const HttpReply huge =
        http_request(port, "GET", "/api/meters", "X-Padding: " + std::string(16384, 'x') + "\r\n");
    EXPECT_NE(huge.status, 200);
    EXPECT_EQ(http_get(port, "/api/meters").status, 200);
}

// histogram_quantile as Prometheus computes it, from the cumulative buckets of one meter: linear
// within the bucket that holds the rank, the first bucket starting at 0.
double histogram_quantile(double q, const std::vector<Sample>& samples) {
    std::vector<std::pair<double, double>> buckets;  // upper bound, cumulative count
    for (const Sample& s : samples)
        if (s.name == "kavren_round_duration_seconds_bucket")
            buckets.emplace_back(s.labels["le"].asString() == "+Inf"
                                     ? HUGE_VAL
                                     : std::stod(s.labels["le"].asString()),
                                 s.value);
    std::sort(buckets.begin(), buckets.end());
    if (buckets.empty() || buckets.back().second == 0) return NAN;
    const double rank = q * buckets.back().second;
    double lower = 0, below = 0;
    for (const auto& [upper, count] : buckets) {
        if (count >= rank) {
            if (std::isinf(upper)) return lower;
            return lower + (upper - lower) * (rank - below) / (count - below);
        }
        lower = upper;
        below = count;
    }
    return lower;
}

// /metrics of a running host as promtool (Prometheus's own checker) reads it; the scrape
// configuration and alert rules shipped in docs/ checked by it too. Rounds over TCP to the
// simulator on this machine take a fraction of a millisecond: the round-duration histogram
// resolves them, its median within a factor of two of the rounds' own median (their times on the
// JSON lines) and at most twice their mean (a histogram whose smallest bucket is 10 ms puts the
// median at 5 ms, thirty times the mean).
TEST_F(HttpHost, MetricsPassPromtoolAndTheirHistogramResolvesTcpRounds) {
    if (access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool is not installed";
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.02", "--json"});
    ASSERT_TRUE(eventually([&] { return complete_rounds() >= 50; }));
    write_file(dir + "/live.txt", http_get(port, "/metrics").body);
    const Finished checked = run_program(
        {"/bin/sh", "-c", "exec /usr/bin/promtool check metrics < \"$0\"", dir + "/live.txt"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out + checked.err, "") << "promtool's advice on the names";
    const std::string docs = std::string(KAVREN_SOURCE_DIR) + "/docs/";
    for (const auto& [what, file] : {std::make_pair("config", "prometheus.yml"),
                                     std::make_pair("rules", "kavren-alerts.yml")}) {
        const Finished shipped = run_program({"/usr/bin/promtool", "check", what, docs + file});
        EXPECT_EQ(shipped.status, 0) << file << ": " << shipped.out << shipped.err;
    }

    const auto samples = metrics();
    const double count = find(samples, "kavren_round_duration_seconds_count", {})->value;
    const double mean = find(samples, "kavren_round_duration_seconds_sum", {})->value / count;
    const double median = histogram_quantile(0.5, samples);
    EXPECT_GT(median, 0) << "mean " << mean;
    // A round the busy machine held up raises the mean, not the median: the rounds' own median
    // is what the histogram's must come near.
    EXPECT_LT(median, mean * 2) << "mean " << mean;
    std::vector<double> seconds;
    std::istringstream lines(read_file(dir + "/host.log"));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '{')
            seconds.push_back(parse_json(line)["link_stats"]["last_round_ms"].asDouble() / 1000);
    ASSERT_GE(seconds.size(), 50u);
    std::sort(seconds.begin(), seconds.end());
    const double own_median = seconds[seconds.size() / 2];
    EXPECT_GT(median, own_median / 2) << "the rounds' median " << own_median;
    EXPECT_LT(median, own_median * 2) << "the rounds' median " << own_median;
}

TEST_F(HttpHost, BasicAuthenticationGuardsEveryPath) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    write_file(dir + "/passwords", "# who may look\nbench:s3cret\n");
    start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.5",
                "--http-password-file", dir + "/passwords"});
    for (const char* target : {"/", "/metrics", "/api/meters"}) {
        const HttpReply none = http_get(port, target);
        EXPECT_EQ(none.status, 401) << target;
        EXPECT_NE(none.headers.find("WWW-Authenticate: Basic"), std::string::npos);
        // bench:wrong, then bench:s3cret
        EXPECT_EQ(http_get(port, target, "Authorization: Basic YmVuY2g6d3Jvbmc=\r\n").status, 401);
        EXPECT_EQ(http_get(port, target, "Authorization: Basic YmVuY2g6czNjcmV0\r\n").status, 200)
            << target;
    }
}

// On IPv6: the loopback address serves IPv6 clients only; [::] serves both families.
TEST_F(HttpHost, ThePageAndTheApiAnswerOnIpv6) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    for (const std::string listen : {"[::1]:0", "[::]:0"}) {
        running.reset();  // the previous host, gone with its port file
        start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.5"}, listen);
        const std::string host = "Host: [::1]:" + std::to_string(port) + "\r\n";
        const HttpReply page = http_request_at("::1", port, "GET", "/", host);
        EXPECT_EQ(page.status, 200) << listen;
        EXPECT_NE(page.headers.find("Content-Type: text/html"), std::string::npos) << listen;
        const HttpReply meters = http_request_at("::1", port, "GET", "/api/meters", host);
        EXPECT_EQ(meters.status, 200) << listen;
        EXPECT_EQ(parse_json(meters.body)["meters"][0]["name"].asString(), "meter-1") << listen;
        const HttpReply v4 = http_get(port, "/api/meters");
        EXPECT_EQ(v4.status, listen == "[::]:0" ? 200 : 0) << listen;
    }
}

TEST_F(HttpHost, BadHttpOptionsEndWithOneLineAndStatusTwo) {
    const auto expect_refused = [&](std::vector<std::string> extra, const std::string& words) {
        std::vector<std::string> args{kHost, "--tcp", "127.0.0.1:1", "--db", db};
        args.insert(args.end(), extra.begin(), extra.end());
        const Finished run = run_program(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(words), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    };
    expect_refused({"--http", "127.0.0.1:99999"}, "port 0 to 65535");
    expect_refused({"--http", "example org:80"}, "host name");
    expect_refused({"--http", "[::1:0"}, "IPv6 address in brackets");
    expect_refused({"--http-host-name", "kavren.lan"}, "need --http");
    expect_refused({"--http-port-file", dir + "/p"}, "need --http");
    expect_refused({"--http", "0", "--http-page-url", "meters.lan:8080"}, "http:// or https://");
    expect_refused({"--http", "0", "--http-password-file", dir + "/missing"},
                   "cannot read password file");
    write_file(dir + "/config.json",
               R"({"links": [{"tcp": "127.0.0.1:1", "meters": [{}]}],
                   "http": {"listen": "127.0.0.1:0", "max_connections": 0}})");
    const Finished run = run_program({kHost, "--config", dir + "/config.json", "--db", db});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("HTTP connections"), std::string::npos) << run.err;
}

// Clients that open connections and trickle bytes (or send nothing) hold at most their own
// connections: rounds go on at their pace, other clients are answered, and every held
// connection is cut once its request time is over.
TEST_F(HttpHost, SlowClientsDelayNeitherRoundsNorOtherClients) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    write_file(dir + "/config.json", R"({"interval": 0.1, "links": [{"tcp": "127.0.0.1:)" +
                                         std::to_string(sim_port) +
                                         R"(", "meters": [{"name": "meter-1"}]}],
                   "http": {"listen": "127.0.0.1:0", "max_connections": 8,
                            "request_timeout_ms": 1500, "host_names": ["Kavren.lan"]}})");
    running = std::make_unique<Background>(
        std::vector<std::string>{kHost, "--config", dir + "/config.json", "--db", db,
                                 "--quiet-plugin", "--http-port-file", port_file},
        dir + "/host.log");
    port = port_from_file(port_file);
    ASSERT_GT(port, 0) << read_file(dir + "/host.log");
    ASSERT_TRUE(eventually([&] { return complete_rounds() >= 2; }));
    // A configured name is served without a password, another name is not.
    EXPECT_EQ(http_request(port, "GET", "/metrics", "Host: kavren.lan:8080\r\n").status, 200);
    EXPECT_EQ(http_request(port, "GET", "/metrics", "Host: other.lan\r\n").status, 403);

    // 200 trickling clients, far more than the server's workers: others are not delayed, and
    // none of them holds a thread.
    const std::size_t threads_before = thread_count(running->pid());
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_local(port);
        ASSERT_GE(fd, 0);
        send(fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    const long rounds_before = complete_rounds();
    const auto started = std::chrono::steady_clock::now();
    double slowest_ms = 0;
    while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1200)) {
        for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(http_get(port, "/metrics").status, 200);
        slowest_ms = std::max(slowest_ms, std::chrono::duration<double, std::milli>(
                                              std::chrono::steady_clock::now() - t0)
                                              .count());
    }
    EXPECT_LE(thread_count(running->pid()), threads_before);
    // A client waiting for a held slot would wait for the request time-out (1.5 s).
    EXPECT_LT(slowest_ms, 100.0);
    // Trickled bytes do not extend a request's time: each is cut after the request time-out.
    for (int fd : slow) {
        std::string got;
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) != 1) continue;
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) ended = true;
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
        EXPECT_TRUE(ended) << "a trickling client was not cut off";
        EXPECT_EQ(got.find("200 OK"), std::string::npos) << got;
        close(fd);
    }
    // Polling went on: 0.1 s rounds over the ~2.5 s since.
    EXPECT_GE(complete_rounds() - rounds_before, 10);

    // More silent connections than the server has: it recovers by itself when they are cut.
    std::vector<int> silent;
    for (int i = 0; i < 20; ++i) silent.push_back(connect_local(port));
    const long rounds_mid = complete_rounds();
    const auto t0 = std::chrono::steady_clock::now();
    const HttpReply late = http_request(port, "GET", "/api/meters/meter-1", "", 10);
    const double waited_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(late.status, 200);
    EXPECT_LT(waited_s, 1.5 * 3 + 1);  // at most the time-out for each wave of held slots
    const long rounds_after = parse_json(late.body)["rounds"]["complete"].asInt();
    EXPECT_GE(rounds_after - rounds_mid, static_cast<long>(waited_s / 0.1 / 2));
    for (int fd : silent) close(fd);
}

// Requests with bodies, sent one byte at a time, 200 of them, far more than the server has
// workers: each is refused at once without its body being read and its connection ended, and
// the server answers everyone else meanwhile. A refusal that held a worker while the body
// trickled in would leave the 16 workers to these clients, which never finish their bodies:
// the other requests would go unanswered while they trickle.
TEST_F(HttpHost, SlowBodiesAreRefusedUnreadAndHoldNoWorker) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.5"});
    ASSERT_TRUE(eventually([&] { return complete_rounds() >= 1; }));
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_local(port);
        ASSERT_GE(fd, 0);
        const std::string head =
            std::string(i % 2 ? "POST /metrics" : "GET /api/meters") +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\n";
        send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    std::vector<std::string> got(slow.size());
    std::vector<bool> ended(slow.size(), false);
    // A byte more from each client still connected, then a request of someone else, until the
    // server has ended every one of them.
    const auto trickle = [&] {
        for (std::size_t i = 0; i < slow.size(); ++i) {
            if (ended[i]) continue;
            send(slow[i], "X", 1, MSG_NOSIGNAL);
            char buffer[512];
            ssize_t n;
            while (!ended[i] && (n = recv(slow[i], buffer, sizeof buffer, MSG_DONTWAIT)) != -1) {
                if (n == 0) ended[i] = true;
                if (n > 0) got[i].append(buffer, static_cast<std::size_t>(n));
            }
            if (!ended[i] && errno != EAGAIN && errno != EWOULDBLOCK) ended[i] = true;
        }
        EXPECT_EQ(http_request(port, "GET", "/metrics", "", 5).status, 200);
        return std::find(ended.begin(), ended.end(), false) == ended.end();
    };
    EXPECT_TRUE(eventually(trickle)) << "a client sending a body still holds its connection";
    for (std::size_t i = 0; i < slow.size(); ++i) {
        EXPECT_EQ(got[i].compare(0, 12, i % 2 ? "HTTP/1.1 405" : "HTTP/1.1 413"), 0) << got[i];
        close(slow[i]);
    }
}

// The body of a gzip reply, inflated; empty when it is not gzip.
std::string gunzip(const std::string& body) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return {};
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    std::string out;
    char chunk[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

// The host polling every 0.1 s with --retention-raw 2s: its raw rows soon span only the last
// seconds, while a series of the whole run, asked for gzip-compressed as browsers do, still
// reaches from the first round to the newest, from the minutes where the raw rows are gone.
TEST_F(HttpHost, RawRowsKeepTheirRetentionWhileTheSeriesCoversTheWholeRunCompressed) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    start_host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.1",
                "--timeout-ms", "200", "--offline-after", "1", "--retention-raw", "2s"});
    ASSERT_TRUE(eventually([&] { return !ids_and_instants(db).empty(); }));
    const long long first_ms = ids_and_instants(db).front().second;
    // The rows older than 2 s go, a pass a second: the oldest left is at most ~3 s old.
    ASSERT_TRUE(eventually(
        [&] {
            const auto rows = ids_and_instants(db);
            return complete_rounds() >= 50 && rows.front().second > first_ms + 2000 &&
                   rows.back().second - rows.front().second <= 3500;
        },
        60))
        << read_file(dir + "/host.log");
    sim->kill_now();
    ASSERT_TRUE(eventually([&] { return !get_json("/api/meters/meter-1")["online"].asBool(); }));
    const long complete = complete_rounds();

    const HttpReply packed =
        http_get(port, "/api/meters/meter-1/series", "Accept-Encoding: gzip\r\n");
    ASSERT_EQ(packed.status, 200);
    EXPECT_NE(packed.headers.find("Content-Encoding: gzip"), std::string::npos) << packed.headers;
    const Json::Value series = parse_json(gunzip(packed.body));
    // Minutes where the raw rounds are gone, then, from the first minute that began after the raw
    // rows' start (if one did by now), the raw rounds themselves; every round in one point.
    const Json::Value& points = series["points"];
    ASSERT_GE(points.size(), 1u);
    bool raw = false;
    for (const Json::Value& p : points) {
        raw = raw || p["step_ms"] == 0;
        EXPECT_EQ(p["step_ms"], raw ? 0 : 60000);
    }
    EXPECT_EQ(series["step"], raw ? "raw" : "60s");
    EXPECT_LE(points[0]["t_ms"].asInt64(), first_ms);
    EXPECT_GT(points[0]["t_ms"].asInt64() + 60000, first_ms);
    // The last point holds the newest round (failed ones may follow the last complete one).
    const long long newest = series["newest_ms"].asInt64();
    EXPECT_GE(newest, ids_and_instants(db).back().second);
    const Json::Value& last = points[points.size() - 1];
    EXPECT_LE(last["t_ms"].asInt64(), newest);
    EXPECT_GT(last["t_ms"].asInt64() + std::max<int64_t>(last["step_ms"].asInt64(), 1), newest);
    long long rounds = 0;
    for (const Json::Value& p : points) rounds += p["rounds"].asInt64();
    EXPECT_EQ(rounds, complete);

    // Compressed or not, the same reply; without Accept-Encoding, plain.
    const std::string target = "/api/meters/meter-1/history?limit=5";
    const HttpReply plain = http_get(port, target);
    EXPECT_EQ(plain.headers.find("Content-Encoding"), std::string::npos);
    const HttpReply gzipped = http_get(port, target, "Accept-Encoding: deflate, gzip;q=0.5\r\n");
    EXPECT_EQ(gunzip(gzipped.body), plain.body);
    EXPECT_LT(gzipped.body.size(), plain.body.size() / 3);
    const HttpReply refused = http_get(port, target, "Accept-Encoding: gzip;q=0\r\n");
    EXPECT_EQ(refused.body, plain.body);
}

class Export : public EndToEnd {
  protected:
    Finished export_run(std::vector<std::string> args) {
        args.insert(args.begin(), {kHost, "export"});
        return run_program(args);
    }
};

TEST_F(Export, CsvAndJsonLinesOfARangeAreTheStoredRecordsDecoded) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    ASSERT_EQ(host({"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--rounds", "6", "--interval",
                    "0.3", "--data-id", "77"})
                  .status,
              0);
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), 6u);
    // Every row's instant, through the history's own column.
    const auto ids_times = ids_and_instants(db);
    const std::string from = utc_iso(ids_times[1].second), to = utc_iso(ids_times[4].second);
    std::vector<std::size_t> in_range;
    for (std::size_t i = 0; i < ids_times.size(); ++i)
        if (ids_times[i].second >= ids_times[1].second &&
            ids_times[i].second <= ids_times[4].second)
            in_range.push_back(i);

    const Finished jsonl = export_run(
        {"--db", db, "--meter", "meter-1", "--from", from, "--to", to, "--format", "jsonl"});
    ASSERT_EQ(jsonl.status, 0) << jsonl.err;
    const auto lines = json_lines(jsonl.out);
    ASSERT_EQ(lines.size(), in_range.size());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const auto& bytes = rows[in_range[k]].record;
        const Json::Value& r = lines[k]["record"];
        EXPECT_EQ(lines[k]["history_id"].asInt64(), ids_times[in_range[k]].first);
        EXPECT_EQ(lines[k]["t_ms"].asInt64(), ids_times[in_range[k]].second);
        EXPECT_TRUE(has_offset(lines[k]["time"].asString())) << lines[k]["time"];
        EXPECT_EQ(r["data_id"].asUInt(), 77u);
        for (const auto& m : kMeasurements)
            EXPECT_EQ(static_cast<float>(r[m.name].asDouble()), f32_at(bytes, m.offset));
        EXPECT_EQ(static_cast<float>(r["frequency"].asDouble()), f32_at(bytes, 184));
        EXPECT_EQ(static_cast<float>(r["power_factor"][2].asDouble()), f32_at(bytes, 176));
        EXPECT_EQ(static_cast<float>(r["values_8448"][7].asDouble()), f32_at(bytes, 248));
        EXPECT_EQ(r["limits"][5]["signal"].asInt(), 12);
        EXPECT_EQ(r["meter_baud_rate"].asInt(), 19200);
    }

    const Finished csv = export_run({"--db", db, "--meter", "meter-1", "--from", from, "--to", to});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream csv_lines(csv.out);
    std::string header;
    std::getline(csv_lines, header);
    std::vector<std::string> columns;
    std::istringstream header_cells(header);
    for (std::string c; std::getline(header_cells, c, ',');) columns.push_back(c);
    // time, every field, the arrays spread: 2 + 12 + 6 + 6*4 + 1 + 13 + 12 + 4 + 1 + 8 + 8 + 1.
    EXPECT_EQ(columns.size(), 92u) << header;
    EXPECT_EQ(columns[0], "history_id");
    EXPECT_EQ(columns[1], "time");
    std::size_t k = 0;
    for (std::string line; std::getline(csv_lines, line); ++k) {
        ASSERT_LT(k, lines.size());
        std::vector<std::string> cells;
        std::istringstream in(line);
        for (std::string c; std::getline(in, c, ',');) cells.push_back(c);
        ASSERT_EQ(cells.size(), columns.size()) << line;
        const auto cell = [&](const std::string& name) {
            const auto at = std::find(columns.begin(), columns.end(), name);
            return at == columns.end() ? std::string("?") : cells[at - columns.begin()];
        };
        EXPECT_EQ(cell("history_id"), lines[k]["history_id"].asString());
        EXPECT_EQ(cell("time"), lines[k]["time"].asString());
        const auto& bytes = rows[in_range[k]].record;
        for (const auto& m : kMeasurements)
            EXPECT_EQ(std::stof(cell(m.name)), f32_at(bytes, m.offset));
        EXPECT_EQ(std::stof(cell("limits_1_value")), f32_at(bytes, 42));
        EXPECT_EQ(cell("power_raw_11"), "-245");
        EXPECT_EQ(cell("update_time"), lines[k]["record"]["update_time"].asString());
    }
    EXPECT_EQ(k, in_range.size());

    // Bad requests: status 2 for the command line, 1 for a meter the history does not hold.
    EXPECT_EQ(export_run({"--db", db, "--meter", "meter-1", "--format", "xml"}).status, 2);
    EXPECT_EQ(export_run({"--db", db, "--meter", "meter-1", "--from", "soon"}).status, 2);
    EXPECT_EQ(export_run({"--db", dir + "/none.db", "--meter", "meter-1"}).status, 2);
    EXPECT_EQ(export_run({"--meter", "meter-1"}).status, 2);
    const Finished unknown = export_run({"--db", db, "--meter", "nobody"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("holds no meter named nobody"), std::string::npos);
}

TEST_F(Export, ARunningHostDoesNotBlockIt) {
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    Background writer({kHost, "--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval",
                       "0.01", "--db", db, "--quiet-plugin"},
                      dir + "/host.log");
    ASSERT_TRUE(wait_for_file(db));
    ASSERT_TRUE(eventually([&] { return stored_records(db, "meter-1").size() >= 20; }));
    for (int i = 0; i < 5; ++i) {
        const std::size_t before = stored_records(db, "meter-1").size();
        const auto t0 = std::chrono::steady_clock::now();
        const Finished out = export_run({"--db", db, "--meter", "meter-1", "--format", "jsonl"});
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ASSERT_EQ(out.status, 0) << out.err;
        EXPECT_GE(json_lines(out.out).size(), before);
        EXPECT_LT(took, 5.0);
    }
    // The host went on storing while it was read.
    const std::size_t stored = stored_records(db, "meter-1").size();
    ASSERT_TRUE(eventually([&] { return stored_records(db, "meter-1").size() > stored + 10; }));
    const std::string log = read_file(dir + "/host.log");
    EXPECT_EQ(log.find("is locked by another program"), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot store rounds"), std::string::npos) << log;
}

}  // namespace
