#pragma once

#include <cstdint>
#include <string>

#include <modbus/modbus.h>

#include "apps/host/host_config.h"

namespace kavren::host {

// Outcome of one register read, each failure kind apart (as libmodbus tells them apart).
enum class ReadOutcome {
    ok,
    timeout,          // no reply in the response time-out
    crc_error,        // the reply's CRC did not match
    exception,        // the meter answered with a Modbus exception
    bad_reply,        // a reply that does not match the request
    short_reply,      // fewer registers than requested
    connection_lost,  // the serial device or TCP connection failed, or could not be opened
};
constexpr int kReadOutcomeCount = 7;
const char* outcome_name(ReadOutcome outcome);

// One Modbus link (serial line or TCP connection) through libmodbus. Opens on first use and
// again after it was lost, by the same path or address.
class ModbusLink {
  public:
    ModbusLink(const LinkConfig& config, int driver_baud);
    ~ModbusLink();

    // Opens the link if it is closed; false with a reason when it cannot.
    bool open(std::string& why);
    void close();
    bool is_open() const { return context_ != nullptr; }
    ReadOutcome read_registers(int unit, int start, int count, uint16_t* words);
    // The reason of the last failure.
    const std::string& last_error() const { return last_error_; }
    const LinkConfig& config() const { return config_; }
    int baud() const { return baud_; }

    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

  private:
    LinkConfig config_;
    int baud_;
    modbus_t* context_ = nullptr;
    std::string last_error_;
};

}  // namespace kavren::host
