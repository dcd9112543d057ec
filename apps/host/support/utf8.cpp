#include "apps/host/support/utf8.h"

namespace kavren::host {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t utf8_sequence(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

bool printable_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) return false;
        const auto lead = static_cast<unsigned char>(text[i]);
        const auto next = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0;
        // C0 controls and DEL; C1 controls (U+0080 to U+009F) are 0xC2 0x80 to 0xC2 0x9F.
        if (lead < 0x20 || lead == 0x7F || (lead == 0xC2 && next <= 0x9F)) return false;
        i += length;
    }
    return true;
}

}  // namespace kavren::host
