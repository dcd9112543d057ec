// kavren-host publishing to the real Mosquitto broker, read back by a subscriber of the test's
// own: discovery, retained state and availability, the last will, every round delivered across
// a broker outage and a killed host, and bad broker settings.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "meter/measurements.h"
#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"
#include "tests/apps/mqtt_broker.h"

namespace {

using namespace testing_support;

// Every id once, in the order of first arrival; duplicates (at least once) dropped as a
// consumer would, by history id.
std::vector<long long> first_arrivals(const std::vector<long long>& ids) {
    std::vector<long long> kept;
    std::set<long long> seen;
    for (long long id : ids)
        if (seen.insert(id).second) kept.push_back(id);
    return kept;
}

// Another program changing the history, as a user would with sqlite3.
bool change_history(const std::string& db, const char* sql) {
    sqlite3* handle = nullptr;
    const bool done = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
                      sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(handle);
    return done;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::set<std::string> member_names(const Json::Value& object) {
    const auto names = object.getMemberNames();
    return std::set<std::string>(names.begin(), names.end());
}

// The configuration variables Home Assistant documents for MQTT sensors and binary sensors
// (https://www.home-assistant.io/integrations/sensor.mqtt/ and
// https://www.home-assistant.io/integrations/binary_sensor.mqtt/, "Configuration Variables",
// as of Home Assistant 2026.6: `object_id` is gone from both since 2026.4, replaced by
// `default_entity_id` in 2025.10), and the origin of a discovery message
// (https://www.home-assistant.io/integrations/mqtt/, "Adding information about the origin of a
// discovery message").
const std::set<std::string> kCommonKeys = {"availability",
                                           "availability_mode",
                                           "availability_template",
                                           "availability_topic",
                                           "default_entity_id",
                                           "device",
                                           "device_class",
                                           "enabled_by_default",
                                           "encoding",
                                           "entity_category",
                                           "entity_picture",
                                           "expire_after",
                                           "force_update",
                                           "icon",
                                           "json_attributes_template",
                                           "json_attributes_topic",
                                           "name",
                                           "payload_available",
                                           "payload_not_available",
                                           "platform",
                                           "qos",
                                           "state_topic",
                                           "unique_id",
                                           "value_template",
                                           "origin"};
const std::set<std::string> kSensorOnlyKeys = {"last_reset_value_template", "options",
                                               "suggested_display_precision", "state_class",
                                               "unit_of_measurement"};
const std::set<std::string> kBinarySensorOnlyKeys = {"group", "off_delay", "payload_off",
                                                     "payload_on"};
const std::set<std::string> kDeviceKeys = {"configuration_url", "connections",  "hw_version",
                                           "identifiers",       "manufacturer", "model",
                                           "model_id",          "name",         "serial_number",
                                           "suggested_area",    "sw_version",   "via_device"};
const std::set<std::string> kAvailabilityKeys = {"payload_available", "payload_not_available",
                                                 "topic", "value_template"};
const std::set<std::string> kOriginKeys = {"name", "sw_version", "support_url"};

// A config checked key by key against those lists, with what this host always gives.
void expect_documented_config(const std::string& topic, const Json::Value& c,
                              const std::string& page) {
    const bool binary = topic.find("/binary_sensor/") != std::string::npos;
    for (const std::string& key : member_names(c)) {
        const bool documented = kCommonKeys.count(key) > 0 ||
                                (binary ? kBinarySensorOnlyKeys : kSensorOnlyKeys).count(key) > 0;
        EXPECT_TRUE(documented) << topic << ": " << key << " is not a documented key";
    }
    EXPECT_FALSE(c.isMember("object_id")) << topic << ": deprecated, ignored since 2026.4";
    const std::string entity = c["default_entity_id"].asString();
    EXPECT_TRUE(
        std::regex_match(entity, std::regex(binary ? "binary_sensor\\.[a-z0-9]+(_[a-z0-9]+)*"
                                                   : "sensor\\.[a-z0-9]+(_[a-z0-9]+)*")))
        << topic << ": " << entity;
    for (const std::string& key : member_names(c["device"]))
        EXPECT_TRUE(kDeviceKeys.count(key) > 0) << topic << ": device." << key;
    EXPECT_EQ(c["device"]["sw_version"].asString(), KAVREN_VERSION) << topic;
    EXPECT_EQ(c["device"]["configuration_url"].asString(), page) << topic << ": the host's page";
    for (const Json::Value& a : c["availability"])
        for (const std::string& key : member_names(a))
            EXPECT_TRUE(kAvailabilityKeys.count(key) > 0) << topic << ": availability." << key;
    EXPECT_EQ(member_names(c["origin"]), kOriginKeys) << topic;
    EXPECT_EQ(c["origin"]["name"].asString(), "kavren-host");
    EXPECT_EQ(c["origin"]["sw_version"].asString(), KAVREN_VERSION);
    EXPECT_EQ(c["origin"]["support_url"].asString().rfind("https://", 0), 0u);
}

class MqttEndToEnd : public EndToEnd {
  protected:
    std::unique_ptr<Background> host_in_background(const std::string& broker_url,
                                                   const std::string& log_name,
                                                   std::vector<std::string> extra = {}) {
        std::vector<std::string> args{kHost,
                                      "--rtu",
                                      dir + "/meter",
                                      "--name",
                                      "feeder 1",
                                      "--interval",
                                      "0.2",
                                      "--db",
                                      db,
                                      "--mqtt",
                                      broker_url,
                                      "--quiet-plugin",
                                      "--mqtt-client-id",
                                      "site-a"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Background>(args, dir + "/" + log_name);
    }
    // Every polled round in the history has arrived on the rounds topic.
    bool all_rounds_arrived(Subscriber& sub) {
        const auto stored = round_ids(db, "feeder 1");
        const auto got = history_ids(sub.messages(), "kavren/feeder_1/rounds");
        const std::set<long long> arrived(got.begin(), got.end());
        return !stored.empty() && std::all_of(stored.begin(), stored.end(),
                                              [&](long long id) { return arrived.count(id) > 0; });
    }
    void expect_every_round_once_in_order(Subscriber& sub) {
        const auto stored = round_ids(db, "feeder 1");
        const auto got = first_arrivals(history_ids(sub.messages(), "kavren/feeder_1/rounds"));
        EXPECT_EQ(got, stored) << "rounds missing, extra or out of order";
    }
};

TEST_F(MqttEndToEnd, DiscoveryStateAndAvailabilityFollowTheRoundsAndTheWillTellsOfADeadHost) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "checker", true);
    auto sim = pty_sim();
    auto host = host_in_background(
        broker.url(), "host.log",
        {"--mqtt-host-id", "site-a", "--http", "127.0.0.1:0", "--http-port-file", dir + "/port"});
    const int page_port = port_from_file(dir + "/port");
    ASSERT_TRUE(sub.wait(
        [](const std::vector<Message>& m) {
            return history_ids(m, "kavren/feeder_1/state").size() >= 2;
        },
        30))
        << read_file(dir + "/host.log");

    // Discovery: a sensor per measurement, frequency and power factor; a problem per limit;
    // every config as Home Assistant documents it today.
    std::map<std::string, Json::Value> configs;
    for (const Message& m : sub.messages()) {
        if (m.topic.rfind("homeassistant/", 0) == 0) {
            configs[m.topic] = parse_json(m.payload);
        }
    }
    for (const auto& c : configs)
        expect_documented_config(c.first, c.second,
                                 "http://127.0.0.1:" + std::to_string(page_port) + "/");
    const std::string node = "homeassistant/sensor/kavren_site-a_feeder_1/";
    for (const kavren::Measurement& measurement : kavren::kMeasurements) {
        const Json::Value& c = configs[node + measurement.name + "/config"];
        ASSERT_TRUE(c.isObject()) << measurement.name;
        EXPECT_EQ(c["name"].asString(), measurement.title) << "a name for people";
        EXPECT_EQ(c["default_entity_id"].asString(), "sensor.feeder_1_" + lower(measurement.name))
            << "the meter's own key kept in the entity id";
        EXPECT_EQ(c["unique_id"].asString(),
                  "kavren_site-a_feeder_1_" + std::string(measurement.name));
        EXPECT_EQ(c["state_topic"].asString(), "kavren/feeder_1/state");
        EXPECT_EQ(c["unit_of_measurement"].asString(), measurement.unit);
        EXPECT_EQ(c["device_class"].asString(),
                  std::strcmp(measurement.unit, "V") == 0 ? "voltage" : "current");
        EXPECT_EQ(c["state_class"].asString(), "measurement");
        EXPECT_NE(
            c["value_template"].asString().find(std::string("value_json.") + measurement.name),
            std::string::npos);
        EXPECT_EQ(c["device"]["model"].asString(), "KAVREN_M7");
        EXPECT_EQ(c["device"]["name"].asString(), "feeder 1");
        ASSERT_EQ(c["availability"].size(), 2u);
        EXPECT_EQ(c["availability"][0]["topic"].asString(), "kavren/feeder_1/availability");
        EXPECT_EQ(c["availability"][1]["topic"].asString(), "kavren/site-a/status");
        EXPECT_EQ(c["availability_mode"].asString(), "all") << "a host gone offline by will too";
    }
    EXPECT_EQ(configs[node + "frequency/config"]["device_class"].asString(), "frequency");
    EXPECT_EQ(configs[node + "power_factor_total/config"]["device_class"].asString(),
              "power_factor");
    const Json::Value state = parse_json(sub.last("kavren/feeder_1/state"));
    for (int i = 0; i < 6; ++i) {
        const Json::Value& c = configs["homeassistant/binary_sensor/kavren_site-a_feeder_1/limit_" +
                                       std::to_string(i) + "/config"];
        ASSERT_TRUE(c.isObject()) << "limit " << i;
        EXPECT_EQ(c["device_class"].asString(), "problem");
        // Named by measurand and comparison, the driver's whole description an attribute.
        EXPECT_EQ(c["name"].asString().rfind("Limit " + std::to_string(i + 1) + ": ", 0), 0u)
            << c["name"];
        EXPECT_EQ(c["json_attributes_topic"].asString(), "kavren/feeder_1/state");
        EXPECT_NE(c["json_attributes_template"].asString().find(
                      "value_json.limits[" + std::to_string(i) + "].description"),
                  std::string::npos);
        EXPECT_FALSE(state["limits"][i]["description"].asString().empty());
    }
    // The pinned first limit: A-phase voltage (code 7) below 220.00 V, printed by the driver
    // divided by a further 100 as "A 相电压小于2.20000005"; the entity is named by the record's
    // value and the measurand's unit.
    EXPECT_EQ(state["limits"][0]["description"].asString(), "A 相电压小于2.20000005");
    EXPECT_EQ(configs["homeassistant/binary_sensor/kavren_site-a_feeder_1/limit_0/config"]["name"]
                  .asString(),
              "Limit 1: A 相电压 < 220 V");
    EXPECT_EQ(configs.size(), kavren::kMeasurementCount + 5 + 6);

    // Both availability topics online, and the state is the newest record, value by value.
    EXPECT_EQ(sub.last("kavren/feeder_1/availability"), "online");
    EXPECT_EQ(sub.last("kavren/site-a/status"), "online");
    const auto expected = decoded(image);
    for (const kavren::Measurement& measurement : kavren::kMeasurements) {
        float value;
        std::memcpy(&value, expected.data() + measurement.offset, sizeof value);
        ASSERT_TRUE(state[measurement.name].isNumeric()) << measurement.name;
        EXPECT_EQ(static_cast<float>(state[measurement.name].asDouble()), value)
            << measurement.name;
    }
    EXPECT_FLOAT_EQ(static_cast<float>(state["frequency"].asDouble()), 50.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(state["power_factor"]["A"].asDouble()), -1.0f);
    EXPECT_TRUE(std::regex_match(state["time"].asString(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << state["time"];
    // The state is live; its round reaches the history at the next group commit.
    EXPECT_TRUE(eventually([&] {
        const auto ids = round_ids(db, "feeder 1");
        return std::find(ids.begin(), ids.end(), state["history_id"].asInt64()) != ids.end();
    }));

    // All of it retained: a subscriber that comes later gets it from the broker at once.
    Subscriber late(broker.socket(), "late", true);
    ASSERT_TRUE(late.wait(
        [&](const std::vector<Message>& m) {
            return std::count_if(m.begin(), m.end(), [](const Message& x) {
                       return x.retained && (x.topic.rfind("homeassistant/", 0) == 0 ||
                                             x.topic == "kavren/feeder_1/state" ||
                                             x.topic == "kavren/feeder_1/availability" ||
                                             x.topic == "kavren/site-a/status");
                   }) == static_cast<long>(configs.size() + 3);
        },
        10));
    // Rounds published while it waits reach it live, never as retained messages.
    const auto late_messages = late.messages();
    EXPECT_EQ(std::count_if(late_messages.begin(), late_messages.end(),
                            [](const Message& x) {
                                return x.retained && x.topic == "kavren/feeder_1/rounds";
                            }),
              0)
        << "rounds are not retained";

    // The host dies: the broker tells with its last will.
    host->kill_now();
    EXPECT_TRUE(eventually([&] { return sub.last("kavren/site-a/status") == "offline"; }, 10));
}

TEST_F(MqttEndToEnd, EveryRoundStoredWhileTheBrokerWasAwayArrivesInOrderAndTheStateIsTheNewest) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "consumer", false, "kavren/#");
    auto sim = pty_sim();
    auto host = host_in_background(broker.url(), "host.log");
    ASSERT_TRUE(sub.wait(
        [](const std::vector<Message>& m) {
            return history_ids(m, "kavren/feeder_1/rounds").size() >= 2;
        },
        30))
        << read_file(dir + "/host.log");
    broker.stop();
    const std::size_t before = round_ids(db, "feeder 1").size();
    ASSERT_TRUE(eventually([&] { return round_ids(db, "feeder 1").size() >= before + 6; }, 30));
    broker.start();
    // Caught up while the rounds go on; then a clean stop.
    ASSERT_TRUE(eventually([&] { return all_rounds_arrived(sub); }, 60))
        << read_file(dir + "/host.log");
    int status = -1;
    kill(host->pid(), SIGTERM);
    ASSERT_TRUE(host->wait(20, &status));
    EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
    ASSERT_TRUE(eventually([&] { return all_rounds_arrived(sub); }, 20));
    expect_every_round_once_in_order(sub);
    const auto stored = round_ids(db, "feeder 1");
    EXPECT_TRUE(eventually(
        [&] {
            return parse_json(sub.last("kavren/feeder_1/state"))["history_id"].asInt64() ==
                   stored.back();
        },
        10));
    const std::string log = read_file(dir + "/host.log");
    EXPECT_EQ(count_lines(log, "mqtt: lost the broker"), 1) << log;
    EXPECT_EQ(count_lines(log, "mqtt: connected to"), 2) << log;
}

// The state shows each round as soon as it is complete; the rounds topic carries a round only
// once it is committed: with an hour's commit interval, states come and no round, until a stop
// commits them and publishes every one.
TEST_F(MqttEndToEnd, RoundsWaitForTheirCommitWhileTheStateShowsThePresent) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "consumer", false, "kavren/#");
    auto sim = pty_sim();
    auto host = host_in_background(broker.url(), "host.log", {"--commit-interval", "3600"});
    ASSERT_TRUE(sub.wait(
        [](const std::vector<Message>& m) {
            return history_ids(m, "kavren/feeder_1/state").size() >= 3;
        },
        30))
        << read_file(dir + "/host.log");
    EXPECT_TRUE(history_ids(sub.messages(), "kavren/feeder_1/rounds").empty());
    EXPECT_TRUE(round_ids(db, "feeder 1").empty());
    int status = -1;
    kill(host->pid(), SIGTERM);
    ASSERT_TRUE(host->wait(20, &status));
    EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
    ASSERT_GE(round_ids(db, "feeder 1").size(), 3u);
    ASSERT_TRUE(eventually([&] { return all_rounds_arrived(sub); }, 20))
        << read_file(dir + "/host.log");
    expect_every_round_once_in_order(sub);
}

