#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "apps/host/link/framing.h"

namespace kavren::host {

// CRC-16/Modbus (reflected polynomial 0xA001, initial value 0xFFFF); sent low byte first.
uint16_t crc16(const uint8_t* bytes, std::size_t size);
// The RTU frame of `pdu` for `unit`: unit, PDU, CRC.
Bytes rtu_frame(int unit, const Bytes& pdu);
// Whether the frame's last two bytes are the CRC of the bytes before them.
bool rtu_crc_ok(const uint8_t* frame, std::size_t size);

// RTU framing, on a serial line or a TCP connection: a reply is the frame that carries this
// request's unit id, its function (or its exception) and, for reads, the byte count it asks
// for, with a valid CRC. Bytes before such a frame (line noise, a direction-switch glitch, the
// tail of something else) are skipped and counted as noise. A whole frame with a valid CRC that
// answers something else (another unit, function or byte count) is a bad reply at once; a frame
// that looks like the reply but whose CRC does not match is a CRC error, unless the real reply
// still follows before the time-out.
class RtuFraming final : public Framing {
  public:
    Bytes frame_request(int unit, const Bytes& pdu) override;
    ReplyScan scan_reply(const uint8_t* bytes, std::size_t size) const override;
    bool quiet_line_after_failure() const override { return true; }

  private:
    enum class Start { no, maybe, yes };
    // Whether this request's reply (or its exception) can start at bytes[at]; its frame size
    // once known.
    Start reply_at(const uint8_t* bytes, std::size_t size, std::size_t at,
                   std::size_t& frame_size) const;
    // Why a whole frame with a valid CRC at bytes[at] is not the reply; empty when there is none.
    std::string foreign_frame_at(const uint8_t* bytes, std::size_t size, std::size_t at) const;

    int unit_ = 0;
    Bytes request_;
    int byte_count_ = -1;          // of a read's reply; -1: a reply of fixed size
    std::size_t reply_frame_ = 0;  // the whole reply frame; 0: a function of unknown reply size
};

}  // namespace kavren::host
