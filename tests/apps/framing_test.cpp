// The link's framings from bytes alone: RTU replies found after stray bytes, damaged and foreign
// frames, MBAP replies that answer another request, and the MBAP requests a server reads.
#include <random>

#include <gtest/gtest.h>

#include "apps/host/link/mbap_framing.h"
#include "apps/host/link/rtu_framing.h"
#include "tests/apps/hostile_peers.h"

namespace {

using namespace kavren::host;
using testing_support::register_value;
using testing_support::rtu_exception;
using testing_support::rtu_reply;
using testing_support::tcp_exception;
using testing_support::tcp_reply;
using testing_support::with_crc;

constexpr int kUnit = 5;

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What a link makes of `stream` arriving after the request: it reads what the framing asks
// for, never more, until the framing is done or the stream has nothing more to give.
struct Fed {
    ReplyScan scan;
    std::size_t read = 0;  // bytes of the stream taken
    Bytes pdu;
};
Fed feed(const Framing& framing, const Bytes& stream) {
    Fed f;
    for (;;) {
        f.scan = framing.scan_reply(stream.data(), f.read);
        if (f.scan.state == ReplyScan::State::done || f.read == stream.size()) break;
        EXPECT_GE(f.scan.up_to, f.scan.at_least);
        f.read += std::min(f.scan.up_to, stream.size() - f.read);
    }
    if (f.scan.state == ReplyScan::State::done && f.scan.outcome == ReadOutcome::ok)
        f.pdu.assign(stream.begin() + static_cast<long>(f.scan.pdu_at),
                     stream.begin() + static_cast<long>(f.scan.pdu_at + f.scan.pdu_size));
    return f;
}

struct RtuExchange {
    RtuFraming framing;
    Bytes request;
    Bytes reply;
    explicit RtuExchange(int start = 4096, int count = 30)
        : request(framing.frame_request(kUnit, read_registers_request(start, count))),
          reply(rtu_reply(request)) {}
    Bytes reply_pdu() const { return Bytes(reply.begin() + 1, reply.end() - 2); }
};

TEST(RtuFraming, AReplyIsFoundAfterOneToTwentyStrayBytesWhichAreCountedExactly) {
    std::mt19937 random(19);
    for (std::size_t stray = 1; stray <= 20; ++stray) {
        SCOPED_TRACE(stray);
        RtuExchange x;
        Bytes noise(stray);
        for (auto& b : noise) b = static_cast<uint8_t>(random());
        // And what follows the reply stays on the line.
        const Fed f = feed(x.framing, cat(cat(noise, x.reply), {0x5A, 0x5A}));
        ASSERT_EQ(f.scan.state, ReplyScan::State::done);
        ASSERT_EQ(f.scan.outcome, ReadOutcome::ok) << f.scan.detail;
        EXPECT_EQ(f.scan.noise, stray);
        EXPECT_EQ(f.pdu, x.reply_pdu());
        EXPECT_EQ(f.read, stray + x.reply.size()) << "read past the reply";
    }
}

TEST(RtuFraming, NoiseThatLooksLikeTheStartOfAReplyIsSkippedToo) {
    const std::vector<Bytes> noises = {
        {0xFF},                    // the direction-switch glitch
        {kUnit},                   // the unit id alone
        {kUnit, 0x03},             // unit and function
        {kUnit, 0x03, 0x3A},       // a byte count that is not this request's
        {kUnit, 0x83},             // an exception's start, its CRC then wrong
        {0x00, 0x00, 0x00, 0x00},  // a line held low
    };
    for (const Bytes& noise : noises) {
        SCOPED_TRACE(testing::PrintToString(noise));
        RtuExchange x;
        const Fed f = feed(x.framing, cat(noise, x.reply));
        ASSERT_EQ(f.scan.state, ReplyScan::State::done);
        ASSERT_EQ(f.scan.outcome, ReadOutcome::ok) << f.scan.detail;
        EXPECT_EQ(f.scan.noise, noise.size());
        EXPECT_EQ(f.pdu, x.reply_pdu());
    }
}

TEST(RtuFraming, ADamagedReplyIsACrcErrorUnlessTheRealOneFollows) {
    RtuExchange x;
    Bytes damaged = x.reply;
    damaged[10] ^= 0x01;
    const Fed alone = feed(x.framing, cat({0x11, 0x22}, damaged));
    ASSERT_EQ(alone.scan.state, ReplyScan::State::more) << "it waits out the time-out";
    EXPECT_EQ(alone.scan.if_no_more, ReadOutcome::crc_error);
    EXPECT_EQ(alone.scan.detail, "the reply's CRC does not match");
    EXPECT_EQ(alone.scan.noise, 2u);
    const Fed then_good = feed(x.framing, cat(damaged, x.reply));
    ASSERT_EQ(then_good.scan.state, ReplyScan::State::done);
    EXPECT_EQ(then_good.scan.outcome, ReadOutcome::ok);
    EXPECT_EQ(then_good.scan.noise, damaged.size());

    // A reply that stops short is still coming: at the time-out, its bytes say how far it got.
    const Fed part = feed(x.framing, cat({0x7E}, Bytes(x.reply.begin(), x.reply.begin() + 10)));
    ASSERT_EQ(part.scan.state, ReplyScan::State::more);
    EXPECT_EQ(part.scan.if_no_more, ReadOutcome::timeout);
    EXPECT_EQ(part.scan.partial, 10u);
    EXPECT_EQ(part.scan.noise, 1u);
    EXPECT_EQ(part.scan.at_least, x.reply.size() - 10);
}

TEST(RtuFraming, AWholeFrameThatAnswersSomethingElseIsABadReplyAtOnce) {
    RtuExchange x;
    const auto resealed = [](Bytes r) { return with_crc(Bytes(r.begin(), r.end() - 2)); };
    Bytes other_unit = x.reply;
    other_unit[0] = kUnit + 1;
    for (std::size_t i = 3; i + 2 < other_unit.size(); ++i) other_unit[i] ^= 0x5A;  // its data
    Bytes other_function = x.reply;
    other_function[1] = 0x04;
    Bytes short_reply = x.reply;
    short_reply.erase(short_reply.end() - 4, short_reply.end() - 2);
    short_reply[2] -= 2;
    const std::pair<Bytes, std::string> cases[] = {
        {resealed(other_unit), "a reply from unit 6 to a request for unit 5"},
        {resealed(other_function), "function 0x04 in the reply to function 0x03"},
        {with_crc({kUnit, 0x84, 2}), "an exception for function 0x04"},
        {resealed(short_reply), "byte count 58 in a reply for 30 registers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        const Fed f = feed(x.framing, cat({0xFF, 0x00}, c.first));
        ASSERT_EQ(f.scan.state, ReplyScan::State::done);
        EXPECT_EQ(f.scan.outcome, ReadOutcome::bad_reply);
        EXPECT_EQ(f.scan.detail, c.second);
        EXPECT_EQ(f.scan.noise, 2u);
    }
}

TEST(RtuFraming, ExceptionsAndTheRepliesOfOtherFunctionsAreFramedToo) {
    RtuExchange x;
    const Fed exception = feed(x.framing, rtu_exception(x.request, 4));
    ASSERT_EQ(exception.scan.outcome, ReadOutcome::ok);
    EXPECT_EQ(exception.pdu, (Bytes{0x83, 4}));
    // A write of one register, answered with its echo: what a forwarded request may be.
    RtuFraming framing;
    const Bytes write{0x06, 0x01, 0x00, 0x12, 0x34};
    const Bytes frame = framing.frame_request(9, write);
    EXPECT_EQ(frame, with_crc({9, 0x06, 0x01, 0x00, 0x12, 0x34}));
    const Fed echo = feed(framing, cat({0xFF}, frame));
    ASSERT_EQ(echo.scan.outcome, ReadOutcome::ok);
    EXPECT_EQ(echo.pdu, write);
    EXPECT_EQ(echo.scan.noise, 1u);
}

struct MbapExchange {
    MbapFraming framing;
    Bytes request;
    Bytes reply;
    explicit MbapExchange(int requests = 1) {
        for (int i = 0; i < requests; ++i)
            request = framing.frame_request(kUnit, read_registers_request(4096, 30));
        reply = tcp_reply(request);
    }
};

TEST(MbapFraming, RepliesThatAnswerAnotherRequestAreBadAsBefore) {
    MbapExchange x(2);
    EXPECT_EQ(x.request[1], 2) << "each request takes the next transaction id";
    const auto with = [&](std::size_t at, uint8_t value) {
        Bytes r = x.reply;
        r[at] = value;
        return r;
    };
    const std::pair<Bytes, std::string> cases[] = {
        {with(1, 1), "a reply to transaction 1, not 2 (a stale or foreign reply)"},
        {with(3, 1), "a reply with protocol id 1"},
        {with(6, kUnit + 1), "a reply from unit 6 to a request for unit 5"},
        {with(7, 0x04), "function 0x04 in the reply to function 0x03"},
        {Bytes{0, 2, 0, 0, 0, 3, kUnit, 0x84, 2}, "function 0x84 in the reply to function 0x03"},
        {Bytes{0, 2, 0, 0, 0, 2, kUnit, 0x83}, "a reply of length 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        const Fed f = feed(x.framing, c.first);
        ASSERT_EQ(f.scan.state, ReplyScan::State::done);
        EXPECT_EQ(f.scan.outcome, ReadOutcome::bad_reply);
        EXPECT_EQ(f.scan.detail, c.second);
    }
    // The byte count is the PDU's business, the same on every link.
    Bytes pdu(x.reply.begin() + 7, x.reply.end());
    EXPECT_EQ(data_mismatch(read_registers_request(4096, 30), pdu.data(), pdu.size()), "");
    pdu[1] -= 2;
    EXPECT_EQ(data_mismatch(read_registers_request(4096, 30), pdu.data(), pdu.size()),
              "byte count 58 in a reply for 30 registers");
}

TEST(MbapFraming, TheReplyIsReadInOneGoAndWhatFollowsAShorterOneIsNoise) {
    MbapExchange x;
    const ReplyScan first = x.framing.scan_reply(nullptr, 0);
    EXPECT_EQ(first.at_least, 7u);
    EXPECT_EQ(first.up_to, x.reply.size()) << "the header and the rest the request asks for";
    const Fed whole = feed(x.framing, x.reply);
    ASSERT_EQ(whole.scan.outcome, ReadOutcome::ok);
    EXPECT_EQ(whole.pdu, Bytes(x.reply.begin() + 7, x.reply.end()));
    EXPECT_EQ(whole.read, x.reply.size());
    // An exception is shorter than the reply asked for: the same read may take stray bytes.
    Bytes exception = tcp_exception(x.request, 2);
    const ReplyScan s =
        x.framing.scan_reply(cat(exception, {1, 2, 3}).data(), exception.size() + 3);
    ASSERT_EQ(s.state, ReplyScan::State::done);
    EXPECT_EQ(s.outcome, ReadOutcome::ok);
    EXPECT_EQ(s.noise, 3u);
    EXPECT_EQ(s.pdu_size, 2u);
}

TEST(MbapFraming, AServerFindsWholeRequestsAndBuildsTheirReplies) {
    MbapFraming client;
    const Bytes request = client.frame_request(7, read_registers_request(0, 6));
    for (std::size_t part = 0; part < request.size(); ++part)
        EXPECT_EQ(find_mbap_request(request.data(), part).state, MbapRequest::State::more) << part;
    const Bytes two = cat(request, request);
    const MbapRequest found = find_mbap_request(two.data(), two.size());
    ASSERT_EQ(found.state, MbapRequest::State::whole);
    EXPECT_EQ(found.size, request.size());
    EXPECT_EQ(found.header.unit, 7);
    EXPECT_EQ(found.header.transaction, 1);
    Bytes bad_protocol = request;
    bad_protocol[2] = 1;
    EXPECT_EQ(find_mbap_request(bad_protocol.data(), bad_protocol.size()).why, "protocol id 256");
    Bytes too_long = request;
    too_long[4] = 1;
    EXPECT_EQ(find_mbap_request(too_long.data(), too_long.size()).state,
              MbapRequest::State::malformed);
    // The server's reply carries the request's transaction and unit; the client takes it.
    const Bytes pdu{0x83, 2};
    const Bytes reply = mbap_adu(found.header.transaction, found.header.unit, pdu.data(), 2);
    const Fed f = feed(client, reply);
    ASSERT_EQ(f.scan.outcome, ReadOutcome::ok);
    EXPECT_EQ(f.pdu, pdu);
}

}  // namespace
