#include "apps/host/link/rtu_framing.h"

namespace kavren::host {

namespace {

// The least RTU reply: unit, function, exception code, CRC.
constexpr std::size_t kLeastFrame = 5;

// The size of a frame of any function that starts at bytes[at], when its header says it; 0 for
// a function whose frames this host cannot measure, or a unit no device has.
std::size_t frame_size_at(const uint8_t* bytes, std::size_t size, std::size_t at) {
    if (size - at < 3 || bytes[at] == 0 || bytes[at] > 247) return 0;
    const uint8_t function = bytes[at + 1];
    if (function & kExceptionFlag) return kLeastFrame;
    if (function >= 1 && function <= 4) return kLeastFrame + bytes[at + 2];
    if (function == 5 || function == 6 || function == 15 || function == 16) return 8;
    return 0;
}

}  // namespace

uint16_t crc16(const uint8_t* bytes, std::size_t size) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes rtu_frame(int unit, const Bytes& pdu) {
    Bytes frame;
    frame.reserve(pdu.size() + 3);
    frame.push_back(static_cast<uint8_t>(unit));
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool rtu_crc_ok(const uint8_t* frame, std::size_t size) {
    if (size < 3) return false;
    const uint16_t crc = crc16(frame, size - 2);
    return frame[size - 2] == static_cast<uint8_t>(crc) &&
           frame[size - 1] == static_cast<uint8_t>(crc >> 8);
}

Bytes RtuFraming::frame_request(int unit, const Bytes& pdu) {
    unit_ = unit;
    request_ = pdu;
    const std::size_t reply_pdu = reply_pdu_size(pdu, byte_count_);
    reply_frame_ = reply_pdu == 0 ? 0 : reply_pdu + 3;
    return rtu_frame(unit, pdu);
}

RtuFraming::Start RtuFraming::reply_at(const uint8_t* bytes, std::size_t size, std::size_t at,
                                       std::size_t& frame_size) const {
    const std::size_t have = size - at;
    if (bytes[at] != unit_) return Start::no;
    if (have < 2) return Start::maybe;
    const uint8_t function = bytes[at + 1];
    if (function == (request_[0] | kExceptionFlag)) {
        frame_size = kLeastFrame;
        return Start::yes;
    }
    if (function != request_[0] || reply_frame_ == 0) return Start::no;
    if (byte_count_ >= 0) {
        if (have < 3) return Start::maybe;
        if (bytes[at + 2] != byte_count_) return Start::no;
    }
    frame_size = reply_frame_;
    return Start::yes;
}

std::string RtuFraming::foreign_frame_at(const uint8_t* bytes, std::size_t size,
                                         std::size_t at) const {
    const std::size_t frame = frame_size_at(bytes, size, at);
    if (frame == 0 || at + frame > size || !rtu_crc_ok(bytes + at, frame)) return {};
    if (bytes[at] != unit_)
        return "a reply from unit " + std::to_string(bytes[at]) + " to a request for unit " +
               std::to_string(unit_);
    const uint8_t function = bytes[at + 1];
    if (function & kExceptionFlag) return "an exception for function " + hex_byte(function & 0x7F);
    if (function != request_[0]) return function_mismatch(function, request_[0]);
    return data_mismatch(request_, bytes + at + 1, frame - 3);
}

ReplyScan RtuFraming::scan_reply(const uint8_t* bytes, std::size_t size) const {
    std::size_t damaged = size;  // where a reply with a CRC that does not match starts
    for (std::size_t at = 0; at < size; ++at) {
        std::size_t frame = 0;
        const Start start = reply_at(bytes, size, at, frame);
        if (start == Start::maybe)
            return ReplyScan::more(1, at + kLeastFrame - size, size - at, at);
        if (start == Start::yes) {
            if (at + frame > size) {
                const std::size_t rest = at + frame - size;
                return ReplyScan::more(rest, rest, size - at, at);
            }
            if (rtu_crc_ok(bytes + at, frame)) return ReplyScan::found(at + 1, frame - 3, at);
            if (damaged == size) damaged = at;
            continue;  // the real reply may still follow: line noise can look like a header
        }
        std::string foreign = foreign_frame_at(bytes, size, at);
        if (!foreign.empty()) return ReplyScan::failed(ReadOutcome::bad_reply, foreign, at);
    }
    ReplyScan nothing = ReplyScan::more(1, kLeastFrame, 0, size);
    if (damaged < size) {
        // Unless the real reply follows before the time-out, the damaged one was it.
        nothing.noise = damaged;
        nothing.partial = size - damaged;
        nothing.if_no_more = ReadOutcome::crc_error;
        nothing.detail = "the reply's CRC does not match";
    }
    return nothing;
}

}  // namespace kavren::host
