// The HTTP side's parts on their own: time bounds, the metrics' freshness rule, picking and
// flattening record fields, addresses, Host headers, credentials, reply deadlines and the page's
// files.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <regex>

#include <gtest/gtest.h>

#include "apps/host/config/host_config.h"
#include "apps/host/history/history_query.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/http/metrics_text.h"
#include "apps/host/sinks/http/page_files.h"
#include "apps/host/sinks/http/reply_deadlines.h"
#include "meter/measurements.h"

namespace {

using namespace kavren;
using namespace kavren::host;

// Bounds are instants: with an offset as given, without one in the host's zone (here Berlin),
// an upper bound taking in the whole of its last unit, the repeated hour of a fall-back read
// early as a lower bound and late as an upper one.
TEST(TimeBound, LocalTimesOffsetsAndUnixSecondsBecomeInstants) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(parse_time_bound("2026-12-08", false), 1796684400000);
    EXPECT_EQ(parse_time_bound("2026-12-08", true), 1796770799999);
    EXPECT_EQ(parse_time_bound("2026-12-08T10:15", true), 1796721359999);
    EXPECT_EQ(parse_time_bound("2026-12-08 10:15:07", false), 1796721307000);
    EXPECT_EQ(parse_time_bound("2026-12-08 10:15:07", true), 1796721307999);
    EXPECT_EQ(parse_time_bound("2026-12-08T10:15:07.25Z", false), 1796724907250);
    EXPECT_EQ(parse_time_bound("2026-12-08T10:15:07.250Z", true), 1796724907250);
    EXPECT_EQ(parse_time_bound("2026-12-08T18:15:07+08:00", false), 1796724907000);
    EXPECT_EQ(parse_time_bound("2026-12-08T18:15:07 08:00", false), 1796724907000);  // '+' of a URL
    EXPECT_EQ(parse_time_bound("2026-12-08T04:45:07-0530", false), 1796724907000);
    EXPECT_EQ(parse_time_bound("86400", false), 86400000);
    EXPECT_EQ(parse_time_bound("86400", true), 86400999);
    EXPECT_EQ(parse_time_bound("2026-10-25 02:30", false), 1792888200000);  // 02:30 summer time
    EXPECT_EQ(parse_time_bound("2026-10-25 02:30", true), 1792891859999);   // 02:30:59 winter
    EXPECT_EQ(iso_local_time(1796724907000), "2026-12-08T11:15:07+01:00");
    EXPECT_EQ(iso_local_time(1782900000500), "2026-07-01T12:00:00.500+02:00");
    EXPECT_EQ(iso_local_time(1792888200000), "2026-10-25T02:30:00+02:00");
    EXPECT_EQ(iso_local_time(1792891800000), "2026-10-25T02:30:00+01:00");
    for (const char* bad :
         {"", "yesterday", "2026-13-01", "2026-12-32", "2026-02-29", "2026-12-08 24:00",
          "2026-12-08 10:60", "2026/12/08", "2026-12-08Z", "2026-12-08T10:15:07.",
          "2026-12-08T10:15:07+25:00", "10000-01-01", "253402300800", "99999999999999"})
        EXPECT_THROW(parse_time_bound(bad, false), BadTimeBound) << bad;
    EXPECT_EQ(parse_time_bound("253402300799", true), 253402300799999);
    setenv("TZ", "UTC", 1);
    tzset();
}

// A meter whose last complete round ended at `unix_ms`, UA set to `ua`.
MeterView meter_with_round(const std::string& name, int64_t unix_ms, float ua, bool offline) {
    auto result = std::make_shared<RoundResult>();
    result->meter = name;
    result->unix_ms = unix_ms;
    result->outcome.complete = true;
    result->offline = offline;
    result->record.assign(sizeof(KAVREN_M7_Data_t), 0);
    std::memcpy(result->record.data() + kMeasurements[0].offset, &ua, sizeof ua);
    result->stats.requests = 7;
    result->stats.last_round_ms = 30;
    auto round = std::make_shared<StoredRound>();
    round->result = result;
    MeterView m;
    m.name = name;
    m.latest = round;
    m.last_complete = round;
    m.rounds[0] = 1;
    m.duration_buckets[2] = 1;
    m.duration_count = 1;
    return m;
}

