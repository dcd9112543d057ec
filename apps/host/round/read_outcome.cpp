#include "apps/host/round/read_outcome.h"

namespace kavren::host {

const char* outcome_name(ReadOutcome outcome) {
    switch (outcome) {
        case ReadOutcome::ok:
            return "ok";
        case ReadOutcome::timeout:
            return "timeout";
        case ReadOutcome::crc_error:
            return "crc_error";
        case ReadOutcome::exception:
            return "exception";
        case ReadOutcome::bad_reply:
            return "bad_reply";
        case ReadOutcome::connection_lost:
            return "connection_lost";
    }
    return "?";
}

}  // namespace kavren::host
