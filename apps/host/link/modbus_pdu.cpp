#include "apps/host/link/modbus_pdu.h"

namespace kavren::host {

Bytes read_registers_request(int start, int count) {
    Bytes pdu(5);
    pdu[0] = kReadHoldingRegisters;
    put_big_endian(pdu.data() + 1, start);
    put_big_endian(pdu.data() + 3, count);
    return pdu;
}

std::size_t reply_pdu_size(const Bytes& request, int& byte_count) {
    byte_count = -1;
    if (request.size() < 5) return 0;
    const int count = big_endian_at(request.data() + 3);
    switch (request[0]) {
        case 0x01:  // coils
        case 0x02:  // discrete inputs
            byte_count = (count + 7) / 8;
            break;
        case 0x03:  // holding registers
        case 0x04:  // input registers
            byte_count = 2 * count;
            break;
        case 0x05:
        case 0x06:
        case 0x0F:
        case 0x10:
            return 5;  // function, address, value or count
        default:
            return 0;
    }
    return 2 + static_cast<std::size_t>(byte_count);
}

std::string hex_byte(int value) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

const char* exception_meaning(int code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "server device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "server device busy";
        case 8:
            return "memory parity error";
        case 10:
            return "gateway path unavailable";
        case 11:
            return "gateway target device failed to respond";
        default:
            return "unknown code";
    }
}

std::string function_mismatch(int reply_function, int request_function) {
    return "function " + hex_byte(reply_function) + " in the reply to function " +
           hex_byte(request_function);
}

std::string data_mismatch(const Bytes& request, const uint8_t* reply, std::size_t size) {
    int byte_count = -1;
    const std::size_t expected = reply_pdu_size(request, byte_count);
    if (byte_count < 0) {
        if (expected == 0 || size == expected) return {};
        return "a reply of " + std::to_string(size) + " bytes to function " + hex_byte(request[0]);
    }
    const int got = size >= 2 ? reply[1] : -1;
    if (got == byte_count && size == expected) return {};
    const bool registers = request[0] == 0x03 || request[0] == 0x04;
    return "byte count " + std::to_string(got) + " in a reply for " +
           std::to_string(big_endian_at(request.data() + 3)) + (registers ? " registers" : " bits");
}

}  // namespace kavren::host
