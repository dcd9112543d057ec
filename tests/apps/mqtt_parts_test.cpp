// The pieces of MQTT publishing that need no broker: broker URLs, topic levels, settings that are
// refused, the back-off, the times with their offsets (also the JSON line's), the round payload and
// the names discovery gives. Discovery as a whole is checked against the real broker (mqtt_test).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>
#include <json/json.h>

#include "apps/host/round/round_text.h"
#include "apps/host/sinks/mqtt/mqtt_discovery.h"
#include "apps/host/sinks/mqtt/mqtt_link_health.h"
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
    EXPECT_EQ(topic_safe("配电"), std::string(6, '_'));  // host ids stay ASCII
    // Meter names keep their UTF-8 in topics; ASCII as before, so existing topics stay.
    EXPECT_EQ(meter_topic_level("feeder 1/a+b#"), "feeder_1_a_b_");
    EXPECT_EQ(meter_topic_level("Zähler ☃ 电表"), "Zähler_☃_电表");
    EXPECT_EQ(meter_topic_level(std::string("a\xff\xe7\x94") + "b"), "a___b")
        << "bytes of no character";
    // Home Assistant's ids: ASCII names keep theirs; others are told apart by a hash.
    EXPECT_EQ(meter_object_id("feeder 1"), "feeder_1");
    const std::string one = meter_object_id("一号电表"), two = meter_object_id("二号电表");
    EXPECT_NE(one, two);
    for (const std::string& id : {one, two, meter_object_id("Zähler")})
        EXPECT_TRUE(std::regex_match(id, std::regex("[a-z0-9_]+"))) << id;
    EXPECT_EQ(meter_object_id("Zähler").rfind("z_hler_", 0), 0u);
}

TEST(MqttParts, SettingsThatCannotWorkAreRefusedBeforeConnecting) {
    MqttConfig config;
    config.url = "mqtt://broker";
    EXPECT_NO_THROW(check_mqtt_config(config, {"a", "b"}));
    EXPECT_THROW(check_mqtt_config(config, {"a b", "a/b"}), std::runtime_error);
    EXPECT_NO_THROW(check_mqtt_config(config, {"一号电表", "二号电表"})) << "same length, apart";
    for (const char* prefix :
         {"", "a/+", "#", "/a", "a/", "a//b", "$SYS/kavren", "a\x01b", "caf\xc3", "\xff"}) {
        MqttConfig bad = config;
        bad.prefix = prefix;
        EXPECT_THROW(check_mqtt_config(bad, {"a"}), std::runtime_error) << prefix;
    }
    EXPECT_NO_THROW(check_mqtt_config(config, {std::string(64, 'x')})) << "at the cap";
    EXPECT_THROW(check_mqtt_config(config, {std::string(65, 'x')}), std::runtime_error);
    // Topics within MQTT's limit: "<prefix>/m/availability" of 65,535 bytes passes, one byte
    // more does not.
    MqttConfig long_prefix = config;
    long_prefix.discovery_prefix = "";
    long_prefix.client_id = "c";
    long_prefix.prefix = std::string(65535 - std::strlen("/m/availability"), 'p');
    EXPECT_NO_THROW(check_mqtt_config(long_prefix, {"m"}));
    long_prefix.prefix += "p";
    EXPECT_THROW(check_mqtt_config(long_prefix, {"m"}), std::runtime_error);
    // With discovery, the longest is a config topic, the host id at its longest until made.
    long_prefix.discovery_prefix = "homeassistant";
    long_prefix.prefix = "kavren";
    EXPECT_NO_THROW(check_mqtt_config(long_prefix, {"m"}));
    long_prefix.discovery_prefix = std::string(65535, 'd');
    EXPECT_THROW(check_mqtt_config(long_prefix, {"m"}), std::runtime_error);
    for (const char* id : {"a b", "x/y", "ü", "-"}) {
        MqttConfig bad = config;
        bad.host_id = id;
        if (std::string(id) == "-") {
            EXPECT_NO_THROW(check_mqtt_config(bad, {"a"}));
        } else {
            EXPECT_THROW(check_mqtt_config(bad, {"a"}), std::runtime_error) << id;
        }
    }
    for (int inflight : {0, 65536}) {
        MqttConfig bad = config;
        bad.inflight = inflight;
        EXPECT_THROW(check_mqtt_config(bad, {"a"}), std::runtime_error) << inflight;
    }
    // A made host id: the machine's name and random digits, a new one each time, topic-safe.
    const std::string made = make_host_id();
    EXPECT_EQ(topic_safe(made), made);
    EXPECT_LE(made.size(), kMaxHostIdBytes);
    EXPECT_NE(made, make_host_id());
    EXPECT_EQ(default_client_id(made), "kavren-" + made);
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
    MqttConfig folder = config;
    folder.username = "u";
    folder.password_file = "/etc";
    EXPECT_THROW(check_mqtt_config(folder, {"a"}), std::runtime_error) << "a folder reads empty";

    Json::Value file = parse(R"({"url": "mqtt://b", "prefix": "site/a", "keepalive": 60,
                                 "ca_file": "ca.pem", "inflight": 1000, "host_id": "boiler"})");
    MqttConfig read;
    read_mqtt_config(file, "/etc/kavren/host.json", read);
    EXPECT_EQ(read.prefix, "site/a");
    EXPECT_EQ(read.keepalive_s, 60);
    EXPECT_EQ(read.inflight, 1000);
    EXPECT_EQ(read.host_id, "boiler");
    EXPECT_EQ(read.ca_file, "/etc/kavren/ca.pem") << "relative to the configuration file";
    EXPECT_EQ(read.discovery_prefix, "homeassistant");
    for (const char* bad : {R"({"password": "secret"})", R"({"keepalive": "60"})", R"({"url": 1})",
                            R"({"prefixx": "a"})", R"([])", R"({"inflight": "many"})"}) {
        MqttConfig c;
        EXPECT_THROW(read_mqtt_config(parse(bad), "host.json", c), std::runtime_error) << bad;
    }
}