TEST_F(MqttEndToEnd, RoundsOfAHostKilledWhileTheBrokerWasAwayArriveAfterItStartsAgain) {
    Broker broker(dir, "site");
    { Subscriber session(broker.socket(), "consumer", false, "kavren/#"); }
    broker.stop();
    auto sim = pty_sim();
    auto first = host_in_background(broker.url(), "first.log");
    ASSERT_TRUE(eventually([&] { return round_ids(db, "feeder 1").size() >= 5; }, 30));
    first->kill_now();
    const std::size_t first_rounds = round_ids(db, "feeder 1").size();

    broker.start();
    Subscriber sub(broker.socket(), "consumer", false, "kavren/#");
    auto second = host_in_background(broker.url(), "second.log", {"--rounds", "3"});
    int status = -1;
    ASSERT_TRUE(second->wait(60, &status));
    EXPECT_EQ(status, 0) << read_file(dir + "/second.log");
    EXPECT_GE(round_ids(db, "feeder 1").size(), first_rounds + 3);
    ASSERT_TRUE(eventually([&] { return all_rounds_arrived(sub); }, 20))
        << read_file(dir + "/second.log");
    expect_every_round_once_in_order(sub);
    EXPECT_NE(read_file(dir + "/first.log").find("mqtt: cannot reach the broker"),
              std::string::npos);
}

