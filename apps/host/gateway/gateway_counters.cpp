#include "apps/host/gateway/gateway_counters.h"

namespace kavren::host {

const char* gateway_outcome_name(GatewayOutcome outcome) {
    switch (outcome) {
        case GatewayOutcome::cached:
            return "cached";
        case GatewayOutcome::forwarded:
            return "forwarded";
        case GatewayOutcome::no_reply:
            return "no_reply";
        case GatewayOutcome::busy:
            return "busy";
        case GatewayOutcome::refused:
            return "refused";
        case GatewayOutcome::invalid:
            return "invalid";
        case GatewayOutcome::unknown_unit:
            return "unknown_unit";
        case GatewayOutcome::malformed:
            return "malformed";
        case GatewayOutcome::timed_out:
            return "timed_out";
        case GatewayOutcome::idle:
            return "idle";
        case GatewayOutcome::too_many_clients:
            return "too_many_clients";
    }
    return "?";
}

}  // namespace kavren::host
