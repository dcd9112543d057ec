#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

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

// The Modbus TCP server in front of one link, on a thread of its own that never waits for the
// link: non-blocking sockets and poll(). Each connection has one request at a time in the
// gateway (the next one a client sends waits in its connection); a request is answered at once
// by GatewayRules, or handed to the link's thread through the bounded queue of the LinkShare and
// answered when it comes back. A malformed MBAP header cuts the connection; so does a request
// that trickles in, or a reply the client does not take, past the request time-out.
class GatewayServer {
  public:
    using Clock = std::chrono::steady_clock;

    // Listens on `address` (HOST:PORT, as listen_address() gives it; port 0: any free port).
    // Throws std::runtime_error when it cannot.
    GatewayServer(const std::string& address, GatewayLimits limits, GatewayRules rules,
                  LinkShare& share, GatewayCounters& counters);
    ~GatewayServer();

    int port() const { return port_; }
    // HOST:PORT as bound.
    const std::string& address() const { return address_; }
    void start();
    // Closes every connection; the thread ends before this returns.
    void stop();

    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

  private:
    struct Client {
        int fd = -1;
        uint64_t ticket = 0;      // names its forwarded request
        Bytes in;                 // received, not yet a whole request
        Bytes out;                // a reply not yet sent in full
        bool waiting = false;     // its request is with the link's thread
        MbapHeader pending{};     // that request's header, for the reply
        Clock::time_point heard;  // the last byte received or reply sent
        bool begun = false;       // part of a request is in `in`, since `began`
        Clock::time_point began;
        Clock::time_point sending_since;
        bool sent_all = false;  // the client shut its sending side: its requests are answered,
                                // then the connection is closed
        bool gone = false;
    };

    void run();
    int poll_timeout_ms(Clock::time_point now) const;
    void accept_clients(Clock::time_point now);
    void on_ready(Client& client, short revents, Clock::time_point now);
    void receive(Client& client, Clock::time_point now);
    // Takes the client's whole requests one at a time while nothing of it is pending.
    void serve(Client& client, Clock::time_point now);
    // Closes the connection of a client that sent all it will once nothing of it is pending.
    void close_if_answered(Client& client);
    void take_request(Client& client, const MbapRequest& request, Clock::time_point now);
    void reply(Client& client, const MbapHeader& header, const Handling& handling,
               Clock::time_point now);
    void send_out(Client& client, Clock::time_point now);
    void deliver_done(Clock::time_point now);
    void check_timers(Clock::time_point now);
    void cut(Client& client, GatewayOutcome outcome);
    void close_client(Client& client);
    void wake();

    GatewayLimits limits_;
    GatewayRules rules_;
    LinkShare& share_;
    GatewayCounters& counters_;
    int listener_ = -1;
    int wake_fd_ = -1;  // an eventfd: the link's thread says a request is done, stop() says stop
    int port_ = 0;
    std::string address_;
    std::vector<Client> clients_;
    uint64_t next_ticket_ = 0;
    Clock::time_point listener_paused_until_{};  // out of descriptors: accept again later
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kavren::host
