#include "apps/host/link/mbap_framing.h"

namespace kavren::host {

MbapHeader read_mbap_header(const uint8_t* bytes) {
    MbapHeader h;
    h.transaction = big_endian_at(bytes);
    h.protocol = big_endian_at(bytes + 2);
    h.length = big_endian_at(bytes + 4);
    h.unit = bytes[6];
    return h;
}

Bytes mbap_adu(uint16_t transaction, int unit, const uint8_t* pdu, std::size_t size) {
    Bytes adu(kMbapHeaderSize + size);
    put_big_endian(adu.data(), transaction);
    put_big_endian(adu.data() + 4, static_cast<int>(size + 1));
    adu[6] = static_cast<uint8_t>(unit);
    for (std::size_t i = 0; i < size; ++i) adu[kMbapHeaderSize + i] = pdu[i];
    return adu;
}

MbapRequest find_mbap_request(const uint8_t* bytes, std::size_t size) {
    MbapRequest r;
    if (size < kMbapHeaderSize) return r;
    r.header = read_mbap_header(bytes);
    if (r.header.protocol != 0) {
        r.state = MbapRequest::State::malformed;
        r.why = "protocol id " + std::to_string(r.header.protocol);
        return r;
    }
    if (r.header.length < 2 || r.header.length > kMbapMaxPdu + 1) {
        r.state = MbapRequest::State::malformed;
        r.why = "length " + std::to_string(r.header.length);
        return r;
    }
    const std::size_t whole = kMbapHeaderSize - 1 + r.header.length;
    if (size < whole) return r;
    r.state = MbapRequest::State::whole;
    r.size = whole;
    return r;
}

Bytes MbapFraming::frame_request(int unit, const Bytes& pdu) {
    ++transaction_;
    unit_ = unit;
    function_ = pdu.empty() ? 0 : pdu[0];
    int byte_count = 0;
    expected_ = kMbapHeaderSize + reply_pdu_size(pdu, byte_count);
    return mbap_adu(transaction_, unit, pdu.data(), pdu.size());
}

ReplyScan MbapFraming::scan_reply(const uint8_t* bytes, std::size_t size) const {
    // The header and, in the same read where it has come, the rest of the reply this request
    // asks for: never more, so that whatever follows is still on the connection.
    if (size < kMbapHeaderSize)
        return ReplyScan::more(kMbapHeaderSize - size, expected_ - size, size, 0);
    const MbapHeader h = read_mbap_header(bytes);
    if (h.length < 3 || h.length > kMbapMaxPdu + 1)
        return ReplyScan::failed(ReadOutcome::bad_reply,
                                 "a reply of length " + std::to_string(h.length));
    const std::size_t total = kMbapHeaderSize - 1 + h.length;
    if (size < total) return ReplyScan::more(total - size, total - size, size, 0);
    const std::size_t noise = size - total;  // stray bytes after a shorter reply
    const auto bad = [&](const std::string& why) {
        return ReplyScan::failed(ReadOutcome::bad_reply, why, noise);
    };
    if (h.transaction != transaction_)
        return bad("a reply to transaction " + std::to_string(h.transaction) + ", not " +
                   std::to_string(transaction_) + " (a stale or foreign reply)");
    if (h.protocol != 0) return bad("a reply with protocol id " + std::to_string(h.protocol));
    if (h.unit != unit_)
        return bad("a reply from unit " + std::to_string(h.unit) + " to a request for unit " +
                   std::to_string(unit_));
    const int function = bytes[kMbapHeaderSize];
    if (function != function_ && function != (function_ | kExceptionFlag))
        return bad(function_mismatch(function, function_));
    return ReplyScan::found(kMbapHeaderSize, total - kMbapHeaderSize, noise);
}

}  // namespace kavren::host
