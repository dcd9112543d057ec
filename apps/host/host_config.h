#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "apps/common/cli_values.h"

namespace kavren::host {

struct MeterConfig {
    std::string name;             // how logs, output and history name the meter
    int unit = 1;                 // Modbus unit id, 1 to 247
    uint32_t data_id = 0;         // the host's data id for the device
    Json::Value settings;         // device settings handed to InitSetting
    std::string settings_origin;  // the file they came from, for messages
};

struct LinkConfig {
    enum class Kind { rtu, tcp };
    Kind kind = Kind::rtu;
    std::string device;   // RTU: serial device path (a /dev/serial/by-id name survives replugging)
    app::TcpAddress tcp;  // TCP: gateway or meter
    int baud = 0;         // 0: the driver's own line speed
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
    int timeout_ms = 1000;  // response time-out per request
    int pause_ms = 0;       // silence between requests, for slow meters and RS485 adapters
    std::vector<MeterConfig> meters;

    std::string describe() const;
};

// The embedded HTTP server (page, metrics, API); off while `listen` is empty.
struct HttpConfig {
    std::string listen;             // "HOST:PORT" as given; normalized by http_listen_address()
    std::string port_file;          // where the bound port is written (useful with port 0)
    std::string password_file;      // "user:password" lines: basic authentication for every request
    int max_connections = 16;       // requests served at once
    int request_timeout_ms = 5000;  // the whole time a client has to send its request
    int history_rows = 10000;       // rows one history request may return
};

struct HostConfig {
    std::string plugin;
    std::vector<LinkConfig> links;
    double interval_s = 5.0;
    long rounds = 0;  // 0: until stopped
    bool json = false;
    std::string database = "kavren-history.db";
    bool restore = true;
    bool plugin_log = true;  // show the plug-in's own lines on stderr
    int offline_after = 3;   // failed rounds in a row before a meter is marked offline
    double max_backoff_s = 60.0;
    HttpConfig http;
};

// Reads a host configuration file (JSON). Settings named by file are read relative to it.
// Throws std::runtime_error with a message naming the file and the problem.
HostConfig read_host_config(const std::string& path);
// The same from an already parsed file; `path` names it in messages and anchors relative names.
HostConfig host_config_from_json(const Json::Value& root, const std::string& path);

// The address to listen on: "PORT" and ":PORT" are 127.0.0.1:PORT, "localhost" is 127.0.0.1,
// "*" is every address; a host must be an IP address. Throws std::invalid_argument.
std::string http_listen_address(const std::string& text);

// Checks values that no parser checks; throws std::runtime_error.
void validate(const HostConfig& config);

}  // namespace kavren::host
