#include "apps/host/host_config.h"

#include <set>
#include <stdexcept>

#include "apps/common/json_file.h"

namespace kavren::host {

std::string LinkConfig::describe() const {
    if (kind == Kind::tcp) return tcp.host + ":" + tcp.port;
    return device;
}

namespace {

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

[[noreturn]] void bad(const std::string& file, const std::string& what) {
    throw std::runtime_error(file + ": " + what);
}

int int_member(const Json::Value& object, const char* name, int fallback, const std::string& file) {
    const Json::Value& v = object[name];
    if (v.isNull()) return fallback;
    if (!v.isInt()) bad(file, std::string("\"") + name + "\" must be a whole number");
    return v.asInt();
}

std::string text_member(const Json::Value& object, const char* name, const std::string& file) {
    const Json::Value& v = object[name];
    if (v.isNull()) return {};
    if (!v.isString()) bad(file, std::string("\"") + name + "\" must be text");
    return v.asString();
}

MeterConfig read_meter(const Json::Value& m, const std::string& file, std::size_t index) {
    if (!m.isObject()) bad(file, "each meter must be an object");
    MeterConfig meter;
    meter.unit = int_member(m, "unit", 1, file);
    meter.name = text_member(m, "name", file);
    if (meter.name.empty()) meter.name = "meter-" + std::to_string(index + 1);
    const Json::Value& id = m["data_id"];
    if (!id.isNull()) {
        if (!id.isUInt()) bad(file, "\"data_id\" must be a whole number from 0 to 4294967295");
        meter.data_id = id.asUInt();
    }
    const Json::Value& settings = m["settings"];
    if (settings.isString()) {
        std::string path = settings.asString();
        if (!path.empty() && path.front() != '/') path = directory_of(file) + path;
        meter.settings = app::read_json_file(path);
        meter.settings_origin = path;
    } else if (settings.isObject()) {
        meter.settings = settings;
        meter.settings_origin = file + " (meter " + meter.name + ")";
    } else if (!settings.isNull()) {
        bad(file, "\"settings\" must be a file name or an object");
    }
    return meter;
}

// The "http" section: the server's address, port file, password file and limits.
HttpConfig read_http(const Json::Value& h, const std::string& file) {
    if (!h.isObject()) bad(file, "\"http\" must be an object");
    HttpConfig http;
    http.listen = text_member(h, "listen", file);
    if (http.listen.empty()) bad(file, "\"http\" needs \"listen\": \"HOST:PORT\"");
    http.port_file = text_member(h, "port_file", file);
    http.password_file = text_member(h, "password_file", file);
    if (!http.password_file.empty() && http.password_file.front() != '/')
        http.password_file = directory_of(file) + http.password_file;
    http.max_connections = int_member(h, "max_connections", http.max_connections, file);
    http.request_timeout_ms = int_member(h, "request_timeout_ms", http.request_timeout_ms, file);
    http.history_rows = int_member(h, "history_rows", http.history_rows, file);
    return http;
}

}  // namespace

std::string http_listen_address(const std::string& text) {
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) > 65535)
        throw std::invalid_argument("bad HTTP address \"" + text +
                                    "\": expected HOST:PORT or PORT, port 0 to 65535");
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    if (host == "*") host = "0.0.0.0";
    const bool v6 = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (!v6 && host.find_first_not_of("0123456789.") != std::string::npos)
        throw std::invalid_argument("bad HTTP address \"" + text +
                                    "\": name the host by its IP address (or localhost)");
    return host + ":" + port;
}

HostConfig read_host_config(const std::string& path) {
    return host_config_from_json(app::read_json_file(path), path);
}

