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

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "apps/host/history/history_store.h"
#include "apps/host/round/round_result.h"
#include "apps/host/round/round_sink.h"
#include "apps/host/sinks/mqtt/mqtt_book.h"
#include "apps/host/sinks/mqtt/mqtt_link_health.h"
#include "apps/host/sinks/mqtt/mqtt_options.h"
#include "apps/host/sinks/mqtt/mqtt_payload.h"
#include "apps/host/sinks/sink_context.h"
#include "apps/host/support/queue_worker.h"

struct mosquitto;
struct mosquitto_message;

namespace kavren::host {

// The broker's name in the history's deliveries table: what it acknowledged is kept by it.
std::string mqtt_consumer(const MqttConfig& config);

// Publishes stored rounds to an MQTT broker: each meter's retained `state` and its `rounds`
// stream, its availability, the host's status (with the broker's last will) and Home Assistant
// discovery.
//
// The history is the backlog: the sink remembers in it, per meter, the newest round that the
// broker acknowledged with everything before it, and whatever was not acknowledged (broker away,
// host killed, rounds that did not fit the sink's small queue) is read back from it, oldest
// first. The retained `state` does not wait for that: it follows the newest round at once, so
// that a long backlog at a distant broker never leaves it stale. Memory stays bounded: the queue
// from the history thread has a bound, and at most `inflight` messages wait for the broker
// (libmosquitto's window is the same number).
//
// Everything happens on the sink's own thread, which runs an Asio loop of its own: libmosquitto
// is called when the client's socket can be read or written, and on a timer for its keep-alive,
// never polled; take() only queues and wakes it. A broker that is away is retried with back-off
// (MqttLinkHealth), refused credentials slowly, a broker that acknowledges nothing for the
// keep-alive time is connected to again; each change is logged once. At the start, the retained
// topics of meters no longer configured are cleared.
class MqttSink final : public RoundSink {
  public:
    using Log = std::function<void(const std::string&)>;

    // `store`: a connection of the sink's own to the history (prepared). Reads what the broker
    // acknowledged so far; throws std::runtime_error when the history cannot be read.
    // `page`: where the host's page is served, for discovery (may be null).
    MqttSink(MqttConfig config, std::unique_ptr<HistoryStore> store,
             std::vector<std::string> meter_names, Log log,
             std::shared_ptr<const PageAddress> page = nullptr);

    const char* name() const override { return "mqtt"; }
    void start() override;
    // Live rounds change the meters' availability and state; committed ones are published on
    // their `rounds` topic, so that a round published there is one the backfill finds again.
    void take(const StoredBatch& batch) override { hand(batch, false); }
    void take_committed(const StoredBatch& batch) override { hand(batch, true); }
    // Publishes what it can until the deadline, at least a second (the meters and the host then
    // go offline, cleanly), remembers what was acknowledged, disconnects, ends the thread and
    // logs how many rounds the broker acknowledged.
    void finish(std::chrono::steady_clock::time_point deadline) override;

    // Before start(): how often what the broker acknowledged may be written to the history.
    void set_remember_every(std::chrono::milliseconds every) { remember_every_ = every; }
    uint64_t rounds_acknowledged() const { return acknowledged_.load(); }
    bool ever_connected() const { return ever_connected_.load(); }
    const std::string& client_id() const { return client_id_; }
    const std::string& host_id() const { return topics_.host_id; }

    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

  private:
    enum class Availability { unknown, online, offline };
    struct Meter {
        std::string name;
        int64_t acked = 0;          // this and every earlier round are acknowledged
        int64_t sent = 0;           // newest round published on `rounds` on this connection
        bool caught_up = false;     // nothing in the history after `sent`
        std::set<int64_t> pending;  // published, not yet acknowledged
        std::string state;          // the newest round's payload, for `state`
        int64_t state_id = 0;       // its history id
        int64_t state_sent = 0;     // the id last published on `state` on this connection
        bool state_due = false;
        Availability availability = Availability::unknown;
        bool availability_due = false;
        std::vector<std::string> limit_names;  // the limits' entity names from its newest round
        std::vector<std::string> discovered;   // those published in discovery
    };
    struct InFlight {
        std::size_t meter = 0;
        int64_t id = 0;       // 0: not a round
        std::string cleared;  // a stale retained topic being cleared
    };
    enum class Link { down, connecting, up };
    enum class Trouble { none, away, refused, flapping, unacknowledged };