std::string header_of(const HttpResponse& r, const std::string& name) {
    for (const auto& [key, value] : r.headers)
        if (key == name) return value;
    return "";
}

// Every file the page names is served under that name, kept for a year (its name changes with
// its content), while the page itself is asked again on each load; without the chart library,
// the page names it under its plain name, which is not served.
TEST(PageFiles, ThePageNamesItsFilesByTheirContentAndTheyAreKept) {
    for (const std::string& chart_dir :
         {std::string(KAVREN_CHART_DIR), std::string("/nonexistent")}) {
        const PageFiles files(chart_dir);
        const HttpResponse* page = files.find("/");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(header_of(*page, "Cache-Control"), "no-cache");
        const std::regex named(
            R"re((?:src|href)="([a-z]+)(-[0-9a-f]{12})?((?:\.min)?\.(?:js|css))")re");
        int tagged = 0;
        for (std::sregex_iterator m(page->body.begin(), page->body.end(), named), end; m != end;
             ++m) {
            const std::string name = "/" + (*m)[1].str() + (*m)[2].str() + (*m)[3].str();
            const HttpResponse* file = files.find(name);
            if (!(*m)[2].matched) {
                EXPECT_EQ(file, nullptr) << name << " is named without its tag yet served";
                continue;
            }
            ++tagged;
            ASSERT_NE(file, nullptr) << name;
            EXPECT_EQ((*m)[2].str(), "-" + content_tag(file->body)) << name;
            EXPECT_EQ(header_of(*file, "Cache-Control"), "public, max-age=31536000, immutable");
        }
        EXPECT_EQ(tagged, chart_dir == KAVREN_CHART_DIR ? 3 : 1) << page->body;
    }
}

