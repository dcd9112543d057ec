// The pieces of MQTT publishing that need no broker: broker URLs, topic levels, the time with
// its offset and the round payload. Discovery is checked against the real broker (mqtt_test).
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <gtest/gtest.h>
#include <json/json.h>

#include "apps/host/sinks/mqtt/mqtt_options.h"
#include "apps/host/sinks/mqtt/mqtt_payload.h"
#include "meter/kavren_m7_data.h"
#include "meter/measurements.h"

namespace {

using namespace kavren::host;

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
    return value;
}

TEST(MqttParts, BrokerUrlsAndTopicLevels) {
    const MqttAddress plain = parse_mqtt_url("mqtt://broker.lan");
    EXPECT_EQ(plain.host, "broker.lan");
    EXPECT_EQ(plain.port, 1883);
    EXPECT_FALSE(plain.tls);
    const MqttAddress tls = parse_mqtt_url("mqtts://10.0.0.2:8884/");
    EXPECT_EQ(tls.host, "10.0.0.2");
    EXPECT_EQ(tls.port, 8884);
    EXPECT_TRUE(tls.tls);
    EXPECT_EQ(parse_mqtt_url("mqtts://broker").port, 8883);
    const MqttAddress v6 = parse_mqtt_url("mqtt://[::1]:1884");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 1884);
    const MqttAddress socket = parse_mqtt_url("mqtt+unix:///run/mosquitto.sock");
    EXPECT_EQ(socket.host, "/run/mosquitto.sock");
    EXPECT_TRUE(socket.unix_socket());
    for (const char* bad : {"http://broker", "mqtt://", "mqtt://broker:0", "mqtt://broker:65536",
                            "mqtt://broker:x", "mqtt://broker:", "mqtt://user@broker",
                            "mqtt+unix://relative.sock", "broker:1883", "mqtt://[::1"})
        EXPECT_THROW(parse_mqtt_url(bad), std::invalid_argument) << bad;

    EXPECT_EQ(topic_safe("feeder-1_A"), "feeder-1_A");
    EXPECT_EQ(topic_safe("feeder 1/a+b#"), "feeder_1_a_b_");
    EXPECT_EQ(topic_safe("配电"), std::string(6, '_'));  // each byte of a non-ASCII letter
}

TEST(MqttParts, SettingsThatCannotWorkAreRefusedBeforeConnecting) {
    MqttConfig config;
    config.url = "mqtt://broker";
    EXPECT_NO_THROW(check_mqtt_config(config, {"a", "b"}));
    EXPECT_EQ(config.client_id.rfind("kavren-", 0), 0u) << "a default client id";
    EXPECT_THROW(check_mqtt_config(config, {"a b", "a/b"}), std::runtime_error);
    for (const char* prefix : {"", "a/+", "#", "/a", "a/", "a//b"}) {
        MqttConfig bad = config;
        bad.prefix = prefix;
        EXPECT_THROW(check_mqtt_config(bad, {"a"}), std::runtime_error) << prefix;
    }
    MqttConfig no_discovery = config;
    no_discovery.discovery_prefix = "";
    EXPECT_NO_THROW(check_mqtt_config(no_discovery, {"a"}));
    MqttConfig ca_without_tls = config;
    ca_without_tls.ca_file = "/etc/hostname";
    EXPECT_THROW(check_mqtt_config(ca_without_tls, {"a"}), std::runtime_error);
    MqttConfig not_a_certificate = config;
    not_a_certificate.url = "mqtts://broker";
    for (const char* file : {"/dev/null/none.pem", "/etc/hostname"}) {
        not_a_certificate.ca_file = file;
        EXPECT_THROW(check_mqtt_config(not_a_certificate, {"a"}), std::runtime_error) << file;
    }

    Json::Value file = parse(R"({"url": "mqtt://b", "prefix": "site/a", "keepalive": 60,
                                 "ca_file": "ca.pem"})");
    MqttConfig read;
    read_mqtt_config(file, "/etc/kavren/host.json", read);
    EXPECT_EQ(read.prefix, "site/a");
    EXPECT_EQ(read.keepalive_s, 60);
    EXPECT_EQ(read.ca_file, "/etc/kavren/ca.pem") << "relative to the configuration file";
    EXPECT_EQ(read.discovery_prefix, "homeassistant");
    for (const char* bad : {R"({"password": "secret"})", R"({"keepalive": "60"})", R"({"url": 1})",
                            R"({"prefixx": "a"})", R"([])"}) {
        MqttConfig c;
        EXPECT_THROW(read_mqtt_config(parse(bad), "host.json", c), std::runtime_error) << bad;
    }
}

