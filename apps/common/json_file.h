#pragma once

#include <string>

#include <json/json.h>

namespace kavren::app {

// Reads and parses a JSON file: a regular file of at most 16 MiB. Throws std::runtime_error:
// "cannot read FILE: reason" or "FILE: not valid JSON: details".
Json::Value read_json_file(const std::string& path);

// One line of JSON text, UTF-8 kept as it is.
std::string compact_json(const Json::Value& value);

}  // namespace kavren::app
