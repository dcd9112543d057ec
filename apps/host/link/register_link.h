#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "apps/host/config/link_config.h"
#include "apps/host/link/modbus_pdu.h"
#include "apps/host/round/read_outcome.h"
#include "apps/host/support/asio_coro.h"

namespace kavren::host {

// What the poll stage asks of a link: register reads, each bounded by the link's time-out, and
// what the last one found. Its calls are coroutines on the link's strand, one at a time.
class RegisterLink {
  public:
    virtual ~RegisterLink() = default;
    // Reads `count` holding registers (1 to 125) from `start` of `unit` into words.
    virtual asio::awaitable<ReadOutcome> read_registers(int unit, int start, int count,
                                                        uint16_t* words) = 0;
    // Any request PDU to `unit` and its reply PDU: its answer, or its exception (the function
    // code with kExceptionFlag). For requests that are not the host's own (a gateway's clients').
    virtual asio::awaitable<ReadOutcome> exchange(int unit, const Bytes& request, Bytes& reply) = 0;
    // Ends the exchange under way, and makes every later one end at once (the link is
    // stopping). Called on the link's strand.
    virtual void stop() {}
    // The reason of the last failure.
    virtual const std::string& last_error() const = 0;
    // The code of the last exception reply (0 to 255), -1 when the last read had none.
    virtual int last_exception() const = 0;
    // Bytes found on the link that belonged to no reply (line noise, stray bytes), since start.
    virtual uint64_t noise_bytes() const = 0;
};

// Makes the link for a configured link; driver_baud is the line speed of its meters' driver.
using LinkMaker =
    std::function<std::unique_ptr<RegisterLink>(const LinkConfig& config, int driver_baud)>;

}  // namespace kavren::host
