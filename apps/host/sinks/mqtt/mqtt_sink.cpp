#include "apps/host/sinks/mqtt/mqtt_sink.h"
#include "apps/host/support/steady_ns.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace kavren::host {

namespace {

constexpr std::size_t kQueueRounds = 4096;
// Messages published and not yet acknowledged; more wait in the history.
constexpr std::size_t kMaxInFlight = 200;
// Rounds read back from the history at a time.
constexpr int kPage = 100;
constexpr auto kLoopWait = std::chrono::milliseconds(25);
// The least time finish() takes to say goodbye: availability offline, the status, disconnect.
constexpr auto kLeastFinish = std::chrono::seconds(1);
constexpr auto kRememberEvery = std::chrono::milliseconds(200);
constexpr auto kMaxBackoff = std::chrono::seconds(30);
// Refused credentials or a TLS failure do not mend by themselves: retried slowly.
constexpr auto kSlowRetry = std::chrono::seconds(30);
constexpr int kLimitCount = 6;
const char* const kLimitTextKind = "mqtt limit";

std::string text_key(const LimitTextKey& k) {
    return std::to_string(k.slot) + "/" + std::to_string(k.signal) + "/" + std::to_string(k.value);
}

bool parse_text_key(const std::string& text, LimitTextKey& k) {
    unsigned long value = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%lu", &k.slot, &k.signal, &value) != 3) return false;
    k.value = static_cast<uint32_t>(value);
    return true;
}

std::string reason(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

}  // namespace

std::string mqtt_consumer(const MqttConfig& config) {
    return "mqtt " + config.url + " " + config.prefix;
}

MqttSink::MqttSink(MqttConfig config, std::unique_ptr<HistoryStore> store,
                   std::vector<std::string> meter_names, Log log)
    : config_(std::move(config)),
      address_(parse_mqtt_url(config_.url)),
      own_store_(std::move(store)),
      store_(*own_store_),
      log_(std::move(log)),
      worker_(kQueueRounds) {
    mosquitto_lib_init();
    topics_.prefix = config_.prefix;
    topics_.discovery_prefix = config_.discovery_prefix;
    topics_.host_id = topic_safe(config_.client_id);
    consumer_ = mqtt_consumer(config_);
    if (!config_.password_file.empty()) password_ = read_mqtt_password_file(config_.password_file);
    const auto acked = store_.acknowledged(consumer_);
    for (const std::string& name : meter_names) {
        Meter meter;
        meter.name = name;
        const auto mark = acked.find(name);
        if (mark != acked.end()) {
            meter.acked = mark->second;
        } else {
            // A broker published to for the first time gets the rounds from now on, not the
            // whole history.
            meter.acked = store_.newest_id(name);
            meter.acked_dirty = true;
        }
        meter.sent = meter.acked;
        meter.descriptions.assign(kLimitCount, std::string());
        meters_.push_back(std::move(meter));
    }
    for (const auto& row : store_.remembered(kLimitTextKind)) {
        LimitTextKey key;
        const auto newline = row.second.find('\n');
        if (!parse_text_key(row.first, key) || newline == std::string::npos) continue;
        texts_[key] = LimitText{row.second.substr(0, newline), row.second.substr(newline + 1)};
    }
    // Where a first publishing starts is noted at once: a host killed before its first round
    // reached the broker still has its rounds published after the next start.
    remember(true);
}

void MqttSink::start() {
    worker_.start([this] { run(); });
}

void MqttSink::take(const StoredBatch& batch) {
    const std::size_t taken = worker_.queue().try_push_all(batch.begin(), batch.end());
    // The rest is in the history, and read back from there.
    if (taken < batch.size()) overflowed_.store(true);
}

void MqttSink::finish(std::chrono::steady_clock::time_point deadline) {
    if (!worker_.running()) return;
    worker_.finish(std::max(deadline, std::chrono::steady_clock::now() + kLeastFinish));
    log_("mqtt: " + std::to_string(acknowledged_.load()) + " rounds acknowledged by the broker" +
         (ever_connected_.load() ? ""
                                 : " (it was never reached: the rounds wait in the history for "
                                   "the next start)"));
}

void MqttSink::trouble(Trouble kind, const std::string& what, std::chrono::seconds retry_after) {
    // Once each way: a broker that went away and then cannot be reached is one trouble.
    if (kind != trouble_) {
        log_("mqtt: " + what + " (retrying every " + std::to_string(retry_after.count()) +
             " s at most)");
        trouble_ = kind;
    }
    retry_at_ = std::chrono::steady_clock::now() + retry_after;
}

void MqttSink::connect() {
    client_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (client_ == nullptr) {
        trouble(Trouble::away, "cannot make a client: out of memory", kMaxBackoff);
        return;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttSink*>(self)->on_connected(rc);
    });
    mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int mid) {
        static_cast<MqttSink*>(self)->on_published(mid);
    });
    // libmosquitto says why TLS failed (OpenSSL's reason) only in its log.
    mosquitto_log_callback_set(client_, [](mosquitto*, void* self, int level, const char* text) {
        if (level == MOSQ_LOG_ERR && text != nullptr)
            static_cast<MqttSink*>(self)->library_error_ = text;
    });
    library_error_.clear();
    const std::string status = topics_.status();
    mosquitto_will_set(client_, status.c_str(), 7, "offline", 1, true);
    if (!config_.username.empty())
        mosquitto_username_pw_set(client_, config_.username.c_str(),
                                  config_.password_file.empty() ? nullptr : password_.c_str());
    if (address_.tls) {
        const int rc = mosquitto_tls_set(
            client_, config_.ca_file.empty() ? nullptr : config_.ca_file.c_str(),
            config_.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
            config_.cert_file.empty() ? nullptr : config_.cert_file.c_str(),
            config_.key_file.empty() ? nullptr : config_.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            client_ = nullptr;
            trouble(Trouble::refused, "TLS set-up failed: " + reason(rc), kSlowRetry);
            return;
        }
    }
    errno = 0;
    const int rc =
        mosquitto_connect_async(client_, address_.host.c_str(), address_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = reason(rc);
        mosquitto_destroy(client_);
        client_ = nullptr;
        if (rc == MOSQ_ERR_TLS) {
            trouble(Trouble::refused,
                    "TLS with the broker at " + config_.url +
                        " failed: " + (library_error_.empty() ? why : library_error_),
                    kSlowRetry);
            return;
        }
        trouble(Trouble::away, "cannot reach the broker at " + config_.url + ": " + why, backoff_);
        backoff_ = std::min(backoff_ * 2, kMaxBackoff);
        return;
    }
    link_ = Link::connecting;
    connect_started_ = std::chrono::steady_clock::now();
}

