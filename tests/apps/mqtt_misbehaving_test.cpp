// kavren-host against brokers that misbehave, where the real Mosquitto cannot on demand: one that
// accepts every connection and closes it at once (as when two clients share an id), and the real
// broker behind a relay that swallows its acknowledgements.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"
#include "tests/apps/mqtt_broker.h"
#include "tests/apps/mqtt_fakes.h"

namespace {

using namespace testing_support;

class MqttMisbehaving : public EndToEnd {
  protected:
    std::unique_ptr<Background> publishing_host(const std::string& url, const std::string& log,
                                                std::vector<std::string> extra = {}) {
        std::vector<std::string> args{
            kHost,  "--rtu", dir + "/meter",   "--name", "feeder 1", "--interval",       "0.2",
            "--db", db,      "--quiet-plugin", "--mqtt", url,        "--mqtt-client-id", "site-a"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Background>(args, dir + "/" + log);
    }
};

// Accepted and dropped at once, again and again: the wait between connections keeps growing
// (1, 2, 4 s...) instead of starting over at every acceptance, so the broker is tried a handful
// of times a minute; the log says so once, with the likely cause, not at every connection.
TEST_F(MqttMisbehaving, AFlappingBrokerIsTriedAFewTimesAMinuteAndSaidSoWithAHint) {
    FlappingBroker broker(dir + "/flapping.sock");
    auto sim = pty_sim();
    auto host = publishing_host(broker.url(), "host.log");
    ASSERT_TRUE(eventually([&] { return broker.connections().size() >= 4; }, 30))
        << read_file(dir + "/host.log");
    const auto at = broker.connections();
    host->stop();
    // Each wait at least the back-off's (less a margin for the clock's grain): a back-off that
    // started over at each acceptance would wait a second every time.
    const double least[] = {0.9, 1.8, 3.6};
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(std::chrono::duration<double>(at[i + 1] - at[i]).count(), least[i])
            << "wait " << i + 1;
    const std::string log = read_file(dir + "/host.log");
    EXPECT_EQ(count_lines(log, "keeps closing the connection soon after accepting it"), 1) << log;
    EXPECT_NE(log.find("a second client with the client id \"site-a\""), std::string::npos) << log;
    EXPECT_NE(log.find("give each its own --mqtt-client-id"), std::string::npos) << log;
    // Connected, lost, connected again, the hint; then nothing until the end.
    EXPECT_LE(count_lines(log, "mqtt: connected to"), 2) << log;
    EXPECT_LE(count_lines(log, "mqtt: lost the broker"), 1) << log;
}

// Messages the broker takes but never acknowledges: after the keep-alive time the connection
// is renewed, said once however often it happens, and publishing goes on once the broker
// acknowledges again; nothing is lost.
TEST_F(MqttMisbehaving, ABrokerThatAcknowledgesNothingIsConnectedToAgainAndSaidSoOnce) {
    Broker broker(dir, "site");
    DelayingProxy relay(dir + "/relay.sock", broker.socket(), std::chrono::milliseconds(0));
    relay.drop_acks(true);
    Subscriber sub(broker.socket(), "consumer", false, "kavren/#");
    auto sim = pty_sim();
    auto host = publishing_host(relay.url(), "host.log", {"--mqtt-keepalive", "5"});
    // Two renewals: 5 s without an acknowledgement each, and the back-off between them.
    ASSERT_TRUE(eventually([&] { return relay.connections() >= 3; }, 30))
        << read_file(dir + "/host.log");
    EXPECT_GT(relay.acks_dropped(), 0);
    relay.drop_acks(false);
    const auto stored_now = round_ids(db, "feeder 1");
    ASSERT_FALSE(stored_now.empty());
    ASSERT_TRUE(eventually(
        [&] {
            const auto got = history_ids(sub.messages(), "kavren/feeder_1/rounds");
            const std::set<long long> arrived(got.begin(), got.end());
            return std::all_of(stored_now.begin(), stored_now.end(),
                               [&](long long id) { return arrived.count(id) > 0; });
        },
        30))
        << read_file(dir + "/host.log");
    host->stop();
    const std::string log = read_file(dir + "/host.log");
    EXPECT_EQ(count_lines(log, "acknowledged none of the"), 1) << log;
    EXPECT_EQ(count_lines(log, "messages waiting for 5 s: connecting again"), 1) << log;
    EXPECT_EQ(count_lines(log, "acknowledges again"), 1) << log;
}

}  // namespace