HostConfig host_config_from_json(const Json::Value& root, const std::string& path) {
    if (!root.isObject()) bad(path, "expected an object with \"links\"");
    HostConfig config;
    config.plugin = text_member(root, "plugin", path);
    if (!config.plugin.empty() && config.plugin.front() != '/' &&
        config.plugin.find('/') != std::string::npos) {
        config.plugin = directory_of(path) + config.plugin;
    }
    if (root.isMember("interval")) {
        if (!root["interval"].isNumeric()) bad(path, "\"interval\" must be a number of seconds");
        config.interval_s = root["interval"].asDouble();
    }
    const std::string database = text_member(root, "database", path);
    if (!database.empty()) config.database = database;
    if (root.isMember("http")) config.http = read_http(root["http"], path);
    const Json::Value& links = root["links"];
    if (!links.isArray() || links.empty()) bad(path, "\"links\" must be a non-empty array");
    std::size_t meters_seen = 0;
    for (const Json::Value& l : links) {
        if (!l.isObject()) bad(path, "each link must be an object");
        LinkConfig link;
        const std::string rtu = text_member(l, "rtu", path);
        const std::string tcp = text_member(l, "tcp", path);
        if (rtu.empty() == tcp.empty())
            bad(path, "each link needs exactly one of \"rtu\" or \"tcp\"");
        if (!rtu.empty()) {
            link.kind = LinkConfig::Kind::rtu;
            link.device = rtu;
        } else {
            link.kind = LinkConfig::Kind::tcp;
            try {
                link.tcp = app::parse_tcp_address(tcp);
            } catch (const std::invalid_argument& e) {
                bad(path, e.what());
            }
        }
        link.baud = int_member(l, "baud", 0, path);
        const std::string parity = text_member(l, "parity", path);
        if (!parity.empty()) {
            try {
                link.parity = app::parse_parity(parity);
            } catch (const std::invalid_argument& e) {
                bad(path, e.what());
            }
        }
        link.stop_bits = int_member(l, "stop_bits", 1, path);
        link.timeout_ms = int_member(l, "timeout_ms", 1000, path);
        link.pause_ms = int_member(l, "pause_ms", 0, path);
        const Json::Value& meters = l["meters"];
        if (!meters.isArray() || meters.empty())
            bad(path, "each link needs a non-empty \"meters\" array");
        for (const Json::Value& m : meters)
            link.meters.push_back(read_meter(m, path, meters_seen++));
        config.links.push_back(std::move(link));
    }
    return config;
}

void validate(const HostConfig& config) {
    if (!(config.interval_s > 0) || config.interval_s > 86400)
        throw std::runtime_error("the interval must be from 0 to 86400 seconds");
    if (config.rounds < 0) throw std::runtime_error("--rounds cannot be negative");
    if (config.offline_after < 1) throw std::runtime_error("--offline-after must be at least 1");
    std::set<std::string> names;
    for (const LinkConfig& link : config.links) {
        if (link.baud < 0) throw std::runtime_error("bad line speed for " + link.describe());
        if (link.stop_bits != 1 && link.stop_bits != 2)
            throw std::runtime_error("stop bits must be 1 or 2");
        if (link.timeout_ms < 1 || link.timeout_ms > 60000)
            throw std::runtime_error("the response time-out must be from 1 to 60000 ms");
        if (link.pause_ms < 0 || link.pause_ms > 60000)
            throw std::runtime_error("the pause must be from 0 to 60000 ms");
        for (const MeterConfig& meter : link.meters) {
            if (meter.unit < 1 || meter.unit > 247)
                throw std::runtime_error("unit id of " + meter.name + " must be 1 to 247");
            if (!names.insert(meter.name).second)
                throw std::runtime_error("two meters are named " + meter.name);
        }
    }
    if (!config.http.listen.empty()) {
        try {
            http_listen_address(config.http.listen);
        } catch (const std::invalid_argument& e) {
            throw std::runtime_error(e.what());
        }
        const HttpConfig& h = config.http;
        if (h.max_connections < 1 || h.max_connections > 256)
            throw std::runtime_error("the HTTP connections must be from 1 to 256");
        if (h.request_timeout_ms < 100 || h.request_timeout_ms > 600000)
            throw std::runtime_error("the HTTP request time-out must be from 100 to 600000 ms");
        if (h.history_rows < 1 || h.history_rows > 1000000)
            throw std::runtime_error("the HTTP history rows must be from 1 to 1000000");
    }
}

}  // namespace kavren::host
