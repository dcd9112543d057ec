#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "apps/host/sinks/mqtt/mqtt_options.h"

namespace kavren::host {

// A limit as the driver reports it: its key and description. The description is the driver's
// text for the limit's measurand and value, so it is remembered by those: a stored record then
// gets the description its round was reported with, also when it is published much later.
struct LimitText {
    std::string key;
    std::string description;
};
struct LimitTextKey {
    int slot = 0;        // 0 to 5
    int signal = 0;      // the limit's measurand code
    uint32_t value = 0;  // the bits of its float value
    bool operator<(const LimitTextKey& o) const {
        return std::tie(slot, signal, value) < std::tie(o.slot, o.signal, o.value);
    }
};
using LimitTexts = std::map<LimitTextKey, LimitText>;

// The record's limit i as a key into LimitTexts; false when the record has not the record's size.
bool limit_text_key(const std::vector<uint8_t>& record, int slot, LimitTextKey& key);

// The JSON of one stored round, as published on `state` and `rounds`: the round's time (ISO 8601
// with the UTC offset of its instant `t_ms`: the record's local clock fields repeat an hour when
// the clock falls back), the history id, the thirteen measurements by name, frequency, the four
// power factors and the six limits. Empty when the record has not the record's size.
std::string round_payload(const std::string& meter, int64_t history_id, int64_t t_ms,
                          const std::vector<uint8_t>& record, const LimitTexts& texts);

// The topics one host publishes under.
struct MqttTopics {
    std::string prefix;
    std::string discovery_prefix;
    std::string status_level;  // the client id, topic-safe
    std::string host_id;       // topic-safe: Home Assistant's ids are made from it

    std::string status() const { return prefix + "/" + status_level + "/status"; }
    std::string state(const std::string& meter) const {
        return prefix + "/" + meter_topic_level(meter) + "/state";
    }
    std::string rounds(const std::string& meter) const {
        return prefix + "/" + meter_topic_level(meter) + "/rounds";
    }
    std::string availability(const std::string& meter) const {
        return prefix + "/" + meter_topic_level(meter) + "/availability";
    }
};

}  // namespace kavren::host
