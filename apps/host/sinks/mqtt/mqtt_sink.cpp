#include "apps/host/sinks/mqtt/mqtt_sink.h"

#include <mosquitto.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <boost/asio/post.hpp>

#include "apps/host/sinks/mqtt/mqtt_discovery.h"
#include "apps/host/support/steady_ns.h"
#include "meter/kavren_m7_data.h"

namespace kavren::host {

namespace {

constexpr std::size_t kQueueRounds = 4096;
// Rounds read back from the history at a time.
constexpr int kPage = 100;
// libmosquitto's keep-alive (a ping when due, a broker that stopped answering) and the
// connection's health are looked at this often at least.
constexpr auto kTick = std::chrono::seconds(1);
// The rounds still queued when a stop's time is this close are left to the history.
constexpr auto kStopMargin = std::chrono::milliseconds(300);
// The least time finish() takes to say goodbye: availability offline, the status, disconnect.
constexpr auto kLeastFinish = std::chrono::seconds(1);
// What the broker acknowledged is written at most this often, and at most once per group
// commit: a mark lost to a kill has its rounds published once more.
constexpr auto kRememberEvery = std::chrono::milliseconds(200);
// Refused credentials or a TLS failure do not mend by themselves: retried slowly.
constexpr auto kSlowRetry = std::chrono::seconds(30);

std::string reason(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

std::string seconds_text(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  std::chrono::duration_cast<std::chrono::duration<double>>(d).count());
    return text;
}

}  // namespace

std::string mqtt_consumer(const MqttConfig& config) {
    return "mqtt " + config.url + " " + config.prefix;
}

MqttSink::MqttSink(MqttConfig config, std::unique_ptr<HistoryStore> store,
                   std::vector<std::string> meter_names, Log log,
                   std::shared_ptr<const PageAddress> page)
    : config_(std::move(config)),
      address_(parse_mqtt_url(config_.url)),
      own_store_(std::move(store)),
      store_(*own_store_),
      log_(std::move(log)),
      page_(std::move(page)),
      book_(store_, mqtt_consumer(config_), config_.url, log_),
      inflight_(static_cast<std::size_t>(config_.inflight)),
      health_(std::chrono::seconds(config_.keepalive_s)),
      worker_(kQueueRounds) {
    mosquitto_lib_init();
    topics_.prefix = config_.prefix;
    topics_.discovery_prefix = config_.discovery_prefix;
    topics_.host_id = book_.host_id(config_.host_id);
    client_id_ = config_.client_id.empty() ? default_client_id(topics_.host_id) : config_.client_id;
    topics_.status_level = topic_safe(client_id_);
    if (!config_.password_file.empty()) {
        password_ = read_mqtt_password_file(config_.password_file);
        warn_about_password_file();
    }
    read_history(meter_names);
    // Where a first publishing starts is noted at once: a host killed before its first round
    // reached the broker still has its rounds published after the next start.
    remember(true);
}

void MqttSink::read_history(const std::vector<std::string>& names) {
    const std::vector<int64_t> acked = book_.acknowledged(names);
    // What this host publishes as retained, and what an earlier version did: its ids came from
    // the client id, by default from the machine's name.
    MqttTopics earlier_topics = topics_;
    earlier_topics.status_level =
        topic_safe(config_.client_id.empty() ? legacy_client_id() : config_.client_id);
    earlier_topics.host_id = earlier_topics.status_level;
    std::map<std::string, std::string> retained{{topics_.status(), ""}};
    std::map<std::string, std::string> earlier{{earlier_topics.status(), ""}};
    for (std::size_t i = 0; i < names.size(); ++i) {
        Meter meter;
        meter.name = names[i];
        meter.acked = acked[i];
        meter.sent = meter.acked;
        meter.limit_names.assign(kLimitCount, std::string());
        meters_.push_back(std::move(meter));
        retained[topics_.state(names[i])] = names[i];
        retained[topics_.availability(names[i])] = names[i];
        if (config_.discovery_prefix.empty()) continue;
        for (const std::string& topic : discovery_topics(topics_, names[i]))
            retained[topic] = names[i];
        for (const std::string& topic : discovery_topics(earlier_topics, names[i]))
            earlier[topic] = names[i];
    }
    texts_ = book_.limit_texts();
    stale_ = book_.stale_topics(retained, earlier, names);
}

void MqttSink::warn_about_password_file() const {
    struct stat file {};
    if (stat(config_.password_file.c_str(), &file) == 0 && (file.st_mode & S_IROTH) != 0)
        log_("mqtt: warning: the password file " + config_.password_file +
             " can be read by every user of this machine (chmod o-r " + config_.password_file +
             ")");
}

void MqttSink::start() {
    worker_.start([this] { run(); }, [this] { wake(); });
}

void MqttSink::hand(const StoredBatch& batch, bool committed) {
    std::vector<Handed> handed;
    handed.reserve(batch.size());
    for (const auto& round : batch) handed.push_back({round, committed});
    const std::size_t taken = worker_.queue().try_push_all(handed.begin(), handed.end());
    // The rest is in the history, and read back from there.
    if (taken < batch.size()) overflowed_.store(true);
    wake();
}

void MqttSink::wake() {
    if (turn_posted_.exchange(true)) return;  // one is on its way
    boost::asio::post(io_, [this] {
        turn_posted_.store(false);
        turn();
    });
}

void MqttSink::finish(std::chrono::steady_clock::time_point deadline) {
    if (!worker_.running()) return;
    worker_.finish(std::max(deadline, std::chrono::steady_clock::now() + kLeastFinish));
    log_("mqtt: " + std::to_string(acknowledged_.load()) + " rounds acknowledged by the broker" +
         (ever_connected_.load() ? ""
                                 : " (it was never reached: the rounds wait in the history for "
                                   "the next start)"));
}

void MqttSink::trouble(Trouble kind, const std::string& what,
                       std::chrono::steady_clock::duration retry) {
    // Once each way: a broker that went away and then cannot be reached is one trouble.
    if (kind != trouble_) {
        const auto most = std::max(std::chrono::duration_cast<std::chrono::seconds>(retry),
                                   std::chrono::seconds(1));
        log_("mqtt: " + what + " (retrying every " + std::to_string(most.count()) + " s at most)");
        trouble_ = kind;
    }
    retry_at_ = std::chrono::steady_clock::now() + retry;
}

bool MqttSink::make_client() {
    client_ = mosquitto_new(client_id_.c_str(), true, this);
    if (client_ == nullptr) {
        trouble(Trouble::away, "cannot make a client: out of memory", MqttLinkHealth::kMaxRetry);
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // libmosquitto's own window (20 by default) would cap a distant broker at 20 messages per
    // round trip, whatever ours is.
    mosquitto_int_option(client_, MOSQ_OPT_SEND_MAXIMUM, config_.inflight);
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
    if (!address_.tls) return true;
    const int rc =
        mosquitto_tls_set(client_, config_.ca_file.empty() ? nullptr : config_.ca_file.c_str(),
                          config_.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
                          config_.cert_file.empty() ? nullptr : config_.cert_file.c_str(),
                          config_.key_file.empty() ? nullptr : config_.key_file.c_str(), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    close_client();
    trouble(Trouble::refused, "TLS set-up failed: " + reason(rc), kSlowRetry);
    return false;
}

void MqttSink::connect() {
    if (!make_client()) return;
    errno = 0;
    const int rc =
        mosquitto_connect_async(client_, address_.host.c_str(), address_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = reason(rc);
        close_client();
        if (rc == MOSQ_ERR_TLS) {
            trouble(Trouble::refused,
                    "TLS with the broker at " + config_.url +
                        " failed: " + (library_error_.empty() ? why : library_error_),
                    kSlowRetry);
            return;
        }
        trouble(Trouble::away, "cannot reach the broker at " + config_.url + ": " + why,
                health_.unreachable());
        return;
    }
    link_ = Link::connecting;
    connect_started_ = std::chrono::steady_clock::now();
}

void MqttSink::on_connected(int rc) { connack_ = rc; }

void MqttSink::connected(int rc) {
    if (rc != 0) {
        const std::string why = mosquitto_connack_string(rc);
        close_client();
        trouble(Trouble::refused,
                "the broker at " + config_.url + " refused the connection: " + why, kSlowRetry);
        return;
    }
    link_ = Link::up;
    health_.accepted(std::chrono::steady_clock::now());
    ever_connected_.store(true);
    // A broker that keeps closing connections, or acknowledges nothing, has not recovered
    // because it accepted one more.
    if (trouble_ == Trouble::away || trouble_ == Trouble::refused || !ever_logged_connect_) {
        log_("mqtt: connected to " + config_.url);
        trouble_ = Trouble::none;
    }
    ever_logged_connect_ = true;
    publish(topics_.status(), "online", true);
    clear_due_ = !stale_.empty();
    for (Meter& m : meters_) {
        m.sent = m.acked;
        m.caught_up = false;
        m.discovered.clear();
        m.availability_due = m.availability != Availability::unknown;
        // The newest state first: a long backlog must not leave it stale.
        m.state_sent = 0;
        m.state_due = !m.state.empty();
    }
}

void MqttSink::close_client() {
    forget_socket();
    if (client_ != nullptr) {
        mosquitto_disconnect(client_);
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    link_ = Link::down;
    in_flight_.clear();
    for (Meter& m : meters_) {
        m.pending.clear();
        m.sent = m.acked;
        m.caught_up = false;
    }
}

void MqttSink::drop_connection(const std::string& why) {
    const bool was_up = link_ == Link::up;
    close_client();
    // A TLS handshake that fails shows here, as a connection that ends before it is up.
    if (address_.tls && !was_up && why.find("TLS") != std::string::npos) {
        trouble(Trouble::refused,
                "TLS with the broker at " + config_.url +
                    " failed: " + (library_error_.empty() ? why : library_error_),
                kSlowRetry);
        return;
    }
    if (!was_up) {
        trouble(Trouble::away, "cannot reach the broker at " + config_.url + ": " + why,
                health_.unreachable());
        return;
    }
    const MqttLinkHealth::Lost lost = health_.lost(std::chrono::steady_clock::now());
    if (lost.short_in_a_row < 2) {
        trouble(Trouble::away, "lost the broker at " + config_.url + ": " + why, lost.retry_after);
        return;
    }
    // MQTT 3.1.1 does not say why a broker closes a connection; this is what a second client
    // with the same id looks like from here.
    trouble(Trouble::flapping,
            "the broker at " + config_.url +
                " keeps closing the connection soon after accepting it (the last lasted " +
                seconds_text(lost.lasted) + " s): a second client with the client id \"" +
                client_id_ +
                "\" does this, the broker handing the session from one to the other; give "
                "each its own --mqtt-client-id",
            lost.retry_after);
}

void MqttSink::on_published(int mid) {
    const auto found = in_flight_.find(mid);
    if (found == in_flight_.end()) return;
    const InFlight done = std::move(found->second);
    in_flight_.erase(found);
    health_.waiting_from(std::chrono::steady_clock::now());
    if (trouble_ == Trouble::unacknowledged) {
        log_("mqtt: the broker at " + config_.url + " acknowledges again");
        trouble_ = Trouble::none;
    }
    acknowledged(done);
}

void MqttSink::acknowledged(const InFlight& done) {
    if (!done.cleared.empty()) {
        book_.cleared(done.cleared);
        stale_.erase(std::remove(stale_.begin(), stale_.end(), done.cleared), stale_.end());
        return;
    }
    if (done.id == 0) return;
    Meter& m = meters_[done.meter];
    m.pending.erase(done.id);
    const int64_t mark = m.pending.empty() ? m.sent : *m.pending.begin() - 1;
    if (mark > m.acked) {
        m.acked = mark;
        book_.acked(m.name, mark);
    }
    acknowledged_.fetch_add(1);
}

bool MqttSink::publish(const std::string& topic, const std::string& payload, bool retain,
                       InFlight what) {
    if (client_ == nullptr || link_ != Link::up) return false;
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        drop_connection(reason(rc));
        return false;
    }
    if (in_flight_.empty()) health_.waiting_from(std::chrono::steady_clock::now());
    if (what.id != 0) meters_[what.meter].pending.insert(what.id);
    in_flight_[mid] = std::move(what);
    return true;
}

bool MqttSink::publish(const std::string& topic, const std::string& payload, bool retain) {
    return publish(topic, payload, retain, InFlight{});
}

void MqttSink::take_queued(bool connected) {
    std::vector<Handed> rounds;
    worker_.queue().pop_all(rounds, std::chrono::milliseconds(0));
    if (overflowed_.exchange(false)) {
        for (Meter& m : meters_) m.caught_up = false;
    }
    for (const auto& handed : rounds) {
        const RoundResult& r = *handed.round->result;
        if (r.meter_index >= meters_.size() || r.origin != RoundResult::Origin::round) continue;
        if (handed.committed)
            take_committed_round(*handed.round, connected);
        else
            take_live(*handed.round);
        if (connected && link_ != Link::up) return;  // the connection failed meanwhile
    }
}

void MqttSink::take_live(const StoredRound& stored) {
    const RoundResult& r = *stored.result;
    Meter& m = meters_[r.meter_index];
    const Availability now = r.offline ? Availability::offline : Availability::online;
    if (r.has_record() || r.offline) {
        if (now != m.availability) m.availability_due = true;
        m.availability = now;
    }
    if (!r.has_record() || stored.history_id == 0) return;
    for (std::size_t i = 0; i < r.limit_reports.size() && i < kLimitCount; ++i) {
        LimitTextKey key;
        if (!limit_text_key(r.record, static_cast<int>(i), key)) break;
        const LimitText text{r.limit_reports[i].key, r.limit_reports[i].text};
        auto known = texts_.find(key);
        if (known == texts_.end() || known->second.key != text.key ||
            known->second.description != text.description) {
            texts_[key] = text;
            book_.text(key, text);
        }
        float value;
        std::memcpy(&value, &key.value, sizeof value);
        m.limit_names[i] = limit_title(static_cast<int>(i), text.description, value, key.signal);
    }
    if (stored.history_id > m.state_id) {
        m.state = round_payload(m.name, stored.history_id, r.unix_ms, r.record, texts_);
        m.state_id = stored.history_id;
        m.state_due = true;
    }
}

void MqttSink::take_committed_round(const StoredRound& stored, bool connected) {
    const RoundResult& r = *stored.result;
    Meter& m = meters_[r.meter_index];
    if (!r.has_record() || stored.history_id == 0) return;
    if (!connected || !m.caught_up || window_full()) {
        m.caught_up = false;  // it waits in the history
        return;
    }
    if (stored.history_id <= m.sent) return;  // already read back from the history
    m.sent = stored.history_id;
    const std::string payload =
        round_payload(m.name, stored.history_id, r.unix_ms, r.record, texts_);
    publish(topics_.rounds(m.name), payload, false, InFlight{r.meter_index, stored.history_id, {}});
}

void MqttSink::catch_up(Meter& m, std::size_t index) {
    while (!m.caught_up && link_ == Link::up && !window_full()) {
        const int room = static_cast<int>(
            std::min<std::size_t>(inflight_ - in_flight_.size(), static_cast<std::size_t>(kPage)));
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
            std::string payload = round_payload(m.name, row.id, row.t_ms, row.bytes, texts_);
            m.sent = row.id;
            if (payload.empty()) continue;  // not a record of ours
            if (!publish(topics_.rounds(m.name), payload, false, InFlight{index, row.id, {}}))
                return;
            if (row.id > m.state_id) {
                m.state = std::move(payload);
                m.state_id = row.id;
            }
        }
        if (static_cast<int>(rows.size()) < room) {
            m.caught_up = true;
            if (m.pending.empty() && m.sent > m.acked) {
                m.acked = m.sent;  // only skipped rows: nothing to wait for
                book_.acked(m.name, m.acked);
            }
            // A newer state than the one published came from the backlog.
            if (m.state_id > m.state_sent) m.state_due = true;
        }
    }
}

// What keeps Home Assistant right comes first: discovery, availability and the newest state of
// every meter; then the backlogs, one meter after another, in the room the window leaves.
void MqttSink::publish_due() {
    if (clear_due_) {
        const std::vector<std::string> topics = stale_;
        for (const std::string& topic : topics)
            if (!publish(topic, "", true, InFlight{0, 0, topic})) return;
        clear_due_ = false;
    }
    for (std::size_t i = 0; i < meters_.size() && link_ == Link::up; ++i)
        if (!publish_meter(meters_[i])) return;
    for (std::size_t i = 0; i < meters_.size() && link_ == Link::up && !window_full(); ++i)
        catch_up(meters_[i], i);
}

bool MqttSink::publish_meter(Meter& m) {
    if (!config_.discovery_prefix.empty() && m.discovered != m.limit_names) {
        const std::string page = page_ ? page_->get() : std::string();
        for (const auto& message : discovery_messages(topics_, m.name, m.limit_names, page))
            if (!publish(message.first, message.second, true)) return false;
        m.discovered = m.limit_names;
    }
    if (m.availability_due) {
        if (!publish(topics_.availability(m.name),
                     m.availability == Availability::online ? "online" : "offline", true))
            return false;
        m.availability_due = false;
    }
    if (m.state_due) {
        if (!publish(topics_.state(m.name), m.state, true)) return false;
        m.state_sent = m.state_id;
        m.state_due = false;
    }
    return true;
}

void MqttSink::remember(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - remembered_at_ < remember_every_) return;
    if (!book_.due()) return;
    remembered_at_ = now;
    book_.write();
}

bool MqttSink::drained() const {
    if (worker_.queue().size() != 0 || clear_due_) return false;
    for (const Meter& m : meters_)
        if (!m.caught_up || m.state_due) return false;
    return true;
}

// A broker that acknowledges nothing while messages wait is connected to again, said once; a
// connection that holds after a broker kept closing them is said once too.
void MqttSink::check_health(std::chrono::steady_clock::time_point now) {
    if (link_ == Link::connecting && now - connect_started_ > health_.ack_timeout())
        drop_connection("no answer from the broker");
    if (link_ != Link::up) return;
    if (health_.held(now) && trouble_ == Trouble::flapping) {
        log_(
            "mqtt: the connection to " + config_.url + " has held for " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(MqttLinkHealth::kStable).count()) +
            " s");
        trouble_ = Trouble::none;
    }
    if (!health_.ack_overdue(now, !in_flight_.empty())) return;
    const std::size_t waiting = in_flight_.size();
    close_client();
    trouble(Trouble::unacknowledged,
            "the broker at " + config_.url + " acknowledged none of the " +
                std::to_string(waiting) + " messages waiting for " +
                std::to_string(config_.keepalive_s) + " s: connecting again",
            health_.renewed());
}

