#include "apps/host/sinks/mqtt/mqtt_discovery.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apps/host/sinks/mqtt/mqtt_options.h"
#include "apps/host/support/json_writer.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

// An entity of a meter's device.
struct Entity {
    std::string component;  // "sensor" or "binary_sensor"
    std::string id;         // its own key: the measurement's name, "frequency", "limit_0", ...
    std::string name;       // for people
    const char* device_class = nullptr;
    const char* unit = nullptr;  // nullptr: none
    std::string value;           // the value template's expression
    int limit = -1;              // a limit's slot
};

struct ExtraSensor {
    const char* id;
    const char* name;
    const char* device_class;
    const char* unit;
    const char* value;
};
const ExtraSensor kExtraSensors[] = {
    {"frequency", "Frequency", "frequency", "Hz", "value_json.frequency"},
    {"power_factor_A", "Phase A power factor", "power_factor", nullptr,
     "value_json.power_factor.A"},
    {"power_factor_B", "Phase B power factor", "power_factor", nullptr,
     "value_json.power_factor.B"},
    {"power_factor_C", "Phase C power factor", "power_factor", nullptr,
     "value_json.power_factor.C"},
    {"power_factor_total", "Total power factor", "power_factor", nullptr,
     "value_json.power_factor.total"},
};

// The meter's entities; limits only where `names` knows their name (all of them when `names` is
// null).
std::vector<Entity> entities(const std::vector<std::string>* names) {
    std::vector<Entity> all;
    for (const Measurement& m : kMeasurements) {
        const bool volts = std::strcmp(m.unit, "V") == 0;
        all.push_back({"sensor", m.name, m.title, volts ? "voltage" : "current", m.unit,
                       std::string("value_json.") + m.name});
    }
    for (const ExtraSensor& s : kExtraSensors)
        all.push_back({"sensor", s.id, s.name, s.device_class, s.unit, s.value});
    for (int i = 0; i < kLimitCount; ++i) {
        const bool known =
            names == nullptr || (i < static_cast<int>(names->size()) && !(*names)[i].empty());
        if (!known) continue;
        const std::string slot = std::to_string(i);
        all.push_back({"binary_sensor", "limit_" + slot, names != nullptr ? (*names)[i] : "",
                       "problem", nullptr,
                       "'ON' if value_json.limits[" + slot + "].active else 'OFF'", i});
    }
    return all;
}

bool ascii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// FNV-1a: small, and the same on every machine and in every version.
uint32_t name_hash(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

std::string node_of(const MqttTopics& topics, const std::string& meter) {
    return "kavren_" + topics.host_id + "_" + meter_object_id(meter);
}

std::string config_topic(const MqttTopics& topics, const std::string& meter, const Entity& e) {
    return topics.discovery_prefix + "/" + e.component + "/" + node_of(topics, meter) + "/" + e.id +
           "/config";
}

void write_common(JsonWriter& json, const MqttTopics& topics, const std::string& meter,
                  const std::string& page_url) {
    json.key("availability").begin_array();
    json.begin_object().member("topic", topics.availability(meter)).end_object();
    json.begin_object().member("topic", topics.status()).end_object();
    json.end_array();
    json.member("availability_mode", "all");
    json.key("device").begin_object();
    json.key("identifiers").begin_array().value(node_of(topics, meter)).end_array();
    json.member("name", meter);
    json.member("model", "KAVREN_M7");
    json.member("manufacturer", "Kavren");
    json.member("sw_version", KAVREN_VERSION);
    if (!page_url.empty()) json.member("configuration_url", page_url);
    json.end_object();
    json.key("origin").begin_object();
    json.member("name", "kavren-host");
    json.member("sw_version", KAVREN_VERSION);
    json.member("support_url", KAVREN_SUPPORT_URL);
    json.end_object();
}

std::string entity_config(const MqttTopics& topics, const std::string& meter, const Entity& e,
                          const std::string& page_url) {
    std::string config;
    JsonWriter json(config);
    json.begin_object();
    json.member("name", e.name);
    json.member("unique_id", node_of(topics, meter) + "_" + e.id);
    const std::string object = ascii(meter) ? entity_slug(meter) : meter_object_id(meter);
    json.member("default_entity_id",
                e.component + "." + (object.empty() ? "kavren" : object) + "_" + entity_slug(e.id));
    json.member("state_topic", topics.state(meter));
    json.member("value_template", "{{ " + e.value + " }}");
    json.member("device_class", e.device_class);
    if (e.unit != nullptr) json.member("unit_of_measurement", e.unit);
    if (e.limit < 0) {
        json.member("state_class", "measurement");
    } else {
        // The driver's whole description beside the short name.
        const std::string limit = "value_json.limits[" + std::to_string(e.limit) + "]";
        json.member("json_attributes_topic", topics.state(meter));
        json.member(
            "json_attributes_template",
            "{{ {'description': " + limit + ".description, 'key': " + limit + ".key} | tojson }}");
    }
    write_common(json, topics, meter, page_url);
    json.end_object();
    return config;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> discovery_messages(
    const MqttTopics& topics, const std::string& meter, const std::vector<std::string>& limit_names,
    const std::string& page_url) {
    std::vector<std::pair<std::string, std::string>> messages;
    for (const Entity& e : entities(&limit_names))
        messages.emplace_back(config_topic(topics, meter, e),
                              entity_config(topics, meter, e, page_url));
    return messages;
}

std::vector<std::string> discovery_topics(const MqttTopics& topics, const std::string& meter) {
    std::vector<std::string> all;
    for (const Entity& e : entities(nullptr)) all.push_back(config_topic(topics, meter, e));
    return all;
}

std::string limit_title(int slot, const std::string& description, float value, int code) {
    const std::string head = "Limit " + std::to_string(slot + 1) + ": ";
    for (const auto& word : {std::make_pair("小于", "<"), std::make_pair("大于", ">")}) {
        const auto at = description.rfind(word.first);
        if (at == std::string::npos || at == 0) continue;
        // The shortest text that reads back to the float; JSON has none for inf and nan.
        std::string shown;
        if (std::isfinite(value)) {
            JsonWriter(shown).value(value);
        } else {
            shown = std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf";
        }
        const LimitQuantity* quantity = limit_quantity(code);
        if (quantity != nullptr && quantity->unit[0] != '\0')
            shown += std::string(" ") + quantity->unit;
        return head + description.substr(0, at) + " " + word.second + " " + shown;
    }
    return head + description;
}

std::string meter_object_id(const std::string& meter) {
    if (ascii(meter)) return topic_safe(meter);
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(name_hash(meter)));
    const std::string slug = entity_slug(meter);
    return slug.empty() ? hash : slug + "_" + hash;
}

std::string entity_slug(const std::string& text) {
    std::string slug;
    bool gap = false;
    for (const char c : text) {
        const bool kept =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!kept) {
            gap = !slug.empty();
            continue;
        }
        if (gap) slug += '_';
        gap = false;
        slug += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return slug;
}

}  // namespace kavren::host