// TLS to a broker that presents a certificate of our CA; a CA that does not match is a TLS
// failure, logged once with OpenSSL's reason, while the rounds are stored all the same.
TEST_F(MqttEndToEnd, PublishesOverTlsAndAWrongCaIsLoggedOnceWithItsReason) {
    const auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/openssl");
        const Finished run = run_program(args);
        ASSERT_EQ(run.status, 0) << run.err;
    };
    const std::string ec = "ec:" + dir + "/curve.pem";
    openssl({"ecparam", "-name", "prime256v1", "-out", dir + "/curve.pem"});
    for (const std::string ca : {"ca", "other"})
        openssl({"req", "-x509", "-newkey", ec, "-nodes", "-keyout", dir + "/" + ca + ".key",
                 "-out", dir + "/" + ca + ".pem", "-days", "2", "-subj", "/CN=kavren " + ca});
    openssl({"req", "-newkey", ec, "-nodes", "-keyout", dir + "/server.key", "-out",
             dir + "/server.csr", "-subj", "/CN=127.0.0.1"});
    write_file(dir + "/san.cnf", "subjectAltName=IP:127.0.0.1\n");
    openssl({"x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey",
             dir + "/ca.key", "-CAcreateserial", "-out", dir + "/server.pem", "-days", "2",
             "-extfile", dir + "/san.cnf"});
    int port = 0;
    auto broker = broker_on_tcp(dir, "tls",
                                "cafile " + dir + "/ca.pem\ncertfile " + dir +
                                    "/server.pem\nkeyfile " + dir + "/server.key\n",
                                port);
    ASSERT_TRUE(broker);
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(port);
    Subscriber sub(broker->socket(), "checker", true);
    auto sim = pty_sim();
    {
        auto host = host_in_background(url, "host.log", {"--mqtt-ca-file", dir + "/ca.pem"});
        ASSERT_TRUE(sub.wait(
            [](const std::vector<Message>& m) {
                return history_ids(m, "kavren/feeder_1/state").size() >= 2;
            },
            30))
            << read_file(dir + "/host.log");
    }
    const std::size_t before = round_ids(db, "feeder 1").size();
    const Finished wrong =
        host({"--rtu", dir + "/meter", "--name", "feeder 1", "--rounds", "3", "--interval", "0.2",
              "--mqtt", url, "--mqtt-ca-file", dir + "/other.pem"});
    EXPECT_EQ(wrong.status, 0) << wrong.err;
    EXPECT_EQ(count_lines(wrong.err, "mqtt: TLS with the broker"), 1) << wrong.err;
    EXPECT_NE(wrong.err.find("certificate verify failed"), std::string::npos) << wrong.err;
    EXPECT_GT(round_ids(db, "feeder 1").size(), before);
}

