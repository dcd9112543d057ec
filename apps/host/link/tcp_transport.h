#pragma once

#include <memory>
#include <string>

#include "apps/common/cli_values.h"
#include "apps/host/link/transport.h"

struct addrinfo;

namespace kavren::host {

// A TCP connection to a meter or gateway. A host name is looked up when it connects, on a
// thread of its own, so that a slow name server holds the link no longer than its time-out, nor
// past a stop; the connect is bounded by the time-out too.
class TcpTransport final : public Transport {
  public:
    TcpTransport(const app::TcpAddress& address, int timeout_ms);
    ~TcpTransport() override;
    bool open(std::string& why) override;
    void close() override;
    bool reopens_at_once() const override { return true; }

  private:
    long write_some(const uint8_t* bytes, std::size_t size) override;
    // The addresses of the host name, or null with a reason.
    std::shared_ptr<addrinfo> look_up(Deadline deadline, std::string& why);
    // Connects to the first address that takes the connection; false with the last reason.
    bool connect_any(const addrinfo* addresses, Deadline deadline, std::string& why);

    app::TcpAddress address_;
    int timeout_ms_;
};

}  // namespace kavren::host
