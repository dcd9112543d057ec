#pragma once

namespace kavren::host {

// Outcome of one register read, each failure kind that can be told apart.
enum class ReadOutcome {
    ok,
    timeout,          // no complete reply within the time-out (nothing, or a reply cut short)
    crc_error,        // an RTU frame whose CRC did not match
    exception,        // the meter answered with a Modbus exception (code in last_exception())
    bad_reply,        // a reply that is not the answer to this request: another unit, protocol or
                      // transaction id, another function, another byte count
    connection_lost,  // the serial device or TCP connection failed, or could not be opened
};
constexpr int kReadOutcomeCount = 6;
const char* outcome_name(ReadOutcome outcome);

}  // namespace kavren::host