// A meter whose every read fails: its values are never published, and it goes offline; back
// online once it answers.
TEST_F(MqttEndToEnd, AMeterThatFailsEveryReadPublishesNoValueAndIsOfflineUntilItAnswers) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "checker", true);
    auto sim = pty_sim({"--fault-rate", "1", "--fault-kinds", "exception"});
    auto host = host_in_background(broker.url(), "host.log", {"--offline-after", "2"});
    ASSERT_TRUE(
        eventually([&] { return sub.last("kavren/feeder_1/availability") == "offline"; }, 20))
        << read_file(dir + "/host.log");
    EXPECT_EQ(sub.last("kavren/site-a/status"), "online");
    for (const Message& m : sub.messages())
        EXPECT_TRUE(m.topic != "kavren/feeder_1/state" && m.topic != "kavren/feeder_1/rounds")
            << "published from a failed read: " << m.topic << " " << m.payload;
    EXPECT_TRUE(round_ids(db, "feeder 1").empty());

    // The meter answers again: back online, and its values are published.
    sim.reset();
    sim = pty_sim();
    ASSERT_TRUE(eventually(
        [&] {
            return sub.last("kavren/feeder_1/availability") == "online" &&
                   !sub.last("kavren/feeder_1/state").empty();
        },
        30))
        << read_file(dir + "/host.log");
}

