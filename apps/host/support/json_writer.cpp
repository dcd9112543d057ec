#include "apps/host/support/json_writer.h"

#include <charconv>
#include <cmath>

#include "apps/host/support/utf8.h"

namespace kavren::host {

void append_json_escaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8_sequence(text, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
                ++i;
            } else {
                out.append(text.data() + i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
}

void JsonWriter::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_) out_ += ',';
    first_ = false;
}

JsonWriter& JsonWriter::begin_object() {
    separate();
    out_ += '{';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    out_ += '}';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    separate();
    out_ += '[';
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    out_ += ']';
    first_ = false;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    out_ += '"';
    append_json_escaped(out_, name);
    out_ += "\":";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    out_ += '"';
    append_json_escaped(out_, text);
    out_ += '"';
    return *this;
}

// Numbers as std::to_chars writes them: for floating point, the shortest text that reads back
// to the same value.
template <typename Number>
JsonWriter& JsonWriter::number(Number n) {
    separate();
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    out_.append(text, end);
    return *this;
}

JsonWriter& JsonWriter::value(float n) { return std::isfinite(n) ? number(n) : null(); }
JsonWriter& JsonWriter::value(double n) { return std::isfinite(n) ? number(n) : null(); }
JsonWriter& JsonWriter::value(int64_t n) { return number(n); }
JsonWriter& JsonWriter::value(uint64_t n) { return number(n); }

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    out_ += "null";
    return *this;
}

}  // namespace kavren::host
