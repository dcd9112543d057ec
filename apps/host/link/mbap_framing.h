#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "apps/host/link/framing.h"

namespace kavren::host {

// The MBAP header of Modbus TCP: transaction id, protocol id (0), the length of what follows
// (unit id and PDU), unit id.
struct MbapHeader {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0;
    uint8_t unit = 0;
};
constexpr std::size_t kMbapHeaderSize = 7;
constexpr std::size_t kMbapMaxPdu = 253;

// The header at the start of at least kMbapHeaderSize bytes.
MbapHeader read_mbap_header(const uint8_t* bytes);
// A whole ADU: the header for `pdu`, then the PDU.
Bytes mbap_adu(uint16_t transaction, int unit, const uint8_t* pdu, std::size_t size);

// An ADU at the start of the bytes a client sent, as a server reads them.
struct MbapRequest {
    enum class State { more, whole, malformed };
    State state = State::more;
    MbapHeader header;
    std::size_t size = 0;  // whole: the ADU's bytes (its PDU follows the header)
    std::string why;       // malformed: a protocol id other than 0, a length out of range
};
MbapRequest find_mbap_request(const uint8_t* bytes, std::size_t size);

// MBAP framing for a client: each request carries the next transaction id; a reply is taken
// when its transaction id, protocol id and unit id are the request's and its function is the
// request's or its exception. Bytes read after a reply (a shorter one than asked for) are
// noise.
class MbapFraming final : public Framing {
  public:
    Bytes frame_request(int unit, const Bytes& pdu) override;
    ReplyScan scan_reply(const uint8_t* bytes, std::size_t size) const override;
    bool quiet_line_after_failure() const override { return false; }

  private:
    uint16_t transaction_ = 0;
    int unit_ = 0;
    int function_ = 0;
    std::size_t expected_ = kMbapHeaderSize;  // the whole reply the request asks for
};

}  // namespace kavren::host