TEST_F(MqttEndToEnd, BadBrokerSettingsStopTheStartAnAbsentOrRefusingBrokerStopsNoPolling) {
    auto sim = pty_sim();
    const auto refused = [&](std::vector<std::string> args, const std::string& says) {
        args.insert(args.begin(), {"--rtu", dir + "/meter", "--rounds", "1"});
        const Finished run = host(args);
        EXPECT_EQ(run.status, 2) << says << ": " << run.err;
        EXPECT_EQ(count_lines(run.err, "\n"), 1) << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    };
    refused({"--mqtt", "http://broker"}, "bad MQTT URL");
    refused({"--mqtt", "mqtt://broker:99999"}, "port");
    refused({"--mqtt", "mqtts://broker", "--mqtt-ca-file", dir + "/none.pem"}, "CA file");
    refused({"--mqtt", "mqtt://broker", "--mqtt-user", "u", "--mqtt-password-file", dir + "/none"},
            "password file");
    refused({"--mqtt", "mqtt://broker", "--mqtt-prefix", "a/#"}, "prefix");
    refused({"--mqtt", "mqtt://broker", "--mqtt-prefix", "caf\xc3"}, "not UTF-8");
    refused({"--mqtt", "mqtt://broker", "--mqtt-prefix", "a\x01b"}, "control characters");
    refused({"--mqtt", "mqtt://broker", "--mqtt-prefix", "$SYS/kavren"}, "starts with '$'");
    // A name whose topics no broker takes (over 65,535 bytes) is over the names' cap first.
    refused({"--mqtt", "mqtt://broker", "--name", std::string(70000, 'n')}, "at most 64 bytes");
    write_file(
        dir + "/garbage.pem",
        "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n");
    refused({"--mqtt", "mqtts://broker", "--mqtt-ca-file", dir + "/garbage.pem"},
            "holds no certificate OpenSSL can read");
    for (const std::string name : {"a", "b"})
        ASSERT_EQ(run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                               dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem",
                               "-days", "2", "-subj", "/CN=" + name})
                      .status,
                  0);
    refused({"--mqtt", "mqtts://broker", "--mqtt-cert-file", dir + "/a.pem", "--mqtt-key-file",
             dir + "/b.key"},
            "is not the key of the client certificate");
    refused({"--mqtt", "mqtt://broker", "--mqtt-user", "u", "--mqtt-password-file", dir},
            "is not a regular file");
    refused({"--mqtt", "mqtt://broker", "--mqtt-inflight", "0"}, "in-flight window");
    EXPECT_EQ(round_ids(db, "meter-1").size(), 0u) << "a refused start stores nothing";

    // No broker at the address: polled and stored all the same, said once. A password file
    // that every user can read is used, with a warning.
    write_file(dir + "/open-password", "secret\n");
    chmod((dir + "/open-password").c_str(), 0644);
    const Finished absent = host({"--rtu", dir + "/meter", "--rounds", "3", "--interval", "0.2",
                                  "--mqtt", "mqtt+unix://" + dir + "/nobody.sock", "--mqtt-user",
                                  "u", "--mqtt-password-file", dir + "/open-password"});
    EXPECT_EQ(absent.status, 0) << absent.err;
    EXPECT_EQ(count_lines(absent.err, "mqtt: cannot reach the broker"), 1) << absent.err;
    EXPECT_EQ(count_lines(absent.err, "can be read by every user of this machine"), 1)
        << absent.err;
    const std::size_t stored = round_ids(db, "meter-1").size();
    EXPECT_GE(stored, 1u);

    // A broker that refuses the password: the broker's reason, once; the rounds are stored.
    write_file(dir + "/users", "");
    ASSERT_EQ(
        run_program({"/usr/bin/mosquitto_passwd", "-b", dir + "/users", "kavren", "right"}).status,
        0);
    Broker broker(dir, "locked", "allow_anonymous false\npassword_file " + dir + "/users\n");
    write_file(dir + "/wrong", "wrong\n");
    const Finished wrong =
        host({"--rtu", dir + "/meter", "--rounds", "3", "--interval", "0.2", "--mqtt", broker.url(),
              "--mqtt-user", "kavren", "--mqtt-password-file", dir + "/wrong"});
    EXPECT_EQ(wrong.status, 0) << wrong.err;
    EXPECT_EQ(count_lines(wrong.err, "refused the connection"), 1) << wrong.err;
    EXPECT_NE(wrong.err.find("not authorised"), std::string::npos) << wrong.err;
    EXPECT_GT(round_ids(db, "meter-1").size(), stored);
}

