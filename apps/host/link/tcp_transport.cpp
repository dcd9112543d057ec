#include "apps/host/link/tcp_transport.h"

#include <sys/socket.h>

#include <cstdlib>

namespace kavren::host {

namespace {

using boost::system::error_code;
using Results = asio::ip::tcp::resolver::results_type;

std::string lookup_failure(const error_code& ec, const std::string& host) {
    namespace e = asio::error;
    if (ec == e::host_not_found || ec == e::host_not_found_try_again || ec == e::no_recovery ||
        ec == e::no_data)
        return "host name " + host + " does not resolve (" + ec.message() + ")";
    return ec.message();
}

}  // namespace

TcpTransport::TcpTransport(const app::TcpAddress& address, int timeout_ms)
    : Transport(address.host + ":" + address.port), address_(address), timeout_ms_(timeout_ms) {}

TcpTransport::~TcpTransport() { close(); }

void TcpTransport::close() {
    if (socket_) {
        error_code ignored;
        socket_->close(ignored);
    }
    fd_ = -1;
}

void TcpTransport::cancel_io() {
    if (resolver_) resolver_->cancel();
    if (socket_ && socket_->is_open()) {
        error_code ignored;
        socket_->cancel(ignored);
    }
}

long TcpTransport::write_some(const uint8_t* bytes, std::size_t size) {
    return ::send(fd_, bytes, size, MSG_NOSIGNAL);
}

asio::awaitable<error_code> TcpTransport::wait_ready(Direction direction) {
    error_code ec;
    co_await socket_->async_wait(direction == Direction::read ? asio::ip::tcp::socket::wait_read
                                                              : asio::ip::tcp::socket::wait_write,
                                 into(ec));
    co_return ec;
}

asio::awaitable<bool> TcpTransport::open(std::string& why) {
    if (fd_ >= 0) co_return true;
    const std::string where = "cannot connect to " + name_ + ": ";
    if (stopped()) {
        why = where + "stopped";
        co_return false;
    }
    const Deadline deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    const Results found = co_await look_up(deadline, why);
    bool connected = false;
    if (!found.empty()) connected = co_await connect_any(found, deadline, why);
    if (!connected) {
        why = where + why;
        co_return false;
    }
    socket_->set_option(asio::ip::tcp::no_delay(true));
    // The reads and writes are ours, without waiting: a read that finds nothing says so.
    socket_->native_non_blocking(true);
    fd_ = socket_->native_handle();
    co_return true;
}

asio::awaitable<Results> TcpTransport::look_up(Deadline deadline, std::string& why) {
    // An address needs no lookup (nor Asio's lookup thread, started on the first).
    error_code not_numeric;
    const asio::ip::address address = asio::ip::make_address(address_.host, not_numeric);
    char* end = nullptr;
    const unsigned long port = std::strtoul(address_.port.c_str(), &end, 10);
    if (!not_numeric && end != address_.port.c_str() && *end == '\0' && port <= 65535)
        co_return Results::create(
            asio::ip::tcp::endpoint(address, static_cast<unsigned short>(port)), address_.host,
            address_.port);
    if (!resolver_) resolver_.emplace(co_await asio::this_coro::executor);
    co_await arm(deadline);
    error_code ec;
    Results found = co_await resolver_->async_resolve(address_.host, address_.port, into(ec));
    disarm();
    if (stopped()) {
        why = "stopped while looking the host name up";
        co_return Results();
    }
    if (ec == asio::error::operation_aborted) {
        why = "host name " + address_.host + " not resolved within " + std::to_string(timeout_ms_) +
              " ms";
        co_return Results();
    }
    if (ec) {
        why = lookup_failure(ec, address_.host);
        co_return Results();
    }
    if (found.empty()) why = "no address";
    co_return found;
}

asio::awaitable<bool> TcpTransport::connect_any(const Results& addresses, Deadline deadline,
                                                std::string& why) {
    if (!socket_) socket_.emplace(co_await asio::this_coro::executor);
    error_code ec = asio::error::host_not_found;
    for (const auto& address : addresses) {
        error_code ignored;
        socket_->close(ignored);
        co_await arm(deadline);
        co_await socket_->async_connect(address.endpoint(), into(ec));
        disarm();
        if (!ec) co_return true;
        if (stopped() || ec == asio::error::operation_aborted) break;
    }
    error_code ignored;
    socket_->close(ignored);
    if (stopped())
        why = "stopped while connecting";
    else if (ec == asio::error::operation_aborted)
        why = "no connection within " + std::to_string(timeout_ms_) + " ms";
    else
        why = ec.message();
    co_return false;
}

}  // namespace kavren::host
