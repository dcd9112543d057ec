#include "apps/host/gateway/gateway_server.h"

#include <chrono>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "apps/host/support/listeners.h"

namespace kavren::host {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// How long a listener rests when the process is out of descriptors.
constexpr std::chrono::milliseconds kAcceptPause{100};

bool out_of_descriptors(const boost::system::error_code& ec) {
    return ec == asio::error::no_descriptors ||
           ec == boost::system::errc::too_many_files_open_in_system ||
           ec == asio::error::no_buffer_space || ec == asio::error::no_memory;
}

}  // namespace

GatewayServer::GatewayServer(asio::io_context& loop, const std::string& address,
                             GatewayLimits limits, GatewayRules rules, LinkShare& share,
                             GatewayCounters& counters)
    : strand_(asio::make_strand(loop.get_executor())),
      service_(limits, std::move(rules), share, counters) {
    std::vector<tcp::acceptor> acceptors;
    try {
        acceptors = open_listeners(strand_, address);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("gateway: cannot listen on " + address + ": " + e.what());
    }
    for (tcp::acceptor& acceptor : acceptors)
        listeners_.push_back(
            std::make_unique<Listener>(Listener{std::move(acceptor), asio::steady_timer(strand_)}));
    port_ = listeners_.front()->acceptor.local_endpoint().port();
    address_ = address.substr(0, address.rfind(':') + 1) + std::to_string(port_);
    service_.closed = [this](uint64_t ticket) { clients_.erase(ticket); };
    service_.idle = [this] {
        if (stopping_) quiet_.set_value();
    };
}

GatewayServer::~GatewayServer() { stop(); }

void GatewayServer::start() {
    started_ = true;
    // Called on the link's thread as each request is done.
    service_.share.forwards.on_done([this] { asio::post(strand_, [this] { deliver_done(); }); });
    asio::post(strand_, [this] {
        for (const auto& listener : listeners_) accept(*listener);
    });
}

void GatewayServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    // Once this returns no wake runs, and the ones queued on the strand come before the call
    // below.
    service_.share.forwards.on_done(nullptr);
    if (!started_) return;  // nothing of it is on the loop; the listening sockets close with it
    std::future<void> quiet = quiet_.get_future();
    asio::post(strand_, [this] { cancel_all(); });
    quiet.wait();
}

void GatewayServer::accept(Listener& listener) {
    service_.begun();
    listener.acceptor.async_accept(
        strand_, [this, &listener](const boost::system::error_code& ec, tcp::socket socket) {
            const OperationDone done(service_);
            on_accepted(listener, ec, std::move(socket));
        });
}

void GatewayServer::on_accepted(Listener& listener, const boost::system::error_code& ec,
                                tcp::socket socket) {
    if (stopping_ || ec == asio::error::operation_aborted) return;
    if (out_of_descriptors(ec)) {
        service_.begun();
        listener.rest.expires_after(kAcceptPause);
        listener.rest.async_wait([this, &listener](const boost::system::error_code& waited) {
            const OperationDone done(service_);
            if (!waited && !stopping_) accept(listener);
        });
        return;
    }
    if (!ec && clients_.size() >= static_cast<std::size_t>(service_.limits.max_clients)) {
        boost::system::error_code ignored;
        socket.close(ignored);
        service_.counters.count(GatewayOutcome::too_many_clients);
    } else if (!ec) {
        const uint64_t ticket = ++next_ticket_;
        auto client = std::make_shared<GatewayClient>(std::move(socket), service_, ticket);
        clients_[ticket] = client;
        client->start();
    }
    accept(listener);  // also after a client that left before it was accepted
}

void GatewayServer::deliver_done() {
    for (const std::unique_ptr<ForwardedRequest>& done : service_.share.forwards.take_done()) {
        const auto owner = clients_.find(done->ticket);
        if (owner == clients_.end() || !owner->second->waiting()) {
            service_.counters.count(forwarded_reply(*done).outcome);  // its client went meanwhile
            continue;
        }
        const std::shared_ptr<GatewayClient> client = owner->second;
        client->answer(*done);
    }
}

void GatewayServer::cancel_all() {
    stopping_ = true;
    // What the link carried before it ended is answered before the connections close: a
    // client whose write was made learns so.
    deliver_done();
    for (const auto& listener : listeners_) {
        boost::system::error_code ignored;
        listener->acceptor.close(ignored);
        listener->rest.cancel();
    }
    const auto clients = std::move(clients_);
    clients_.clear();
    for (const auto& entry : clients) entry.second->close();
    if (service_.operations == 0) quiet_.set_value();
}

}  // namespace kavren::host
