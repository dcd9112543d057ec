#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "apps/host/link/modbus_pdu.h"
#include "apps/host/round/read_outcome.h"

namespace kavren::host {

// What the bytes received since a request say about its reply.
struct ReplyScan {
    enum class State { more, done };
    State state = State::more;
    // more: the reply needs at least `at_least` more bytes, and `up_to` more can be read
    // without reading past its end (or past the least reply that may start where it can).
    std::size_t at_least = 1;
    std::size_t up_to = 1;
    // more: bytes of a reply that has begun (for a time-out's message).
    std::size_t partial = 0;
    // more: what it comes to if nothing more comes before the time-out (with `detail`).
    ReadOutcome if_no_more = ReadOutcome::timeout;
    // done: ok (the reply's PDU, an exception reply included, is at pdu_at, pdu_size bytes),
    // crc_error or bad_reply (why in `detail`).
    ReadOutcome outcome = ReadOutcome::ok;
    std::string detail;
    std::size_t pdu_at = 0;
    std::size_t pdu_size = 0;
    // Bytes that belong to no reply: skipped before it, or read after it.
    std::size_t noise = 0;

    static ReplyScan more(std::size_t at_least, std::size_t up_to, std::size_t partial,
                          std::size_t noise) {
        ReplyScan s;
        s.at_least = at_least;
        s.up_to = up_to < at_least ? at_least : up_to;
        s.partial = partial;
        s.noise = noise;
        return s;
    }
    static ReplyScan failed(ReadOutcome outcome, std::string detail, std::size_t noise = 0) {
        ReplyScan s;
        s.state = State::done;
        s.outcome = outcome;
        s.detail = std::move(detail);
        s.noise = noise;
        return s;
    }
    static ReplyScan found(std::size_t pdu_at, std::size_t pdu_size, std::size_t noise) {
        ReplyScan s;
        s.state = State::done;
        s.pdu_at = pdu_at;
        s.pdu_size = pdu_size;
        s.noise = noise;
        return s;
    }
};

// How Modbus requests and their replies travel as bytes on one kind of link: RTU frames (unit,
// PDU, CRC) or MBAP headers (transaction id, protocol, length, unit). Pure: bytes in, bytes
// out, no socket, so that every rule can be tested from bytes.
class Framing {
  public:
    virtual ~Framing() = default;
    // The bytes that carry `pdu` to `unit`. The framing keeps the request for scan_reply().
    virtual Bytes frame_request(int unit, const Bytes& pdu) = 0;
    // Looks for the reply to the last framed request in the bytes received since it was sent.
    virtual ReplyScan scan_reply(const uint8_t* bytes, std::size_t size) const = 0;
    // After a failed exchange: the line must go quiet before the next request (RTU: one
    // request at a time on a shared line), or the connection starts afresh (MBAP: a late reply
    // would still be in the stream).
    virtual bool quiet_line_after_failure() const = 0;
};

}  // namespace kavren::host
