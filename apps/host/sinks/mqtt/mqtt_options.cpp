#include "apps/host/sinks/mqtt/mqtt_options.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

namespace kavren::host {

namespace {

void readable(const std::string& path, const char* what) {
    if (access(path.c_str(), R_OK) != 0)
        throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(errno));
}

// libmosquitto opens the TLS files only when it connects; a file that is no PEM of the kind
// asked for would then fail every connection. Checked at the start instead.
void pem(const std::string& path, const char* what, const char* kind, const char* marker) {
    readable(path, what);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto begin = text.find("-----BEGIN ");
    if (begin == std::string::npos || text.find(marker, begin) == std::string::npos)
        throw std::runtime_error(std::string(what) + " " + path + " holds no PEM " + kind);
}

// A prefix is one or more topic levels without wildcards, and no empty level.
void check_prefix(const std::string& prefix, const char* option) {
    if (prefix.empty()) throw std::runtime_error(std::string(option) + " cannot be empty");
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string::npos)
        throw std::runtime_error(std::string(option) + " \"" + prefix +
                                 "\" is not a topic path (no '+', '#' or empty levels)");
}

}  // namespace

MqttAddress parse_mqtt_url(const std::string& url) {
    MqttAddress address;
    std::string rest;
    const auto starts = [&](const char* scheme) {
        if (url.compare(0, std::strlen(scheme), scheme) != 0) return false;
        rest = url.substr(std::strlen(scheme));
        return true;
    };
    if (starts("mqtt+unix://")) {
        if (rest.empty() || rest.front() != '/')
            throw std::invalid_argument("bad MQTT URL " + url +
                                        ": mqtt+unix:// needs an absolute socket path");
        address.host = rest;
        return address;
    }
    if (starts("mqtts://")) {
        address.tls = true;
        address.port = 8883;
    } else if (starts("mqtt://")) {
        address.port = 1883;
    } else {
        throw std::invalid_argument("bad MQTT URL " + url +
                                    ": expected mqtt://HOST[:PORT], mqtts://HOST[:PORT] or "
                                    "mqtt+unix:///SOCKET");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos) throw std::invalid_argument("bad MQTT URL " + url);
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') throw std::invalid_argument("bad MQTT URL " + url);
            port = rest.substr(close + 2);
            if (port.empty()) throw std::invalid_argument("bad MQTT URL " + url + ": empty port");
        }
    } else {
        const auto colon = rest.rfind(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) throw std::invalid_argument("bad MQTT URL " + url + ": empty port");
        }
    }
    if (address.host.empty() || address.host.find_first_of("/@?# ") != std::string::npos)
        throw std::invalid_argument("bad MQTT URL " + url + ": no host name");
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535)
            throw std::invalid_argument("bad MQTT URL " + url + ": the port must be 1 to 65535");
        address.port = std::stoi(port);
    }
    return address;
}

std::string topic_safe(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!kept) c = '_';
    }
    return safe;
}

std::string read_mqtt_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read MQTT password file " + path);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void check_mqtt_config(MqttConfig& config, const std::vector<std::string>& meter_names) {
    if (!config.enabled()) return;
    MqttAddress address;
    try {
        address = parse_mqtt_url(config.url);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
    check_prefix(config.prefix, "the MQTT prefix");
    if (!config.discovery_prefix.empty())
        check_prefix(config.discovery_prefix, "the discovery prefix");
    if (config.keepalive_s < 5 || config.keepalive_s > 65535)
        throw std::runtime_error("the MQTT keep-alive must be from 5 to 65535 seconds");
    if (config.client_id.empty()) {
        char machine[256] = {};
        gethostname(machine, sizeof machine - 1);
        config.client_id = "kavren-" + topic_safe(machine);
    }
    if (config.client_id.size() > 200)
        throw std::runtime_error("the MQTT client id is too long (at most 200 bytes)");
    if (!config.password_file.empty()) {
        readable(config.password_file, "MQTT password file");
        read_mqtt_password_file(config.password_file);
        if (config.username.empty())
            throw std::runtime_error("an MQTT password file needs a user name (--mqtt-user)");
    }
    if (!address.tls && (!config.ca_file.empty() || !config.cert_file.empty()))
        throw std::runtime_error("a CA file or client certificate needs an mqtts:// URL");
    if (config.cert_file.empty() != config.key_file.empty())
        throw std::runtime_error(
            "a client certificate needs its key file, and a key its certificate");
    if (address.tls) {
        if (!config.ca_file.empty())
            pem(config.ca_file, "CA file", "certificate", "CERTIFICATE-----");
        if (!config.cert_file.empty())
            pem(config.cert_file, "client certificate", "certificate", "CERTIFICATE-----");
        if (!config.key_file.empty()) pem(config.key_file, "client key", "key", "KEY-----");
        // libmosquitto's own check of the files (a certificate it cannot load, for one).
        mosquitto_lib_init();
        std::unique_ptr<mosquitto, void (*)(mosquitto*)> probe(
            mosquitto_new(nullptr, true, nullptr), mosquitto_destroy);
        if (!probe) throw std::runtime_error("cannot make an MQTT client: out of memory");
        const int rc = mosquitto_tls_set(
            probe.get(), config.ca_file.empty() ? nullptr : config.ca_file.c_str(),
            config.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
            config.cert_file.empty() ? nullptr : config.cert_file.c_str(),
            config.key_file.empty() ? nullptr : config.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            throw std::runtime_error(std::string("the MQTT TLS files are not usable: ") +
                                     mosquitto_strerror(rc));
    }
    std::map<std::string, std::string> topics;
    for (const std::string& name : meter_names) {
        const std::string safe = topic_safe(name);
        const auto seen = topics.emplace(safe, name);
        if (!seen.second)
            throw std::runtime_error("meters " + seen.first->second + " and " + name +
                                     " would share the MQTT topic level " + safe);
    }
}

}  // namespace kavren::host
