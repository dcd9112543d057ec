#pragma once

#include <string>

namespace kavren::app {

// A Modbus TCP endpoint, "HOST:PORT", "[IPv6]:PORT" or just "PORT" (then on default_host).
struct TcpAddress {
    std::string host;
    std::string port;
};
// Throws std::invalid_argument with a message naming the text. Port 0 (any free port) only for
// a listener that says so.
TcpAddress parse_tcp_address(const std::string& text, const std::string& default_host = "127.0.0.1",
                             bool port_zero_allowed = false);

// Serial parity as libmodbus takes it: 'N', 'E' or 'O' (also "none", "even", "odd").
char parse_parity(const std::string& text);

// Characters per second on a serial line: start bit, data bits, parity bit, stop bits.
double characters_per_second(int baud, char parity, int data_bits, int stop_bits);

}  // namespace kavren::app
