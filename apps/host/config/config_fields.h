#pragma once

#include <string>
#include <utility>
#include <vector>

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

// Where in a configuration a value is: the file (or the command line), the link, the meter, and
// the object of the file it stands in ("mqtt", "gateway") when messages name it.
struct Place {
    std::string file;  // empty: the command line
    std::string link;
    std::string meter;
    std::string object;

    Place() = default;
    explicit Place(std::string in_file, std::string in_link = {}, std::string in_meter = {},
                   std::string in_object = {})
        : file(std::move(in_file)),
          link(std::move(in_link)),
          meter(std::move(in_meter)),
          object(std::move(in_object)) {}

    std::string prefix() const;
    // A field as the file calls it, or as the command line option that sets it.
    [[noreturn]] void bad(const char* member, const char* option, const std::string& what) const;
    [[noreturn]] void bad(const std::string& what) const;
};

// Refuses a member the object does not know, naming the ones it does.
void only_members(const Json::Value& object, const std::vector<std::string>& known,
                  const Place& place);
std::string text_member(const Json::Value& object, const char* name, const Place& place);
void check_range(const Place& place, const char* member, const char* option, long long value,
                 long long low, long long high, const char* unit);

}  // namespace kavren::host
