// The HTTP side's two speed figures (docs/performance.md): /metrics for 100 meters, and a
// history request of 10,000 rounds, each through the same code the server runs.
// usage: http_speed [DIR]   (a history of 10,000 rounds is made in DIR, default /tmp)
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/host/history/history_store.h"
#include "apps/host/sinks/http/http_api.h"
#include "apps/host/sinks/http/metrics_text.h"
#include "meter/measurements.h"

using namespace kavren;
using namespace kavren::host;

namespace {

constexpr int kMeters = 100;
constexpr int kRounds = 10000;
constexpr int kRepeats = 20;

std::vector<uint8_t> sample_record(int k) {
    std::vector<uint8_t> record(sizeof(KAVREN_M7_Data_t), 0);
    for (const Measurement& m : kMeasurements) {
        const float v = (std::strcmp(m.unit, "V") == 0 ? 230.0f : 5.0f) + 0.01f * (k % 97);
        std::memcpy(record.data() + m.offset, &v, sizeof v);
    }
    return record;
}

template <typename F>
double median_ms(F f) {
    std::vector<double> times;
    for (int i = 0; i < kRepeats; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Stores kRounds rounds of two meters in batches of 256 rows, as the history's writer does;
// returns the microseconds per row and leaves the file's size (after a checkpoint) in `bytes`.
double store_rounds(const std::string& db, bool time_index, long& bytes) {
    HistoryStore store(db);
    store.prepare();
    if (!time_index) {
        sqlite3* raw = nullptr;
        sqlite3_open(db.c_str(), &raw);
        sqlite3_exec(raw, "DROP INDEX records_by_device_utc", nullptr, nullptr, nullptr);
        sqlite3_close(raw);
    }
    const auto record = sample_record(3);
    char time[32];
    const int64_t first_ms = int64_t{1796083200} * 1000;  // 2026-12-01T00:00:00Z
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        if (i % 128 == 0) store.begin();
        std::snprintf(time, sizeof time, "2026-12-%02d %02d:%02d:%02d", 1 + i / 86400,
                      (i / 3600) % 24, (i / 60) % 60, i % 60);
        const int64_t t_ms = first_ms + i * int64_t{1000};
        store.save_record("meter-1", 1, time, record.data(), record.size(), "round", t_ms);
        store.save_record("meter-2", 2, time, record.data(), record.size(), "round", t_ms);
        if (i % 128 == 127 || i == kRounds - 1) store.commit();
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() /
        (2.0 * kRounds);
    sqlite3* raw = nullptr;
    sqlite3_open(db.c_str(), &raw);
    sqlite3_exec(raw, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    struct stat file {};
    stat(db.c_str(), &file);
    bytes = static_cast<long>(file.st_size);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();

    // 100 meters, each with a fresh round and six limit reports.
    std::vector<MeterIdentity> identities;
    StoredBatch batch;
    for (int i = 0; i < kMeters; ++i) {
        identities.push_back({"meter-" + std::to_string(i + 1),
                              i % 10 + 1,
                              "10.0.0." + std::to_string(i / 10) + ":502",
                              {}});
        auto r = std::make_shared<RoundResult>();
        r->meter_index = static_cast<std::size_t>(i);
        r->meter = identities.back().name;
        r->unix_ms = now;
        r->outcome.complete = true;
        r->record = sample_record(i);
        r->stats.requests = 7000;
        r->stats.rounds_complete = 1000;
        r->stats.last_round_ms = 40;
        for (int k = 0; k < 6; ++k) {
            LimitReport report;
            report.key = std::to_string(k) + " KAVREN_M7";
            report.text = "limit " + std::to_string(k);
            report.active = k == 2;
            r->limit_reports.push_back(report);
        }
        auto round = std::make_shared<StoredRound>();
        round->result = r;
        batch.push_back(round);
    }
    LiveMeters sink(identities);
    sink.take(batch);
    std::size_t metrics_bytes = 0;
    const double metrics_ms =
        median_ms([&] { metrics_bytes = metrics_text(sink.snapshot(), now, 60000).size(); });
    std::printf("metrics_100_meters_ms %.3f (%zu bytes)\n", metrics_ms, metrics_bytes);

    // A history of 10,000 rounds of one meter (and as many of another), then the request the
    // page and API make for all of them.
    const std::string db = dir + "/http_speed_" + std::to_string(getpid()) + ".db";
    const std::string bare = dir + "/http_speed_bare_" + std::to_string(getpid()) + ".db";
    long indexed_bytes = 0, bare_bytes = 0;
    const double bare_us = store_rounds(bare, false, bare_bytes);
    const double indexed_us = store_rounds(db, true, indexed_bytes);
    std::printf("store_row_us without the time index %.2f, with it %.2f\n", bare_us, indexed_us);
    std::printf("file_bytes_per_row without the time index %.1f, with it %.1f\n",
                bare_bytes / (2.0 * kRounds), indexed_bytes / (2.0 * kRounds));
    HttpLimits limits;
    HttpApi api(sink, db, limits, 5.0, "/nonexistent");
    HttpRequest request;
    request.method = "GET";
    request.path = "/api/meters/meter-1/history";
    request.query = {{"limit", "10000"}};
    std::size_t history_bytes = 0;
    const double history_ms = median_ms([&] { history_bytes = api.handle(request).body.size(); });
    std::printf("history_10000_rounds_ms %.3f (%zu bytes, every field)\n", history_ms,
                history_bytes);
    std::string fields = "frequency,power_factor";
    for (const Measurement& m : kMeasurements) fields += std::string(",") + m.name;
    request.query["fields"] = fields;
    const double picked_ms = median_ms([&] { history_bytes = api.handle(request).body.size(); });
    std::printf("history_10000_rounds_fields_ms %.3f (%zu bytes, 15 fields)\n", picked_ms,
                history_bytes);
    for (const std::string& file : {db, bare})
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((file + suffix).c_str());
    return 0;
}
