// kavren-host's gateway as a program: mbpoll and raw Modbus TCP clients against it while the
// host polls kavren-sim on a pseudo-terminal paced at 9600 bit/s. The simulator counts every
// request that reached the line.
#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"
#include "tests/apps/metrics_samples.h"
#include "tests/apps/modbus_client.h"

namespace {

using namespace testing_support;

// The seven blocks the host polls: start, count.
const std::pair<int, int> kPollBlocks[] = {{0, 6},     {256, 7},   {272, 30}, {308, 1},
                                           {4096, 30}, {8192, 16}, {8448, 16}};
constexpr int kOutsideRegister = 1000;  // pinned in the simulator, never polled
constexpr uint16_t kOutsideValue = 4242;

class GatewayHost : public EndToEnd {
  protected:
    static constexpr long kRounds = 15;
    std::string requests_file = dir + "/requests";
    std::unique_ptr<Background> sim, host;
    int gateway = 0, http = 0;

    GatewayHost() {
        image.set(kOutsideRegister, kOutsideValue);
        write_file(registers, registers_json(image));
    }
    ~GatewayHost() override {
        host.reset();
        sim.reset();
    }
    // The host polls the simulator every 0.4 s for `round_count` rounds with the gateway (its JSON
    // members) listening on `listen` in front of the line; returns once the first round is
    // complete.
    void start(const std::string& gateway_members, long round_count = kRounds,
               const std::string& listen = "127.0.0.1:0") {
        sim = pty_sim({"--line-rate", "9600", "--requests-file", requests_file});
        write_file(dir + "/host.json",
                   R"({"interval": 0.4, "links": [{"rtu": "meter", "timeout_ms": 500,
                       "meters": [{"name": "m"}], "gateway": {"listen": ")" +
                       listen + R"(", "port_file": "gateway-port", )" + gateway_members + "}}]}");
        host = std::make_unique<Background>(
            std::vector<std::string>{kHost, "--config", dir + "/host.json", "--rounds",
                                     std::to_string(round_count), "--json", "--quiet-plugin",
                                     "--http", "127.0.0.1:0", "--http-port-file",
                                     dir + "/http-port"},
            dir + "/host.log");
        gateway = port_from_file(dir + "/gateway-port");
        http = port_from_file(dir + "/http-port");
        ASSERT_TRUE(gateway > 0 && http > 0) << read_file(dir + "/host.log");
        ASSERT_TRUE(eventually([&] { return !rounds().empty(); })) << read_file(dir + "/host.log");
    }
    std::vector<Json::Value> rounds() {
        return json_lines(json_only(read_file(dir + "/host.log")));
    }
    // Once the host has ended: every round was complete; the requests the line carried beyond
    // the host's own seven per round.
    long carried_beyond_the_rounds() {
        int status = -1;
        EXPECT_TRUE(host->wait(60, &status));
        EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
        const std::vector<Json::Value> done = rounds();
        EXPECT_EQ(done.size(), static_cast<std::size_t>(kRounds));
        for (const Json::Value& r : done) EXPECT_TRUE(r["complete"].asBool()) << r["round"];
        return std::stol(read_file(requests_file)) - 7 * kRounds;
    }
    // Stops a host started for more rounds than the test needs: every printed round was
    // complete; the requests the line carried beyond them (up to seven of a round in flight at
    // the stop, which is not printed, however far it had got).
    long carried_beyond_the_printed_rounds() {
        host->stop();
        const std::vector<Json::Value> done = rounds();
        EXPECT_GT(done.size(), 0u);
        for (const Json::Value& r : done) EXPECT_TRUE(r["complete"].asBool()) << r["round"];
        return std::stol(read_file(requests_file)) - 7 * static_cast<long>(done.size());
    }
    // A request outcome, or with `closed` the reason connections were closed.
    double counted(const std::string& outcome, bool closed = false) {
        const auto samples = metrics_samples(http, dir);
        const Sample* s = find(
            samples,
            closed ? "kavren_gateway_connections_closed_total" : "kavren_gateway_requests_total",
            {{"link", dir + "/meter"}, {closed ? "reason" : "outcome", outcome}});
        EXPECT_TRUE(s) << outcome;
        return s ? s->value : -1;
    }
    // mbpoll once against the gateway; values to write come after the address.
    Finished mbpoll(std::vector<std::string> args, const std::vector<std::string>& writes = {}) {
        args.insert(args.begin(),
                    {"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(gateway), "-0", "-1"});
        args.push_back("127.0.0.1");
        args.insert(args.end(), writes.begin(), writes.end());
        return run_program(args, 30);
    }
};

// The values mbpoll printed, "[ADDRESS]: <tab>VALUE", by address.
std::map<int, uint16_t> printed_values(const std::string& out) {
    std::map<int, uint16_t> values;
    const std::regex line(R"(\[(\d+)\]:\s+(\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        values[std::stoi((*it)[1])] = static_cast<uint16_t>(std::stoi((*it)[2]));
    return values;
}

TEST_F(GatewayHost, MbpollReadsThePollBlocksFromTheRoundAndTheRestFromTheMeter) {
    start(R"("max_age": 30)");
    for (const auto& block : kPollBlocks) {
        const Finished read =
            mbpoll({"-r", std::to_string(block.first), "-c", std::to_string(block.second)});
        EXPECT_EQ(read.status, 0) << read.out << read.err;
        const std::vector<uint16_t> expected = image.read(block.first, block.second);
        const std::map<int, uint16_t> got = printed_values(read.out);
        ASSERT_EQ(got.size(), expected.size()) << read.out;
        for (int i = 0; i < block.second; ++i)
            EXPECT_EQ(got.at(block.first + i), expected[static_cast<std::size_t>(i)])
                << "register " << block.first + i;
    }
    const Finished outside = mbpoll({"-r", std::to_string(kOutsideRegister)});
    EXPECT_EQ(printed_values(outside.out)[kOutsideRegister], kOutsideValue) << outside.out;
    // The meter refuses input registers: its own exception comes back through the gateway.
    const Finished input = mbpoll({"-t", "3", "-r", "4096"});
    EXPECT_NE(input.err.find("Illegal function"), std::string::npos) << input.err;
    EXPECT_EQ(counted("cached"), 7.0);
    EXPECT_EQ(counted("forwarded"), 2.0);
    EXPECT_EQ(carried_beyond_the_rounds(), 2) << "the seven blocks were served off the line";
}

// Clients connected all at once, each sending one request once every one is connected; the
// reply PDU each got.
std::vector<Bytes> at_once(int port, int clients, const Bytes& pdu) {
    std::vector<std::unique_ptr<ModbusClient>> all;
    for (int i = 0; i < clients; ++i) all.push_back(std::make_unique<ModbusClient>(port));
    for (auto& c : all) c->send_bytes(mbap(1, 1, pdu));
    std::vector<Bytes> replies;
    for (auto& c : all) {
        const Bytes adu = c->next_adu();
        replies.push_back(adu.size() > 7 ? Bytes(adu.begin() + 7, adu.end()) : Bytes{});
    }
    return replies;
}

TEST_F(GatewayHost, RefusedWritesUnknownUnitsAndAFloodOf50GetTheirExceptionsOffTheLine) {
    start(R"("max_age": 30, "max_clients": 64, "max_queue": 4)");
    const Finished write = mbpoll({"-r", "16"}, {"5"});
    EXPECT_NE(write.status, 0);
    EXPECT_NE(write.err.find("Illegal function"), std::string::npos) << write.err;
    const Finished unknown = mbpoll({"-a", "9", "-r", "4096"});
    EXPECT_NE(unknown.err.find("Gateway path unavailable"), std::string::npos) << unknown.err;

    // Fifty reads from the last round at once: all answered from it.
    for (const Bytes& reply : at_once(gateway, 50, read_pdu(3, 4096, 8)))
        EXPECT_EQ(reply_words(reply), image.read(4096, 8));
    // Fifty reads for the meter at once: four wait for the line, the rest are told busy.
    int answered = 0, busy = 0;
    for (const Bytes& reply : at_once(gateway, 50, read_pdu(3, kOutsideRegister, 1))) {
        if (reply == Bytes{0x83, 6}) {
            ++busy;
        } else {
            EXPECT_EQ(reply_words(reply), std::vector<uint16_t>{kOutsideValue})
                << (reply.size() > 1 ? int(reply[0]) * 1000 + reply[1] : -1);
            ++answered;
        }
    }
    EXPECT_GT(busy, 0);
    EXPECT_GE(answered, 1);
    EXPECT_EQ(counted("busy"), busy);
    EXPECT_EQ(counted("refused"), 1.0);
    EXPECT_EQ(counted("unknown_unit"), 1.0);
    EXPECT_EQ(counted("cached"), 50.0);
    EXPECT_EQ(carried_beyond_the_rounds(), answered) << "only the answered reads reached the line";
}

TEST_F(GatewayHost, HostileClientsLeaveTheHostAndItsOtherClientsAlone) {
    // Rounds enough to outlast the clients on a busy machine; the test stops the host.
    start(R"("max_age": 30, "idle_timeout_ms": 500, "request_timeout_ms": 500)", 100000);
    SteadyClient steady(gateway, read_pdu(3, 4096, 8), image.read(4096, 8));
    ModbusClient foreign(gateway), oversized(gateway), silent(gateway), trickle(gateway);
    foreign.send_bytes({0, 1, 0, 1, 0, 6, 1, 3, 0x10, 0, 0, 1});  // protocol id 1
    oversized.send_bytes({0, 1, 0, 0, 0x01, 0x2C, 1});            // length 300
    const Bytes request = mbap(1, 1, read_pdu(3, 4096, 1));
    for (std::size_t i = 0; i < request.size() && !trickle.closed_by_gateway(0.15); ++i)
        trickle.send_bytes({request[i]});
    EXPECT_TRUE(foreign.closed_by_gateway());
    EXPECT_TRUE(oversized.closed_by_gateway());
    EXPECT_TRUE(trickle.closed_by_gateway());
    EXPECT_TRUE(silent.closed_by_gateway());
    std::vector<std::unique_ptr<ModbusClient>> crowd;
    for (int i = 0; i < 100; ++i) crowd.push_back(std::make_unique<ModbusClient>(gateway));
    for (auto& c : crowd) EXPECT_TRUE(c->closed_by_gateway());
    // More cached reads than a whole round has requests: had they gone on the line, they would
    // outnumber what a round in flight at the stop can add there (up to all seven of it).
    const int before = steady.answered();
    ASSERT_TRUE(eventually([&] { return steady.answered() > std::max(before + 2, 7); }));
    steady.finish();
    EXPECT_EQ(steady.failed(), 0) << "the steady client was answered throughout";
    EXPECT_EQ(counted("malformed", true), 2.0);
    EXPECT_EQ(counted("timed_out", true), 1.0);
    EXPECT_GT(counted("too_many_clients", true), 0.0);
    EXPECT_EQ(counted("too_many_clients", true) + counted("idle", true), 101.0)
        << "the crowd and the silent";
    EXPECT_EQ(counted("cached"), steady.answered());
    EXPECT_LE(carried_beyond_the_printed_rounds(), 7) << "the cached reads stayed off the line";
}

// On IPv6: the loopback address serves IPv6 clients only; [::] serves both families.
TEST_F(GatewayHost, AnswersOnIpv6) {
    for (const std::string listen : {"[::1]:0", "[::]:0"}) {
        host.reset();  // the previous host, gone with its port file
        sim.reset();
        start(R"("max_age": 30)", 100000, listen);
        ModbusClient v6("::1", gateway);
        EXPECT_EQ(reply_words(v6.ask(1, read_pdu(3, 4096, 8))), image.read(4096, 8)) << listen;
        ModbusClient v4(gateway);
        if (listen == "[::]:0") {
            EXPECT_EQ(reply_words(v4.ask(1, read_pdu(3, 4096, 8))), image.read(4096, 8));
        } else {
            EXPECT_FALSE(v4.connected()) << "IPv4 served on " << listen;
        }
        EXPECT_NE(read_file(dir + "/host.log")
                      .find("to Modbus TCP clients on " + listen.substr(0, listen.size() - 1)),
                  std::string::npos)
            << read_file(dir + "/host.log");
    }
}

}  // namespace
