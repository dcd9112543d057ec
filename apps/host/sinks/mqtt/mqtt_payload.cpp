#include "apps/host/sinks/mqtt/mqtt_payload.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

constexpr int kLimitCount = 6;
const char* const kPhases[4] = {"A", "B", "C", "total"};

struct ExtraSensor {
    const char* id;
    const char* name;
    const char* device_class;
    const char* unit;  // nullptr: none
    const char* value;
};
const ExtraSensor kExtraSensors[] = {
    {"frequency", "Frequency", "frequency", "Hz", "value_json.frequency"},
    {"power_factor_A", "Power factor A", "power_factor", nullptr, "value_json.power_factor.A"},
    {"power_factor_B", "Power factor B", "power_factor", nullptr, "value_json.power_factor.B"},
    {"power_factor_C", "Power factor C", "power_factor", nullptr, "value_json.power_factor.C"},
    {"power_factor_total", "Power factor total", "power_factor", nullptr,
     "value_json.power_factor.total"},
};

void write_availability(JsonWriter& json, const MqttTopics& topics, const std::string& meter) {
    json.key("availability").begin_array();
    json.begin_object().member("topic", topics.availability(meter)).end_object();
    json.begin_object().member("topic", topics.status()).end_object();
    json.end_array();
    json.member("availability_mode", "all");
}

void write_device(JsonWriter& json, const MqttTopics& topics, const std::string& meter) {
    json.key("device").begin_object();
    json.key("identifiers").begin_array();
    json.value("kavren_" + topics.host_id + "_" + topic_safe(meter));
    json.end_array();
    json.member("name", meter);
    json.member("model", "KAVREN_M7");
    json.member("manufacturer", "Kavren");
    json.end_object();
}

}  // namespace

bool limit_text_key(const std::vector<uint8_t>& record, int slot, LimitTextKey& key) {
    if (record.size() != sizeof(KAVREN_M7_Data_t) || slot < 0 || slot >= kLimitCount) return false;
    LimitEntry entry;
    std::memcpy(&entry,
                record.data() + offsetof(KAVREN_M7_Data_t, limits) + slot * sizeof(LimitEntry),
                sizeof entry);
    key.slot = slot;
    key.signal = entry.signal;
    const float value = entry.value;
    std::memcpy(&key.value, &value, sizeof key.value);
    return true;
}

std::string iso_time(const std::string& local) {
    std::tm t{};
    if (std::sscanf(local.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return local;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const std::tm asked = t;
    const std::time_t when = std::mktime(&t);
    std::tm back{};
    if (when == static_cast<std::time_t>(-1) || localtime_r(&when, &back) == nullptr) return local;
    const long offset = back.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  asked.tm_year + 1900, asked.tm_mon + 1, asked.tm_mday, asked.tm_hour,
                  asked.tm_min, asked.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string round_payload(const std::string& meter, int64_t history_id,
                          const std::vector<uint8_t>& record, const LimitTexts& texts) {
    std::string out;
    KAVREN_M7_Data_t r;
    if (record.size() != sizeof r) return out;
    std::memcpy(&r, record.data(), sizeof r);
    out.reserve(1024);
    JsonWriter json(out);
    json.begin_object();
    json.member("time", iso_time(record_time_text(record)));
    json.member("history_id", history_id);
    json.member("meter", meter);
    for (const Measurement& m : kMeasurements)
        json.member(m.name, float_at(record.data(), m.offset));
    json.member("frequency", float{r.frequency});
    float power_factor[4];
    std::memcpy(power_factor, r.power_factor, sizeof power_factor);
    json.key("power_factor").begin_object();
    for (int k = 0; k < 4; ++k) json.member(kPhases[k], power_factor[k]);
    json.end_object();
    json.key("limits").begin_array();
    for (int i = 0; i < kLimitCount; ++i) {
        LimitTextKey key;
        limit_text_key(record, i, key);
        const auto text = texts.find(key);
        json.begin_object();
        if (text != texts.end()) {
            json.member("key", text->second.key);
        } else {
            json.key("key").null();
        }
        json.member("active", r.limit_alarm[i] != 0);
        if (text != texts.end()) {
            json.member("description", text->second.description);
        } else {
            json.key("description").null();
        }
        json.end_object();
    }
    json.end_array();
    json.end_object();
    return out;
}

std::vector<std::pair<std::string, std::string>> discovery_messages(
    const MqttTopics& topics, const std::string& meter,
    const std::vector<std::string>& descriptions) {
    std::vector<std::pair<std::string, std::string>> messages;
    const std::string node = "kavren_" + topics.host_id + "_" + topic_safe(meter);
    const auto sensor = [&](const std::string& id, const std::string& name,
                            const char* device_class, const char* unit, const std::string& value) {
        std::string config;
        JsonWriter json(config);
        json.begin_object();
        json.member("name", name);
        json.member("unique_id", node + "_" + id);
        json.member("object_id", topic_safe(meter) + "_" + id);
        json.member("state_topic", topics.state(meter));
        json.member("value_template", "{{ " + value + " }}");
        json.member("device_class", device_class);
        if (unit != nullptr) json.member("unit_of_measurement", unit);
        json.member("state_class", "measurement");
        write_availability(json, topics, meter);
        write_device(json, topics, meter);
        json.end_object();
        messages.emplace_back(topics.discovery_prefix + "/sensor/" + node + "/" + id + "/config",
                              std::move(config));
    };
    for (const Measurement& m : kMeasurements) {
        const bool volts = std::strcmp(m.unit, "V") == 0;
        sensor(m.name, m.name, volts ? "voltage" : "current", m.unit,
               std::string("value_json.") + m.name);
    }
    for (const ExtraSensor& s : kExtraSensors)
        sensor(s.id, s.name, s.device_class, s.unit, s.value);
    for (int i = 0; i < kLimitCount && i < static_cast<int>(descriptions.size()); ++i) {
        if (descriptions[i].empty()) continue;
        const std::string id = "limit_" + std::to_string(i);
        std::string config;
        JsonWriter json(config);
        json.begin_object();
        json.member("name", descriptions[i]);
        json.member("unique_id", node + "_" + id);
        json.member("object_id", topic_safe(meter) + "_" + id);
        json.member("state_topic", topics.state(meter));
        json.member("value_template",
                    "{{ 'ON' if value_json.limits[" + std::to_string(i) + "].active else 'OFF' }}");
        json.member("device_class", "problem");
        write_availability(json, topics, meter);
        write_device(json, topics, meter);
        json.end_object();
        messages.emplace_back(
            topics.discovery_prefix + "/binary_sensor/" + node + "/" + id + "/config",
            std::move(config));
    }
    return messages;
}

}  // namespace kavren::host
