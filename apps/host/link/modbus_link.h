#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <modbus/modbus.h>

#include "apps/host/config/link_config.h"
#include "apps/host/link/register_link.h"
#include "apps/host/round/read_outcome.h"

namespace kavren::host {

// One Modbus link (serial line or TCP connection). Opens on first use and again after it was
// lost, by the same path or address. Every exchange, and the TCP connect, ends within the link's
// time-out, however slowly the other end sends, and within a fraction of a second of a stop
// request (app::stop_requested()).
class ModbusLink final : public RegisterLink {
  public:
    ModbusLink(const LinkConfig& config, int driver_baud);
    ~ModbusLink();

    // Opens the link if it is closed; false with a reason when it cannot.
    bool open(std::string& why);
    void close();
    bool is_open() const { return fd_ >= 0; }
    ReadOutcome read_registers(int unit, int start, int count, uint16_t* words) override;
    const std::string& last_error() const override { return last_error_; }
    int last_exception() const override { return last_exception_; }
    uint64_t noise_bytes() const override { return noise_bytes_; }
    const LinkConfig& config() const { return config_; }
    int baud() const { return baud_; }

    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

  private:
    using Deadline = std::chrono::steady_clock::time_point;
    enum class Wait { ready, timed_out, stopped, failed };

    bool open_rtu(std::string& why);
    bool open_tcp(std::string& why);
    Wait wait_for(short events, Deadline deadline);
    bool drain_noise();
    Wait wait_for_quiet_line();
    bool send_all(const uint8_t* bytes, std::size_t size, Deadline deadline, ReadOutcome& outcome);
    // Reads at least `size` bytes and at most `up_to` (0: exactly `size`) into `into`; the count
    // read is in `got`. Waits for the reply before the first read: it is rarely there yet.
    bool receive(uint8_t* into, std::size_t size, Deadline deadline, ReadOutcome& outcome,
                 std::size_t up_to = 0, std::size_t* got_out = nullptr);
    ReadOutcome exchange_rtu(int unit, int start, int count, uint16_t* words, Deadline deadline);
    ReadOutcome exchange_tcp(int unit, int start, int count, uint16_t* words, Deadline deadline);
    ReadOutcome fail(ReadOutcome outcome, const std::string& why);
    ReadOutcome waited_out(Wait waited, const char* doing);

    LinkConfig config_;
    int baud_;
    modbus_t* serial_ = nullptr;  // RTU: libmodbus opens the device and sets the line up
    int fd_ = -1;
    uint16_t transaction_ = 0;
    bool resync_pending_ = false;  // RTU: the last exchange failed, the line is to go quiet
    Deadline last_activity_{};     // when a byte last came in, or the last exchange failed
    std::size_t received_ = 0;     // bytes of the current reply so far
    std::string last_error_;
    int last_exception_ = -1;
    uint64_t noise_bytes_ = 0;
};

// The link a configuration names: a ModbusLink.
std::unique_ptr<RegisterLink> make_modbus_link(const LinkConfig& config, int driver_baud);

}  // namespace kavren::host