void MqttSink::on_connected(int rc) { connack_ = rc; }

void MqttSink::connected(int rc) {
    if (rc != 0) {
        const std::string why = mosquitto_connack_string(rc);
        drop_connection("");
        trouble(Trouble::refused,
                "the broker at " + config_.url + " refused the connection: " + why, kSlowRetry);
        return;
    }
    link_ = Link::up;
    backoff_ = std::chrono::seconds(1);
    ever_connected_.store(true);
    if (trouble_ != Trouble::none || !ever_logged_connect_)
        log_("mqtt: connected to " + config_.url);
    ever_logged_connect_ = true;
    trouble_ = Trouble::none;
    publish(topics_.status(), "online", true);
    for (std::size_t i = 0; i < meters_.size(); ++i) {
        Meter& m = meters_[i];
        m.sent = m.acked;
        m.caught_up = false;
        m.discovered.clear();
        m.availability_due = m.availability != Availability::unknown;
    }
}

void MqttSink::drop_connection(const std::string& why) {
    if (client_ != nullptr) {
        mosquitto_disconnect(client_);
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    const bool was_up = link_ == Link::up;
    link_ = Link::down;
    in_flight_.clear();
    for (Meter& m : meters_) {
        m.pending.clear();
        m.sent = m.acked;
        m.caught_up = false;
    }
    if (!why.empty()) {
        // A TLS handshake that fails shows here, as a connection that ends before it is up.
        if (address_.tls && !was_up && why.find("TLS") != std::string::npos) {
            trouble(Trouble::refused,
                    "TLS with the broker at " + config_.url +
                        " failed: " + (library_error_.empty() ? why : library_error_),
                    kSlowRetry);
            return;
        }
        trouble(Trouble::away,
                (was_up ? "lost the broker at " : "cannot reach the broker at ") + config_.url +
                    ": " + why,
                backoff_);
        backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    }
}

void MqttSink::on_published(int mid) {
    const auto found = in_flight_.find(mid);
    if (found == in_flight_.end()) return;
    const InFlight done = found->second;
    in_flight_.erase(found);
    if (done.id == 0) return;
    Meter& m = meters_[done.meter];
    m.pending.erase(done.id);
    const int64_t mark = m.pending.empty() ? m.sent : *m.pending.begin() - 1;
    if (mark > m.acked) {
        m.acked = mark;
        m.acked_dirty = true;
    }
    acknowledged_.fetch_add(1);
}

bool MqttSink::publish(const std::string& topic, const std::string& payload, bool retain,
                       std::size_t meter, int64_t id) {
    if (client_ == nullptr || link_ != Link::up) return false;
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        drop_connection(reason(rc));
        return false;
    }
    in_flight_[mid] = InFlight{meter, id};
    if (id != 0) meters_[meter].pending.insert(id);
    return true;
}

