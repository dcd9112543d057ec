#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "apps/host/config/link_config.h"
#include "apps/host/config/mqtt_config.h"
#include "apps/host/config/retention.h"

namespace kavren::host {

// The embedded HTTP server (page, metrics, API); off while `listen` is empty.
struct HttpConfig {
    std::string listen;         // "HOST:PORT" as given; normalized by http_listen_address()
    std::string port_file;      // where the bound port is written (useful with port 0)
    std::string password_file;  // "user:password" lines: basic authentication for every request
    std::vector<std::string> host_names;  // more names than this machine's that the page is
                                          // reached by without a password (Host headers)
    std::string page_url;      // the page's address for other machines (Home Assistant's link to
                               // it); empty: made from the address it listens on
    int max_connections = 16;  // requests served at once
    int request_timeout_ms = 5000;  // the whole time a client has to send its request
    int history_rows = 10000;       // rows one history request may return
};

struct HostConfig {
    std::string origin;  // the configuration file, empty when it came from the command line
    std::string plugin;
    std::vector<LinkConfig> links;
    double interval_s = 5.0;
    long rounds = 0;  // 0: until stopped
    bool json = false;
    std::string database = "kavren-history.db";
    RetentionConfig retention;  // how long the history keeps what, and its largest size
    bool restore = true;
    bool plugin_log = true;  // show the plug-in's own lines on stderr
    int offline_after = 3;   // failed rounds in a row before a meter is marked offline
    double max_backoff_s = 60.0;
    std::size_t history_queue = 10000;  // rounds that may wait to be stored
    double commit_interval_s = 5.0;     // the longest a stored round waits for its commit
    MqttConfig mqtt;                    // publishing to a broker; off without a URL
    HttpConfig http;
};

// A configuration that cannot be used: a file that cannot be read or parsed, a member of the wrong
// type or a value out of range. The message is one line naming the file (or the option), the
// link or meter and the field.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a host configuration file (JSON). Every relative path in it (database, serial device,
// settings, plug-in) is taken relative to the file's folder; the history is kept beside the file
// unless it names another. Throws ConfigError for the file itself, std::runtime_error for a
// settings file that cannot be read.
HostConfig read_host_config(const std::string& path);
// The same from an already parsed file; `path` names it in messages and anchors relative names.
HostConfig host_config_from_json(const Json::Value& root, const std::string& path);

// The address a server of the host listens on: "PORT" and ":PORT" are 127.0.0.1:PORT,
// "localhost" is 127.0.0.1, "*" every IPv4 address; otherwise an IPv4 address, an IPv6 address
// in brackets ("[::]" every address, IPv4 too) or a host name (looked up when the server starts
// listening). Throws std::invalid_argument, whose message calls it the `what` address.
std::string listen_address(const std::string& text, const std::string& what);
// The HTTP side's.
std::string http_listen_address(const std::string& text);

// Checks the whole configuration before anything starts, beyond what each field's own check
// saw as it was read (config/field_table.h): every link with meters, each meter its own name,
// addresses a server can listen on, each on its own port, serial devices that exist and are
// serial lines, one link per serial line. Throws ConfigError.
void validate(const HostConfig& config);
// The same without looking at any device.
void validate_values(const HostConfig& config);

// The name of a meter the configuration does not name: "meter-1" for the first of all.
std::string default_meter_name(std::size_t index);

// Whether a serial port can be set to this speed (bit/s).
bool standard_baud_rate(int baud);

}  // namespace kavren::host