// A meter removed from the configuration and one renamed, after a host killed outright: the next
// start clears what the broker kept of them, so that a fresh subscriber (Home Assistant) sees
// nothing of the old meters; the host keeps the id it made, and with it every unique id.
TEST_F(MqttEndToEnd, AMeterRemovedOrRenamedLeavesNoRetainedTopicAndTheHostKeepsItsId) {
    Broker broker(dir, "site");
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-3"});
    const auto configure = [&](const std::vector<std::string>& names) {
        std::string meters;
        for (std::size_t i = 0; i < names.size(); ++i)
            meters += std::string(i > 0 ? ", " : "") + "{\"name\": \"" + names[i] +
                      "\", \"unit\": " + std::to_string(i + 1) + "}";
        write_file(dir + "/host.json",
                   "{\"interval\": 0.2, \"links\": [{\"tcp\": \"127.0.0.1:" + std::to_string(port) +
                       "\", \"meters\": [" + meters + "]}]}");
    };
    const auto run_host = [&](const std::string& log) {
        return std::make_unique<Background>(
            std::vector<std::string>{kHost, "--config", dir + "/host.json", "--db", db,
                                     "--quiet-plugin", "--mqtt", broker.url()},
            dir + "/" + log);
    };
    const auto retained_of = [](const std::vector<Message>& messages, const std::string& part) {
        std::vector<std::string> topics;
        for (const Message& m : messages)
            if (m.retained && !m.payload.empty() && m.topic.find(part) != std::string::npos)
                topics.push_back(m.topic);
        return topics;
    };
    configure({"keep", "gone", "old name"});
    {
        Subscriber sub(broker.socket(), "checker", true);
        auto first = run_host("first.log");
        // Every meter's state, and the last of its limits in discovery.
        ASSERT_TRUE(sub.wait(
            [](const std::vector<Message>& m) {
                for (const char* level : {"keep", "gone", "old_name"})
                    if (std::none_of(m.begin(), m.end(),
                                     [&](const Message& x) {
                                         return x.topic.find(std::string(level) +
                                                             "/limit_5/config") !=
                                                std::string::npos;
                                     }) ||
                        history_ids(m, std::string("kavren/") + level + "/state").empty())
                        return false;
                return true;
            },
            30))
            << read_file(dir + "/first.log");
        first->kill_now();
    }
    const std::string log = read_file(dir + "/first.log");
    std::smatch made;
    ASSERT_TRUE(std::regex_search(log, made, std::regex("this host's id is ([A-Za-z0-9_-]+)")))
        << log;
    const std::string host_id = made[1];
    {
        Subscriber before(broker.socket(), "before", true);
        ASSERT_TRUE(before.sync("kavren-test/sync"));
        EXPECT_EQ(retained_of(before.messages(), "gone").size(), 26u) << "what a kill leaves";
    }

    configure({"keep", "new name"});
    auto second = run_host("second.log");
    Subscriber live(broker.socket(), "live", true);
    ASSERT_TRUE(live.wait(
        [](const std::vector<Message>& m) {
            return !history_ids(m, "kavren/new_name/state").empty();
        },
        30))
        << read_file(dir + "/second.log");
    Subscriber fresh(broker.socket(), "fresh", true);
    ASSERT_TRUE(fresh.sync("kavren-test/sync"));
    const auto messages = fresh.messages();
    EXPECT_TRUE(retained_of(messages, "gone").empty());
    EXPECT_TRUE(retained_of(messages, "old_name").empty());
    // The unique ids of the meter that stayed are the ones Home Assistant already knows.
    EXPECT_EQ(retained_of(messages, "homeassistant/sensor/kavren_" + host_id + "_keep/").size(),
              kavren::kMeasurementCount + 5);
    EXPECT_EQ(retained_of(messages, "homeassistant/sensor/kavren_" + host_id + "_new_name/").size(),
              kavren::kMeasurementCount + 5);
    EXPECT_EQ(fresh.last("kavren/kavren-" + host_id + "/status"), "online")
        << "the default client id comes from the host id";
    const std::string second_log = read_file(dir + "/second.log");
    EXPECT_EQ(count_lines(second_log, "this host's id is"), 0) << "made once: " << second_log;
    EXPECT_NE(second_log.find("meters no longer configured, whose retained topics are cleared at "
                              "the broker: \"gone\", \"old name\""),
              std::string::npos)
        << second_log;
}

