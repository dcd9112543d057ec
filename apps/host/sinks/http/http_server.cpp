#include "apps/host/sinks/http/http_server.h"

#include <algorithm>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "apps/host/sinks/http/http_connections.h"
#include "apps/host/sinks/http/http_session.h"
#include "apps/host/support/listeners.h"

namespace kavren::host {

namespace asio = boost::asio;

// The loop of a server given none: one thread, until the server is gone.
class HttpServer::OwnLoop {
  public:
    explicit OwnLoop(Log log)
        : guard_(asio::make_work_guard(loop_)), thread_([this, log] { run(log); }) {}
    ~OwnLoop() {
        guard_.reset();  // nothing of the server is left on it: run() returns
        thread_.join();
    }
    asio::io_context& loop() { return loop_; }

  private:
    void run(const Log& log) {
        for (;;) {
            try {
                loop_.run();
                return;
            } catch (const std::exception& e) {
                if (log) log(std::string("http: ") + e.what());
            }
        }
    }

    asio::io_context loop_{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

// The listening sockets, the connections and the worker threads, on one loop.
class HttpServer::Core {
  public:
    Core(asio::io_context& loop, const std::string& listen, const HttpLimits& limits,
         const std::string& password_file, std::vector<std::string> host_names, Handler handler,
         Log log)
        : workers_(static_cast<std::size_t>(std::max(1, limits.max_connections))) {
        service_.limits = limits;
        service_.handler = std::move(handler);
        service_.log = std::move(log);
        if (!password_file.empty()) service_.credentials = read_http_password_file(password_file);
        service_.host_names = with_this_machine(std::move(host_names));
        service_.workers = &workers_;
        std::vector<asio::ip::tcp::acceptor> listeners;
        try {
            listeners = open_listeners(loop.get_executor(), listen);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("cannot serve HTTP on " + listen + ": " + e.what());
        }
        port_ = listeners.front().local_endpoint().port();
        connections_ = std::make_unique<HttpConnections>(std::move(listeners), service_);
        connections_->start();
    }
    ~Core() {
        service_.stopping.store(true);
        connections_->stop();
        workers_.join();
    }
    int port() const { return port_; }

  private:
    asio::thread_pool workers_;
    HttpService service_;
    std::unique_ptr<HttpConnections> connections_;
    int port_ = 0;
};

HttpServer::HttpServer(const std::string& listen, const HttpLimits& limits,
                       const std::string& password_file, std::vector<std::string> host_names,
                       Handler handler, Log log)
    : own_(std::make_unique<OwnLoop>(log)) {
    core_ = std::make_unique<Core>(own_->loop(), listen, limits, password_file,
                                   std::move(host_names), std::move(handler), std::move(log));
    port_ = core_->port();
    address_ = listen.substr(0, listen.rfind(':')) + ":" + std::to_string(port_);
}

HttpServer::HttpServer(asio::io_context& loop, const std::string& listen, const HttpLimits& limits,
                       const std::string& password_file, std::vector<std::string> host_names,
                       Handler handler, Log log)
    : core_(std::make_unique<Core>(loop, listen, limits, password_file, std::move(host_names),
                                   std::move(handler), std::move(log))),
      port_(core_->port()),
      address_(listen.substr(0, listen.rfind(':')) + ":" + std::to_string(port_)) {}

HttpServer::~HttpServer() = default;

}  // namespace kavren::host
