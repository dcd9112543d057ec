// The gateway in this process: its rules from bytes, its queue, its server against clients that
// misbehave (with a stand-in for the link's thread), and the pipeline's link thread carrying its
// requests between the host's own.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "apps/host/gateway/gateway_rules.h"
#include "apps/host/gateway/gateway_server.h"
#include "apps/host/pipeline/pipeline.h"
#include "tests/apps/eventually.h"
#include "tests/apps/hostile_peers.h"
#include "tests/apps/modbus_client.h"
#include "tests/apps/programs.h"

namespace {

using namespace kavren::host;
using testing_support::eventually;
using testing_support::mbap;
using testing_support::ModbusClient;
using testing_support::read_pdu;
using testing_support::register_value;
using testing_support::reply_words;
using testing_support::SteadyClient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A round of unit 1 that read 4096-4125 and 8192-8207, the words register_value() gives.
std::shared_ptr<RoundWords> round_of_two_reads(Clock::time_point completed) {
    auto round = std::make_shared<RoundWords>();
    round->completed = completed;
    for (const auto& block : {std::pair<int, int>{4096, 30}, {8192, 16}}) {
        ReadWords read;
        read.start = block.first;
        for (int i = 0; i < block.second; ++i)
            read.words.push_back(register_value(block.first + i));
        round->reads.push_back(read);
    }
    return round;
}

GatewayRules rules_for_units_1_and_2() {
    GatewayRules rules;
    rules.units = {1, 2};
    rules.max_age = std::chrono::seconds(5);
    rules.rtu_frames = true;
    return rules;
}

std::vector<uint16_t> values_from(int start, int count) {
    std::vector<uint16_t> v;
    for (int i = 0; i < count; ++i) v.push_back(register_value(start + i));
    return v;
}

const Bytes kWriteOne = {6, 0x00, 0x10, 0x00, 0x01};

TEST(GatewayRules, ReadsInsideOneReadOfTheLastRoundGetItsWordsAndTheRestIsForwarded) {
    const auto now = Clock::now();
    LastRounds rounds;
    rounds.keep(1, round_of_two_reads(now - std::chrono::seconds(1)));
    const GatewayRules rules = rules_for_units_1_and_2();
    const auto handled = [&](int unit, const Bytes& pdu) {
        return handle_request(rules, rounds, unit, pdu, now);
    };
    for (const auto& inside : {std::pair<int, int>{4096, 30}, {4100, 3}, {4125, 1}, {8200, 8}}) {
        const Handling h = handled(1, read_pdu(3, inside.first, inside.second));
        EXPECT_FALSE(h.forward) << inside.first;
        EXPECT_EQ(h.outcome, GatewayOutcome::cached);
        EXPECT_EQ(h.reply[1], 2 * inside.second);
        EXPECT_EQ(reply_words(h.reply), values_from(inside.first, inside.second)) << inside.first;
    }
    // Past the read's end, across the two reads, between them, another function (the round
    // read holding registers only), another unit's, and nothing of a unit without a round.
    for (const Bytes& outside :
         {read_pdu(3, 4120, 10), read_pdu(3, 4095, 2), read_pdu(3, 4096, 125), read_pdu(3, 5000, 1),
          read_pdu(4, 4096, 1), read_pdu(1, 0, 8)}) {
        const Handling h = handled(1, outside);
        EXPECT_TRUE(h.forward) << int(outside[0]) << " " << (outside[1] << 8 | outside[2]);
    }
    EXPECT_TRUE(handled(2, read_pdu(3, 4096, 1)).forward);
    // A round older than max_age is not served; max_age 0 serves none.
    GatewayRules strict = rules;
    strict.max_age = milliseconds(999);
    EXPECT_TRUE(handle_request(strict, rounds, 1, read_pdu(3, 4096, 1), now).forward);
    strict.max_age = Clock::duration::zero();
    EXPECT_TRUE(handle_request(strict, rounds, 1, read_pdu(3, 4096, 1), now).forward);
}

TEST(GatewayRules, RefusesUnknownUnitsWritesReadsOfBadSizeAndWhatTheLinkCannotCarry) {
    const auto now = Clock::now();
    LastRounds rounds;
    GatewayRules rules = rules_for_units_1_and_2();
    const auto expect = [&](int unit, const Bytes& pdu, Bytes reply, GatewayOutcome outcome) {
        const Handling h = handle_request(rules, rounds, unit, pdu, now);
        EXPECT_FALSE(h.forward) << int(pdu[0]);
        EXPECT_EQ(h.reply, reply) << int(pdu[0]);
        EXPECT_EQ(h.outcome, outcome) << int(pdu[0]);
    };
    // No meter of the link has the unit: the gateway has no path to it (10), not "no answer".
    for (int unit : {0, 3, 247, 255})
        expect(unit, read_pdu(3, 0, 1), {0x83, 10}, GatewayOutcome::unknown_unit);
    // Writes off: every function that may change a meter, the writes and the rest.
    for (uint8_t function : {5, 6, 15, 16, 21, 22, 23, 8, 0x41})
        expect(1, {function, 0, 0, 0, 1}, {static_cast<uint8_t>(function | 0x80), 1},
               GatewayOutcome::refused);
    expect(1, {43, 0x0D, 0}, {0xAB, 1}, GatewayOutcome::refused);  // MEI 13 is not a read
    for (const Bytes& bad :
         {read_pdu(3, 0, 0), read_pdu(3, 0, 126), Bytes{3, 0, 0, 0}, read_pdu(4, 65535, 2)})
        expect(1, bad, {static_cast<uint8_t>(bad[0] | 0x80), 3}, GatewayOutcome::invalid);
    // An RTU framing finds the end of a reply by its function: one it cannot measure is refused
    // rather than left to time out on the line; a Modbus TCP link carries any function.
    expect(1, {43, 0x0E, 1, 0}, {0xAB, 1}, GatewayOutcome::refused);
    rules.rtu_frames = false;
    EXPECT_TRUE(handle_request(rules, rounds, 1, {43, 0x0E, 1, 0}, now).forward);
    rules.writes = true;
    EXPECT_TRUE(handle_request(rules, rounds, 1, kWriteOne, now).forward);
    EXPECT_TRUE(handle_request(rules, rounds, 1, {22, 0, 1, 0xFF, 0, 0, 1}, now).forward);
    rules.rtu_frames = true;
    EXPECT_TRUE(handle_request(rules, rounds, 1, kWriteOne, now).forward);
    expect(1, {22, 0, 1, 0xFF, 0, 0, 1}, {0x96, 1}, GatewayOutcome::refused);
}

TEST(GatewayRules, AForwardedRequestGetsTheMetersReplyOrTheGatewaysException) {
    ForwardedRequest r;
    r.pdu = read_pdu(3, 1000, 1);
    r.carried = true;
    r.reply = {3, 2, 0x12, 0x34};
    EXPECT_EQ(forwarded_reply(r).reply, r.reply);
    EXPECT_EQ(forwarded_reply(r).outcome, GatewayOutcome::forwarded);
    r.reply = {0x83, 2};  // the meter's own exception is its answer
    EXPECT_EQ(forwarded_reply(r).reply, r.reply);
    EXPECT_EQ(forwarded_reply(r).outcome, GatewayOutcome::forwarded);
    for (ReadOutcome silent :
         {ReadOutcome::timeout, ReadOutcome::crc_error, ReadOutcome::bad_reply}) {
        r.outcome = silent;
        EXPECT_EQ(forwarded_reply(r).reply, (Bytes{0x83, 11})) << outcome_name(silent);
        EXPECT_EQ(forwarded_reply(r).outcome, GatewayOutcome::no_reply);
    }
    r.outcome = ReadOutcome::connection_lost;
    EXPECT_EQ(forwarded_reply(r).reply, (Bytes{0x83, 10}));
    r.carried = false;
    r.outcome = ReadOutcome::ok;
    EXPECT_EQ(forwarded_reply(r).reply, (Bytes{0x83, 10})) << "never carried: the host stopped";
}

std::unique_ptr<ForwardedRequest> request_of(uint64_t ticket) {
    auto r = std::make_unique<ForwardedRequest>();
    r->ticket = ticket;
    r->pdu = read_pdu(3, 1000, 1);
    return r;
}

TEST(ForwardQueue, BoundedInOrderWithdrawnAndClosed) {
    ForwardQueue queue(2);
    std::atomic<int> wakes{0};
    queue.on_done([&] { ++wakes; });
    EXPECT_EQ(queue.offer(request_of(1)), ForwardQueue::Offer::queued);
    EXPECT_EQ(queue.offer(request_of(2)), ForwardQueue::Offer::queued);
    EXPECT_EQ(queue.offer(request_of(3)), ForwardQueue::Offer::full);
    queue.withdraw(1);
    EXPECT_EQ(queue.offer(request_of(4)), ForwardQueue::Offer::queued);
    EXPECT_TRUE(queue.wait(Clock::now()));
    auto first = queue.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ticket, 2u);
    queue.finished(std::move(first));
    EXPECT_EQ(wakes.load(), 1);
    queue.close();
    EXPECT_EQ(queue.offer(request_of(5)), ForwardQueue::Offer::closed);
    EXPECT_FALSE(queue.next());
    const auto done = queue.take_done();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_TRUE(done[0]->ticket == 2 && done[0]->carried == false);  // the stand-in carried none
    EXPECT_TRUE(done[1]->ticket == 4 && !done[1]->carried);
    EXPECT_EQ(wakes.load(), 2);
}

