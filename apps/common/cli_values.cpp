#include "apps/common/cli_values.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kavren::app {

TcpAddress parse_tcp_address(const std::string& text, const std::string& default_host,
                             bool port_zero_allowed) {
    TcpAddress address;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) throw std::invalid_argument("bad address '" + text + "'");
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos) {
        const auto colon = text.rfind(':');
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.host.find(':') != std::string::npos) {
            throw std::invalid_argument("bad address '" + text + "' (write IPv6 as [addr]:port)");
        }
    } else {
        port = text;
    }
    if (address.host.empty()) address.host = default_host;
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); });
    const int lowest = port_zero_allowed ? 0 : 1;
    if (!digits || std::stoi(port) < lowest || std::stoi(port) > 65535) {
        throw std::invalid_argument("bad address '" + text + "': port must be 1 to 65535");
    }
    address.port = port;
    return address;
}

char parse_parity(const std::string& text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "n" || lower == "none") return 'N';
    if (lower == "e" || lower == "even") return 'E';
    if (lower == "o" || lower == "odd") return 'O';
    throw std::invalid_argument("bad parity '" + text + "': use N, E or O");
}

double characters_per_second(int baud, char parity, int data_bits, int stop_bits) {
    const int bits = 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits;
    return static_cast<double>(baud) / bits;
}

}  // namespace kavren::app
