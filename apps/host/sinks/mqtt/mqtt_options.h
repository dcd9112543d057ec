#pragma once

#include <string>
#include <vector>

#include <json/json.h>

namespace kavren::host {

// Where and how the host publishes to an MQTT broker. Empty url: no publishing at all.
struct MqttConfig {
    std::string url;  // as given: mqtt://HOST[:PORT], mqtts://HOST[:PORT], mqtt+unix:///PATH
    std::string prefix = "kavren";
    std::string discovery_prefix = "homeassistant";  // "": no Home Assistant discovery
    std::string client_id;                           // "": kavren-<machine name>
    std::string username;
    std::string password_file;  // its first line is the password
    std::string ca_file;        // mqtts: the broker's CA (default: the system's)
    std::string cert_file;      // mqtts: a client certificate and its key
    std::string key_file;
    int keepalive_s = 30;

    bool enabled() const { return !url.empty(); }
};

// The broker address a URL names.
struct MqttAddress {
    bool tls = false;
    std::string host;  // or the Unix socket's path
    int port = 0;      // 0 for a Unix socket
    bool unix_socket() const { return port == 0; }
};

// Throws std::invalid_argument with a one-line reason.
MqttAddress parse_mqtt_url(const std::string& url);

// A meter or host name as one topic level: ASCII letters, digits, '-' and '_' are kept, every
// other byte becomes '_' (so '/', '+', '#', spaces and non-ASCII letters never reach a topic).
std::string topic_safe(const std::string& name);

// Reads the "mqtt" object of the host's configuration file into `config`; members not given
// keep their value. Throws std::runtime_error naming the file.
void read_mqtt_config(const Json::Value& object, const std::string& file, MqttConfig& config);

// Everything about the settings that can be known before connecting: the URL, a prefix that is
// a topic level path, files that must be readable, the TLS files libmosquitto accepts, and meter
// names that stay apart once made topic-safe. Fills in the default client id. Throws
// std::runtime_error with one line.
void check_mqtt_config(MqttConfig& config, const std::vector<std::string>& meter_names);

// The first line of the password file. Throws std::runtime_error.
std::string read_mqtt_password_file(const std::string& path);

}  // namespace kavren::host