// Names in Chinese, the same length in bytes: each meter has topics and entities of its own,
// its name kept in the topics and payloads, and Home Assistant's ids valid (ASCII). The page's
// address for Home Assistant is the configured one.
TEST_F(MqttEndToEnd, MetersNamedInChineseGetTopicsAndEntitiesOfTheirOwn) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "checker", true);
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"});
    const std::vector<std::string> names{"一号电表", "二号电表"};
    write_file(dir + "/host.json",
               "{\"interval\": 0.2, \"links\": [{\"tcp\": \"127.0.0.1:" + std::to_string(port) +
                   "\", \"meters\": [{\"name\": \"" + names[0] + "\", \"unit\": 1}, " +
                   "{\"name\": \"" + names[1] + "\", \"unit\": 2}]}]}");
    // The page's address as the configuration gives it: Home Assistant's link to it.
    Background host({kHost, "--config", dir + "/host.json", "--db", db, "--quiet-plugin", "--mqtt",
                     broker.url(), "--mqtt-host-id", "site", "--http", "127.0.0.1:0",
                     "--http-page-url", "https://meters.example.org/"},
                    dir + "/host.log");
    const std::size_t per_meter = kavren::kMeasurementCount + 5 + 6;
    const auto configs_of = [](const std::vector<Message>& messages) {
        std::map<std::string, Json::Value> configs;
        for (const Message& m : messages)
            if (m.topic.rfind("homeassistant/", 0) == 0) configs[m.topic] = parse_json(m.payload);
        return configs;
    };
    ASSERT_TRUE(sub.wait(
        [&](const std::vector<Message>& m) {
            return configs_of(m).size() == 2 * per_meter &&
                   !history_ids(m, "kavren/" + names[0] + "/state").empty() &&
                   !history_ids(m, "kavren/" + names[1] + "/state").empty();
        },
        30))
        << read_file(dir + "/host.log");
    for (const std::string& name : names)
        EXPECT_EQ(parse_json(sub.last("kavren/" + name + "/state"))["meter"].asString(), name);
    std::set<std::string> unique_ids, entity_ids;
    std::map<std::string, std::set<std::string>> devices;  // device name: its identifiers
    for (const auto& [topic, c] : configs_of(sub.messages())) {
        EXPECT_TRUE(std::regex_match(
            topic,
            std::regex("homeassistant/(binary_)?sensor/[A-Za-z0-9_-]+/[A-Za-z0-9_-]+/config")))
            << topic;
        expect_documented_config(topic, c, "https://meters.example.org/");
        unique_ids.insert(c["unique_id"].asString());
        entity_ids.insert(c["default_entity_id"].asString());
        devices[c["device"]["name"].asString()].insert(c["device"]["identifiers"][0].asString());
        EXPECT_NE(c["state_topic"].asString().find(c["device"]["name"].asString()),
                  std::string::npos);
    }
    EXPECT_EQ(unique_ids.size(), 2 * per_meter);
    EXPECT_EQ(entity_ids.size(), 2 * per_meter);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[names[0]].size(), 1u);
    EXPECT_EQ(devices[names[1]].size(), 1u);
    EXPECT_NE(*devices[names[0]].begin(), *devices[names[1]].begin());
}

// Records deleted (the newest among them) give their row ids again; the acknowledged mark of
// the rounds before is then above every new round, which would never be published.
TEST_F(MqttEndToEnd, RoundsStoredAfterTheRecordsWereDeletedArePublished) {
    Broker broker(dir, "site");
    Subscriber sub(broker.socket(), "consumer", false, "kavren/+/rounds");
    auto sim = pty_sim();
    const std::vector<std::string> args{
        "--rtu",      dir + "/meter", "--name", "feeder 1",   "--rounds",    "4",
        "--interval", "0.2",          "--mqtt", broker.url(), "--no-restore"};
    const Finished first = host(args);
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_TRUE(eventually([&] { return all_rounds_arrived(sub); }, 20)) << first.err;
    const std::size_t before = sub.messages().size();

    ASSERT_TRUE(change_history(db, "DELETE FROM records"));

    const Finished second = host(args);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("records were deleted and their ids are given again"),
              std::string::npos)
        << second.err;
    const auto stored = round_ids(db, "feeder 1");
    ASSERT_GE(stored.size(), 4u);
    const auto arrived_since = [&] {
        const auto all = sub.messages();
        return history_ids(std::vector<Message>(all.begin() + static_cast<long>(before), all.end()),
                           "kavren/feeder_1/rounds");
    };
    EXPECT_TRUE(eventually([&] { return first_arrivals(arrived_since()) == stored; }, 20))
        << "new rounds arrived: " << arrived_since().size() << "\n"
        << second.err;
}

