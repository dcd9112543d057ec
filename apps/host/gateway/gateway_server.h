#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "apps/host/gateway/gateway_client.h"
#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/gateway/gateway_rules.h"
#include "apps/host/poll/link_share.h"

namespace kavren::host {

// The Modbus TCP server in front of one link, on an Asio loop it shares with the host: it never
// waits for the link, and holds no thread of its own. It accepts on every address it listens on
// (IPv4 and IPv6), at most max_clients connections at once (more are closed at once), each a
// GatewayClient; the link's thread hands back what it carried through the LinkShare's queue.
// Everything of it runs on one strand of the loop.
class GatewayServer {
  public:
    // Listens on `address` (HOST:PORT, as listen_address() gives it; port 0: any free port),
    // served on `loop` once started. Throws std::runtime_error when it cannot.
    GatewayServer(boost::asio::io_context& loop, const std::string& address, GatewayLimits limits,
                  GatewayRules rules, LinkShare& share, GatewayCounters& counters);
    // Stops. Not from a thread that runs the loop.
    ~GatewayServer();

    int port() const { return port_; }
    // HOST:PORT as bound.
    const std::string& address() const { return address_; }
    void start();
    // Answers what the link has handed back, closes every connection and the listening
    // sockets, and waits until nothing of the server is left on the loop, which must run for
    // this to end. Not from a thread that runs the loop.
    void stop();

    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

  private:
    struct Listener {
        boost::asio::ip::tcp::acceptor acceptor;
        boost::asio::steady_timer rest;  // out of descriptors: accepting again later
    };

    void accept(Listener& listener);
    void on_accepted(Listener& listener, const boost::system::error_code& ec,
                     boost::asio::ip::tcp::socket socket);
    void deliver_done();
    // On the strand: what the link handed back is answered, then everything is cancelled.
    void cancel_all();

    boost::asio::strand<boost::asio::any_io_executor> strand_;
    GatewayService service_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    int port_ = 0;
    std::string address_;
    bool started_ = false;
    bool stopped_ = false;
    // On the strand.
    std::map<uint64_t, std::shared_ptr<GatewayClient>> clients_;  // by ticket
    uint64_t next_ticket_ = 0;
    bool stopping_ = false;
    std::promise<void> quiet_;  // kept once stopping and no operation is left
};

}  // namespace kavren::host