// A gateway server on a free port with a stand-in for the link's thread, which answers reads
// with register_value() and can be held while a test fills the queue.
class ServedGateway : public testing::Test {
  protected:
    LinkShare share{4};
    GatewayCounters counters{"test-link"};
    boost::asio::io_context loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
        loop.get_executor()};
    std::thread loop_thread{[this] { loop.run(); }};
    std::unique_ptr<GatewayServer> server;
    std::atomic<bool> stopping{false};
    std::atomic<int> carried{0};
    std::atomic<bool> holding{false};  // the stand-in has a request and waits to be let go
    std::mutex gate_lock;
    std::condition_variable gate_changed;
    bool held = false;
    std::thread link_thread;

    void start(GatewayLimits limits = {}) {
        share.rounds.keep(1, round_of_two_reads(Clock::now()));
        GatewayRules rules = rules_for_units_1_and_2();
        rules.max_age = std::chrono::hours(1);
        server =
            std::make_unique<GatewayServer>(loop, "127.0.0.1:0", limits, rules, share, counters);
        server->start();
        link_thread = std::thread([this] { carry_requests(); });
    }
    ~ServedGateway() override {
        stopping = true;
        hold(false);
        if (link_thread.joinable()) link_thread.join();
        share.forwards.close();
        if (server) server->stop();
        work.reset();
        loop_thread.join();
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(gate_lock);
        held = on;
        gate_changed.notify_all();
    }
    void carry_requests() {
        while (!stopping) {
            if (!share.forwards.wait(Clock::now() + milliseconds(20))) continue;
            std::unique_ptr<ForwardedRequest> r = share.forwards.next();
            if (!r) continue;
            {
                std::unique_lock<std::mutex> lock(gate_lock);
                holding = held;
                gate_changed.wait(lock, [&] { return !held; });
                holding = false;
            }
            const int start = r->pdu[1] << 8 | r->pdu[2];
            r->carried = true;
            r->reply = {3, 2, static_cast<uint8_t>(register_value(start) >> 8),
                        static_cast<uint8_t>(register_value(start))};
            ++carried;
            share.forwards.finished(std::move(r));
        }
    }
    uint64_t count(GatewayOutcome o) const { return counters.value(o); }
};

