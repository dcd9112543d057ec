#pragma once

#include <string>

#include <json/json.h>

namespace kavren::host {

// Where and how the host publishes to an MQTT broker. Empty url: no publishing at all.
struct MqttConfig {
    std::string url;  // as given: mqtt://HOST[:PORT], mqtts://HOST[:PORT], mqtt+unix:///PATH
    std::string prefix = "kavren";
    std::string discovery_prefix = "homeassistant";  // "": no Home Assistant discovery
    std::string client_id;                           // "": kavren-<host id>
    // Names this host in Home Assistant's ids; "": made once and kept in the history.
    std::string host_id;
    std::string username;
    std::string password_file;  // its first line is the password
    std::string ca_file;        // mqtts: the broker's CA (default: the system's)
    std::string cert_file;      // mqtts: a client certificate and its key
    std::string key_file;
    int keepalive_s = 30;
    // Messages published and not yet acknowledged, at most: the window libmosquitto keeps and
    // the sink's own, one number.
    int inflight = 200;

    bool enabled() const { return !url.empty(); }
};

// Reads the "mqtt" object of the host's configuration file into `config`; members not given
// keep their value, files are taken from the file's folder. Throws ConfigError naming the file
// and the member.
void read_mqtt_config(const Json::Value& object, const std::string& file, MqttConfig& config);

}  // namespace kavren::host
