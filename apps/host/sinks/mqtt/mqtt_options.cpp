#include "apps/host/sinks/mqtt/mqtt_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include "apps/host/sinks/mqtt/mqtt_discovery.h"
#include "apps/host/sinks/mqtt/mqtt_payload.h"
#include "apps/host/sinks/mqtt/mqtt_tls_files.h"
#include "apps/host/support/utf8.h"

namespace kavren::host {

namespace {

void readable(const std::string& path, const char* what) {
    if (access(path.c_str(), R_OK) != 0)
        throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(errno));
}

// The start of a name, for a message that must stay one readable line.
std::string quoted_start(const std::string& name) {
    constexpr std::size_t kShown = 32;
    if (name.size() <= kShown) return "\"" + name + "\"";
    std::size_t cut = 0;
    while (cut < kShown) {
        const std::size_t length = utf8_sequence(name, cut);
        if (length == 0 || cut + length > kShown) break;
        cut += length;
    }
    return "\"" + name.substr(0, cut) + "...\"";
}

// A prefix is one or more topic levels of printable UTF-8 (a broker drops the connection of a
// client that publishes anything else), without wildcards or an empty level, and not under `$`,
// where a broker keeps its own topics and drops what clients publish.
void check_prefix(const std::string& prefix, const char* option) {
    if (prefix.empty()) throw std::runtime_error(std::string(option) + " cannot be empty");
    if (!printable_utf8(prefix))
        throw std::runtime_error(std::string(option) + " " + quoted_start(prefix) +
                                 " is not UTF-8 text without control characters");
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/' || prefix.find("//") != std::string::npos)
        throw std::runtime_error(std::string(option) + " " + quoted_start(prefix) +
                                 " is not a topic path (no '+', '#' or empty levels)");
    if (prefix.front() == '$')
        throw std::runtime_error(std::string(option) + " " + quoted_start(prefix) +
                                 " starts with '$': the broker keeps those topics for itself");
}

bool topic_safe_text(const std::string& text) { return !text.empty() && topic_safe(text) == text; }

void check_ids(const MqttConfig& config) {
    if (!config.host_id.empty() &&
        (!topic_safe_text(config.host_id) || config.host_id.size() > kMaxHostIdBytes))
        throw std::runtime_error("the MQTT host id " + quoted_start(config.host_id) +
                                 " must be 1 to " + std::to_string(kMaxHostIdBytes) +
                                 " ASCII letters, digits, '-' or '_'");
    if (config.client_id.size() > 200)
        throw std::runtime_error("the MQTT client id is too long (at most 200 bytes)");
    if (!printable_utf8(config.client_id))
        throw std::runtime_error("the MQTT client id is not UTF-8 text without control characters");
}

void check_password_file(const MqttConfig& config) {
    if (config.password_file.empty()) return;
    const std::string& path = config.password_file;
    struct stat file {};
    if (stat(path.c_str(), &file) != 0)
        throw std::runtime_error("MQTT password file " + path + ": " + std::strerror(errno));
    // A folder opens as a stream that reads nothing: an empty password, never the one meant.
    if (!S_ISREG(file.st_mode))
        throw std::runtime_error("MQTT password file " + path + " is not a regular file");
    readable(path, "MQTT password file");
    if (config.username.empty())
        throw std::runtime_error("an MQTT password file needs a user name (--mqtt-user)");
}

// Every meter name within the cap with its own topic level and Home Assistant id, and every topic
// within MQTT's limit (a broker drops the connection of a client that publishes a longer one). A
// host id yet to be made counts at its longest.
void check_topics(const MqttConfig& config, const std::vector<std::string>& meter_names) {
    std::map<std::string, std::string> levels, objects;
    for (const std::string& name : meter_names) {
        if (name.size() > kMaxMeterNameBytes)
            throw std::runtime_error("meter " + quoted_start(name) + ": a name is at most " +
                                     std::to_string(kMaxMeterNameBytes) +
                                     " bytes with MQTT (it has " + std::to_string(name.size()) +
                                     ")");
        const std::string level = meter_topic_level(name);
        const auto seen = levels.emplace(level, name);
        if (!seen.second)
            throw std::runtime_error("meters " + seen.first->second + " and " + name +
                                     " would share the MQTT topic level " + level);
        const std::string object = meter_object_id(name);
        const auto same_object = objects.emplace(object, name);
        if (!same_object.second)
            throw std::runtime_error("meters " + same_object.first->second + " and " + name +
                                     " would share the Home Assistant id " + object);
    }
    MqttTopics topics;
    topics.prefix = config.prefix;
    topics.discovery_prefix = config.discovery_prefix;
    topics.host_id = config.host_id.empty() ? std::string(kMaxHostIdBytes, 'x') : config.host_id;
    topics.status_level =
        topic_safe(config.client_id.empty() ? default_client_id(topics.host_id) : config.client_id);
    std::size_t longest = topics.status().size();
    for (const std::string& name : meter_names) {
        std::vector<std::string> all{topics.state(name), topics.rounds(name),
                                     topics.availability(name)};
        if (!config.discovery_prefix.empty()) {
            const auto configs = discovery_topics(topics, name);
            all.insert(all.end(), configs.begin(), configs.end());
        }
        for (const std::string& topic : all) longest = std::max(longest, topic.size());
    }
    if (longest > kMaxTopicBytes)
        throw std::runtime_error("the MQTT topics would be up to " + std::to_string(longest) +
                                 " bytes long, more than the " + std::to_string(kMaxTopicBytes) +
                                 " MQTT allows: shorten the prefix");
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

namespace {

bool ascii_kept(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

}  // namespace

std::string topic_safe(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        if (!ascii_kept(c)) c = '_';
    }
    return safe;
}

std::string meter_topic_level(const std::string& name) {
    std::string level;
    level.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence(name, i);
        if (length > 1) {
            level.append(name, i, length);
            i += length;
        } else {
            level += byte < 0x80 && ascii_kept(name[i]) ? name[i] : '_';
            ++i;
        }
    }
    return level;
}

std::string read_mqtt_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read MQTT password file " + path);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void check_mqtt_config(const MqttConfig& config, const std::vector<std::string>& meter_names) {
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
    if (config.inflight < 1 || config.inflight > 65535)
        throw std::runtime_error("the MQTT in-flight window must be from 1 to 65535 messages");
    check_ids(config);
    check_password_file(config);
    if (!address.tls && (!config.ca_file.empty() || !config.cert_file.empty()))
        throw std::runtime_error("a CA file or client certificate needs an mqtts:// URL");
    if (config.cert_file.empty() != config.key_file.empty())
        throw std::runtime_error(
            "a client certificate needs its key file, and a key its certificate");
    if (address.tls) {
        for (const auto& file : {std::make_pair(&config.ca_file, "CA file"),
                                 std::make_pair(&config.cert_file, "client certificate"),
                                 std::make_pair(&config.key_file, "client key")})
            if (!file.first->empty()) readable(*file.first, file.second);
        check_tls_files(config.ca_file, config.cert_file, config.key_file);
    }
    check_topics(config, meter_names);
}

std::string machine_level() {
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    return topic_safe(machine);
}

std::string legacy_client_id() { return "kavren-" + machine_level(); }

std::string make_host_id() {
    std::string id = machine_level().substr(0, 32);
    unsigned char random[4] = {};
    if (getentropy(random, sizeof random) != 0)
        throw std::runtime_error(std::string("cannot make a host id: ") + std::strerror(errno));
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
    return (id.empty() ? std::string("host") : id) + "-" + hex;
}

std::string default_client_id(const std::string& host_id) { return "kavren-" + host_id; }

}  // namespace kavren::host
