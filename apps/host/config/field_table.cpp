#include "apps/host/config/field_table.h"

#include "apps/host/config/field_checks.h"

namespace kavren::host {

namespace {

Field special(Section section, Kind kind, const char* key, const char* option, const char* help) {
    Field f;
    f.section = section;
    f.kind = kind;
    f.key = key;
    f.option = option;
    f.help = help;
    return f;
}

void add_run_fields(std::vector<Field>& t) {
    t.push_back(field<Kind::seconds, &HostConfig::interval_s>(
                    "interval", "--interval", "Seconds from the start of one round to the next")
                    .checked_by(check_interval)
                    .accepts("more than 0, at most 86400 seconds"));
    t.push_back(field<Kind::path, &HostConfig::database>("database", "--db", "SQLite history file")
                    .checked_by(check_file_named)
                    .accepts("a file name")
                    .fixed_until_restart());
    t.push_back(
        field<Kind::seconds, &HostConfig::commit_interval_s>(
            "commit_interval", "--commit-interval",
            "Seconds a round may wait for its transaction; a kill or power cut loses at most the "
            "rounds of the last interval (0: each batch at once)")
            .checked_by(check_commit_interval)
            .accepts("0 to 3600 seconds"));
    t.push_back(field<Kind::count, &HostConfig::history_queue>(
                    "history_queue", "--history-queue",
                    "Rounds that may wait to be stored while the history is busy; past that, new "
                    "rounds are refused (and counted)")
                    .range(1, 10000000, "rounds"));
    t.push_back(field<Kind::path, &HostConfig::plugin>("plugin", "--plugin", "Plug-in to load")
                    .checked_by(check_file_named)
                    .accepts("a file name")
                    .by_default("kavren_m7.so beside this program")
                    .fixed_until_restart());
    t.push_back(field<Kind::whole, &HostConfig::offline_after>(
                    "offline_after", "--offline-after",
                    "Failed rounds in a row before a meter counts as offline")
                    .range(1, 1000000));
    t.push_back(field<Kind::whole_long, &HostConfig::rounds>(
                    nullptr, "--rounds", "Stop after this many rounds (0: run until stopped)")
                    .checked_by(check_not_negative)
                    .accepts("0 or more"));
    t.push_back(field<Kind::flag, &HostConfig::json>(
        nullptr, "--json", "One JSON object per line and round instead of the readable view"));
    t.push_back(field<Kind::off_flag, &HostConfig::restore>(
        nullptr, "--no-restore", "Do not restore the last stored record at start-up"));
    t.push_back(field<Kind::off_flag, &HostConfig::plugin_log>(
        nullptr, "--quiet-plugin", "Do not show the plug-in's own diagnostic lines"));
}

void add_retention_fields(std::vector<Field>& t) {
    const char* durations = "s, m, h, d, w or y after a whole number (\"30d\"), or \"forever\"";
    t.push_back(field<Kind::duration, &RetentionConfig::raw_ms>("raw", "--retention-raw",
                                                                "How long every round is kept")
                    .accepts(durations));
    t.push_back(field<Kind::duration, &RetentionConfig::minute_ms>(
                    "minute", "--retention-minute", "How long the per-minute rollups are kept")
                    .accepts(durations));
    t.push_back(field<Kind::duration, &RetentionConfig::hour_ms>(
                    "hour", "--retention-hour", "How long the per-hour rollups are kept")
                    .accepts(durations));
    t.push_back(field<Kind::size, &RetentionConfig::max_size>(
                    "max_size", "--history-max-size",
                    "The most the history file may take, its write-ahead log included: the "
                    "oldest rounds, then the oldest minutes go first")
                    .accepts("at least 1MiB: \"2GiB\", \"500MB\", bytes, or \"unlimited\""));
}

void add_link_fields(std::vector<Field>& t) {
    t.push_back(special(Section::link, Kind::link_kind, "rtu", "--rtu",
                        "Serial device of the link (e.g. /dev/serial/by-id/...)")
                    .accepts("a serial line that exists, named by one link only"));
    t.push_back(special(Section::link, Kind::link_kind, "tcp", "--tcp",
                        "Modbus TCP address HOST:PORT of a meter or gateway")
                    .accepts("HOST:PORT, [IPv6]:PORT"));
    t.push_back(special(Section::link, Kind::link_kind, "rtu_over_tcp", "--rtu-over-tcp",
                        "Address HOST:PORT of a serial server (an RS485 gateway) that passes "
                        "Modbus RTU frames on a TCP connection")
                    .accepts("HOST:PORT, [IPv6]:PORT; a link has one of rtu, tcp, rtu_over_tcp"));
    t.push_back(field<Kind::whole, &LinkConfig::baud>("baud", "--baud", "Line speed, bit/s")
                    .checked_by(check_baud)
                    .accepts(baud_rates_text())
                    .by_default("the driver's, 9600"));
    t.push_back(field<Kind::parity, &LinkConfig::parity>("parity", "--parity", "Parity: N, E or O")
                    .accepts("N, E, O (also none, even, odd)"));
    t.push_back(field<Kind::whole, &LinkConfig::stop_bits>("stop_bits", "--stop-bits", "Stop bits")
                    .checked_by(check_stop_bits)
                    .accepts("1 or 2"));
    t.push_back(
        field<Kind::whole, &LinkConfig::timeout_ms>(
            "timeout_ms", "--timeout-ms", "Response time-out per request, and for a TCP connect")
            .range(1, 60000, "ms"));
    t.push_back(
        field<Kind::whole, &LinkConfig::pause_ms>(
            "pause_ms", "--pause-ms", "Pause between requests (slow meters, RS485 adapters)")
            .range(0, 60000, "ms"));
}

void add_meter_fields(std::vector<Field>& t) {
    t.push_back(field<Kind::text, &MeterConfig::name>("name", "--name",
                                                      "Name of the meter in output and history")
                    .checked_by(check_meter_name)
                    .accepts("printable UTF-8 without \"/\", not \".\" or \"..\", at most 64 "
                             "bytes, each meter its own")
                    .by_default("meter-1, meter-2, ... in order"));
    t.push_back(
        field<Kind::whole, &MeterConfig::unit>("unit", "--unit", "Modbus unit id").range(1, 247));
    t.push_back(field<Kind::id, &MeterConfig::data_id>("data_id", "--data-id",
                                                       "The host's data id for the meter")
                    .accepts("0 to 4294967295"));
    t.push_back(special(Section::meter, Kind::settings, "settings", "--settings",
                        "Device settings handed to the driver")
                    .accepts("a JSON file; in the configuration file also the object itself"));
}

void add_gateway_fields(std::vector<Field>& t) {
    t.push_back(field<Kind::text, &GatewayConfig::listen>(
                    "listen", "--gateway",
                    "Serve the link to Modbus TCP clients on HOST:PORT: reads of what the last "
                    "round read are answered from it, the rest goes to the meter between the "
                    "host's requests")
                    .accepts("HOST:PORT; PORT alone: 127.0.0.1; [::1]:PORT, [::]:PORT: IPv6, [::] "
                             "IPv4 too; a host name; port 0: any free port"));
    t.push_back(field<Kind::path, &GatewayConfig::port_file>(
        "port_file", "--gateway-port-file", "Write the gateway's port here once listening"));
    t.push_back(field<Kind::flag, &GatewayConfig::writes>(
        "writes", "--gateway-writes",
        "Let the gateway pass requests that write to the meter (refused by default)"));
    t.push_back(field<Kind::whole, &GatewayConfig::max_clients>(
                    "max_clients", nullptr, "Connections at once; more are refused")
                    .range(1, 256, "clients"));
    t.push_back(
        field<Kind::whole, &GatewayConfig::max_queue>(
            "max_queue", nullptr, "Forwarded requests waiting for the line; more are answered busy")
            .range(1, 256, "requests"));
    t.push_back(field<Kind::seconds, &GatewayConfig::max_age_s>(
                    "max_age", nullptr, "The oldest round reads are answered from, seconds")
                    .checked_by(check_max_age)
                    .accepts("0 to 86400 seconds")
                    .by_default("the interval"));
    t.push_back(
        field<Kind::whole, &GatewayConfig::idle_timeout_ms>(
            "idle_timeout_ms", nullptr, "A connection that sends nothing for this long is closed")
            .range(100, 86400000, "ms"));
    t.push_back(field<Kind::whole, &GatewayConfig::request_timeout_ms>(
                    "request_timeout_ms", nullptr,
                    "A request begun must be whole, and its reply taken, within this")
                    .range(100, 600000, "ms"));
}

void add_http_fields(std::vector<Field>& t) {
    t.push_back(field<Kind::text, &HttpConfig::listen>(
                    "listen", "--http", "Serve the page, /metrics and the JSON API on HOST:PORT")
                    .accepts("HOST:PORT; PORT alone: 127.0.0.1; [::1]:PORT, [::]:PORT: IPv6, [::] "
                             "IPv4 too; a host name; port 0: any free port"));
    t.push_back(field<Kind::path, &HttpConfig::port_file>(
        "port_file", "--http-port-file", "Write the HTTP port here once listening"));
    t.push_back(field<Kind::path, &HttpConfig::password_file>(
        "password_file", "--http-password-file",
        "Require HTTP basic authentication with the user:password lines of this file"));
    t.push_back(field<Kind::names, &HttpConfig::host_names>(
                    "host_names", "--http-host-name",
                    "Without a password file, serve requests naming this host too; IP "
                    "addresses, localhost and this machine's name always are")
                    .accepts("names (the option once per name)"));
    t.push_back(field<Kind::text, &HttpConfig::page_url>(
                    "page_url", "--http-page-url",
                    "The page's address for other machines, as Home Assistant links to it")
                    .checked_by(check_page_url)
                    .accepts("an http:// or https:// address without spaces")
                    .by_default("made from the HTTP address, this machine's name when it listens "
                                "on every address"));
    t.push_back(field<Kind::whole, &HttpConfig::max_connections>("max_connections", nullptr,
                                                                 "Requests served at once")
                    .range(1, 256, "HTTP connections"));
    t.push_back(
        field<Kind::whole, &HttpConfig::request_timeout_ms>(
            "request_timeout_ms", nullptr, "The whole time a client has to send its request")
            .range(100, 600000, "ms"));
    t.push_back(field<Kind::whole, &HttpConfig::history_rows>("history_rows", nullptr,
                                                              "Rows one history request may return")
                    .range(1, 1000000, "rows"));
}

void add_mqtt_fields(std::vector<Field>& t) {
    t.push_back(field<Kind::text, &MqttConfig::url>("url", "--mqtt",
                                                    "Publish every round to this MQTT broker")
                    .accepts("mqtt://HOST[:PORT], mqtts://HOST[:PORT], mqtt+unix:///SOCKET")
                    .by_default("no publishing"));
    t.push_back(field<Kind::text, &MqttConfig::prefix>("prefix", "--mqtt-prefix", "Topic prefix")
                    .accepts("topic levels of printable UTF-8, no wildcards, not starting with $"));
    t.push_back(field<Kind::text, &MqttConfig::discovery_prefix>(
                    "discovery_prefix", "--mqtt-discovery-prefix",
                    "Home Assistant discovery prefix (\"\": no discovery)")
                    .accepts("as the prefix, or \"\""));
    t.push_back(field<Kind::text, &MqttConfig::client_id>(
                    "client_id", "--mqtt-client-id",
                    "MQTT client id, also the host's id in its status topic")
                    .by_default("kavren-<host id>"));
    t.push_back(field<Kind::text, &MqttConfig::host_id>(
                    "host_id", "--mqtt-host-id", "This host's id in Home Assistant's unique ids")
                    .accepts("letters, digits, - and _, at most 64 bytes")
                    .by_default("made once and kept in the history"));
    t.push_back(
        field<Kind::text, &MqttConfig::username>("username", "--mqtt-user", "MQTT user name"));
    t.push_back(field<Kind::path, &MqttConfig::password_file>(
        "password_file", "--mqtt-password-file", "File whose first line is the MQTT password"));
    t.push_back(field<Kind::path, &MqttConfig::ca_file>("ca_file", "--mqtt-ca-file",
                                                        "mqtts: CA certificate of the broker")
                    .by_default("the system's"));
    t.push_back(field<Kind::path, &MqttConfig::cert_file>("cert_file", "--mqtt-cert-file",
                                                          "mqtts: client certificate"));
    t.push_back(field<Kind::path, &MqttConfig::key_file>("key_file", "--mqtt-key-file",
                                                         "mqtts: the client certificate's key"));
    t.push_back(field<Kind::whole, &MqttConfig::keepalive_s>(
                    "keepalive", "--mqtt-keepalive",
                    "MQTT keep-alive; a broker that acknowledges nothing for this long is "
                    "connected to again")
                    .in_units("seconds")
                    .accepts("5 to 65535 seconds"));
    t.push_back(field<Kind::whole, &MqttConfig::inflight>(
                    "inflight", "--mqtt-inflight",
                    "Messages published and not yet acknowledged by the broker, at most (a "
                    "distant broker needs more to keep up)")
                    .in_units("messages")
                    .accepts("1 to 65535 messages"));
}

}  // namespace

const std::vector<Field>& config_fields() {
    static const std::vector<Field> table = [] {
        std::vector<Field> t;
        add_run_fields(t);
        add_retention_fields(t);
        add_link_fields(t);
        add_meter_fields(t);
        add_gateway_fields(t);
        add_http_fields(t);
        add_mqtt_fields(t);
        return t;
    }();
    return table;
}

std::vector<const Field*> fields_of(Section section) {
    std::vector<const Field*> found;
    for (const Field& f : config_fields())
        if (f.section == section) found.push_back(&f);
    return found;
}

}  // namespace kavren::host
