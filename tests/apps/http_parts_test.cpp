// The HTTP side's parts on their own: time bounds, the metrics' freshness rule, picking and
// flattening record fields, addresses, request targets, Host headers, credentials, the server's
// replies and the page's files.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "apps/host/config/host_config.h"
#include "apps/host/history/history_query.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/http/http_reply.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/http/metrics_text.h"
#include "apps/host/sinks/http/page_files.h"
#include "meter/measurements.h"
#include "tests/apps/eventually.h"
#include "tests/apps/http_client.h"

namespace {

using namespace kavren;
using namespace kavren::host;
using testing_support::eventually;
using testing_support::http_get;
using testing_support::HttpReply;

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
    // Years before 1000 with four digits, as ISO 8601 readers take them; the local mean time of
    // year 1 (+00:53:28) with whole minutes, so that the text reads back as the same instant.
    const int64_t year_one = parse_time_bound("0001-01-01T00:00:00Z", false);
    EXPECT_EQ(iso_local_time(year_one), "0001-01-01T00:53:00+00:53");
    EXPECT_EQ(parse_time_bound(iso_local_time(year_one), false), year_one);
    EXPECT_EQ(iso_local_time(year_one - 1), "0001-01-01T00:52:59.999+00:53");
    for (const char* bad :
         {"", "yesterday", "2026-13-01", "2026-12-32", "2026-02-29", "2026-12-08 24:00",
          "2026-12-08 10:60", "2026/12/08", "2026-12-08Z", "2026-12-08T10:15:07.",
          "2026-12-08T10:15:07+25:00", "10000-01-01", "253402300800", "99999999999999"})
        EXPECT_THROW(parse_time_bound(bad, false), BadTimeBound) << bad;
    EXPECT_EQ(parse_time_bound("253402300799", true), 253402300799999);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(iso_local_time(year_one), "0001-01-01T00:00:00+00:00");
    EXPECT_EQ(iso_local_time(parse_time_bound("0000-01-01T00:00:00Z", false) - 1),
              "-000001-12-31T23:59:59.999+00:00");
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
    // On the wire a reply says once how it may be kept: as it said, else not at all.
    const auto caching = [](const HttpResponse& r) {
        const std::string text = reply_text(r, "", true);
        std::vector<std::string> said;
        const std::regex line("\r\nCache-Control: ([^\r]*)");
        for (std::sregex_iterator m(text.begin(), text.end(), line), end; m != end; ++m)
            said.push_back((*m)[1]);
        return said;
    };
    EXPECT_EQ(caching(*PageFiles(KAVREN_CHART_DIR).find("/")),
              std::vector<std::string>{"no-cache"});
    EXPECT_EQ(caching(HttpResponse{}), std::vector<std::string>{"no-store"});
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
    EXPECT_EQ(http_listen_address("[::1]:80"), "[::1]:80");
    EXPECT_EQ(http_listen_address("[::]:0"), "[::]:0");
    EXPECT_EQ(http_listen_address("[2001:db8::7]:8080"), "[2001:db8::7]:8080");
    EXPECT_EQ(http_listen_address("kavren-7.lan:80"), "kavren-7.lan:80");
    for (const char* bad :
         {"", "127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:8o", "[::1:80", "::1:80",
          "[192.0.2.7]:80", "[kavren.lan]:80", "300.0.0.1:80", "kavren lan:80", "kavren/lan:80"})
        EXPECT_THROW(http_listen_address(bad), std::invalid_argument) << bad;
}

// A query as a form sends it ('+' a space, percent escapes); the path with '+' kept.
TEST(RequestTarget, PathAndQueryDecoded) {
    EXPECT_EQ(decode_path("/api/meters/feeder%201+2/history"), "/api/meters/feeder 1+2/history");
    EXPECT_EQ(decode_path("/100%"), "/100%");
    EXPECT_EQ(decode_path("/%zz%4"), "/%zz%4");
    const auto query = decode_query(
        "from=2026-12-08T18:15:07+08:00&to=&limit=5&limit=6&=x&"
        "fields=UA%2CUB&flag");
    EXPECT_EQ(query, (std::map<std::string, std::string>{{"fields", "UA,UB"},
                                                         {"flag", ""},
                                                         {"from", "2026-12-08T18:15:07 08:00"},
                                                         {"limit", "6"},
                                                         {"to", ""}}));
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

// A socket to the server that takes little at a time (a small receive buffer), its request sent.
int small_window_request(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 16384;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
    const std::string request = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd;
}

// Everything until the server ends the connection; `pause`: between reads.
std::string read_to_end(int fd, std::chrono::milliseconds pause) {
    std::string got;
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(pause);
    }
    close(fd);
    return got;
}

