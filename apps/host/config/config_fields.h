#pragma once

#include <initializer_list>
#include <string>

#include <json/json.h>

#include "apps/host/config/host_config.h"

namespace kavren::host {

// Reading a configuration's members and saying which one is wrong: the helpers every section of
// the configuration shares.

// The folder part of a path, with its slash ("" for none).
std::string directory_of(const std::string& path);
// `path` taken from the folder of `file` unless it is absolute (or empty).
std::string beside(const std::string& file, const std::string& path);
std::string quoted(const std::string& text);

// Where in a configuration a value is: the file (or the command line), the link, the meter.
struct Place {
    std::string file;  // empty: the command line
    std::string link;
    std::string meter;

    std::string prefix() const;
    // A field as the file calls it, or as the command line option that sets it.
    [[noreturn]] void bad(const char* member, const char* option, const std::string& what) const;
    [[noreturn]] void bad(const std::string& what) const;
};

// Refuses a member the object does not know, naming the ones it does.
void only_members(const Json::Value& object, std::initializer_list<const char*> known,
                  const Place& place);
int int_member(const Json::Value& object, const char* name, int fallback, const Place& place);
std::string text_member(const Json::Value& object, const char* name, const Place& place);
void check_range(const Place& place, const char* member, const char* option, long long value,
                 long long low, long long high, const char* unit);

}  // namespace kavren::host
