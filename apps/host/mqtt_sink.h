#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/bounded_queue.h"
#include "apps/host/history_store.h"
#include "apps/host/mqtt_options.h"
#include "apps/host/mqtt_payload.h"
#include "apps/host/round_result.h"

struct mosquitto;
struct mosquitto_message;

namespace kavren::host {

// Publishes stored rounds to an MQTT broker: each meter's retained `state` and its `rounds`
// stream, its availability, the host's status (with the broker's last will) and Home Assistant
// discovery.
//
// The history is the backlog: the sink remembers in it, per meter, the newest round that the
// broker acknowledged with everything before it, and whatever was not acknowledged (broker away,
// host killed, rounds that did not fit the sink's small queue) is read back from it, oldest
// first, before the retained state is brought up to date. Memory stays bounded: the queue from
// the history thread has a bound, and at most kMaxInFlight messages wait for the broker.
//
// Everything happens on the sink's own thread, which runs libmosquitto's loop; take() only
// queues. A broker that is away is retried with back-off, refused credentials slowly; each
// change is logged once.
class MqttSink : public RoundSink {
  public:
    using Log = std::function<void(const std::string&)>;

    // `store`: a connection of the sink's own to the history (prepared). Reads what the broker
    // acknowledged so far; throws std::runtime_error when the history cannot be read.
    MqttSink(MqttConfig config, HistoryStore& store, std::vector<std::string> meter_names, Log log);
    ~MqttSink();

    void start();
    void take(const StoredBatch& batch) override;
    // Publishes what it can until the deadline (the meters and the host then go offline,
    // cleanly), remembers what was acknowledged, disconnects and ends the thread.
    void finish(std::chrono::steady_clock::time_point deadline);

    uint64_t rounds_acknowledged() const { return acknowledged_.load(); }
    // Its name in the history's deliveries table.
    const std::string& consumer() const { return consumer_; }
    bool ever_connected() const { return ever_connected_.load(); }

    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

  private:
    enum class Availability { unknown, online, offline };
    struct Meter {
        std::string name;
        int64_t acked = 0;          // this and every earlier round are acknowledged
        bool acked_dirty = false;   // not yet remembered in the history
        int64_t sent = 0;           // newest round published on this connection
        bool caught_up = false;     // nothing in the history after `sent`
        std::set<int64_t> pending;  // published, not yet acknowledged
        std::string last_payload;   // the newest round published, for `state`
        bool state_due = false;
        Availability availability = Availability::unknown;
        bool availability_due = false;
        std::vector<std::string> descriptions;  // the limits' texts of its newest round
        std::vector<std::string> discovered;    // those published in discovery
    };
    struct InFlight {
        std::size_t meter = 0;
        int64_t id = 0;  // 0: not a round
    };

    void run();
    void connect();
    void drop_connection(const std::string& why);
    void on_connected(int rc);
    void connected(int rc);
    void on_published(int mid);
    bool publish(const std::string& topic, const std::string& payload, bool retain,
                 std::size_t meter = 0, int64_t id = 0);
    void take_queued(bool connected);
    void publish_due();
    void catch_up(Meter& meter, std::size_t index);
    void remember(bool force);
    void go_offline(std::chrono::steady_clock::time_point deadline);
    enum class Trouble { none, away, refused };
    void trouble(Trouble kind, const std::string& what, std::chrono::seconds retry_after);

    MqttConfig config_;
    MqttAddress address_;
    MqttTopics topics_;
    std::string consumer_;
    std::string password_;
    HistoryStore& store_;
    Log log_;
    std::vector<Meter> meters_;
    LimitTexts texts_;
    std::vector<std::pair<std::string, std::string>> new_texts_;
    BoundedQueue<std::shared_ptr<const StoredRound>> queue_;
    std::atomic<bool> overflowed_{false};

    // The sink's thread only.
    mosquitto* client_ = nullptr;
    enum class Link { down, connecting, up };
    Link link_ = Link::down;
    std::chrono::steady_clock::time_point retry_at_{};
    std::chrono::steady_clock::time_point connect_started_{};
    std::chrono::seconds backoff_{1};
    Trouble trouble_ = Trouble::none;  // the last trouble logged
    bool backlog_failed_ = false;
    std::map<int, InFlight> in_flight_;
    std::chrono::steady_clock::time_point remembered_at_{};
    bool remember_failed_ = false;
    bool ever_logged_connect_ = false;
    std::string library_error_;  // libmosquitto's last error line
    int connack_ = -1;           // the broker's answer, set in libmosquitto's callback

    std::atomic<bool> finishing_{false};
    std::atomic<int64_t> deadline_ns_{0};
    std::atomic<uint64_t> acknowledged_{0};
    std::atomic<bool> ever_connected_{false};
    std::thread thread_;
};

}  // namespace kavren::host
