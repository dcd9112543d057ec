#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace kavren::host {

// What became of a gateway's requests and connections, each counted once.
enum class GatewayOutcome {
    cached,            // a read answered from the meter's last complete round
    forwarded,         // carried to the meter: its reply (or its exception) returned
    no_reply,          // carried, but no answer: the meter was silent or garbled (exception 11),
                       // or the link was down or the host stopping (exception 10)
    busy,              // the forward queue was full (exception 6)
    refused,           // a write while writes are off, a function the link cannot carry (1)
    invalid,           // a read of 0 or more than 125 registers, or of a wrong size (3)
    unknown_unit,      // a unit id no meter of the link has (exception 10)
    malformed,         // an MBAP header with a protocol id other than 0 or a length out of
                       // range (an ADU over 260 bytes): the connection is cut
    timed_out,         // a request not whole, or its reply not taken, in time: cut
    idle,              // nothing sent for the idle time-out: closed
    too_many_clients,  // a connection past max_clients: closed at once
};
constexpr int kGatewayOutcomeCount = 11;
// The outcomes before `malformed` end a request; the others end a connection.
constexpr bool gateway_request_outcome(GatewayOutcome outcome) {
    return outcome < GatewayOutcome::malformed;
}
const char* gateway_outcome_name(GatewayOutcome outcome);

// A gateway's counts by outcome: counted on its thread, read by /metrics on another.
class GatewayCounters {
  public:
    explicit GatewayCounters(std::string link) : link_(std::move(link)) {}
    void count(GatewayOutcome outcome) {
        counts_[static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
    }
    uint64_t value(GatewayOutcome outcome) const {
        return counts_[static_cast<std::size_t>(outcome)].load(std::memory_order_relaxed);
    }
    // The link the gateway is in front of, as the host describes it.
    const std::string& link() const { return link_; }

  private:
    std::string link_;
    std::array<std::atomic<uint64_t>, kGatewayOutcomeCount> counts_{};
};

}  // namespace kavren::host
