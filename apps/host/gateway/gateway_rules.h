#pragma once

#include <chrono>
#include <vector>

#include "apps/host/config/link_config.h"
#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/link/modbus_pdu.h"
#include "apps/host/poll/link_share.h"

namespace kavren::host {

// Exception codes the gateway answers with itself.
constexpr int kIllegalFunction = 1;
constexpr int kIllegalDataValue = 3;
constexpr int kServerBusy = 6;
constexpr int kGatewayPathUnavailable = 10;
constexpr int kGatewayTargetFailed = 11;

// How the gateway in front of one link treats its clients' requests.
struct GatewayRules {
    std::vector<int> units;  // the unit ids of the link's meters
    bool writes = false;     // pass requests that may change a meter
    // The oldest round a read is answered from; zero: every read goes to the meter.
    std::chrono::steady_clock::duration max_age{};
    // RTU frames (a serial line, a serial server) end where their function says; a request
    // whose reply the framing cannot measure cannot be carried.
    bool rtu_frames = true;
};
GatewayRules gateway_rules(const LinkConfig& link, double interval_s);

// What the gateway does with one request: answer at once, or hand it to the link's thread.
struct Handling {
    bool forward = false;
    Bytes reply;  // the reply PDU when answered at once
    GatewayOutcome outcome = GatewayOutcome::forwarded;
};

// A unit's request PDU (function code and data). A read (function 3 or 4) that lies wholly in one
// read of the same function of the unit's last complete round, not older than max_age, is
// answered from it with the words as the meter sent them; anything else is forwarded, unless it
// is refused: an unknown unit (10), a function that may write while writes are off or one the
// link cannot carry (1), a read of a size the protocol does not allow (3).
Handling handle_request(const GatewayRules& rules, const LastRounds& rounds, int unit,
                        const Bytes& pdu, std::chrono::steady_clock::time_point now);
// The reply to a forwarded request: the meter's own, or the gateway's exception when there was
// none (11: no valid reply; 10: the link down, or the host stopping before it was carried).
Handling forwarded_reply(const ForwardedRequest& request);
// The exception reply PDU to a request of `function`.
Bytes exception_reply(int function, int code);

}  // namespace kavren::host
