#include "apps/host/sinks/mqtt/mqtt_payload.h"

#include <cstring>

#include "apps/host/round/round_text.h"
#include "apps/host/support/json_writer.h"
#include "apps/host/support/utc_time.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace kavren::host {

namespace {

const char* const kPhases[4] = {"A", "B", "C", "total"};

}  // namespace

bool limit_text_key(const std::vector<uint8_t>& record, int slot, LimitTextKey& key) {
    if (record.size() != sizeof(KAVREN_M7_Data_t) || slot < 0 || slot >= kLimitCount) return false;
    const LimitEntry entry = limit_at(record.data(), slot);
    key.slot = slot;
    key.signal = entry.signal;
    const float value = entry.value;
    std::memcpy(&key.value, &value, sizeof key.value);
    return true;
}

std::string round_payload(const std::string& meter, int64_t history_id, int64_t t_ms,
                          const std::vector<uint8_t>& record, const LimitTexts& texts) {
    std::string out;
    KAVREN_M7_Data_t r;
    if (record.size() != sizeof r) return out;
    std::memcpy(&r, record.data(), sizeof r);
    out.reserve(1024);
    JsonWriter json(out);
    json.begin_object();
    json.member("time", iso_local_second(t_ms));
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