TEST_F(ServedGateway, RequestsSentTogetherAreAnsweredInOrderWithTheirTransactions) {
    start();
    ModbusClient client(server->port());
    ASSERT_TRUE(client.connected());
    Bytes three = mbap(7, 1, read_pdu(3, 4100, 2));
    const Bytes forwarded = mbap(8, 1, read_pdu(3, 1000, 1));
    const Bytes unknown = mbap(9, 5, read_pdu(3, 0, 1));
    three.insert(three.end(), forwarded.begin(), forwarded.end());
    three.insert(three.end(), unknown.begin(), unknown.end());
    ASSERT_TRUE(client.send_bytes(three));
    const Bytes a = client.next_adu(), b = client.next_adu(), c = client.next_adu();
    ASSERT_EQ(a.size(), 7u + 6u);
    EXPECT_EQ(a[1], 7);
    EXPECT_EQ(reply_words(Bytes(a.begin() + 7, a.end())), values_from(4100, 2));
    ASSERT_EQ(b.size(), 7u + 4u);
    EXPECT_EQ(b[1], 8);
    EXPECT_EQ(reply_words(Bytes(b.begin() + 7, b.end())), values_from(1000, 1));
    EXPECT_EQ(c, (Bytes{0, 9, 0, 0, 0, 3, 5, 0x83, 10}));
    EXPECT_EQ(carried.load(), 1) << "only the read outside the round reached the link";
    EXPECT_EQ(count(GatewayOutcome::cached), 1u);
    EXPECT_EQ(count(GatewayOutcome::forwarded), 1u);
    EXPECT_EQ(count(GatewayOutcome::unknown_unit), 1u);
    EXPECT_EQ(client.ask(1, kWriteOne), (Bytes{0x86, 1}));
    EXPECT_EQ(count(GatewayOutcome::refused), 1u);
}

