#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "apps/host/config/link_config.h"
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

// A host id or client id as one ASCII topic level (Home Assistant's ids are made from it): ASCII
// letters, digits, '-' and '_' are kept, every other byte becomes '_'.
std::string topic_safe(const std::string& name);

// A meter name as one topic level: the ASCII as topic_safe() keeps it, so '/', '+', '#' and
// spaces never reach a topic, and every well-formed non-ASCII character as it is (MQTT carries
// UTF-8): "Zähler ☃ 电表" is "Zähler_☃_电表". A byte of no well-formed character becomes '_'.
std::string meter_topic_level(const std::string& name);

// MQTT's limit on a topic, in bytes.
inline constexpr std::size_t kMaxTopicBytes = 65535;
// The longest host id, configured or made.
inline constexpr std::size_t kMaxHostIdBytes = 64;

// Everything about the settings that can be known before connecting, refused with one line
// (std::runtime_error) when it could never work: the URL; prefixes that are topic level paths
// of printable UTF-8, without wildcards, not the broker's own `$` topics; a host id of topic-safe
// characters; meter names of at most kMaxMeterNameBytes that stay apart once made topic-safe,
// and topics within MQTT's limit; a password file that is a regular readable file; TLS files
// that load with OpenSSL as a CA, a certificate and its own key.
void check_mqtt_config(const MqttConfig& config, const std::vector<std::string>& meter_names);

// The machine's name as one topic level.
std::string machine_level();
// The client id versions before the host id defaulted to: "kavren-<machine>".
std::string legacy_client_id();

// A new host id: the machine's name made topic-safe (at most 32 bytes) and 8 random hex digits,
// so that two hosts on one machine have ids of their own.
std::string make_host_id();
// The client id when none is configured: "kavren-<host id>", as unique as the host id.
std::string default_client_id(const std::string& host_id);

// The first line of the password file. Throws std::runtime_error.
std::string read_mqtt_password_file(const std::string& path);

}  // namespace kavren::host
