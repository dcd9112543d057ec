#pragma once

#include <string>
#include <vector>

#include "apps/host/config/mqtt_config.h"

namespace kavren::host {

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

// Everything about the settings that can be known before connecting: the URL, a prefix that is
// a topic level path, files that must be readable, the TLS files libmosquitto accepts, and meter
// names that stay apart once made topic-safe. Fills in the default client id. Throws
// std::runtime_error with one line.
void check_mqtt_config(MqttConfig& config, const std::vector<std::string>& meter_names);

// The first line of the password file. Throws std::runtime_error.
std::string read_mqtt_password_file(const std::string& path);

}  // namespace kavren::host
