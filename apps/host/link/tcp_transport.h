#pragma once

#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "apps/common/cli_values.h"
#include "apps/host/link/transport.h"

namespace kavren::host {

// A TCP connection to a meter or gateway. A host name is looked up when it connects
// (async_resolve), so that a slow name server holds the link no longer than its time-out, nor
// past a stop; the connect is bounded by the time-out too.
class TcpTransport final : public Transport {
  public:
    TcpTransport(const app::TcpAddress& address, int timeout_ms);
    ~TcpTransport() override;
    asio::awaitable<bool> open(std::string& why) override;
    void close() override;
    bool reopens_at_once() const override { return true; }

  private:
    long write_some(const uint8_t* bytes, std::size_t size) override;
    asio::awaitable<boost::system::error_code> wait_ready(Direction direction) override;
    void cancel_io() override;
    // The addresses of the host name; empty with a reason when there are none.
    asio::awaitable<asio::ip::tcp::resolver::results_type> look_up(Deadline deadline,
                                                                   std::string& why);
    // Connects to the first address that takes the connection; false with the last reason.
    asio::awaitable<bool> connect_any(const asio::ip::tcp::resolver::results_type& addresses,
                                      Deadline deadline, std::string& why);

    app::TcpAddress address_;
    int timeout_ms_;
    std::optional<asio::ip::tcp::resolver> resolver_;
    std::optional<asio::ip::tcp::socket> socket_;
};

}  // namespace kavren::host