// A round's time is made from its instant: the record's local clock fields read "02:30:00" twice
// on the night the clock falls back, an hour apart.
TEST(MqttParts, TheRoundTimeCarriesTheOffsetOfItsInstantAcrossTheAutumnChange) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    const auto time_of = [](int64_t t_ms) {
        std::vector<uint8_t> record(sizeof(KAVREN_M7_Data_t), 0);
        TTime
            stamp{};  // the local fields alike for both instants: only the instant tells them apart
        stamp.year = 2026;
        stamp.month = 10;
        stamp.day = 25;
        stamp.hour = 2;
        stamp.minute = 30;
        std::memcpy(record.data() + offsetof(KAVREN_M7_Data_t, update_time), &stamp, sizeof stamp);
        return parse(round_payload("m", 1, t_ms, record, {}))["time"].asString();
    };
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(time_of(1792888200000), "2026-10-25T02:30:00+02:00");  // 00:30 UTC
    EXPECT_EQ(time_of(1792891800999), "2026-10-25T02:30:00+01:00");  // 01:30 UTC, whole second
    EXPECT_EQ(time_of(1782943199000), "2026-07-01T23:59:59+02:00");  // summer
    // The JSON line's times likewise: the round's, a restored record's and an alarm's.
    auto result = std::make_shared<RoundResult>();
    result->unix_ms = 1792891800000;
    result->origin = RoundResult::Origin::restore;
    result->stored_record_ms = 1792888200000;
    StoredRound restored{result, 1, {}, {}};
    const Json::Value line = parse(round_json_line(restored));
    EXPECT_EQ(line["time"].asString(), "2026-10-25T02:30:00+01:00");
    EXPECT_EQ(line["record_time"].asString(), "2026-10-25T02:30:00+02:00");
    result->origin = RoundResult::Origin::round;
    StoredRound alarmed{
        result, 2, {}, {{"0 KAVREN_M7", {"d", "2026-10-25 02:30:00", 1792888200000}}}};
    EXPECT_EQ(parse(round_json_line(alarmed))["active_alarms"]["0 KAVREN_M7"]["since"].asString(),
              "2026-10-25T02:30:00+02:00");
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    EXPECT_EQ(time_of(1768478400000), "2026-01-15T08:30:00-03:30");
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
    const std::string payload = round_payload("feeder 1", 4711, 1796724907000, bytes, texts);
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
    EXPECT_TRUE(round_payload("x", 1, 0, std::vector<uint8_t>(100), texts).empty());
}