TEST_F(ServedGateway, PastTheQueueClientsAreToldBusyAndAClientThatLeftIsForgotten) {
    start(GatewayLimits{16, std::chrono::seconds(60), std::chrono::seconds(60)});
    hold(true);
    std::vector<std::unique_ptr<ModbusClient>> clients;
    for (int i = 0; i < 6; ++i) clients.push_back(std::make_unique<ModbusClient>(server->port()));
    // The first is with the link's thread, the next four wait: the queue holds four.
    ASSERT_TRUE(clients[0]->send_bytes(mbap(1, 1, read_pdu(3, 1000, 1))));
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    for (int i = 1; i < 5; ++i)
        ASSERT_TRUE(clients[i]->send_bytes(mbap(1, 1, read_pdu(3, 1000 + i, 1))));
    EXPECT_EQ(clients[5]->ask(1, read_pdu(3, 1005, 1)), (Bytes{0x83, 6}));
    EXPECT_EQ(count(GatewayOutcome::busy), 1u);
    // A client has one request at a time in the gateway: its next waits in its connection,
    // while a cached read of another client is answered at once.
    ASSERT_TRUE(clients[1]->send_bytes(mbap(2, 1, read_pdu(3, 4096, 1))));
    EXPECT_TRUE(clients[1]->next_adu(0.3).empty());
    EXPECT_EQ(reply_words(clients[5]->ask(1, read_pdu(3, 4096, 3))), values_from(4096, 3));
    // A client that leaves with its request waiting (its connection reset) frees its place in
    // the queue.
    clients[4]->abort();
    ASSERT_TRUE(eventually([&] { return clients[5]->ask(1, read_pdu(3, 1005, 1), 0.2).empty(); }));
    hold(false);
    for (int i : {0, 1, 2, 3, 5}) {
        const Bytes adu = clients[static_cast<std::size_t>(i)]->next_adu();
        ASSERT_EQ(adu.size(), 11u) << i;
        EXPECT_EQ(reply_words(Bytes(adu.begin() + 7, adu.end())), values_from(1000 + i, 1)) << i;
    }
    const Bytes second = clients[1]->next_adu();
    ASSERT_EQ(second.size(), 11u);
    EXPECT_EQ(second[1], 2);
    EXPECT_EQ(reply_words(Bytes(second.begin() + 7, second.end())), values_from(4096, 1));
    EXPECT_EQ(carried.load(), 5) << "the request of the client that left was dropped";
}

// Clients that send their requests and then their FIN (shutdown(SHUT_WR)) get every reply, a
// cached and a forwarded one, before the gateway closes the connection.
TEST_F(ServedGateway, RequestsBeforeTheClientsFinAreAnsweredThenTheConnectionCloses) {
    start();
    Bytes both = mbap(1, 1, read_pdu(3, 4100, 2));
    const Bytes forwarded = mbap(2, 1, read_pdu(3, 1000, 1));
    both.insert(both.end(), forwarded.begin(), forwarded.end());
    for (int i = 0; i < 20; ++i) {
        ModbusClient client(server->port());
        ASSERT_TRUE(client.send_bytes(both));
        client.stop_sending();
        const Bytes cached = client.next_adu(), carried_reply = client.next_adu();
        ASSERT_EQ(cached.size(), 7u + 6u) << i;
        EXPECT_EQ(reply_words(Bytes(cached.begin() + 7, cached.end())), values_from(4100, 2));
        ASSERT_EQ(carried_reply.size(), 7u + 4u) << i;
        EXPECT_EQ(reply_words(Bytes(carried_reply.begin() + 7, carried_reply.end())),
                  values_from(1000, 1));
        EXPECT_TRUE(client.closed_by_gateway()) << i;
    }
    EXPECT_EQ(count(GatewayOutcome::cached), 20u);
    EXPECT_EQ(count(GatewayOutcome::forwarded), 20u);
}