TEST(Metrics, MeasurementsOnlyFromFreshRoundsOfOnlineMeters) {
    const int64_t now = 1'000'000'000;
    const std::vector<MeterView> meters{
        meter_with_round("fresh \"one\"", now - 1000, 230.25f, false),
        meter_with_round("old", now - 61000, 231.0f, false),
        meter_with_round("offline", now - 1000, 232.0f, true), MeterView{}};
    const std::string text = metrics_text(meters, now, 60000);
    EXPECT_NE(text.find("kavren_voltage_volts{meter=\"fresh \\\"one\\\"\",phase=\"A\"} 230.25\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("kavren_voltage_volts{meter=\"old\""), std::string::npos);
    EXPECT_EQ(text.find("kavren_voltage_volts{meter=\"offline\""), std::string::npos);
    EXPECT_NE(text.find("kavren_meter_online{meter=\"offline\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("kavren_meter_online{meter=\"old\"} 1\n"), std::string::npos);
    // The old meter's last round time stays: it says how old its values are.
    EXPECT_NE(text.find("kavren_last_complete_round_timestamp_seconds{meter=\"old\"} 999939\n"),
              std::string::npos);
    EXPECT_NE(text.find("kavren_round_duration_seconds_bucket{meter=\"old\",le=\"0.0005\"} 1\n"),
              std::string::npos);
    // Every family is announced once, before its samples.
    for (const char* family : {"kavren_voltage_volts gauge", "kavren_errors_total counter",
                               "kavren_round_duration_seconds histogram"}) {
        const std::string type = std::string("# TYPE ") + family;
        const auto at = text.find(type);
        EXPECT_NE(at, std::string::npos) << family;
        EXPECT_EQ(text.find(type, at + 1), std::string::npos) << family;
    }
}

TEST(RecordFields, PickedAndFlattenedByTheirNames) {
    KAVREN_M7_Data_t record{};
    record.frequency = 49.5f;
    LimitEntry limits[6]{};
    limits[2].value = 2.25f;
    std::memcpy(record.limits, limits, sizeof limits);
    std::string json_text;
    JsonWriter json(json_text);
    json.begin_object();
    write_record_fields(json, record);
    json.end_object();

    EXPECT_EQ(pick_members(json_text, {"frequency", "reg308"}),
              "{\"reg308\":0,\"frequency\":49.5}");
    std::vector<std::pair<std::string, std::string>> cells;
    flatten_members(json_text, [&](const std::string& name, std::string_view value, bool text) {
        cells.emplace_back(name, std::string(value) + (text ? " (text)" : ""));
    });
    ASSERT_EQ(cells.size(), 90u);
    EXPECT_EQ(cells.front().first, "data_id");
    EXPECT_EQ(cells[12].first, "limit_alarm_0");
    const auto find = [&](const std::string& name) {
        for (const auto& c : cells)
            if (c.first == name) return c.second;
        return std::string("missing");
    };
    EXPECT_EQ(find("limits_2_value"), "2.25");
    EXPECT_EQ(find("frequency"), "49.5");
    EXPECT_EQ(find(kMeasurements[12].name), "0");
    EXPECT_EQ(cells.back().first, "update_time");
    EXPECT_NE(cells.back().second.find("(text)"), std::string::npos);
}

TEST(HttpAddress, LoopbackUnlessAHostIsNamed) {
    EXPECT_EQ(http_listen_address("8080"), "127.0.0.1:8080");
    EXPECT_EQ(http_listen_address(":0"), "127.0.0.1:0");
    EXPECT_EQ(http_listen_address("localhost:80"), "127.0.0.1:80");
    EXPECT_EQ(http_listen_address("*:8080"), "0.0.0.0:8080");
    EXPECT_EQ(http_listen_address("192.0.2.7:8080"), "192.0.2.7:8080");
    for (const char* bad :
         {"", "host:80", "127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:8o", "[::1]:80", "[::]:0"})
        EXPECT_THROW(http_listen_address(bad), std::invalid_argument) << bad;
}

// Without a password, a page of another site whose name resolves here is refused.
TEST(HostHeader, OnlyThisMachinesNamesAndAddresses) {
    const std::vector<std::string> names{"bench-7", "bench-7.local", "Kavren.Lan"};
    for (const char* allowed :
         {"127.0.0.1", "127.0.0.1:8080", "192.0.2.7:80", "[::1]", "[::1]:80", "localhost",
          "LOCALHOST:8080", "bench-7", "Bench-7.local:80", "bench-7.:80", "kavren.lan:8080"})
        EXPECT_TRUE(host_header_allowed(allowed, names)) << allowed;
    EXPECT_TRUE(host_header_allowed(nullptr, names));
    for (const char* refused : {"attacker.example", "attacker.example:8080", "127.0.0.1.nip.io",
                                "bench-7.attacker.example", "", "[::1", "localhost.attacker"})
        EXPECT_FALSE(host_header_allowed(refused, names)) << refused;
}

// A connection still armed at its deadline is shut both ways (its client sees the end); one
// disarmed before is left alone. The log names the client once.
TEST(ReplyDeadlines, ShutAnArmedConnectionAtItsDeadlineAndLeaveADisarmedOne) {
    int late[2], done[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, late), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, done), 0);
    std::vector<std::string> logged;
    std::mutex lock;
    {
        ReplyDeadlines deadlines([&](const std::string& line) {
            std::lock_guard<std::mutex> hold(lock);
            logged.push_back(line);
        });
        const auto soon = ReplyDeadlines::Clock::now() + std::chrono::milliseconds(100);
        deadlines.arm(&late, late[0], soon, "late client");
        deadlines.arm(&done, done[0], soon, "done client");
        deadlines.disarm(&done);
        char byte;
        pollfd p{late[1], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "not cut";
        EXPECT_EQ(recv(late[1], &byte, 1, 0), 0);
        p = pollfd{done[1], POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 300), 0) << "a disarmed connection was cut";
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("late client"), std::string::npos) << logged[0];
    for (int fd : {late[0], late[1], done[0], done[1]}) close(fd);
}

TEST(BasicCredentials, Base64AsBrowsersSendIt) {
    std::string out;
    EXPECT_TRUE(base64_decode("YmVuY2g6czNjcmV0", out));
    EXPECT_EQ(out, "bench:s3cret");
    EXPECT_TRUE(base64_decode("YTpi", out));
    EXPECT_EQ(out, "a:b");
    EXPECT_TRUE(base64_decode("YTpiYw==", out));
    EXPECT_EQ(out, "a:bc");
    for (const char* bad : {"YTpi!", "YTp", "YT=i", "YTpiYw==="})
        EXPECT_FALSE(base64_decode(bad, out)) << bad;
}

}  // namespace
