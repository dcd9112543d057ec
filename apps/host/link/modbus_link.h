#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "apps/host/config/link_config.h"
#include "apps/host/link/framing.h"
#include "apps/host/link/register_link.h"
#include "apps/host/link/transport.h"
#include "apps/host/round/read_outcome.h"

namespace kavren::host {

// One Modbus link: a transport (serial line, TCP connection) and a framing (RTU, MBAP), one
// request at a time. Every exchange ends within the link's time-out, however slowly the other
// end sends, and at once on stop(). Before each request, bytes
// already waiting are read and counted as noise; after a failed exchange an RTU line must stay
// quiet for one time-out, and an MBAP connection is opened afresh, so that a late reply is never
// taken for the next request's.
class ModbusLink final : public RegisterLink {
  public:
    // The transport and framing the configuration names.
    ModbusLink(const LinkConfig& config, int driver_baud);
    ModbusLink(std::unique_ptr<Transport> transport, std::unique_ptr<Framing> framing,
               int timeout_ms);
    ~ModbusLink() override;

    asio::awaitable<ReadOutcome> read_registers(int unit, int start, int count,
                                                uint16_t* words) override;
    // One request PDU to `unit` and its reply PDU: its answer, or its exception (function code
    // with kExceptionFlag). A link may put requests of its own between its rounds'.
    asio::awaitable<ReadOutcome> exchange(int unit, const Bytes& request, Bytes& reply) override;
    void stop() override { transport_->stop(); }
    const std::string& last_error() const override { return last_error_; }
    int last_exception() const override { return last_exception_; }
    uint64_t noise_bytes() const override { return noise_bytes_; }

    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

  private:
    using Clock = std::chrono::steady_clock;
    asio::awaitable<ReadOutcome> exchange_once(int unit, const Bytes& request, Bytes& reply);
    // Opens the link and readies it for a request; false with the outcome to report.
    asio::awaitable<bool> ready_for_request(ReadOutcome& outcome);
    // Before a request: noise waiting is counted; a link the other end dropped is opened again.
    asio::awaitable<bool> drained(ReadOutcome& outcome);
    asio::awaitable<ReadOutcome> await_reply(Clock::time_point deadline, Bytes& reply);
    ReadOutcome out_of_time(const ReplyScan& scan);
    // After a failed exchange: the line goes quiet first, or the connection starts afresh.
    ReadOutcome after(ReadOutcome outcome);
    ReadOutcome fail(ReadOutcome outcome, const std::string& why);
    void close();

    std::unique_ptr<Transport> transport_;
    std::unique_ptr<Framing> framing_;
    int timeout_ms_;
    bool resync_pending_ = false;          // the last exchange failed: the line is to go quiet
    bool answered_on_connection_ = false;  // a reply came on the connection now open
    bool reply_heard_ = false;             // a byte of the current exchange's reply came
    Clock::time_point last_activity_;      // when a byte last came in, or the last exchange failed
    std::string last_error_;
    int last_exception_ = -1;
    uint64_t noise_bytes_ = 0;
};

// The link a configuration names: a ModbusLink.
std::unique_ptr<RegisterLink> make_modbus_link(const LinkConfig& config, int driver_baud);

}  // namespace kavren::host
