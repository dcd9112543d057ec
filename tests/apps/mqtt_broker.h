#pragma once

// The real Mosquitto broker on a Unix socket of the test's own, and a subscriber of the test's
// own (libmosquitto), independent of the host's publishing code.
#include <mosquitto.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/apps/programs.h"

namespace testing_support {

class Broker {
  public:
    // extra: more lines of mosquitto.conf (per-listener ones apply to the TCP listener when
    // there is one). The broker keeps its sessions in `dir` across a restart (saved when it is
    // stopped with SIGTERM). tcp_port: also listen on 127.0.0.1 at that port (for bridges and
    // TLS, which need TCP).
    Broker(const std::string& dir, const std::string& name, const std::string& extra = "",
           int tcp_port = 0)
        : dir_(dir), name_(name), socket_(dir + "/" + name + ".sock") {
        const passwd* me = getpwuid(getuid());
        std::string config = "listener 0 " + socket_ + "\n";
        if (tcp_port != 0) config += "listener " + std::to_string(tcp_port) + " 127.0.0.1\n";
        if (extra.find("allow_anonymous") == std::string::npos) config += "allow_anonymous true\n";
        config += "persistence true\npersistence_location " + dir + "/\npersistence_file " + name +
                  ".db\nuser " + (me != nullptr ? me->pw_name : "root") + "\n" + extra;
        write_file(dir + "/" + name + ".conf", config);
        start();
    }
    void start() {
        unlink(socket_.c_str());
        process_ = std::make_unique<Background>(
            std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_ + "/" + name_ + ".conf"},
            dir_ + "/" + name_ + ".log");
        ASSERT_TRUE(wait_for_file(socket_)) << read_file(dir_ + "/" + name_ + ".log");
    }
    // Whether it started (a TCP port taken by another program ends it at once).
    bool running() { return process_ && !process_->wait(0.2); }
    void stop() { process_.reset(); }
    const std::string& socket() const { return socket_; }
    std::string url() const { return "mqtt+unix://" + socket_; }

  private:
    std::string dir_, name_, socket_;
    std::unique_ptr<Background> process_;
};

// A broker that also listens on a TCP port it found free: ports are tried until one binds.
inline std::unique_ptr<Broker> broker_on_tcp(const std::string& dir, const std::string& name,
                                             const std::string& extra, int& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        port = 20000 + static_cast<int>((getpid() * 7919 + attempt * 104729) % 40000);
        auto broker = std::make_unique<Broker>(dir, name, extra, port);
        if (broker->running()) return broker;
    }
    ADD_FAILURE() << "no free port for broker " << name;
    return nullptr;
}

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// Subscribes to `filter` at QoS 1 and keeps every message. A persistent subscriber (clean ==
// false) gets what was published while it was away, from its session in the broker.
class Subscriber {
  public:
    Subscriber(const std::string& socket, const std::string& id, bool clean,
               const std::string& filter = "#")
        : filter_(filter) {
        mosquitto_lib_init();
        client_ = mosquitto_new(id.c_str(), clean, this);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_.store(true);
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* me = static_cast<Subscriber*>(self);
                std::lock_guard<std::mutex> lock(me->mutex_);
                me->messages_.push_back(
                    {m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen),
                     m->retain});
                me->changed_.notify_all();
            });
        // The socket's file is there a moment before the broker listens on it.
        int rc = MOSQ_ERR_NO_CONN;
        for (int attempt = 0; attempt < 200 && rc != MOSQ_ERR_SUCCESS; ++attempt) {
            rc = mosquitto_connect(client_, socket.c_str(), 0, 30);
            if (rc != MOSQ_ERR_SUCCESS) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(rc, MOSQ_ERR_SUCCESS) << "cannot subscribe at " << socket;
        // The client's network loop on a thread of ours (not libmosquitto's own), reconnecting
        // when the broker goes away and comes back.
        loop_ = std::thread([this] {
            while (!stop_.load()) {
                if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS && !stop_.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    mosquitto_reconnect(client_);
                }
            }
        });
    }
    ~Subscriber() {
        stop_.store(true);
        loop_.join();
        mosquitto_disconnect(client_);
        mosquitto_destroy(client_);
    }

    // Waits until `done` holds for the messages so far; false after timeout_s.
    bool wait(const std::function<bool(const std::vector<Message>&)>& done, double timeout_s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(timeout_s),
                                 [&] { return done(messages_); });
    }
    // Waits until every retained message the broker had when this subscribed has arrived: the
    // broker sends them as it takes the subscription, before a message this client publishes
    // afterwards on a topic of the filter, which is waited for. False after timeout_s.
    bool sync(const std::string& topic, double timeout_s = 10) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (!subscribed_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string mark = "sync " + std::to_string(++syncs_);
        if (!publish(topic, mark, false)) return false;
        const double left =
            std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
        return wait(
            [&](const std::vector<Message>& m) {
                return std::any_of(m.begin(), m.end(), [&](const Message& x) {
                    return x.topic == topic && x.payload == mark;
                });
            },
            std::max(left, 0.1));
    }
    // Publishes as this client (QoS 1), as another program would.
    bool publish(const std::string& topic, const std::string& payload, bool retain) {
        return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The newest payload on the topic, or "" when none came.
    std::string last(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto m = messages_.rbegin(); m != messages_.rend(); ++m)
            if (m->topic == topic) return m->payload;
        return "";
    }

    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

  private:
    std::string filter_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<bool> subscribed_{false};
    int syncs_ = 0;
    std::thread loop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

inline Json::Value parse_json(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        ADD_FAILURE() << "not JSON: " << text;
    return value;
}

// The ids of the meter's polled rounds in the history, oldest first.
inline std::vector<long long> round_ids(const std::string& db, const std::string& device) {
    std::vector<long long> ids;
    if (access(db.c_str(), F_OK) != 0) return ids;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT id FROM records WHERE device = ? AND origin = 'round' ORDER BY id",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return ids;
}

inline int count_lines(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The history ids of the round payloads on `topic`, in arrival order.
inline std::vector<long long> history_ids(const std::vector<Message>& messages,
                                          const std::string& topic) {
    std::vector<long long> ids;
    for (const Message& m : messages)
        if (m.topic == topic) ids.push_back(parse_json(m.payload)["history_id"].asInt64());
    return ids;
}

}  // namespace testing_support
