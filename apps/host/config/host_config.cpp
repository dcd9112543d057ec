#include "apps/host/config/host_config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "apps/common/json_file.h"
#include "apps/host/config/config_fields.h"
#include "apps/host/config/field_checks.h"
#include "apps/host/config/field_values.h"
#include "apps/host/config/gateway_config.h"
#include "apps/host/support/utf8.h"

namespace kavren::host {

std::string LinkConfig::describe() const {
    if (kind == Kind::rtu) return device;
    return tcp.host + ":" + tcp.port;
}

std::string default_meter_name(std::size_t index) { return "meter-" + std::to_string(index + 1); }

namespace {

void read_settings(const Json::Value& m, const std::string& file, const Place& place,
                   MeterConfig& meter) {
    const Field& field = field_named(Section::meter, "settings");
    const Json::Value& settings = m["settings"];
    if (settings.isString()) {
        const std::string path = beside(file, settings.asString());
        if (path.empty()) bad_field(place, field, "must name a file");
        meter.settings = app::read_json_file(path);  // a settings problem, not the file's
        meter.settings_origin = path;
    } else if (settings.isObject()) {
        meter.settings = settings;
        meter.settings_origin = file + " (meter " + meter.name + ")";
    } else if (m.isMember("settings")) {
        bad_field(place, field, "must be a file name or an object");
    }
}

MeterConfig read_meter(const Json::Value& m, const std::string& file, const Place& link_place,
                       std::size_t index) {
    Place place = link_place;
    place.meter = std::to_string(index + 1);
    if (!m.isObject()) place.bad("must be an object");
    MeterConfig meter;
    meter.name = default_meter_name(index);
    // The name first: messages about the meter's other members name it.
    const Field& name = field_named(Section::meter, "name");
    if (m.isMember(name.key)) read_field(name, m, file, place, &meter);
    place.meter = quoted(meter.name);
    read_fields(Section::meter, m, {}, file, place, &meter);
    read_settings(m, file, place, meter);
    return meter;
}

// Where a link goes: "rtu" (a serial device), "tcp" or "rtu_over_tcp" (HOST:PORT), one of them.
LinkConfig read_link_kind(const Json::Value& l, const std::string& file, const Place& place) {
    const int kinds = l.isMember("rtu") + l.isMember("tcp") + l.isMember("rtu_over_tcp");
    if (kinds != 1)
        place.bad(
            "needs exactly one of \"rtu\" (a serial device), \"tcp\" or "
            "\"rtu_over_tcp\" (HOST:PORT)");
    LinkConfig link;
    if (l.isMember("rtu")) {
        link.kind = LinkConfig::Kind::rtu;
        link.device = beside(file, text_member(l, "rtu", place));
        if (link.device.empty()) place.bad("rtu", "--rtu", "must name a serial device");
        return link;
    }
    const bool rtu_frames = l.isMember("rtu_over_tcp");
    const char* member = rtu_frames ? "rtu_over_tcp" : "tcp";
    link.kind = rtu_frames ? LinkConfig::Kind::rtu_over_tcp : LinkConfig::Kind::tcp;
    try {
        link.tcp = app::parse_tcp_address(text_member(l, member, place));
    } catch (const std::invalid_argument& e) {
        place.bad(member, rtu_frames ? "--rtu-over-tcp" : "--tcp",
                  std::string("is not usable: ") + e.what());
    }
    return link;
}

LinkConfig read_link(const Json::Value& l, const std::string& file, std::size_t index,
                     std::size_t& meters_seen) {
    Place place{file, std::to_string(index + 1), {}};
    if (!l.isObject()) place.bad("must be an object");
    LinkConfig link = read_link_kind(l, file, place);
    place.link += " (" + link.describe() + ")";
    read_fields(Section::link, l, {"meters", "gateway"}, file, place, &link);
    if (l.isMember("gateway")) link.gateway = read_gateway_config(l["gateway"], file, place);
    const Json::Value& meters = l["meters"];
    if (!meters.isArray() || meters.empty()) place.bad("needs a non-empty \"meters\" array");
    for (const Json::Value& m : meters)
        link.meters.push_back(read_meter(m, file, place, meters_seen++));
    return link;
}

// Whether the kernel has a terminal driver for this character device (a serial port, a USB
// adapter, a pseudo-terminal), from /proc/tty/drivers: nothing is opened. Unknown when the list
// cannot be read.
bool is_terminal_device(dev_t device, bool& known) {
    std::ifstream drivers("/proc/tty/drivers");
    known = static_cast<bool>(drivers);
    for (std::string line; std::getline(drivers, line);) {
        std::istringstream fields(line);
        std::string name, path, minors;
        unsigned major_number = 0;
        if (!(fields >> name >> path >> major_number >> minors)) continue;
        if (major_number != major(device)) continue;
        unsigned first = 0, last = 0;
        const auto dash = minors.find('-');
        try {
            first = static_cast<unsigned>(std::stoul(minors.substr(0, dash)));
            last = dash == std::string::npos
                       ? first
                       : static_cast<unsigned>(std::stoul(minors.substr(dash + 1)));
        } catch (const std::exception&) {
            continue;
        }
        if (minor(device) >= first && minor(device) <= last) return true;
    }
    return false;
}

void check_serial_device(const LinkConfig& link, const Place& place) {
    struct stat info {};
    if (stat(link.device.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            place.bad("rtu", "--rtu", "names " + link.device + ", which does not exist");
        place.bad("rtu", "--rtu", "cannot use " + link.device + ": " + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode))
        place.bad("rtu", "--rtu", "names " + link.device + ", a folder, not a serial device");
    if (!S_ISCHR(info.st_mode))
        place.bad("rtu", "--rtu", "names " + link.device + ", which is not a serial device");
    bool known = false;
    if (!is_terminal_device(info.st_rdev, known) && known)
        place.bad("rtu", "--rtu",
                  "names " + link.device + ", a character device that is not a serial line");
}

// The "http" section: the server's address, port file, password file and limits.
HttpConfig read_http(const Json::Value& h, const std::string& file) {
    const Place place{file, {}, {}};
    if (!h.isObject()) place.bad("\"http\" must be an object");
    HttpConfig http;
    read_fields(Section::http, h, {}, file, place, &http);
    if (http.listen.empty()) place.bad("\"http\" needs \"listen\": \"HOST:PORT\"");
    return http;
}

}  // namespace

namespace {

// The host and port of a listen address, the port checked; "PORT" and ":PORT" have no host.
std::pair<std::string, std::string> host_and_port(const std::string& text,
                                                  const std::string& what) {
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) > 65535)
        throw std::invalid_argument("bad " + what + " address \"" + text +
                                    "\": expected HOST:PORT or PORT, port 0 to 65535");
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    if (host == "*") host = "0.0.0.0";
    return {host, port};
}

bool bracketed_ipv6(const std::string& host) {
    unsigned char bytes[16];
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), bytes) == 1;
}

}  // namespace