TEST(MqttParts, TheRecordTimeCarriesItsUtcOffsetInWinterAndSummer) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(iso_time("2026-03-01 12:00:05"), "2026-03-01T12:00:05+01:00");
    EXPECT_EQ(iso_time("2026-07-01 23:59:59"), "2026-07-01T23:59:59+02:00");
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    EXPECT_EQ(iso_time("2026-01-15 08:30:00"), "2026-01-15T08:30:00-03:30");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(iso_time("2026-01-15 08:30:00"), "2026-01-15T08:30:00+00:00");
    EXPECT_EQ(iso_time("not a time"), "not a time");
    if (saved != nullptr) {
        setenv("TZ", before.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(MqttParts, ThePayloadHasEveryValueByNameAsTheShortestFloatAndTheLimitsTexts) {
    KAVREN_M7_Data_t record{};
    for (std::size_t k = 0; k < kavren::kMeasurementCount; ++k) {
        const float value = 232.49f + static_cast<float>(k);
        std::memcpy(reinterpret_cast<uint8_t*>(&record) + kavren::kMeasurements[k].offset, &value,
                    sizeof value);
    }
    record.frequency = 49.98f;
    const float power_factor[4] = {0.95f, -1.0f, 0.5f, 0.001f};
    std::memcpy(record.power_factor, power_factor, sizeof power_factor);
    record.limit_alarm[2] = 1;
    LimitEntry limit{};
    limit.value = 220.0f;
    limit.signal = 7;
    std::memcpy(&record.limits[0], &limit, sizeof limit);
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);

    LimitTexts texts;
    LimitTextKey key;
    ASSERT_TRUE(limit_text_key(bytes, 0, key));
    texts[key] = LimitText{"0 KAVREN_M7", "A 相电压小于2.20000005"};
    const std::string payload = round_payload("feeder 1", 4711, bytes, texts);
    EXPECT_NE(payload.find("\"UA\":232.49,"), std::string::npos) << payload;
    EXPECT_NE(payload.find("A 相电压小于2.20000005"), std::string::npos) << "UTF-8 unescaped";
    const Json::Value json = parse(payload);
    EXPECT_EQ(json["history_id"].asInt64(), 4711);
    EXPECT_EQ(json["meter"].asString(), "feeder 1");
    for (std::size_t k = 0; k < kavren::kMeasurementCount; ++k)
        EXPECT_EQ(static_cast<float>(json[kavren::kMeasurements[k].name].asDouble()),
                  232.49f + static_cast<float>(k))
            << kavren::kMeasurements[k].name;
    EXPECT_EQ(json.size(), 3u + kavren::kMeasurementCount + 3u)
        << "time, id, meter, values, "
           "frequency, power factors, limits";
    EXPECT_EQ(static_cast<float>(json["frequency"].asDouble()), 49.98f);
    EXPECT_EQ(static_cast<float>(json["power_factor"]["B"].asDouble()), -1.0f);
    EXPECT_EQ(static_cast<float>(json["power_factor"]["total"].asDouble()), 0.001f);
    ASSERT_EQ(json["limits"].size(), 6u);
    EXPECT_EQ(json["limits"][0]["key"].asString(), "0 KAVREN_M7");
    EXPECT_FALSE(json["limits"][0]["active"].asBool());
    EXPECT_TRUE(json["limits"][2]["active"].asBool());
    EXPECT_TRUE(json["limits"][1]["description"].isNull()) << "a text never reported";
    EXPECT_TRUE(round_payload("x", 1, std::vector<uint8_t>(100), texts).empty());
}

}  // namespace
