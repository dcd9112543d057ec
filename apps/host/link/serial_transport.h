#pragma once

#include <optional>
#include <string>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "apps/host/config/link_config.h"
#include "apps/host/link/transport.h"

struct _modbus;

namespace kavren::host {

// A serial line (a serial port, a USB adapter, a pseudo-terminal), opened by libmodbus, which
// sets speed, parity and stop bits; the exchanges are ours, so that they are bounded as a whole.
// Locked against other programs while open. Its readiness is waited for on the event loop.
class SerialTransport final : public Transport {
  public:
    SerialTransport(const LinkConfig& config, int baud);
    ~SerialTransport() override;
    asio::awaitable<bool> open(std::string& why) override;
    void close() override;
    bool reopens_at_once() const override { return false; }
    void flush_input() override;

  private:
    asio::awaitable<boost::system::error_code> wait_ready(Direction direction) override;
    void cancel_io() override;
    // Sets the line up for reads and writes of ours; false with a reason.
    bool set_up(std::string& why);

    LinkConfig config_;
    int baud_;
    _modbus* serial_ = nullptr;
    std::optional<asio::posix::stream_descriptor> line_;  // the open line's, not its owner
};

}  // namespace kavren::host
