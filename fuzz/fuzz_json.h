#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kavren_fuzz {

// The fuzz input as JSON text; false when it is not JSON.
inline bool parse_json(const uint8_t* data, std::size_t size, Json::Value& value) {
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    return reader->parse(text, text + size, &value, &errors);
}

}  // namespace kavren_fuzz
