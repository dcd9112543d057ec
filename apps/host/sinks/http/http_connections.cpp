#include "apps/host/sinks/http/http_connections.h"

#include <chrono>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>

namespace kavren::host {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// An accept that failed (the process out of descriptors) is tried again after this.
constexpr std::chrono::seconds kAcceptRetry{1};

}  // namespace

HttpConnections::HttpConnections(Acceptors listeners, HttpService& service)
    : strand_(asio::make_strand(listeners.at(0).get_executor())), service_(service) {
    for (tcp::acceptor& acceptor : listeners)
        listeners_.push_back(
            std::make_unique<Listener>(Listener{std::move(acceptor), asio::steady_timer(strand_)}));
}

HttpConnections::~HttpConnections() { stop(); }

void HttpConnections::start() {
    for (std::size_t i = 0; i < listeners_.size(); ++i) hold();
    asio::post(strand_, [this] {
        for (const auto& listener : listeners_) accept(*listener);
    });
}

void HttpConnections::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        ++holds_;  // the call queued below
    }
    asio::post(strand_, [this] { cancel_all(); });
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return holds_ == 0; });
}

void HttpConnections::accept(Listener& listener) {
    listener.acceptor.async_accept(
        asio::make_strand(strand_.get_inner_executor()),
        asio::bind_executor(
            strand_, [this, &listener](const boost::system::error_code& ec, tcp::socket socket) {
                on_accepted(listener, ec, std::move(socket));
            }));
}

void HttpConnections::on_accepted(Listener& listener, const boost::system::error_code& ec,
                                  tcp::socket socket) {
    if (stopping_ || ec == asio::error::operation_aborted) return release();
    if (ec) {
        if (service_.log) service_.log("http: cannot accept a connection: " + ec.message());
        listener.retry.expires_after(kAcceptRetry);
        listener.retry.async_wait([this, &listener](const boost::system::error_code& waited) {
            if (waited || stopping_) return release();
            accept(listener);
        });
        return;
    }
    open_session(std::move(socket));
    if (open_count() >= static_cast<std::size_t>(service_.limits.max_open_connections)) {
        listener.full = true;  // accepting again when a connection ends
        return;
    }
    accept(listener);
}

void HttpConnections::open_session(tcp::socket socket) {
    const std::uint64_t id = next_id_++;
    auto session = std::make_shared<HttpSession>(std::move(socket), service_,
                                                 [this, id] { session_ended(id); });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++holds_;
        open_[id] = session;
    }
    session->start();
}

void HttpConnections::session_ended(std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(id);
        // The session's hold passes to the call queued below.
    }
    asio::post(strand_, [this] {
        const auto most = static_cast<std::size_t>(service_.limits.max_open_connections);
        for (const auto& listener : listeners_) {
            if (stopping_ || !listener->full || open_count() >= most) continue;
            listener->full = false;
            accept(*listener);
        }
        release();
    });
}

void HttpConnections::cancel_all() {
    stopping_ = true;
    for (const auto& listener : listeners_) {
        // A pending accept or retry ends with operation_aborted and releases its loop's hold;
        // a listener waiting for room has nothing pending.
        boost::system::error_code ignored;
        listener->acceptor.close(ignored);
        listener->retry.cancel();
        if (listener->full) {
            listener->full = false;
            release();
        }
    }
    std::vector<std::shared_ptr<HttpSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : open_)
            if (auto session = entry.second.lock()) sessions.push_back(std::move(session));
    }
    for (const auto& session : sessions) session->cut();
    release();
}

std::size_t HttpConnections::open_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.size();
}

void HttpConnections::hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++holds_;
}

void HttpConnections::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--holds_ == 0) idle_.notify_all();
}

}  // namespace kavren::host
