// kavren-host publishing to the real Mosquitto broker, read back by a subscriber of the test's
// own: discovery, retained state and availability, the last will, every round delivered across
// a broker outage and a killed host, and bad broker settings.
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
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

// The ids of the meter's polled rounds in the history, oldest first.
std::vector<long long> round_ids(const std::string& db, const std::string& device) {
    std::vector<long long> ids;
    if (access(db.c_str(), F_OK) != 0) return ids;
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT id FROM records WHERE device = ? AND origin = 'round' ORDER BY id",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return ids;
}

// Every id once, in the order of first arrival; duplicates (at least once) dropped as a
// consumer would, by history id.
std::vector<long long> first_arrivals(const std::vector<long long>& ids) {
    std::vector<long long> kept;
    std::set<long long> seen;
    for (long long id : ids)
        if (seen.insert(id).second) kept.push_back(id);
    return kept;
}

int count_lines(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
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
    auto host = host_in_background(broker.url(), "host.log");
    ASSERT_TRUE(sub.wait(
        [](const std::vector<Message>& m) {
            return history_ids(m, "kavren/feeder_1/state").size() >= 2;
        },
        30))
        << read_file(dir + "/host.log");

    // Discovery: a sensor per measurement, frequency and power factor; a problem per limit.
    std::map<std::string, Json::Value> configs;
    for (const Message& m : sub.messages()) {
        if (m.topic.rfind("homeassistant/", 0) == 0) {
            configs[m.topic] = parse_json(m.payload);
        }
    }
    const std::string node = "homeassistant/sensor/kavren_site-a_feeder_1/";
    for (const kavren::Measurement& measurement : kavren::kMeasurements) {
        const Json::Value& c = configs[node + measurement.name + "/config"];
        ASSERT_TRUE(c.isObject()) << measurement.name;
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
        EXPECT_EQ(c["name"].asString(), state["limits"][i]["description"].asString());
        EXPECT_FALSE(c["name"].asString().empty());
    }
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
    const auto ids = round_ids(db, "feeder 1");
    EXPECT_NE(std::find(ids.begin(), ids.end(), state["history_id"].asInt64()), ids.end());

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
    EXPECT_TRUE(history_ids(late.messages(), "kavren/feeder_1/rounds").empty())
        << "rounds are not retained";

    // The host dies: the broker tells with its last will.
    host->kill_now();
    EXPECT_TRUE(eventually([&] { return sub.last("kavren/site-a/status") == "offline"; }, 10));
}

TEST_F(MqttEndToEnd, EveryRoundStoredWhileTheBrokerWasAwayArrivesInOrderThenTheState) {
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
    EXPECT_EQ(round_ids(db, "meter-1").size(), 0u) << "a refused start stores nothing";

    // No broker at the address: polled and stored all the same, said once.
    const Finished absent = host({"--rtu", dir + "/meter", "--rounds", "3", "--interval", "0.2",
                                  "--mqtt", "mqtt+unix://" + dir + "/nobody.sock"});
    EXPECT_EQ(absent.status, 0) << absent.err;
    EXPECT_EQ(count_lines(absent.err, "mqtt: cannot reach the broker"), 1) << absent.err;
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
