#include "apps/host/sinks/mqtt/mqtt_book.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "apps/host/sinks/mqtt/mqtt_options.h"

namespace kavren::host {

namespace {

const char* const kLimitTextKind = "mqtt limit";
const char* const kHostKind = "host";

std::string text_key(const LimitTextKey& k) {
    return std::to_string(k.slot) + "/" + std::to_string(k.signal) + "/" + std::to_string(k.value);
}

bool parse_text_key(const std::string& text, LimitTextKey& k) {
    unsigned long value = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%lu", &k.slot, &k.signal, &value) != 3) return false;
    k.value = static_cast<uint32_t>(value);
    return true;
}

// "a", "b" and "c"; past a few names, how many more.
std::string quoted_list(const std::set<std::string>& names) {
    constexpr std::size_t kNamed = 5;
    std::string list;
    std::size_t k = 0;
    for (const std::string& name : names) {
        if (k == kNamed) return list + " and " + std::to_string(names.size() - kNamed) + " more";
        list += (k++ == 0 ? "\"" : ", \"") + name + "\"";
    }
    return list;
}

}  // namespace

MqttBook::MqttBook(HistoryStore& store, std::string consumer, const std::string& broker, Log log)
    : store_(store),
      consumer_(std::move(consumer)),
      retained_kind_("mqtt retained " + broker),
      log_(std::move(log)) {}

std::string MqttBook::host_id(const std::string& configured) {
    if (!configured.empty()) return configured;
    for (const auto& row : store_.remembered(kHostKind))
        if (row.first == "id" && !row.second.empty()) return row.second;
    const std::string made = make_host_id();
    texts_.emplace_back(kHostKind, "id", made);
    log_("mqtt: this host's id is " + made + " (made now and kept in the history; Home " +
         "Assistant knows the meters by it)");
    return made;
}

std::vector<int64_t> MqttBook::acknowledged(const std::vector<std::string>& meters) {
    const auto marks = store_.acknowledged(consumer_);
    published_before_ = !marks.empty();
    const int64_t newest = store_.max_record_id();
    std::vector<int64_t> acked;
    std::set<std::string> reset;
    int64_t highest = 0;
    for (const std::string& name : meters) {
        const auto mark = marks.find(name);
        int64_t id = 0;
        if (mark == marks.end()) {
            id = store_.newest_id(name);
            marks_[name] = id;
        } else if (mark->second > newest) {
            reset.insert(name);
            highest = std::max(highest, mark->second);
            marks_[name] = 0;
        } else {
            id = mark->second;
        }
        acked.push_back(id);
    }
    if (!reset.empty())
        log_("mqtt: the broker acknowledged rounds up to id " + std::to_string(highest) + " of " +
             quoted_list(reset) + ", but the history's newest id is " + std::to_string(newest) +
             " (records were deleted and their ids are given again): their stored rounds are "
             "published again from the oldest");
    return acked;
}

LimitTexts MqttBook::limit_texts() {
    LimitTexts texts;
    for (const auto& row : store_.remembered(kLimitTextKind)) {
        LimitTextKey key;
        const auto newline = row.second.find('\n');
        if (!parse_text_key(row.first, key) || newline == std::string::npos) continue;
        texts[key] = LimitText{row.second.substr(0, newline), row.second.substr(newline + 1)};
    }
    return texts;
}

void MqttBook::text(const LimitTextKey& key, const LimitText& text) {
    texts_.emplace_back(kLimitTextKind, text_key(key), text.key + "\n" + text.description);
}

std::vector<std::string> MqttBook::stale_topics(const std::map<std::string, std::string>& current,
                                                const std::map<std::string, std::string>& earlier,
                                                const std::vector<std::string>& meters) {
    std::map<std::string, std::string> before;
    for (const auto& row : store_.remembered(retained_kind_)) before.insert(row);
    // A broker published to by a version that kept no list, whatever it left there.
    const bool listed = !before.empty();
    if (!listed && published_before_) before = earlier;
    const std::set<std::string> configured(meters.begin(), meters.end());
    std::vector<std::string> stale;
    std::set<std::string> gone;
    std::size_t renamed = 0;
    for (const auto& topic : before) {
        if (current.count(topic.first) > 0) continue;
        stale.push_back(topic.first);
        if (!topic.second.empty() && configured.count(topic.second) == 0) {
            gone.insert(topic.second);
        } else {
            ++renamed;
        }
    }
    for (const auto& topic : current)
        if (!listed || before.count(topic.first) == 0)
            texts_.emplace_back(retained_kind_, topic.first, topic.second);
    if (!gone.empty())
        log_(
            "mqtt: meters no longer configured, whose retained topics are cleared at the "
            "broker: " +
            quoted_list(gone));
    if (renamed > 0)
        log_("mqtt: " + std::to_string(renamed) +
             " retained topics of an earlier prefix, discovery prefix, host id or client id are "
             "cleared at the broker");
    return stale;
}

void MqttBook::write() {
    if (!due()) return;
    try {
        store_.prepare_deliveries();
        store_.begin();
        try {
            for (const auto& t : texts_)
                store_.remember(std::get<0>(t), std::get<1>(t), std::get<2>(t));
            for (const auto& f : forgets_) store_.forget(f.first, f.second);
            for (const auto& mark : marks_)
                store_.set_acknowledged(consumer_, mark.first, mark.second);
            store_.commit();
        } catch (...) {
            store_.rollback();
            throw;
        }
    } catch (const std::exception& e) {
        if (!failed_)
            log_(std::string("mqtt: cannot note the acknowledged rounds in the history: ") +
                 e.what());
        failed_ = true;
        return;
    }
    failed_ = false;
    texts_.clear();
    forgets_.clear();
    marks_.clear();
}

}  // namespace kavren::host
