#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavren::host {

// Modbus protocol data units: the function code and its data, the part of a request and its
// reply that is the same on every kind of link.
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kReadHoldingRegisters = 0x03;
constexpr uint8_t kExceptionFlag = 0x80;  // set in the function code of an exception reply

inline uint16_t big_endian_at(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}
inline void put_big_endian(uint8_t* into, int value) {
    into[0] = static_cast<uint8_t>(value >> 8);
    into[1] = static_cast<uint8_t>(value);
}

// The request for `count` holding registers from `start`.
Bytes read_registers_request(int start, int count);

// The size of the PDU that answers `request`: known for the reads (functions 1 to 4: a byte
// count, then the bytes) and the writes (5, 6, 15, 16: an echo of four bytes); 0 otherwise.
// `byte_count` is set for the reads, -1 for the writes.
std::size_t reply_pdu_size(const Bytes& request, int& byte_count);

// "0x03".
std::string hex_byte(int value);
// "server device failure" for code 4; "unknown code" for codes the protocol leaves unnamed.
const char* exception_meaning(int code);
// "function 0x04 in the reply to function 0x03".
std::string function_mismatch(int reply_function, int request_function);

// Why a reply PDU of the request's own function does not answer it (a byte count or size that
// does not fit the request), or empty when it does.
std::string data_mismatch(const Bytes& request, const uint8_t* reply, std::size_t size);

}  // namespace kavren::host
