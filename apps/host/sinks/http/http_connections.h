#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "apps/host/sinks/http/http_session.h"

namespace kavren::host {

// The server's connections: accepted on its listening sockets, a session for each, at most
// `max_open_connections` open at once (more wait in the listening sockets' backlog until one
// ends). The accepting runs on a strand of the loop; stop() is cancellation: the listening
// sockets closed, every connection cut, whatever each waited for.
class HttpConnections {
  public:
    using Acceptors = std::vector<boost::asio::ip::tcp::acceptor>;

    // The acceptors' executor is the loop's; `service` outlives this.
    HttpConnections(Acceptors listeners, HttpService& service);
    // Stops, when stop() was not called.
    ~HttpConnections();

    void start();
    // Cancels everything and waits until no connection is left and nothing of this is queued on
    // the loop. Not from a thread that runs the loop: it must run for this to end.
    void stop();

    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

  private:
    struct Listener {
        boost::asio::ip::tcp::acceptor acceptor;
        boost::asio::steady_timer retry;  // after an accept that failed (out of descriptors)
        bool full = false;                // waits for a connection to end
    };
    void accept(Listener& listener);
    void on_accepted(Listener& listener, const boost::system::error_code& ec,
                     boost::asio::ip::tcp::socket socket);
    void open_session(boost::asio::ip::tcp::socket socket);
    void session_ended(std::uint64_t id);
    void cancel_all();
    std::size_t open_count();
    // Something that may still call into this: a listener's loop, a session, a queued call.
    void hold();
    void release();

    boost::asio::strand<boost::asio::any_io_executor> strand_;
    HttpService& service_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    bool stopping_ = false;  // on the strand
    std::uint64_t next_id_ = 0;

    std::mutex mutex_;
    std::condition_variable idle_;
    std::map<std::uint64_t, std::weak_ptr<HttpSession>> open_;
    std::size_t holds_ = 0;
    bool stopped_ = false;
};

}  // namespace kavren::host
