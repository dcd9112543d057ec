// How fast the MQTT sink drains a backlog from the history (docs/performance.md): a history of
// stored rounds that the broker has not acknowledged, published through a relay that hands on
// the broker's every answer 0, 10 or 100 ms late (a broker next door, across a city, across a
// continent), with the default window of 200 messages in flight, libmosquitto's own 20 and a
// window of 1000. The sink runs in this process as the host runs it; the broker is a real
// Mosquitto the caller started.
// usage: mqtt_drain BROKER_SOCKET DIR [REPEATS]   (prints "drain <delay> ms <window> <rounds/s>")
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/history/history_store.h"
#include "apps/host/sinks/mqtt/mqtt_sink.h"
#include "meter/kavren_m7_data.h"
#include "tests/apps/mqtt_fakes.h"

using namespace kavren::host;

namespace {

struct Case {
    int delay_ms;
    int window;
    int rounds;  // enough for a couple of seconds at the expected pace
};
const Case kCases[] = {
    {0, 200, 8000}, {10, 200, 8000}, {100, 200, 4000}, {100, 20, 1000}, {100, 1000, 8000}};

// A history of `rounds` stored rounds of one meter, none acknowledged by the broker at `url`.
void make_backlog(const std::string& db, const std::string& url, int rounds) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
    HistoryStore store(db);
    store.prepare();
    const std::vector<uint8_t> record(sizeof(KAVREN_M7_Data_t), 0);
    store.begin();
    for (int i = 0; i < rounds; ++i)
        store.save_record("m", 0, "2026-12-09 10:00:00", record.data(), record.size(), "round",
                          int64_t{1796810400000} + i * int64_t{1000});
    store.commit();
    store.prepare_deliveries();
    store.begin();
    store.set_acknowledged("mqtt " + url + " kavren", "m", 0);
    store.commit();
}

// Rounds per second from the sink's start to the broker's acknowledgement of the last.
double drain(const std::string& broker, const std::string& dir, const Case& c) {
    testing_support::DelayingProxy relay(dir + "/relay.sock", broker,
                                         std::chrono::milliseconds(c.delay_ms));
    const std::string db = dir + "/drain.db";
    make_backlog(db, relay.url(), c.rounds);
    MqttConfig config;
    config.url = relay.url();
    config.client_id = "kavren-drain";
    config.host_id = "drain";
    config.discovery_prefix = "";
    config.inflight = c.window;
    auto store = std::make_unique<HistoryStore>(db);
    store->prepare();
    MqttSink sink(config, std::move(store), {"m"},
                  [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    const auto start = std::chrono::steady_clock::now();
    sink.start();
    while (sink.rounds_acknowledged() < static_cast<uint64_t>(c.rounds)) {
        if (std::chrono::steady_clock::now() - start > std::chrono::minutes(2)) {
            std::fprintf(stderr, "mqtt_drain: the backlog did not drain in 2 minutes\n");
            std::exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sink.finish(std::chrono::steady_clock::now());
    return c.rounds / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BROKER_SOCKET DIR [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    constexpr std::size_t kCaseCount = sizeof kCases / sizeof kCases[0];
    std::vector<std::vector<double>> rates(kCaseCount);
    // Interleaved: each repetition takes every case once, so that a busy moment of the machine
    // is shared among them.
    for (int r = 0; r < repeats; ++r)
        for (std::size_t k = 0; k < kCaseCount; ++k)
            rates[k].push_back(drain(argv[1], argv[2], kCases[k]));
    for (std::size_t k = 0; k < kCaseCount; ++k) {
        std::sort(rates[k].begin(), rates[k].end());
        std::printf("drain %d ms %d %.0f\n", kCases[k].delay_ms, kCases[k].window,
                    rates[k][rates[k].size() / 2]);
    }
    return 0;
}