TEST_F(ServedGateway, HostileClientsAreCutAndCountedWhileAnotherIsServed) {
    start(GatewayLimits{8, milliseconds(400), milliseconds(300)});
    SteadyClient good(server->port(), read_pdu(3, 4096, 2), values_from(4096, 2));
    ASSERT_TRUE(eventually([&] { return good.answered() > 0; }));
    ModbusClient foreign(server->port()), oversized(server->port());
    ASSERT_TRUE(foreign.send_bytes({0, 1, 0, 9, 0, 6, 1, 3, 0, 0, 0, 1}));  // protocol id 9
    ASSERT_TRUE(oversized.send_bytes({0, 1, 0, 0, 1, 44, 1, 3}));  // length 300: over 260 bytes
    EXPECT_TRUE(foreign.closed_by_gateway());
    EXPECT_TRUE(oversized.closed_by_gateway());
    EXPECT_EQ(count(GatewayOutcome::malformed), 2u);

    // One byte every 100 ms: the request is not whole when its 300 ms are over.
    ModbusClient trickle(server->port());
    const Bytes request = mbap(1, 1, read_pdu(3, 4096, 1));
    bool cut = false;
    for (std::size_t i = 0; i < request.size() && !cut; ++i) {
        trickle.send_bytes({request[i]});
        cut = trickle.closed_by_gateway(0.1);
    }
    EXPECT_TRUE(cut) << "the whole request came in " << request.size() * 100 << " ms";
    EXPECT_EQ(count(GatewayOutcome::timed_out), 1u);
    ModbusClient silent(server->port());
    EXPECT_TRUE(silent.closed_by_gateway());
    EXPECT_EQ(count(GatewayOutcome::idle), 1u);

    // 100 connections at once: seven at a time besides the good client are taken and closed
    // once idle, the others refused at once.
    std::vector<std::unique_ptr<ModbusClient>> crowd;
    for (int i = 0; i < 100; ++i) crowd.push_back(std::make_unique<ModbusClient>(server->port()));
    for (auto& c : crowd) EXPECT_TRUE(c->closed_by_gateway());
    EXPECT_GT(count(GatewayOutcome::too_many_clients), 0u);
    EXPECT_EQ(count(GatewayOutcome::too_many_clients) + count(GatewayOutcome::idle) - 1, 100u);
    const int before = good.answered();
    ASSERT_TRUE(eventually([&] { return good.answered() > before + 2; }));
    good.finish();
    EXPECT_EQ(good.failed(), 0) << "the good client was answered throughout";
    EXPECT_EQ(count(GatewayOutcome::cached), static_cast<uint64_t>(good.answered()));
}

// What a link was asked, in order: R for a read of the host's own, F for a forwarded request.
class JournalLink : public RegisterLink {
  public:
    JournalLink(std::mutex& lock, std::string& journal) : lock_(lock), journal_(journal) {}
    asio::awaitable<ReadOutcome> read_registers(int, int start, int count,
                                                uint16_t* words) override {
        note('R');
        for (int i = 0; i < count; ++i) words[i] = register_value(start + i);
        co_return ReadOutcome::ok;
    }
    asio::awaitable<ReadOutcome> exchange(int, const Bytes& request, Bytes& reply) override {
        note('F');
        const int start = request[1] << 8 | request[2];
        reply = {3, 2, static_cast<uint8_t>(register_value(start) >> 8),
                 static_cast<uint8_t>(register_value(start))};
        co_return ReadOutcome::ok;
    }
    const std::string& last_error() const override { return error_; }
    int last_exception() const override { return -1; }
    uint64_t noise_bytes() const override { return 0; }

  private:
    void note(char what) {
        std::lock_guard<std::mutex> hold(lock_);
        journal_ += what;
    }
    std::mutex& lock_;
    std::string& journal_;
    std::string error_;
};

// Counts the complete rounds it is given, and keeps the gateway's counters of the context.
class RoundCount : public RoundSink {
  public:
    RoundCount(std::atomic<int>& complete, std::shared_ptr<const GatewayCounters>& counters,
               const SinkContext& context)
        : complete_(complete) {
        counters = context.gateways.at(0);
    }
    const char* name() const override { return "count"; }
    void take(const StoredBatch& batch) override {
        for (const auto& round : batch) complete_ += round->result->outcome.complete;
    }