void MqttSink::run() {
    turn();
    io_.run();  // until leave() is done
    remember(true);
    if (client_ != nullptr) {
        forget_socket();
        mosquitto_disconnect(client_);
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
}

void MqttSink::turn() {
    const auto now = std::chrono::steady_clock::now();
    if (leaving_) {
        if (link_ != Link::up || in_flight_.empty() || now >= worker_.deadline()) {
            io_.stop();
            return;
        }
    } else if (worker_.finishing() &&
               (now > worker_.deadline() - kStopMargin || drained() || link_ != Link::up)) {
        // Everything queued is on its way, or the time is over.
        leave();
        return;
    } else {
        if (link_ == Link::down && now >= retry_at_) connect();
        check_health(now);
        take_queued(link_ == Link::up);
        publish_due();
        remember(false);
    }
    watch_socket();
    arm_tick(now);
}

void MqttSink::leave() {
    leaving_ = true;
    if (link_ == Link::up) {
        for (const Meter& m : meters_) publish(topics_.availability(m.name), "offline", true);
        publish(topics_.status(), "offline", true);
    }
    turn();
}

void MqttSink::on_socket(bool readable) {
    (readable ? reading_ : writing_) = false;
    if (client_ == nullptr) return;
    errno = 0;
    after_io(readable ? mosquitto_loop_read(client_, 1) : mosquitto_loop_write(client_, 1));
    turn();
}

void MqttSink::on_tick() {
    tick_at_ = std::chrono::steady_clock::time_point::max();
    if (client_ != nullptr) {
        errno = 0;
        after_io(mosquitto_loop_misc(client_));
    }
    turn();
}

void MqttSink::after_io(int rc) {
    if (connack_ >= 0) {
        // Handled here, not in libmosquitto's callback: it may destroy the client.
        const int answer = connack_;
        connack_ = -1;
        connected(answer);
    } else if (rc != MOSQ_ERR_SUCCESS) {
        drop_connection(reason(rc));
    }
}

void MqttSink::watch_socket() {
    const int fd = client_ == nullptr ? -1 : mosquitto_socket(client_);
    if (fd < 0) {
        forget_socket();
        return;
    }
    if (!socket_.is_open()) socket_.assign(fd);
    const auto wait = [this](boost::asio::posix::descriptor_base::wait_type what, bool readable) {
        socket_.async_wait(what,
                           [this, readable, watched = watch_](const boost::system::error_code& ec) {
                               if (!ec && watched == watch_) on_socket(readable);
                           });
    };
    if (!reading_) {
        reading_ = true;
        wait(boost::asio::posix::descriptor_base::wait_read, true);
    }
    if (!writing_ && mosquitto_want_write(client_)) {
        writing_ = true;
        wait(boost::asio::posix::descriptor_base::wait_write, false);
    }
}

void MqttSink::forget_socket() {
    // libmosquitto owns the descriptor and closes it: it is let go, not closed.
    if (socket_.is_open()) socket_.release();
    ++watch_;
    reading_ = writing_ = false;
}

void MqttSink::arm_tick(std::chrono::steady_clock::time_point now) {
    auto next = now + kTick;
    if (link_ == Link::down && !leaving_) next = std::min(next, retry_at_);
    if (book_.due()) next = std::min(next, remembered_at_ + kRememberEvery);
    if (worker_.finishing())
        next = std::min(next, worker_.deadline() -
                                  (leaving_ ? std::chrono::steady_clock::duration() : kStopMargin));
    if (next >= tick_at_) return;  // the timer ends first, and looks again
    tick_at_ = next;
    tick_.expires_at(next);
    tick_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) on_tick();
    });
}

std::unique_ptr<RoundSink> make_mqtt_sink(const SinkContext& context) {
    if (!context.config.mqtt.enabled()) return nullptr;
    auto store = std::make_unique<HistoryStore>(context.config.database);
    store->set_give_up(context.give_up);
    store->prepare();
    auto sink = std::make_unique<MqttSink>(context.config.mqtt, std::move(store),
                                           context.meter_names(), context.log, context.page);
    sink->set_remember_every(std::max<std::chrono::milliseconds>(
        kRememberEvery, std::chrono::milliseconds(static_cast<int64_t>(
                            std::llround(context.config.commit_interval_s * 1000)))));
    return sink;
}

}  // namespace kavren::host