std::string listen_address(const std::string& text, const std::string& what) {
    const auto [host, port] = host_and_port(text, what);
    unsigned char bytes[4];
    const bool ipv4 = host.find_first_not_of("0123456789.") == std::string::npos;
    const bool name = !ipv4 && host.front() != '[' &&
                      host.find_first_not_of(
                          "abcdefghijklmnopqrstuvwxyz"
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._") == std::string::npos;
    if (ipv4 ? inet_pton(AF_INET, host.c_str(), bytes) != 1 : !name && !bracketed_ipv6(host))
        throw std::invalid_argument("bad " + what + " address \"" + text +
                                    "\": the host is an IPv4 address, an IPv6 address in "
                                    "brackets ([::1], [::]), * or a host name");
    return host + ":" + port;
}

std::string http_listen_address(const std::string& text) { return listen_address(text, "HTTP"); }

HostConfig read_host_config(const std::string& path) {
    Json::Value root;
    try {
        root = app::read_json_file(path);
    } catch (const std::runtime_error& e) {
        throw ConfigError(e.what());
    }
    return host_config_from_json(root, path);
}

HostConfig host_config_from_json(const Json::Value& root, const std::string& path) {
    const Place place{path, {}, {}};
    if (!root.isObject()) place.bad("expected an object with \"links\"");
    // The packaged sample carries this member until its owner edits it: a service started on it
    // says once what to edit, instead of polling a line that is not there.
    if (root.isMember("unedited_sample"))
        place.bad(
            "the unedited sample configuration: name your meters' line and meters under "
            "\"links\", delete the \"unedited_sample\" line, then start the host again");
    HostConfig config;
    config.origin = path;
    // The history is kept beside the file unless it names another.
    config.database = beside(path, config.database);
    read_fields(Section::top, root, {"links", "mqtt", "http", "retention"}, path, place, &config);
    if (root.isMember("http")) config.http = read_http(root["http"], path);
    if (root.isMember("retention")) config.retention = read_retention(root["retention"], path);
    const Json::Value& links = root["links"];
    if (!links.isArray() || links.empty()) place.bad("\"links\" must be a non-empty array");
    std::size_t meters_seen = 0;
    for (Json::ArrayIndex i = 0; i < links.size(); ++i)
        config.links.push_back(read_link(links[i], path, i, meters_seen));
    if (root.isMember("mqtt")) read_mqtt_config(root["mqtt"], path, config.mqtt);
    return config;
}

namespace {

void check_link_values(const LinkConfig& link, const Place& place, std::set<std::string>& names) {
    if (link.meters.empty()) place.bad("has no meters");
    for (std::size_t m = 0; m < link.meters.size(); ++m) {
        const MeterConfig& meter = link.meters[m];
        Place at = place;
        if (!place.file.empty())
            at.meter = printable_utf8(meter.name) && !meter.name.empty()
                           ? quoted(meter.name)
                           : std::to_string(m + 1) + " of the link";
        if (!names.insert(meter.name).second)
            at.bad("name", "--name", "is given to two meters; each meter needs its own name");
    }
    if (link.gateway.enabled()) check_gateway_config(link.gateway, place);
}

// No two servers of the host (the gateways, the HTTP side) on one address and port (port 0
// picks a free one each).
void check_listen_addresses(const HostConfig& config) {
    std::map<std::string, std::string> taken;  // address: who listens there
    const auto claim = [&](const std::string& address, const std::string& who) {
        if (address.size() > 2 && address.compare(address.size() - 2, 2, ":0") == 0) return;
        const auto seen = taken.emplace(address, who);
        if (!seen.second)
            throw ConfigError(config.origin + (config.origin.empty() ? "" : ": ") + who +
                              " listens on " + address + ", as " + seen.first->second +
                              " does: give each its own port");
    };
    if (!config.http.listen.empty())
        claim(http_listen_address(config.http.listen), "the HTTP side");
    for (std::size_t i = 0; i < config.links.size(); ++i) {
        const GatewayConfig& g = config.links[i].gateway;
        if (g.enabled())
            claim(listen_address(g.listen, "gateway"),
                  "the gateway of link " + std::to_string(i + 1));
    }
}

}  // namespace

void validate_values(const HostConfig& config) {
    const Place top{config.origin, {}, {}};
    std::set<std::string> names;
    for (std::size_t i = 0; i < config.links.size(); ++i) {
        const LinkConfig& link = config.links[i];
        const Place place{config.origin,
                          config.origin.empty()
                              ? std::string()
                              : std::to_string(i + 1) + " (" + link.describe() + ")",
                          {}};
        check_link_values(link, place, names);
    }
    if (!config.http.listen.empty()) {
        try {
            http_listen_address(config.http.listen);
        } catch (const std::invalid_argument& e) {
            top.bad(e.what());
        }
    }
    check_listen_addresses(config);
}

void validate(const HostConfig& config) {
    validate_values(config);
    std::map<std::string, std::size_t> serial_lines;  // the device itself, by any name
    for (std::size_t i = 0; i < config.links.size(); ++i) {
        const LinkConfig& link = config.links[i];
        if (link.kind != LinkConfig::Kind::rtu) continue;
        const Place place{config.origin,
                          config.origin.empty()
                              ? std::string()
                              : std::to_string(i + 1) + " (" + link.describe() + ")",
                          {}};
        check_serial_device(link, place);
        char resolved[PATH_MAX];
        const std::string line =
            realpath(link.device.c_str(), resolved) != nullptr ? resolved : link.device;
        const auto seen = serial_lines.emplace(line, i);
        if (!seen.second)
            place.bad("rtu", "--rtu",
                      "names " + line + ", the serial line of link " +
                          std::to_string(seen.first->second + 1) +
                          " too: meters on one serial line belong in one link");
    }
}

}  // namespace kavren::host