// A reply goes out a piece at a time, each piece with a deadline of its own: a reply far
// longer than one deadline, read slowly, arrives whole; one its client stops taking is cut,
// and the log says so.
TEST(HttpServerReplies, ALongReplyReadSlowlyArrivesWholeAStalledOneIsCut) {
    const std::string body(4 << 20, 'k');
    std::mutex lock;
    std::vector<std::string> logged;
    HttpLimits limits;
    limits.reply_chunk_timeout_ms = 1000;
    HttpServer server(
        "127.0.0.1:0", limits, "", {},
        [&](const HttpRequest&) {
            HttpResponse r;
            r.content_type = "application/octet-stream";
            r.body = body;
            return r;
        },
        [&](const std::string& line) {
            std::lock_guard<std::mutex> hold(lock);
            logged.push_back(line);
        });
    // A small window read every 15 ms: about 4 s in all, four times the deadline.
    const std::string slow =
        read_to_end(small_window_request(server.port()), std::chrono::milliseconds(15));
    const auto head_end = slow.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    EXPECT_NE(slow.find("Content-Length: " + std::to_string(body.size())), std::string::npos);
    EXPECT_TRUE(slow.compare(head_end + 4, std::string::npos, body) == 0)
        << "got " << slow.size() - head_end - 4 << " of " << body.size() << " bytes";
    {
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_TRUE(logged.empty()) << logged.front();
    }

    const int stalled = small_window_request(server.port());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> hold(lock);
        return logged.size() == 1;
    }));
    EXPECT_NE(logged[0].find("cut"), std::string::npos) << logged[0];
    const std::string cut = read_to_end(stalled, std::chrono::milliseconds(0));
    EXPECT_LT(cut.size(), body.size());
}

// A name is looked up and listened on; the server answers there.
TEST(HttpServerReplies, ListensOnANamedHost) {
    HttpServer server(
        "localhost:0", HttpLimits{}, "", {},
        [](const HttpRequest& r) {
            HttpResponse reply;
            reply.body = "{\"path\":\"" + r.path + "\"}";
            return reply;
        },
        nullptr);
    EXPECT_EQ(server.address(), "localhost:" + std::to_string(server.port()));
    const HttpReply reply = http_get(server.port(), "/here");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "{\"path\":\"/here\"}");
}

// On a loop its owner runs: served there; once the server is destroyed, a connection that was
// still waiting for its request has been cut (not left to its deadline, ten minutes away) and
// nothing of the server is left on the loop, whose run() then returns.
TEST(HttpServerReplies, OnAGivenLoopItLeavesNothingBehind) {
    boost::asio::io_context loop;
    auto guard = boost::asio::make_work_guard(loop);
    std::thread runner([&] { loop.run(); });
    HttpLimits limits;
    limits.request_timeout_ms = 600000;
    auto server = std::make_unique<HttpServer>(
        loop, "127.0.0.1:0", limits, "", std::vector<std::string>{},
        [](const HttpRequest&) { return HttpResponse{}; }, nullptr);
    EXPECT_EQ(http_get(server->port(), "/").status, 200);
    const int waiting = testing_support::connect_local(server->port());
    ASSERT_GE(waiting, 0);
    auto gone = std::async(std::launch::async, [&] { server.reset(); });
    ASSERT_EQ(gone.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "a waiting connection held the server";
    pollfd p{waiting, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the waiting connection is still open";
    char byte;
    EXPECT_LE(recv(waiting, &byte, 1, 0), 0);
    close(waiting);
    guard.reset();
    runner.join();
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
