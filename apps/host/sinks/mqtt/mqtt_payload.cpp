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

}  // namespace kavren::host