  private:
    std::atomic<int>& complete_;
};

// Clients that keep asking, each a read outside the round and one inside it, until the gateway
// goes; what they were answered. They start once `ready` (the first round complete: before it,
// a read inside the round has no round to be answered from and is forwarded too).
struct Askers {
    std::atomic<int> forwarded_right{0}, cached_right{0}, busy{0}, wrong{0};
    std::vector<std::thread> threads;

    void start(const std::string& port_file, int count, std::function<bool()> ready) {
        for (int k = 0; k < count; ++k)
            threads.emplace_back([this, port_file, k, ready] {
                ModbusClient client(testing_support::port_from_file(port_file));
                EXPECT_TRUE(testing_support::eventually(ready));
                while (tally(client.ask(1, read_pdu(3, 1000 + k, 1)), values_from(1000 + k, 1),
                             forwarded_right) &&
                       tally(client.ask(1, read_pdu(3, 4100 + k, 2)), values_from(4100 + k, 2),
                             cached_right)) {
                }
            });
    }
    // False once the gateway has gone or is going (the host stopping: exception 10).
    bool tally(const Bytes& reply, const std::vector<uint16_t>& expected, std::atomic<int>& right) {
        if (reply.empty() || reply == Bytes{0x83, 10}) return false;
        if (reply == Bytes{0x83, 6}) {
            ++busy;
        } else if (reply_words(reply) == expected) {
            ++right;
        } else {
            ++wrong;
        }
        return true;
    }
    void join() {
        for (auto& t : threads) t.join();
    }
};

TEST(GatewayInThePipeline, TheLinkCarriesAtMostOneRequestBetweenTwoOfItsOwnAndNoneForTheCache) {
    const std::string dir = testing_support::make_temp_dir();
    HostConfig c;
    c.plugin = KAVREN_M7_PLUGIN_PATH;
    c.database = dir + "/history.db";
    c.interval_s = 0.002;
    c.rounds = 150;
    c.restore = false;
    c.plugin_log = false;
    LinkConfig link;
    link.kind = LinkConfig::Kind::tcp;
    link.tcp = {"memory", "1"};
    link.meters.push_back(MeterConfig{"m", 1, 0, {}, {}});
    link.gateway.listen = "127.0.0.1:0";
    link.gateway.port_file = dir + "/gateway.port";
    link.gateway.max_age_s = 60;
    link.gateway.max_clients = 16;
    c.links.push_back(link);

    std::mutex lock;
    std::string journal;
    std::atomic<int> complete{0};
    std::shared_ptr<const GatewayCounters> counters;
    PipelineParts parts;
    parts.make_link = [&](const LinkConfig&, int) {
        return std::make_unique<JournalLink>(lock, journal);
    };
    parts.sinks = {[&](const SinkContext& context) {
        return std::make_unique<RoundCount>(complete, counters, context);
    }};
    Askers askers;
    askers.start(link.gateway.port_file, 10, [&] { return complete.load() > 0; });
    {
        Pipeline pipeline(
            c, [](const std::string&) {}, std::move(parts));
        EXPECT_EQ(pipeline.run().exit_status(), 0);
    }
    askers.join();
    EXPECT_EQ(complete.load(), 150) << "every round complete";
    EXPECT_EQ(askers.wrong.load(), 0);
    EXPECT_GT(askers.cached_right.load(), 0);
    // Each round is seven reads of the host's own: inside one, at most one forwarded request
    // between two of them.
    int reads = 0, forwarded_in_rounds = 0, in_a_row = 0;
    for (char event : journal) {
        if (event == 'R') {
            reads = reads % 7 + 1;
            in_a_row = 0;
            continue;
        }
        if (reads % 7 == 0) continue;  // between rounds: as many as come
        ++forwarded_in_rounds;
        EXPECT_LE(++in_a_row, 1) << "after read " << reads << " of a round";
    }
    EXPECT_GT(forwarded_in_rounds, 0) << "no request came during a round";
    const long carried = std::count(journal.begin(), journal.end(), 'F');
    EXPECT_EQ(carried, askers.forwarded_right.load()) << "a cached read never reached the link";
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->value(GatewayOutcome::forwarded), static_cast<uint64_t>(carried));
    EXPECT_EQ(counters->value(GatewayOutcome::cached),
              static_cast<uint64_t>(askers.cached_right.load()));
    testing_support::remove_folder(dir);
}

}  // namespace
