#pragma once

#include <string>

#include "apps/host/config/link_config.h"
#include "apps/host/link/transport.h"

struct _modbus;

namespace kavren::host {

// A serial line (a serial port, a USB adapter, a pseudo-terminal), opened by libmodbus, which
// sets speed, parity and stop bits; the exchanges are ours, so that they are bounded as a whole.
// Locked against other programs while open.
class SerialTransport final : public Transport {
  public:
    SerialTransport(const LinkConfig& config, int baud);
    ~SerialTransport() override;
    bool open(std::string& why) override;
    void close() override;
    bool reopens_at_once() const override { return false; }
    void flush_input() override;

  private:
    LinkConfig config_;
    int baud_;
    _modbus* serial_ = nullptr;
};

}  // namespace kavren::host
