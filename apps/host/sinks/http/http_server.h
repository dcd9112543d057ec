#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/sinks/http/http_message.h"
#include "apps/host/sinks/http/http_reply.h"
#include "apps/host/sinks/http/http_rules.h"

namespace boost::asio {
class io_context;
}

namespace kavren::host {

// The embedded HTTP server (Boost.Beast on an Asio loop). The loop does all of the network
// I/O: a connection waiting for its client holds a socket and a timer, never a thread. Each
// request's line and headers are read within one deadline for the whole of them (a client that
// trickles bytes is cut off), larger ones refused, no keep-alive. Only GET and HEAD without a
// body are served: any other method (405) or a body (413) is refused without reading the body,
// and the connection ends after the reply. Handlers run on `max_connections` worker threads; a
// reply goes out in pieces, each to be taken within its own deadline. Every request goes to one
// handler. With a password file, every request needs HTTP basic authentication; without one, a
// request whose Host header names another host is refused (403).
class HttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    using Log = std::function<void(const std::string&)>;

    // listen: "HOST:PORT" as http_listen_address() gives it (port 0: any free port).
    // password_file: lines "user:password". host_names: names besides this machine's that
    // requests may carry without a password. Serves on a loop of its own, one thread.
    // Throws std::runtime_error when it cannot listen or read the password file.
    HttpServer(const std::string& listen, const HttpLimits& limits,
               const std::string& password_file, std::vector<std::string> host_names,
               Handler handler, Log log);
    // The same on `loop`, which the caller runs until this is destroyed.
    HttpServer(boost::asio::io_context& loop, const std::string& listen, const HttpLimits& limits,
               const std::string& password_file, std::vector<std::string> host_names,
               Handler handler, Log log);
    // Stops listening and cuts every connection, then waits for them to end (and for handlers
    // running meanwhile). Not from a thread that runs the loop.
    ~HttpServer();

    int port() const { return port_; }
    // HOST:PORT as bound.
    const std::string& address() const { return address_; }

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

  private:
    class OwnLoop;
    class Core;

    std::unique_ptr<OwnLoop> own_;  // before core_: outlives it
    std::unique_ptr<Core> core_;
    int port_ = 0;
    std::string address_;
};

}  // namespace kavren::host
