#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "apps/host/sinks/http/http_message.h"

namespace kavren::host {

// What every connection of one server reads: fixed before the first is accepted, except
// `stopping`.
struct HttpService {
    HttpLimits limits;
    std::function<HttpResponse(const HttpRequest&)> handler;
    std::function<void(const std::string&)> log;
    std::vector<std::string> credentials;         // "user:password"; none: no authentication
    std::vector<std::string> host_names;          // served without a password, besides IP addresses
    boost::asio::thread_pool* workers = nullptr;  // where handlers run
    std::atomic<bool> stopping{false};            // handlers not yet begun are skipped
};

// One connection, one request. Its line and headers are read within one deadline for the whole
// of them (trickled bytes do not extend it); the method, a body, the Host header and the
// credentials are checked on the loop, and a request with a body refused before a byte of the
// body is read. The handler runs on a worker thread; its reply is written 64 KiB at a time, each
// piece within a deadline of its own, so a long reply read slowly goes through whole while a
// client that stops reading is cut. Then the connection is closed. Waiting for a client holds
// its socket and a timer, never a thread.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    // `socket`'s executor should be a strand where the loop has several threads. `ended` is
    // called when the session is destroyed.
    HttpSession(boost::asio::ip::tcp::socket socket, HttpService& service,
                std::function<void()> ended);
    ~HttpSession();

    void start();
    // Ends the connection at once, whatever it waits for; from any thread.
    void cut();

    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

  private:
    void on_header(const boost::beast::error_code& ec);
    // The reply of a well-formed request: a refusal here, or the handler's on a worker.
    void answer();
    void run_handler(HttpRequest request, std::string accept_encoding, bool head);
    void send(std::string text);
    void write_next();
    void close();

    HttpService& service_;
    std::function<void()> ended_;
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    boost::beast::http::request_parser<boost::beast::http::empty_body> parser_;
    std::string who_;            // the client's address, for the log
    std::string reply_;          // as it goes out
    std::size_t sent_ = 0;       // of reply_
    bool unread_input_ = false;  // a body or bytes the parser did not take: ended both ways
    bool closed_ = false;
};

}  // namespace kavren::host
