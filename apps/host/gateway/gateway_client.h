#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/gateway/gateway_rules.h"
#include "apps/host/link/mbap_framing.h"
#include "apps/host/poll/link_share.h"

namespace kavren::host {

// What one client may hold and for how long.
struct GatewayLimits {
    int max_clients = 8;                              // more connections are closed at once
    std::chrono::milliseconds idle_timeout{60000};    // no request for this long: closed
    std::chrono::milliseconds request_timeout{2000};  // a request begun must be whole, and a
                                                      // reply taken, within this
};

// What every connection of one gateway uses, on the gateway's strand. `closed` is called once
// for each connection as it ends. Every asynchronous operation of the gateway is counted from
// its start to the end of its handler, so that the gateway can wait for none to be left.
struct GatewayService {
    GatewayService(GatewayLimits l, GatewayRules r, LinkShare& s, GatewayCounters& c)
        : limits(l), rules(std::move(r)), share(s), counters(c) {}
    GatewayLimits limits;
    GatewayRules rules;
    LinkShare& share;
    GatewayCounters& counters;
    std::function<void(uint64_t ticket)> closed;
    std::function<void()> idle;  // the count came back to none
    int operations = 0;

    void begun() { ++operations; }
    void ended() {
        if (--operations == 0 && idle) idle();
    }
};

// Ends the count of one operation of a gateway: made first in its handler, gone last.
class OperationDone {
  public:
    explicit OperationDone(GatewayService& service) : service_(service) {}
    ~OperationDone() { service_.ended(); }
    OperationDone(const OperationDone&) = delete;
    OperationDone& operator=(const OperationDone&) = delete;

  private:
    GatewayService& service_;
};

// One client's connection. It has one request at a time in the gateway (the next one it sends
// waits in the connection): answered at once by GatewayRules, or handed to the link's thread
// through the LinkShare's queue and answered by answer() when it comes back. A malformed MBAP
// header cuts the connection; so does a request that trickles in, or a reply the client does
// not take, past the request time-out. Deadlines are one timer. All of it on the strand of the
// socket's executor.
class GatewayClient : public std::enable_shared_from_this<GatewayClient> {
  public:
    using Clock = std::chrono::steady_clock;

    GatewayClient(boost::asio::ip::tcp::socket socket, GatewayService& service, uint64_t ticket);

    void start();
    bool waiting() const { return waiting_; }
    // The link's thread is done with the request it waits for.
    void answer(const ForwardedRequest& done);
    // Ends the connection at once.
    void close();

    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

  private:
    // Room for a whole request and the start of the next one the client sends meanwhile; past
    // it the connection is not read until the request ahead is answered.
    static constexpr std::size_t kInRoom = 2 * (kMbapHeaderSize + kMbapMaxPdu);

    void read();
    void on_read(const boost::system::error_code& ec, std::size_t size);
    // Takes the client's whole requests one at a time while nothing of it is pending.
    void serve(Clock::time_point now);
    void take_request(const MbapRequest& request, Clock::time_point now);
    void reply(const MbapHeader& header, const Handling& handling, Clock::time_point now);
    void on_written(const boost::system::error_code& ec);
    // What it does next once a request or a reply is done: closes the connection of a client
    // that sent all it will and has nothing pending, or reads on and watches its deadline.
    void carry_on();
    // The time by which the connection is cut or closed, and why; none while the link carries
    // its request.
    bool due(Clock::time_point& at, GatewayOutcome& why) const;
    void watch_deadline();
    void on_deadline(const boost::system::error_code& ec);
    void cut(GatewayOutcome outcome);

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    Clock::time_point armed_for_ = Clock::time_point::max();  // the wait pending; max: none
    GatewayService& service_;
    uint64_t ticket_;  // names its forwarded request
    std::array<uint8_t, kInRoom> buffer_{};
    Bytes in_;                 // received, not yet a whole request
    Bytes out_;                // a reply being sent
    bool reading_ = false;     // a read is pending
    bool waiting_ = false;     // its request is with the link's thread
    MbapHeader pending_{};     // that request's header, for the reply
    Clock::time_point heard_;  // the last byte received or reply sent
    bool begun_ = false;       // part of a request is in `in_`, since `began_`
    Clock::time_point began_;
    Clock::time_point sending_since_;
    bool sent_all_ = false;  // the client shut its sending side: its requests are answered,
                             // then the connection is closed
    bool gone_ = false;
};

}  // namespace kavren::host
