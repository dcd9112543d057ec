#include "apps/host/config/mqtt_config.h"

#include <map>
#include <stdexcept>

namespace kavren::host {

namespace {

[[noreturn]] void bad(const std::string& file, const std::string& what) {
    throw std::runtime_error(file + ": " + what);
}

}  // namespace

void read_mqtt_config(const Json::Value& object, const std::string& file, MqttConfig& config) {
    if (!object.isObject()) bad(file, "\"mqtt\" must be an object");
    static const std::map<std::string, std::string MqttConfig::*> texts = {
        {"url", &MqttConfig::url},
        {"prefix", &MqttConfig::prefix},
        {"discovery_prefix", &MqttConfig::discovery_prefix},
        {"client_id", &MqttConfig::client_id},
        {"host_id", &MqttConfig::host_id},
        {"username", &MqttConfig::username},
        {"password_file", &MqttConfig::password_file},
        {"ca_file", &MqttConfig::ca_file},
        {"cert_file", &MqttConfig::cert_file},
        {"key_file", &MqttConfig::key_file},
    };
    for (const std::string& name : object.getMemberNames()) {
        const Json::Value& v = object[name];
        const auto text = texts.find(name);
        if (text != texts.end()) {
            if (!v.isString()) bad(file, "\"mqtt\": \"" + name + "\" must be text");
            config.*(text->second) = v.asString();
        } else if (name == "keepalive") {
            if (!v.isInt()) bad(file, "\"mqtt\": \"keepalive\" must be a whole number of seconds");
            config.keepalive_s = v.asInt();
        } else if (name == "inflight") {
            if (!v.isInt()) bad(file, "\"mqtt\": \"inflight\" must be a whole number of messages");
            config.inflight = v.asInt();
        } else if (name == "password") {
            bad(file, "\"mqtt\": give the password in a file (\"password_file\"), not here");
        } else {
            bad(file, "\"mqtt\": unknown member \"" + name + "\"");
        }
    }
    // Files named relative to the configuration file.
    const auto slash = file.rfind('/');
    if (slash != std::string::npos) {
        for (std::string* path :
             {&config.password_file, &config.ca_file, &config.cert_file, &config.key_file}) {
            if (!path->empty() && path->front() != '/') *path = file.substr(0, slash + 1) + *path;
        }
    }
}

}  // namespace kavren::host
