#include "apps/host/command_line.h"

#include "apps/common/json_file.h"
#include "apps/common/plugin_library.h"
#include "apps/common/program.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/mqtt/mqtt_options.h"

namespace kavren::host {

using app::UsageError;

HostCommandLine::HostCommandLine(CLI::App& app) {
    app.add_option("--config", v_.config_file,
                   "JSON file describing links and meters (see the README)");
    add_link_options(app);
    add_run_options(app);
    add_mqtt_options(app);
    add_http_options(app);
    add_gateway_options(app);
    app.footer(
        "History export: kavren-host export --db FILE --meter NAME [--from T] [--to T] "
        "[--format csv|jsonl] [--step raw|1m|1h] (see kavren-host export --help)\n");
}

void HostCommandLine::add_link_options(CLI::App& app) {
    app.add_option("--rtu", v_.rtu, "Serial device of one meter (e.g. /dev/serial/by-id/...)");
    app.add_option("--tcp", v_.tcp, "Modbus TCP address HOST:PORT of one meter or gateway");
    app.add_option("--rtu-over-tcp", v_.rtu_over_tcp,
                   "Address HOST:PORT of a serial server (an RS485 gateway) that passes Modbus "
                   "RTU frames on a TCP connection");
    app.add_option("--unit", v_.unit, "Modbus unit id")->capture_default_str();
    app.add_option("--baud", v_.baud, "Line speed, bit/s (default: the driver's, 9600)");
    app.add_option("--parity", v_.parity, "Parity: N, E or O")->capture_default_str();
    app.add_option("--stop-bits", v_.stop_bits, "Stop bits: 1 or 2")->capture_default_str();
    app.add_option("--timeout-ms", v_.timeout_ms, "Response time-out per request")
        ->capture_default_str();
    app.add_option("--pause-ms", v_.pause_ms,
                   "Pause between requests (slow meters, RS485 adapters)")
        ->capture_default_str();
    app.add_option("--data-id", v_.data_id, "The host's data id for the meter")
        ->capture_default_str();
    app.add_option("--settings", v_.settings_file,
                   "Device settings JSON file handed to the driver");
    app.add_option("--name", v_.name, "Name of the meter in output and history")
        ->capture_default_str();
}

void HostCommandLine::add_run_options(CLI::App& app) {
    app.add_option("--plugin", v_.plugin,
                   "Plug-in to load (default: kavren_m7.so beside this program)");
    interval_ = app.add_option("--interval", v_.interval_s,
                               "Seconds from the start of one round to the next")
                    ->capture_default_str();
    commit_interval_ =
        app.add_option("--commit-interval", v_.commit_interval_s,
                       "Seconds a round may wait for its transaction; a kill or power cut loses "
                       "at most the rounds of the last interval (0: each batch at once)")
            ->capture_default_str();
    app.add_option("--rounds", v_.rounds, "Stop after this many rounds (0: run until stopped)")
        ->capture_default_str();
    app.add_flag("--json", v_.json,
                 "One JSON object per line and round instead of the readable view");
    database_ = app.add_option("--db", v_.database, "SQLite history file")->capture_default_str();
    app.add_option("--history-queue", v_.history_queue,
                   "Rounds that may wait to be stored while the history is busy; past that, "
                   "new rounds are refused (and counted)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}))
        ->capture_default_str();
    retention_.add_to(app);
    app.add_flag("--no-restore", v_.no_restore,
                 "Do not restore the last stored record at start-up");
    app.add_flag("--quiet-plugin", v_.quiet_plugin,
                 "Do not show the plug-in's own diagnostic lines");
    app.add_option("--offline-after", v_.offline_after,
                   "Failed rounds in a row before a meter counts as offline")
        ->capture_default_str();
}

void HostCommandLine::add_mqtt_options(CLI::App& app) {
    const auto text = [&](const char* name, std::string MqttConfig::*field, const char* help) {
        mqtt_texts_.emplace_back(app.add_option(name, v_.mqtt.*field, help), field);
        return mqtt_texts_.back().first;
    };
    text("--mqtt", &MqttConfig::url,
         "Publish every round to this MQTT broker: mqtt://HOST[:PORT], mqtts://HOST[:PORT] "
         "or mqtt+unix:///SOCKET (default: no publishing)");
    text("--mqtt-prefix", &MqttConfig::prefix, "Topic prefix")->capture_default_str();
    text("--mqtt-discovery-prefix", &MqttConfig::discovery_prefix,
         "Home Assistant discovery prefix (\"\": no discovery)")
        ->capture_default_str();
    text("--mqtt-client-id", &MqttConfig::client_id,
         "MQTT client id, also the host's id in its status topic (default: kavren-<host id>)");
    text("--mqtt-host-id", &MqttConfig::host_id,
         "This host's id in Home Assistant's unique ids: letters, digits, '-' and '_' (default: "
         "made once and kept in the history)");
    text("--mqtt-user", &MqttConfig::username, "MQTT user name");
    text("--mqtt-password-file", &MqttConfig::password_file,
         "File whose first line is the MQTT password");
    text("--mqtt-ca-file", &MqttConfig::ca_file,
         "mqtts: CA certificate of the broker (default: the system's)");
    text("--mqtt-cert-file", &MqttConfig::cert_file, "mqtts: client certificate");
    text("--mqtt-key-file", &MqttConfig::key_file, "mqtts: the client certificate's key");
    keepalive_ = app.add_option("--mqtt-keepalive", v_.mqtt.keepalive_s,
                                "MQTT keep-alive, seconds; a broker that acknowledges nothing "
                                "for this long is connected to again")
                     ->capture_default_str();
    inflight_ = app.add_option("--mqtt-inflight", v_.mqtt.inflight,
                               "Messages published and not yet acknowledged by the broker, at "
                               "most (a distant broker needs more to keep up)")
                    ->capture_default_str();
}

void HostCommandLine::add_http_options(CLI::App& app) {
    app.add_option("--http", v_.http_listen,
                   "Serve the page, /metrics and the JSON API on HOST:PORT (PORT alone: "
                   "127.0.0.1; [::1]:PORT, [::]:PORT: IPv6, [::] IPv4 too; port 0: any free "
                   "port)");
    app.add_option("--http-port-file", v_.http_port_file,
                   "Write the HTTP port here once listening");
    app.add_option("--http-password-file", v_.http_password_file,
                   "Require HTTP basic authentication with the user:password lines of this file");
    app.add_option("--http-host-name", v_.http_host_names,
                   "Without a password file, serve requests naming this host too (repeatable); "
                   "IP addresses, localhost and this machine's name always are");
    app.add_option("--http-page-url", v_.http_page_url,
                   "The page's address for other machines, as Home Assistant links to it "
                   "(default: made from --http, this machine's name when it listens on every "
                   "address)");
}

void HostCommandLine::add_gateway_options(CLI::App& app) {
    app.add_option("--gateway", v_.gateway_listen,
                   "Serve the link to Modbus TCP clients on HOST:PORT: reads of what the last "
                   "round read are answered from it, the rest goes to the meter between the "
                   "host's requests (PORT alone: 127.0.0.1; port 0: any free port)");
    app.add_option("--gateway-port-file", v_.gateway_port_file,
                   "Write the gateway's port here once listening");
    app.add_flag("--gateway-writes", v_.gateway_writes,
                 "Let the gateway pass requests that write to the meter (refused by default)");
}

HostConfig HostCommandLine::config() const {
    HostConfig config = v_.config_file.empty() ? from_options() : from_file();
    if (config.database.empty()) throw UsageError("--db must name a file");
    try {
        retention_.apply(config.retention);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (!v_.plugin.empty()) config.plugin = v_.plugin;
    if (config.plugin.empty()) config.plugin = app::plugin_beside_program();
    config.rounds = v_.rounds;
    config.json = v_.json;
    config.restore = !v_.no_restore;
    config.plugin_log = !v_.quiet_plugin;
    config.offline_after = v_.offline_after;
    config.history_queue = v_.history_queue;
    try {
        validate(config);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    apply_mqtt(config);
    apply_http(config);
    return config;
}

HostConfig HostCommandLine::from_file() const {
    if (!v_.rtu.empty() || !v_.tcp.empty() || !v_.rtu_over_tcp.empty())
        throw UsageError("give either --config or a link (--rtu/--tcp/--rtu-over-tcp), not both");
    if (!v_.gateway_listen.empty() || !v_.gateway_port_file.empty() || v_.gateway_writes)
        throw UsageError(
            "--gateway and its options serve a link given on the command line; with --config, "
            "give each link its \"gateway\" in the file");
    HostConfig config;
    try {
        config = read_host_config(v_.config_file);
    } catch (const ConfigError& e) {
        throw UsageError(e.what());
    }
    if (interval_->count() > 0) config.interval_s = v_.interval_s;
    if (commit_interval_->count() > 0) config.commit_interval_s = v_.commit_interval_s;
    if (database_->count() > 0) config.database = v_.database;
    return config;
}

HostConfig HostCommandLine::from_options() const {
    const int links = !v_.rtu.empty() + !v_.tcp.empty() + !v_.rtu_over_tcp.empty();
    if (links != 1)
        throw UsageError(
            "choose exactly one of --rtu DEVICE, --tcp HOST:PORT, --rtu-over-tcp HOST:PORT or "
            "--config FILE");
    HostConfig config;
    config.links.push_back(link_from_options());
    config.interval_s = v_.interval_s;
    config.commit_interval_s = v_.commit_interval_s;
    config.database = v_.database;
    return config;
}

LinkConfig HostCommandLine::link_from_options() const {
    LinkConfig link;
    if (!v_.rtu.empty()) {
        link.kind = LinkConfig::Kind::rtu;
        link.device = v_.rtu;
    } else {
        const bool rtu_frames = v_.tcp.empty();
        link.kind = rtu_frames ? LinkConfig::Kind::rtu_over_tcp : LinkConfig::Kind::tcp;
        try {
            link.tcp = app::parse_tcp_address(rtu_frames ? v_.rtu_over_tcp : v_.tcp);
        } catch (const std::invalid_argument& e) {
            throw UsageError(e.what());
        }
    }
    link.baud = v_.baud;
    try {
        link.parity = app::parse_parity(v_.parity);
    } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--parity: ") + e.what());
    }
    link.stop_bits = v_.stop_bits;
    link.timeout_ms = v_.timeout_ms;
    link.pause_ms = v_.pause_ms;
    if (v_.gateway_listen.empty() && (!v_.gateway_port_file.empty() || v_.gateway_writes))
        throw UsageError("--gateway-port-file and --gateway-writes need --gateway HOST:PORT");
    link.gateway.listen = v_.gateway_listen;
    link.gateway.port_file = v_.gateway_port_file;
    link.gateway.writes = v_.gateway_writes;
    MeterConfig meter;
    meter.name = v_.name;
    meter.unit = v_.unit;
    meter.data_id = v_.data_id;
    if (!v_.settings_file.empty()) {
        meter.settings = app::read_json_file(v_.settings_file);
        meter.settings_origin = v_.settings_file;
    }
    link.meters.push_back(std::move(meter));
    return link;
}

// The MQTT options given on the command line win over the file.
void HostCommandLine::apply_mqtt(HostConfig& config) const {
    for (const auto& text : mqtt_texts_)
        if (text.first->count() > 0) config.mqtt.*(text.second) = v_.mqtt.*(text.second);
    if (keepalive_->count() > 0) config.mqtt.keepalive_s = v_.mqtt.keepalive_s;
    if (inflight_->count() > 0) config.mqtt.inflight = v_.mqtt.inflight;
    std::vector<std::string> names;
    for (const LinkConfig& link : config.links)
        for (const MeterConfig& meter : link.meters) names.push_back(meter.name);
    try {
        check_mqtt_config(config.mqtt, names);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
}

// --http and its companions override the configuration file's "http" section.
void HostCommandLine::apply_http(HostConfig& config) const {
    if (!v_.http_listen.empty()) config.http.listen = v_.http_listen;
    if (!v_.http_port_file.empty()) config.http.port_file = v_.http_port_file;
    if (!v_.http_password_file.empty()) config.http.password_file = v_.http_password_file;
    if (!v_.http_host_names.empty()) config.http.host_names = v_.http_host_names;
    if (!v_.http_page_url.empty()) config.http.page_url = v_.http_page_url;
    if (config.http.listen.empty() &&
        (!v_.http_port_file.empty() || !v_.http_password_file.empty() ||
         !v_.http_host_names.empty() || !v_.http_page_url.empty()))
        throw UsageError(
            "--http-port-file, --http-password-file, --http-host-name and --http-page-url need "
            "--http HOST:PORT");
    try {
        if (!config.http.password_file.empty()) read_http_password_file(config.http.password_file);
        validate_values(config);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
}

}  // namespace kavren::host
