#include "apps/host/config/config_fields.h"

namespace kavren::host {

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string beside(const std::string& file, const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    return directory_of(file) + path;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Place::prefix() const {
    std::string p = file.empty() ? std::string() : file + ": ";
    if (!link.empty()) p += "link " + link + (meter.empty() ? ": " : ", ");
    if (!meter.empty()) p += "meter " + meter + ": ";
    if (!object.empty()) p += quoted(object) + ": ";
    return p;
}

void Place::bad(const char* member, const char* option, const std::string& what) const {
    const std::string field = file.empty() ? std::string(option) : quoted(member);
    throw ConfigError(prefix() + field + " " + what);
}

void Place::bad(const std::string& what) const { throw ConfigError(prefix() + what); }

void only_members(const Json::Value& object, const std::vector<std::string>& known,
                  const Place& place) {
    for (const std::string& name : object.getMemberNames()) {
        bool found = false;
        for (const std::string& k : known) found = found || name == k;
        if (!found) {
            std::string list;
            for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
            place.bad("unknown member " + quoted(name) + " (known: " + list + ")");
        }
    }
}

std::string text_member(const Json::Value& object, const char* name, const Place& place) {
    const Json::Value& v = object[name];
    if (!object.isMember(name)) return {};
    if (!v.isString()) place.bad(name, name, "must be text");
    return v.asString();
}

void check_range(const Place& place, const char* member, const char* option, long long value,
                 long long low, long long high, const char* unit) {
    if (value >= low && value <= high) return;
    place.bad(member, option,
              "must be from " + std::to_string(low) + " to " + std::to_string(high) + unit +
                  " (got " + std::to_string(value) + ")");
}

}  // namespace kavren::host
