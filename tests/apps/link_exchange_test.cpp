// One Modbus exchange on the host's link against peers that misbehave on purpose: replies that
// trickle, replies that answer another request, exceptions, noise on the line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "apps/host/link/modbus_link.h"
#include "tests/apps/eventually.h"
#include "tests/apps/hostile_peers.h"

namespace {

using namespace testing_support;
using kavren::host::LinkConfig;
using kavren::host::ReadOutcome;
using Clock = std::chrono::steady_clock;
namespace asio = kavren::host::asio;

constexpr int kUnit = 5;

// The host's link, each call driven to its end on a loop of the test's own.
class LinkOnLoop {
  public:
    LinkOnLoop(const LinkConfig& config, int driver_baud) : link_(config, driver_baud) {}
    ReadOutcome read_registers(int unit, int start, int count, uint16_t* words) {
        return run(link_.read_registers(unit, start, count, words));
    }
    ReadOutcome exchange(int unit, const Bytes& request, Bytes& reply) {
        return run(link_.exchange(unit, request, reply));
    }
    const std::string& last_error() const { return link_.last_error(); }
    int last_exception() const { return link_.last_exception(); }
    uint64_t noise_bytes() const { return link_.noise_bytes(); }

  private:
    ReadOutcome run(asio::awaitable<ReadOutcome> call) {
        ReadOutcome outcome = ReadOutcome::ok;
        asio::co_spawn(loop_, std::move(call), [&](std::exception_ptr e, ReadOutcome result) {
            if (e) std::rethrow_exception(e);
            outcome = result;
        });
        loop_.restart();
        loop_.run();
        return outcome;
    }
    asio::io_context loop_;  // outlives the link's sockets and timers
    kavren::host::ModbusLink link_;
};

LinkConfig tcp_link(const HostileTcpServer& server, int timeout_ms) {
    LinkConfig config;
    config.kind = LinkConfig::Kind::tcp;
    config.tcp.host = "127.0.0.1";
    config.tcp.port = std::to_string(server.port());
    config.timeout_ms = timeout_ms;
    return config;
}

LinkConfig rtu_over_tcp_link(const HostileTcpServer& server, int timeout_ms) {
    LinkConfig config = tcp_link(server, timeout_ms);
    config.kind = LinkConfig::Kind::rtu_over_tcp;
    return config;
}

LinkConfig rtu_link(const HostileRtuDevice& device, int timeout_ms) {
    LinkConfig config;
    config.kind = LinkConfig::Kind::rtu;
    config.device = device.path();
    config.timeout_ms = timeout_ms;
    return config;
}

// A read that must succeed with the registers the scripted meter holds.
void expect_good_read(LinkOnLoop& link, int start = 4096, int count = 30) {
    uint16_t words[125] = {};
    ASSERT_EQ(link.read_registers(kUnit, start, count, words), ReadOutcome::ok)
        << link.last_error();
    for (int i = 0; i < count; ++i) ASSERT_EQ(words[i], register_value(start + i)) << i;
    EXPECT_EQ(link.last_exception(), -1);
}

ReadOutcome read_once(LinkOnLoop& link, int start = 4096, int count = 30) {
    uint16_t words[125] = {};
    return link.read_registers(kUnit, start, count, words);
}

// The first request is spoiled by `spoil`, every later one answered well.
Script first_spoiled(Bytes (*good)(const Bytes&), std::function<Bytes(Bytes)> spoil) {
    return [good, spoil](const Bytes& request, int number) {
        return Answer{number == 1 ? spoil(good(request)) : good(request)};
    };
}

TEST(LinkExchange, AReplyTrickledPastTheTimeOutEndsTheRequestAtTheTimeOut) {
    {
        // 69 bytes one every 150 ms would hold the request for 10 s.
        HostileTcpServer server([](const Bytes& request, int number) {
            return Answer{tcp_reply(request), number == 1 ? 150 : 0};
        });
        LinkOnLoop link(tcp_link(server, 500), 9600);
        const auto start = Clock::now();
        EXPECT_EQ(read_once(link), ReadOutcome::timeout);
        EXPECT_GE(seconds_since(start), 0.49);
        EXPECT_LT(seconds_since(start), 1.2);
        EXPECT_NE(link.last_error().find("incomplete after 500 ms"), std::string::npos)
            << link.last_error();
        expect_good_read(link);
    }
    {
        // 17 bytes one every 100 ms: 1.7 s against a 0.5 s time-out.
        HostileRtuDevice device([](const Bytes& request, int number) {
            return Answer{rtu_reply(request), number == 1 ? 100 : 0};
        });
        LinkOnLoop link(rtu_link(device, 500), 9600);
        const auto start = Clock::now();
        EXPECT_EQ(read_once(link, 0, 6), ReadOutcome::timeout);
        EXPECT_GE(seconds_since(start), 0.49);
        EXPECT_LT(seconds_since(start), 1.2);
        // The rest of the trickle is on the line when the next request goes: it is not taken
        // for that request's reply.
        ASSERT_TRUE(eventually([&] { return device.answered() >= 1; }, 10));
        expect_good_read(link, 0, 6);
        expect_good_read(link);
    }
}

TEST(LinkExchange, TcpRepliesThatAnswerAnotherRequestAreBadAndTheNextGoodOneIsTaken) {
    const std::pair<const char*, std::function<Bytes(Bytes)>> cases[] = {
        {"unit",
         [](Bytes r) {
             r[6] = kUnit + 1;
             return r;
         }},
        {"protocol",
         [](Bytes r) {
             r[3] = 1;
             return r;
         }},
        {"transaction",
         [](Bytes r) {
             r[1] ^= 0x40;
             return r;
         }},
        {"function",
         [](Bytes r) {
             r[7] = 0x04;
             return r;
         }},
        {"exception of another function",
         [](Bytes r) { return Bytes{r[0], r[1], 0, 0, 0, 3, r[6], 0x84, 2}; }},
        {"byte count",
         [](Bytes r) {
             r[8] -= 2;
             return r;
         }},
        {"one register short",
         [](Bytes r) {
             r.pop_back();  // g++ under the sanitizers cannot tell that the reply is long enough
             r.pop_back();  // for a resize to a size two less
             r[8] -= 2;
             r[5] -= 2;
             return r;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        HostileTcpServer server(first_spoiled(tcp_reply, c.second));
        LinkOnLoop link(tcp_link(server, 1000), 9600);
        EXPECT_EQ(read_once(link), ReadOutcome::bad_reply) << link.last_error();
        EXPECT_EQ(link.last_exception(), -1);
        expect_good_read(link);
        expect_good_read(link, 0, 6);
    }
}

TEST(LinkExchange, RtuRepliesThatAnswerAnotherRequestAreBadAndTheNextGoodOneIsTaken) {
    const auto resealed = [](Bytes r) { return with_crc(Bytes(r.begin(), r.end() - 2)); };
    const std::tuple<const char*, std::function<Bytes(Bytes)>, ReadOutcome> cases[] = {
        {"unit",
         [&](Bytes r) {
             r[0] = kUnit + 1;
             return resealed(r);
         },
         ReadOutcome::bad_reply},
        {"function",
         [&](Bytes r) {
             r[1] = 0x04;
             return resealed(r);
         },
         ReadOutcome::bad_reply},
        {"exception of another function",
         [](Bytes r) {
             return with_crc({r[0], 0x84, 2});
         },
         ReadOutcome::bad_reply},
        {"one register short",
         [&](Bytes r) {
             r.erase(r.end() - 4, r.end() - 2);
             r[2] -= 2;
             return resealed(r);
         },
         ReadOutcome::bad_reply},
        {"damaged CRC",
         [](Bytes r) {
             r.back() ^= 0xFF;
             return r;
         },
         ReadOutcome::crc_error},
        {"damaged data",
         [](Bytes r) {
             r[5] ^= 0x01;
             return r;
         },
         ReadOutcome::crc_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::get<0>(c));
        HostileRtuDevice device(first_spoiled(rtu_reply, std::get<1>(c)));
        LinkOnLoop link(rtu_link(device, 1000), 9600);
        EXPECT_EQ(read_once(link), std::get<2>(c)) << link.last_error();
        expect_good_read(link);
        expect_good_read(link, 0, 6);
    }
}

TEST(LinkExchange, StrayBytesAndNoiseAreDrainedAndCountedAndEveryExchangeSucceeds) {
    {
        HostileRtuDevice device([](const Bytes& request, int number) {
            Bytes reply = rtu_reply(request);
            if (number == 2) reply.push_back(0x5A);  // a stray byte after the reply
            return Answer{reply};
        });
        LinkOnLoop link(rtu_link(device, 1000), 9600);
        expect_good_read(link);
        device.send_noise({0x00, 0xFF, 0x13});  // on the idle line
        ASSERT_TRUE(device.wait_unread(3));
        expect_good_read(link);
        EXPECT_EQ(link.noise_bytes(), 3u);
        ASSERT_TRUE(device.wait_unread(1));
        expect_good_read(link, 0, 6);
        expect_good_read(link, 256, 7);
        EXPECT_EQ(link.noise_bytes(), 4u);
    }
    {
        HostileTcpServer server([](const Bytes& request, int number) {
            Bytes reply = tcp_reply(request);
            if (number == 1) reply.push_back(0x5A);
            return Answer{reply};
        });
        LinkOnLoop link(tcp_link(server, 1000), 9600);
        for (int i = 0; i < 4; ++i) expect_good_read(link);
        EXPECT_EQ(link.noise_bytes(), 1u);
    }
}

// Stray bytes that come after the request, before its reply: line noise, and the one glitch byte
// of an RS485 adapter switching direction. The reply is found after them, within the same
// time-out, and they are counted as noise.
TEST(LinkExchange, AnRtuReplyIsFoundAfterStrayBytesThatCameWhileWaiting) {
    const auto noise_for = [](int number) {
        if (number == 21) return Bytes(600, 0x00);  // more than a reply and its noise fill
        Bytes noise(static_cast<std::size_t>(number), 0);
        for (int i = 0; i < number; ++i)
            noise[static_cast<std::size_t>(i)] = uint8_t(0xA7 * (i + number));
        return number == 1 ? Bytes{0xFF} : noise;
    };
    const Script script = [&](const Bytes& request, int number) {
        Bytes answer = noise_for(number);
        const Bytes reply = rtu_reply(request);
        answer.insert(answer.end(), reply.begin(), reply.end());
        return Answer{answer};
    };
    HostileRtuDevice device(script);
    HostileTcpServer server(script, HostileTcpServer::Frames::rtu);
    LinkOnLoop serial(rtu_link(device, 1000), 9600);
    LinkOnLoop tcp(rtu_over_tcp_link(server, 1000), 9600);
    for (LinkOnLoop* link : {&serial, &tcp}) {
        uint64_t noise = 0;
        for (int number = 1; number <= 20; ++number) {
            SCOPED_TRACE(number);
            expect_good_read(*link, number % 2 ? 4096 : 0, number % 2 ? 30 : 6);
            noise += static_cast<uint64_t>(number);
            EXPECT_EQ(link->noise_bytes(), noise);
        }
        expect_good_read(*link);
        EXPECT_EQ(link->noise_bytes(), noise + 600);
    }
}

// RTU frames on a TCP connection keep the RTU rules: one request at a time, and after a failed
// exchange a quiet line before the next request; a connection that goes is opened again.
TEST(LinkExchange, RtuOverTcpTakesOnlyItsOwnRepliesFromAHostileServer) {
    HostileTcpServer server(
        [](const Bytes& request, int number) {
            Bytes wrong_unit = rtu_reply(request);
            wrong_unit[0] = kUnit + 1;
            for (std::size_t i = 3; i + 2 < wrong_unit.size(); ++i) wrong_unit[i] = 0xEE;
            switch (number) {
                case 1:
                    return Answer{rtu_reply(request), 40};  // trickled past the time-out
                case 3:
                    return Answer{with_crc(Bytes(wrong_unit.begin(), wrong_unit.end() - 2))};
                case 5:
                    return Answer{{}, 0, true};  // hangs up instead
                default:
                    return Answer{rtu_reply(request)};
            }
        },
        HostileTcpServer::Frames::rtu);
    LinkOnLoop link(rtu_over_tcp_link(server, 500), 9600);
    // 17 bytes 40 ms apart: the line is quiet again well before the next request.
    EXPECT_EQ(read_once(link, 0, 6), ReadOutcome::timeout);
    EXPECT_NE(link.last_error().find("incomplete after 500 ms"), std::string::npos)
        << link.last_error();
    expect_good_read(link);
    EXPECT_EQ(read_once(link), ReadOutcome::bad_reply);
    EXPECT_EQ(link.last_error(), "a reply from unit 6 to a request for unit 5");
    expect_good_read(link);
    EXPECT_EQ(read_once(link), ReadOutcome::connection_lost);
    expect_good_read(link);
    expect_good_read(link, 0, 6);
    EXPECT_EQ(server.requests(), 7);
}

// A serial server in "short connection" mode closes each connection a moment after its reply,
// after the host's next request went out on it: that read goes again on a new connection and
// none fails. A server that hangs up having read a request stays a failure (above).
TEST(LinkExchange, AServerThatClosesEachConnectionLateAfterItsReplyFailsNoRead) {
    HostileTcpServer server(
        [](const Bytes& request, int) {
            Answer late_close{rtu_reply(request)};
            late_close.hang_up_late = true;
            return late_close;
        },
        HostileTcpServer::Frames::rtu);
    LinkOnLoop link(rtu_over_tcp_link(server, 1000), 9600);
    for (int i = 0; i < 7; ++i) expect_good_read(link, 4096 + i, 8);
    EXPECT_EQ(server.requests(), 7) << "the reset requests were never read";
    // A write is never sent twice: the one the reset took is a failure.
    Bytes reply;
    const Bytes write_one{6, 0x00, 0x10, 0x00, 0x01};
    EXPECT_EQ(link.exchange(kUnit, write_one, reply), ReadOutcome::connection_lost);
}

TEST(LinkExchange, EveryExceptionCodeIsAnExceptionWithItsCodeKept) {
    for (const int code : {0, 1, 4, 11, 255}) {
        SCOPED_TRACE(code);
        const auto code_byte = static_cast<uint8_t>(code);
        HostileTcpServer server([code_byte](const Bytes& request, int number) {
            return Answer{number == 1 ? tcp_exception(request, code_byte) : tcp_reply(request)};
        });
        HostileRtuDevice device([code_byte](const Bytes& request, int number) {
            return Answer{number == 1 ? rtu_exception(request, code_byte) : rtu_reply(request)};
        });
        LinkOnLoop tcp(tcp_link(server, 1000), 9600);
        LinkOnLoop rtu(rtu_link(device, 1000), 9600);
        for (LinkOnLoop* link : {&tcp, &rtu}) {
            EXPECT_EQ(read_once(*link), ReadOutcome::exception) << link->last_error();
            EXPECT_EQ(link->last_exception(), code);
            EXPECT_EQ(link->last_error().rfind("exception " + std::to_string(code) + " (", 0), 0u)
                << link->last_error();
            expect_good_read(*link);
        }
        // The meter answered: the connection was kept.
        EXPECT_EQ(server.requests(), 2);
    }
    HostileTcpServer server(
        [](const Bytes& request, int) { return Answer{tcp_exception(request, 4)}; });
    LinkOnLoop link(tcp_link(server, 1000), 9600);
    read_once(link);
    EXPECT_EQ(link.last_error(), "exception 4 (server device failure)");
}

TEST(LinkExchange, AConnectThatHangsEndsAtTheTimeOut) {
    // A listener whose backlog is full: further connection requests go unanswered.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::vector<int> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(waiting.back(), reinterpret_cast<sockaddr*>(&address), size);
    }
    LinkConfig config;
    config.kind = LinkConfig::Kind::tcp;
    config.tcp.host = "127.0.0.1";
    config.tcp.port = std::to_string(ntohs(address.sin_port));
    config.timeout_ms = 400;
    LinkOnLoop link(config, 9600);
    const auto start = Clock::now();
    EXPECT_EQ(read_once(link), ReadOutcome::connection_lost);
    EXPECT_GE(seconds_since(start), 0.39);
    EXPECT_LT(seconds_since(start), 1.2);
    EXPECT_NE(link.last_error().find("no connection within 400 ms"), std::string::npos)
        << link.last_error();
    for (int fd : waiting) close(fd);
    close(listener);
}

TEST(LinkExchange, AHostNameThatDoesNotResolveIsSaidSo) {
    LinkConfig config;
    config.kind = LinkConfig::Kind::tcp;
    config.tcp.host = "no-such-meter.invalid";
    config.tcp.port = "502";
    LinkOnLoop link(config, 9600);
    EXPECT_EQ(read_once(link), ReadOutcome::connection_lost);
    EXPECT_NE(link.last_error().find("no-such-meter.invalid does not resolve"), std::string::npos)
        << link.last_error();
}

}  // namespace
