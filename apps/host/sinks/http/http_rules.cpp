#include "apps/host/sinks/http/http_rules.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace kavren::host {

namespace {

// Compares without returning early, so the time taken tells nothing of where they differ.
bool same_text(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

// The host part of a Host header: without its port, an IPv6 literal with its brackets.
std::string host_of(std::string_view header) {
    if (!header.empty() && header.front() == '[') {
        const auto end = header.find(']');
        return std::string(header.substr(0, end == std::string_view::npos ? end : end + 1));
    }
    return std::string(header.substr(0, header.find(':')));
}

bool ip_literal(const std::string& host) {
    unsigned char bytes[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), bytes) == 1;
    return inet_pton(AF_INET, host.c_str(), bytes) == 1;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent escapes decoded; one that is not two hex digits stays as it is.
std::string percent_decoded(std::string_view text, bool form) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += form && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

}  // namespace

bool host_header_allowed(const char* header, const std::vector<std::string>& names) {
    if (header == nullptr) return true;  // HTTP/1.0: a browser always names the host
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    };
    const std::string host = lower(host_of(header));
    if (ip_literal(host) || host == "localhost") return true;
    for (const std::string& name : names)
        if (!name.empty() && host == lower(name)) return true;
    return false;
}

bool basic_authorized(std::string_view header, const std::vector<std::string>& credentials) {
    if (credentials.empty()) return true;
    if (header.substr(0, 6) != "Basic ") return false;
    std::string given;
    if (!base64_decode(std::string(header.substr(6)), given)) return false;
    bool ok = false;
    for (const std::string& entry : credentials) ok |= same_text(entry, given);
    return ok;
}

bool base64_decode(const std::string& text, std::string& out) {
    out.clear();
    unsigned buffer = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '+') {
            v = 62;
        } else if (c == '/') {
            v = 63;
        } else if (c == '=') {
            ++padding;
            continue;
        } else {
            return false;
        }
        if (padding > 0) return false;  // data after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return padding <= 2 && (text.size() % 4) == 0;
}

std::vector<std::string> read_http_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read password file " + path);
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            throw std::runtime_error("password file " + path + ": each line must be user:password");
        entries.push_back(line);
    }
    if (entries.empty())
        throw std::runtime_error("password file " + path + " holds no user:password line");
    return entries;
}

std::vector<std::string> with_this_machine(std::vector<std::string> names) {
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    if (machine[0] != '\0') {
        names.push_back(machine);
        names.push_back(std::string(machine) + ".local");
    }
    return names;
}

std::string decode_path(std::string_view path) { return percent_decoded(path, false); }

std::map<std::string, std::string> decode_query(std::string_view query) {
    std::map<std::string, std::string> out;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto equals = field.find('=');
        std::string name = percent_decoded(field.substr(0, equals), true);
        if (name.empty()) continue;
        out[std::move(name)] = equals == std::string_view::npos
                                   ? std::string()
                                   : percent_decoded(field.substr(equals + 1), true);
    }
    return out;
}

}  // namespace kavren::host