    void read_history(const std::vector<std::string>& names);
    void run();
    // From any thread: turn() soon on the sink's.
    void wake();
    // What is due after anything happened: connecting, the health checks, the rounds queued,
    // what waits to be published, the stop.
    void turn();
    // libmosquitto's calls when its socket is ready or the timer ends, and what they said.
    void on_socket(bool readable);
    void on_tick();
    void after_io(int rc);
    // The waits on the client's socket that libmosquitto needs, and the timer.
    void watch_socket();
    void forget_socket();
    void arm_tick(std::chrono::steady_clock::time_point now);
    void connect();
    bool make_client();
    void close_client();
    void drop_connection(const std::string& why);
    void on_connected(int rc);
    void connected(int rc);
    void on_published(int mid);
    void acknowledged(const InFlight& done);
    bool publish(const std::string& topic, const std::string& payload, bool retain, InFlight what);
    bool publish(const std::string& topic, const std::string& payload, bool retain);
    struct Handed {
        std::shared_ptr<const StoredRound> round;
        bool committed = false;
    };
    void hand(const StoredBatch& batch, bool committed);
    void take_queued(bool connected);
    void take_live(const StoredRound& stored);
    void take_committed_round(const StoredRound& stored, bool connected);
    void publish_due();
    bool publish_meter(Meter& meter);
    void catch_up(Meter& meter, std::size_t index);
    bool window_full() const { return in_flight_.size() >= inflight_; }
    void remember(bool force);
    bool drained() const;
    // The meters and the host go offline; the loop ends once that is acknowledged, the
    // connection is lost or the time is over.
    void leave();
    void check_health(std::chrono::steady_clock::time_point now);
    void trouble(Trouble kind, const std::string& what, std::chrono::steady_clock::duration retry);
    void warn_about_password_file() const;

    MqttConfig config_;
    MqttAddress address_;
    MqttTopics topics_;
    std::string client_id_;
    std::string password_;
    std::unique_ptr<HistoryStore> own_store_;
    HistoryStore& store_;
    Log log_;
    std::shared_ptr<const PageAddress> page_;
    MqttBook book_;
    std::size_t inflight_;
    std::vector<Meter> meters_;
    LimitTexts texts_;
    std::vector<std::string> stale_;  // retained topics to clear, until the broker has them
    std::atomic<bool> overflowed_{false};

    // The sink's thread only.
    boost::asio::io_context io_{1};
    boost::asio::posix::stream_descriptor socket_{io_};  // the client's, watched, not owned
    unsigned watch_ = 0;  // counts the sockets watched: a wait for one forgotten is stale
    bool reading_ = false, writing_ = false;
    boost::asio::steady_timer tick_{io_};
    std::chrono::steady_clock::time_point tick_at_ = std::chrono::steady_clock::time_point::max();
    bool leaving_ = false;
    mosquitto* client_ = nullptr;
    Link link_ = Link::down;
    MqttLinkHealth health_;
    std::chrono::steady_clock::time_point retry_at_{};
    std::chrono::steady_clock::time_point connect_started_{};
    Trouble trouble_ = Trouble::none;  // the last trouble logged
    bool clear_due_ = false;
    bool backlog_failed_ = false;
    std::map<int, InFlight> in_flight_;
    std::chrono::steady_clock::time_point remembered_at_{};
    std::chrono::milliseconds remember_every_{200};
    bool ever_logged_connect_ = false;
    std::string library_error_;  // libmosquitto's last error line
    int connack_ = -1;           // the broker's answer, set in libmosquitto's callback

    std::atomic<bool> turn_posted_{false};
    std::atomic<uint64_t> acknowledged_{0};
    std::atomic<bool> ever_connected_{false};
    QueueWorker<Handed> worker_;
};

// The MQTT sink when the configuration names a broker, with a history connection of its own.
std::unique_ptr<RoundSink> make_mqtt_sink(const SinkContext& context);

}  // namespace kavren::host
