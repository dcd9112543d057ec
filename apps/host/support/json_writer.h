#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavren::host {

// Writes one JSON text straight into a string, without building a tree. Floats are written as
// the shortest text that reads back to the same float ("232.49", not "232.490005"); texts as
// UTF-8, escaping only what JSON requires. Bytes that are not UTF-8 become U+FFFD, so that the
// text stays valid JSON whatever a name holds. NaN and infinities, which JSON lacks, are null.
class JsonWriter {
  public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    // The member name of the next value inside an object.
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(float number);
    JsonWriter& value(double number);
    JsonWriter& value(bool flag);
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<uint64_t>(number)); }
    JsonWriter& null();

    template <typename T>
    JsonWriter& member(std::string_view name, const T& v) {
        key(name);
        return value(v);
    }

  private:
    void separate();
    template <typename Number>
    JsonWriter& number(Number n);
    std::string& out_;
    bool first_ = true;  // no value yet at this level
    bool after_key_ = false;
};

// Appends `text` as a JSON string body (no quotes), escaped, invalid UTF-8 replaced.
void append_json_escaped(std::string& out, std::string_view text);

}  // namespace kavren::host