void MqttSink::take_queued(bool connected) {
    std::vector<std::shared_ptr<const StoredRound>> rounds;
    worker_.queue().pop_all(rounds, connected ? std::chrono::milliseconds(0) : kLoopWait);
    if (overflowed_.exchange(false)) {
        for (Meter& m : meters_) m.caught_up = false;
    }
    for (const auto& stored : rounds) {
        const RoundResult& r = *stored->result;
        if (r.meter_index >= meters_.size()) continue;
        Meter& m = meters_[r.meter_index];
        if (r.origin != RoundResult::Origin::round) continue;
        const Availability now = r.offline ? Availability::offline : Availability::online;
        if (r.has_record() || r.offline) {
            if (now != m.availability) m.availability_due = true;
            m.availability = now;
        }
        if (!r.has_record() || stored->history_id == 0) continue;
        for (std::size_t i = 0; i < r.limit_reports.size() && i < kLimitCount; ++i) {
            LimitTextKey key;
            if (!limit_text_key(r.record, static_cast<int>(i), key)) break;
            const LimitText text{r.limit_reports[i].key, r.limit_reports[i].text};
            auto known = texts_.find(key);
            if (known == texts_.end() || known->second.key != text.key ||
                known->second.description != text.description) {
                texts_[key] = text;
                new_texts_.emplace_back(text_key(key), text.key + "\n" + text.description);
            }
            m.descriptions[i] = text.description;
        }
        if (!connected || !m.caught_up) {
            m.caught_up = false;
            continue;
        }
        if (stored->history_id <= m.sent) continue;  // already read back from the history
        if (in_flight_.size() >= kMaxInFlight) {
            m.caught_up = false;  // it waits in the history
            continue;
        }
        std::string payload = round_payload(m.name, stored->history_id, r.record, texts_);
        m.sent = stored->history_id;
        if (!publish(topics_.rounds(m.name), payload, false, r.meter_index, stored->history_id))
            return;
        m.last_payload = std::move(payload);
        m.state_due = true;
    }
}

void MqttSink::catch_up(Meter& m, std::size_t index) {
    while (!m.caught_up && link_ == Link::up && in_flight_.size() < kMaxInFlight) {
        const int room = static_cast<int>(std::min<std::size_t>(kMaxInFlight - in_flight_.size(),
                                                                static_cast<std::size_t>(kPage)));
        std::vector<HistoryStore::PolledRecord> rows;
        try {
            rows = store_.polled_after(m.name, m.sent, room);
        } catch (const std::exception& e) {
            // Tried again at the next turn of the loop; logged once.
            if (!backlog_failed_)
                log_(std::string("mqtt: cannot read the backlog from the history: ") + e.what());
            backlog_failed_ = true;
            return;
        }
        backlog_failed_ = false;
        for (const auto& row : rows) {
            std::string payload = round_payload(m.name, row.id, row.bytes, texts_);
            m.sent = row.id;
            if (payload.empty()) continue;  // not a record of ours
            if (!publish(topics_.rounds(m.name), payload, false, index, row.id)) return;
            m.last_payload = std::move(payload);
        }
        if (static_cast<int>(rows.size()) < room) {
            m.caught_up = true;
            if (m.pending.empty() && m.sent > m.acked) {
                m.acked = m.sent;  // only skipped rows: nothing to wait for
                m.acked_dirty = true;
            }
            // Every stored round is on its way: now the state.
            m.state_due = !m.last_payload.empty();
        }
    }
}