// A broker that accepts every connection and closes it at once is tried a handful of times a
// minute, not once a second: the wait starts over only after a connection lasted a minute.
TEST(MqttParts, TheBackOffOutlastsAFlappingBrokerAndTellsAStalledOne) {
    using Clock = MqttLinkHealth::Clock;
    const auto ms = [](int n) { return std::chrono::milliseconds(n); };
    MqttLinkHealth health(std::chrono::seconds(30));
    Clock::time_point t{};
    int connections = 0;
    int short_in_a_row = 0;
    while (t < Clock::time_point{} + std::chrono::minutes(1)) {
        ++connections;
        health.accepted(t);
        EXPECT_FALSE(health.held(t + ms(50)));
        const MqttLinkHealth::Lost lost = health.lost(t + ms(50));
        short_in_a_row = lost.short_in_a_row;
        t += ms(50) + lost.retry_after;
    }
    EXPECT_LE(connections, 7) << "accepted connections in the first minute";
    EXPECT_EQ(short_in_a_row, connections);
    EXPECT_EQ(health.unreachable(), MqttLinkHealth::kMaxRetry) << "the wait stays at its most";

    // One connection that holds for a minute: the next wait is the first again.
    health.accepted(t);
    EXPECT_FALSE(health.held(t + std::chrono::seconds(59)));
    EXPECT_TRUE(health.held(t + std::chrono::seconds(60)));
    EXPECT_FALSE(health.held(t + std::chrono::seconds(61))) << "once per connection";
    const MqttLinkHealth::Lost later = health.lost(t + std::chrono::seconds(90));
    EXPECT_EQ(later.retry_after, MqttLinkHealth::kFirstRetry);
    EXPECT_EQ(later.short_in_a_row, 0);
    // A broker that cannot be reached in between is away, not flapping.
    health.accepted(t);
    EXPECT_EQ(health.lost(t + ms(10)).short_in_a_row, 1);
    health.unreachable();
    health.accepted(t);
    EXPECT_EQ(health.lost(t + ms(10)).short_in_a_row, 1);

    // Messages that wait the time-out without one acknowledgement; each acknowledgement is
    // progress.
    health.waiting_from(t);
    EXPECT_FALSE(health.ack_overdue(t + std::chrono::seconds(30), true));
    EXPECT_TRUE(health.ack_overdue(t + std::chrono::seconds(31), true));
    EXPECT_FALSE(health.ack_overdue(t + std::chrono::seconds(31), false)) << "nothing waits";
    health.waiting_from(t + std::chrono::seconds(20));
    EXPECT_FALSE(health.ack_overdue(t + std::chrono::seconds(31), true));
}

TEST(MqttParts, DiscoveryNamesLimitsByMeasurandAndComparisonAndClearsEveryTopicItPublishes) {
    // The record's value and the measurand's unit, not the description's value (a further 100
    // smaller).
    EXPECT_EQ(limit_title(0, "A 相电压小于2.06999993", 207.0f, 7), "Limit 1: A 相电压 < 207 V");
    EXPECT_EQ(limit_title(3, "频率小于0.495000005", 49.5f, 6), "Limit 4: 频率 < 49.5 Hz");
    EXPECT_EQ(limit_title(5, "总相功率因数大于0.00899999961", 0.9f, 3),
              "Limit 6: 总相功率因数 > 0.9");
    EXPECT_EQ(limit_title(4, "总相有功功率小于0.00999999978", 1.0f, 23),
              "Limit 5: 总相有功功率 < 1 kW");
    EXPECT_EQ(limit_title(2, "无效告警小于-inf", -INFINITY, 40), "Limit 3: 无效告警 < -inf");
    EXPECT_EQ(limit_title(1, "something else", 1.0f, 7), "Limit 2: something else");
    EXPECT_EQ(limit_title(1, "小于3", 3.0f, 7), "Limit 2: 小于3") << "no measurand";
    EXPECT_EQ(entity_slug("feeder 1"), "feeder_1");
    EXPECT_EQ(entity_slug("UAverage_1"), "uaverage_1");
    EXPECT_EQ(entity_slug("  Süd--Halle  2 "), "s_d_halle_2");
    EXPECT_EQ(entity_slug("配电"), "");

    MqttTopics topics{"kavren", "homeassistant", "kavren-h", "h"};
    const std::vector<std::string> texts(6, "A 相电压小于2.20000005");
    const auto messages = discovery_messages(topics, "feeder 1", texts, "");
    std::set<std::string> published;
    for (const auto& m : messages) published.insert(m.first);
    const auto all = discovery_topics(topics, "feeder 1");
    EXPECT_EQ(published, std::set<std::string>(all.begin(), all.end()))
        << "a meter that goes must leave no config behind";
    EXPECT_EQ(published.size(), kavren::kMeasurementCount + 5 + 6);
    EXPECT_EQ(discovery_messages(topics, "feeder 1", std::vector<std::string>(6), "").size(),
              kavren::kMeasurementCount + 5)
        << "limits wait for their texts";
}

}  // namespace
