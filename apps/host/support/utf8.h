#pragma once

#include <cstddef>
#include <string_view>

namespace kavren::host {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8_sequence(std::string_view text, std::size_t i);
// Whether `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);
// Whether it is well-formed UTF-8 without control characters (C0, DEL, C1): a name that can
// stand in a line of a log.
bool printable_utf8(std::string_view text);

}  // namespace kavren::host