void MqttSink::publish_due() {
    for (std::size_t i = 0; i < meters_.size() && link_ == Link::up; ++i) {
        Meter& m = meters_[i];
        if (!config_.discovery_prefix.empty() && m.discovered != m.descriptions) {
            for (const auto& message : discovery_messages(topics_, m.name, m.descriptions))
                if (!publish(message.first, message.second, true)) return;
            m.discovered = m.descriptions;
        }
        if (m.availability_due) {
            if (!publish(topics_.availability(m.name),
                         m.availability == Availability::online ? "online" : "offline", true))
                return;
            m.availability_due = false;
        }
        catch_up(m, i);
        if (m.state_due && m.caught_up && link_ == Link::up) {
            if (!publish(topics_.state(m.name), m.last_payload, true)) return;
            m.state_due = false;
        }
    }
}

void MqttSink::remember(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - remembered_at_ < kRememberEvery) return;
    bool due = !new_texts_.empty();
    for (const Meter& m : meters_) due = due || m.acked_dirty;
    if (!due) return;
    remembered_at_ = now;
    try {
        store_.prepare_deliveries();
        store_.begin();
        try {
            for (const auto& text : new_texts_)
                store_.remember(kLimitTextKind, text.first, text.second);
            for (const Meter& m : meters_)
                if (m.acked_dirty) store_.set_acknowledged(consumer_, m.name, m.acked);
            store_.commit();
        } catch (...) {
            store_.rollback();
            throw;
        }
    } catch (const std::exception& e) {
        // Not remembered now: remembered later, or the rounds are published once more.
        if (!remember_failed_)
            log_(std::string("mqtt: cannot note the acknowledged rounds in the history: ") +
                 e.what());
        remember_failed_ = true;
        return;
    }
    remember_failed_ = false;
    new_texts_.clear();
    for (Meter& m : meters_) m.acked_dirty = false;
}

void MqttSink::go_offline(std::chrono::steady_clock::time_point deadline) {
    if (link_ != Link::up) return;
    for (std::size_t i = 0; i < meters_.size(); ++i)
        publish(topics_.availability(meters_[i].name), "offline", true);
    publish(topics_.status(), "offline", true);
    while (link_ == Link::up && !in_flight_.empty() &&
           std::chrono::steady_clock::now() < deadline) {
        const int rc = mosquitto_loop(client_, 25, 1);
        if (rc != MOSQ_ERR_SUCCESS) drop_connection(reason(rc));
    }
}

void MqttSink::run() {
    for (;;) {
        const bool finishing = worker_.finishing();
        const auto now = std::chrono::steady_clock::now();
        if (finishing) {
            // Stop once everything queued is on its way, or the time is over.
            bool drained = worker_.queue().size() == 0;
            for (const Meter& m : meters_) drained = drained && m.caught_up;
            if (steady_now_ns() > worker_.deadline_ns() - 300'000'000 || drained ||
                link_ != Link::up)
                break;
        }
        if (link_ == Link::down && now >= retry_at_) connect();
        if (link_ == Link::connecting &&
            now - connect_started_ > std::chrono::seconds(config_.keepalive_s)) {
            drop_connection("no answer from the broker");
        }
        if (client_ != nullptr) {
            errno = 0;
            const int rc = mosquitto_loop(client_, static_cast<int>(kLoopWait.count()), 1);
            if (connack_ >= 0) {
                // Handled here, not in libmosquitto's callback: it may destroy the client.
                const int answer = connack_;
                connack_ = -1;
                connected(answer);
            } else if (rc != MOSQ_ERR_SUCCESS) {
                drop_connection(reason(rc));
            }
        }
        take_queued(link_ == Link::up);
        publish_due();
        remember(false);
    }
    go_offline(worker_.deadline());
    remember(true);
    if (client_ != nullptr) {
        mosquitto_disconnect(client_);
        mosquitto_loop(client_, 10, 1);
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
}

std::unique_ptr<RoundSink> make_mqtt_sink(const SinkContext& context) {
    if (!context.config.mqtt.enabled()) return nullptr;
    auto store = std::make_unique<HistoryStore>(context.config.database);
    store->set_give_up(context.give_up);
    store->prepare();
    return std::make_unique<MqttSink>(context.config.mqtt, std::move(store), context.meter_names(),
                                      context.log);
}

}  // namespace kavren::host