// A history that an earlier version published from has acknowledged rounds and no list of
// retained topics: what that version left (devices named after the machine's client id) is
// cleared once; a first start with a broker clears nothing.
TEST_F(MqttEndToEnd, TheDevicesOfAnEarlierVersionAreClearedOnce) {
    Broker broker(dir, "site");
    auto sim = pty_sim();
    const std::vector<std::string> args{
        "--rtu", dir + "/meter", "--name", "feeder 1", "--rounds",
        "2",     "--interval",   "0.2",    "--mqtt",   broker.url()};
    const Finished first = host(args);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err.find("cleared at the broker"), std::string::npos) << first.err;
    ASSERT_TRUE(
        change_history(db, "DELETE FROM remembered_texts WHERE kind LIKE 'mqtt retained %'"));
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    std::string level = std::string("kavren-") + machine;
    for (char& c : level)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    const std::string old_config = "homeassistant/sensor/kavren_" + level + "_feeder_1/UA/config";
    {
        Subscriber earlier(broker.socket(), "earlier-version", true);
        ASSERT_TRUE(earlier.sync("kavren-test/sync"));
        ASSERT_TRUE(earlier.publish(old_config, "{\"name\": \"UA\"}", true));
        ASSERT_TRUE(earlier.publish("kavren/" + level + "/status", "online", true));
        ASSERT_TRUE(earlier.sync("kavren-test/sync"));
    }
    const Finished second = host(args);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("retained topics of an earlier prefix, discovery prefix, host id or "
                              "client id are cleared at the broker"),
              std::string::npos)
        << second.err;
    Subscriber fresh(broker.socket(), "fresh", true);
    ASSERT_TRUE(fresh.sync("kavren-test/sync"));
    EXPECT_EQ(fresh.last(old_config), "");
    EXPECT_EQ(fresh.last("kavren/" + level + "/status"), "");
    EXPECT_FALSE(fresh.last("kavren/feeder_1/state").empty()) << "what is current stays";
    const Finished third = host(args);
    EXPECT_EQ(third.err.find("cleared at the broker"), std::string::npos) << "once: " << third.err;
}

// The fleet of docs/fleet.md: a host per site publishing to its site's broker, each site's
// broker bridged (QoS 1, persistent session) to a central one, one subscriber at the centre.
TEST_F(MqttEndToEnd, TheCentreOfABridgedFleetGetsEveryRoundOfEverySiteAlsoAcrossItsRestart) {
    // The central broker takes a port itself: tried until one is free.
    int port = 0;
    auto central = broker_on_tcp(dir, "central", "", port);
    ASSERT_TRUE(central);
    Subscriber centre(central->socket(), "fleet-consumer", false, "kavren/+/+/rounds");
    std::vector<std::unique_ptr<Broker>> sites;
    std::vector<std::unique_ptr<Background>> sims, hosts;
    for (const std::string site : {"site-a", "site-b"}) {
        sites.push_back(std::make_unique<Broker>(
            dir, site,
            "connection " + site + "-to-central\naddress 127.0.0.1:" + std::to_string(port) +
                "\ntopic kavren/# out 1\ntopic homeassistant/# out 1\ncleansession false\n" +
                "local_clientid " + site + "-bridge-local\nremote_clientid " + site +
                "-bridge\nrestart_timeout 1\n"));
        sims.push_back(std::make_unique<Background>(
            std::vector<std::string>{kSim, "--pty", "--pty-link", dir + "/" + site + ".meter",
                                     "--registers", registers},
            dir + "/" + site + "-sim.log"));
        ASSERT_TRUE(wait_for_file(dir + "/" + site + ".meter"));
        hosts.push_back(std::make_unique<Background>(
            std::vector<std::string>{kHost, "--rtu", dir + "/" + site + ".meter", "--name", "main",
                                     "--interval", "0.2", "--db", dir + "/" + site + ".db",
                                     "--quiet-plugin", "--mqtt", sites.back()->url(),
                                     "--mqtt-client-id", site, "--mqtt-prefix", "kavren/" + site},
            dir + "/" + site + "-host.log"));
    }
    const auto arrived = [&](const std::string& site) {
        const auto stored = round_ids(dir + "/" + site + ".db", "main");
        const auto got = history_ids(centre.messages(), "kavren/" + site + "/main/rounds");
        const std::set<long long> seen(got.begin(), got.end());
        return !stored.empty() && std::all_of(stored.begin(), stored.end(),
                                              [&](long long id) { return seen.count(id) > 0; });
    };
    ASSERT_TRUE(eventually([&] { return arrived("site-a") && arrived("site-b"); }, 30))
        << read_file(dir + "/site-a.log");
    // The centre goes away for a while and comes back: the sites' bridges kept the rounds.
    central->stop();
    const std::size_t before = round_ids(dir + "/site-a.db", "main").size();
    ASSERT_TRUE(
        eventually([&] { return round_ids(dir + "/site-a.db", "main").size() >= before + 5; }, 30));
    central->start();
    ASSERT_TRUE(eventually([&] { return arrived("site-a") && arrived("site-b"); }, 60));
    for (auto& host : hosts) host->stop();
    for (const std::string site : {"site-a", "site-b"}) {
        EXPECT_TRUE(eventually([&] { return arrived(site); }, 20)) << site;
        // A bridge that reconnects may deliver a newer round before older ones it held:
        // across a bridge, consumers order by history id.
        auto got =
            first_arrivals(history_ids(centre.messages(), "kavren/" + site + "/main/rounds"));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, round_ids(dir + "/" + site + ".db", "main")) << site;
    }
}

}  // namespace
