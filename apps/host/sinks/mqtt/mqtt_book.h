#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "apps/host/history/history_store.h"
#include "apps/host/sinks/mqtt/mqtt_payload.h"

namespace kavren::host {

// What the MQTT sink keeps in the history: per meter the newest round the broker acknowledged
// with every earlier one, the driver's limit texts for rounds published later, the host's id,
// and the retained topics it has published (so that those of a meter that is gone can be
// cleared). Read at the start; changes are collected and written together by write(), on the
// sink's thread.
class MqttBook {
  public:
    using Log = std::function<void(const std::string&)>;

    // consumer: names the broker and prefix in `deliveries`; broker: names the broker alone,
    // whatever the prefix, for its retained topics.
    MqttBook(HistoryStore& store, std::string consumer, const std::string& broker, Log log);

    // The host's id: the configured one, or the one kept in the history, or one made now (and
    // kept, logged).
    std::string host_id(const std::string& configured);
    // Where publishing stands, by meter. A broker published to for the first time gets the
    // rounds from now on. A mark above the history's newest id (the newest records were
    // deleted, and SQLite gives their ids again to new ones) starts over from the oldest stored
    // round, logged: new rounds would otherwise count as acknowledged.
    std::vector<int64_t> acknowledged(const std::vector<std::string>& meters);
    LimitTexts limit_texts();
    // The retained topics published before that are not among `current` (topic -> meter, "" for
    // the host's own), logged by meter; `current` is noted. `earlier`: what a version that kept
    // no list published, taken for the list when that version published to this broker (the
    // broker has marks of acknowledged rounds, and no list). After acknowledged().
    std::vector<std::string> stale_topics(const std::map<std::string, std::string>& current,
                                          const std::map<std::string, std::string>& earlier,
                                          const std::vector<std::string>& meters);

    // Changes, written by write().
    void acked(const std::string& meter, int64_t id) { marks_[meter] = id; }
    void text(const LimitTextKey& key, const LimitText& text);
    void cleared(const std::string& topic) { forgets_.emplace_back(retained_kind_, topic); }
    bool due() const { return !marks_.empty() || !texts_.empty() || !forgets_.empty(); }
    // Writes every change in one transaction. A history that refuses keeps them for the next
    // time (logged once until it works again); the rounds are then published once more.
    void write();

  private:
    HistoryStore& store_;
    std::string consumer_;
    std::string retained_kind_;
    Log log_;
    std::map<std::string, int64_t> marks_;
    std::vector<std::tuple<std::string, std::string, std::string>> texts_;  // kind, key, text
    std::vector<std::pair<std::string, std::string>> forgets_;              // kind, key
    bool failed_ = false;
    bool published_before_ = false;  // the broker has acknowledged rounds of this host
};

}  // namespace kavren::host
