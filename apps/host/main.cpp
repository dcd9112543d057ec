// kavren-host: loads a device plug-in as the monitoring host does and polls meters with it over
// Modbus RTU or TCP, storing every round and alarm in SQLite.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "apps/common/json_file.h"
#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "apps/common/program.h"
#include "apps/common/stop_signal.h"
#include "apps/host/console_sink.h"
#include "apps/host/history_export.h"
#include "apps/host/history_sink.h"
#include "apps/host/history_store.h"
#include "apps/host/host_config.h"
#include "apps/host/host_log.h"
#include "apps/host/http_api.h"
#include "apps/host/http_server.h"
#include "apps/host/http_sink.h"
#include "apps/host/link_poller.h"
#include "apps/host/meter_services.h"
#include "apps/host/mqtt_options.h"
#include "apps/host/mqtt_sink.h"
#include "apps/host/service_watchdog.h"
#include "runtime/device_state.h"

namespace {

using namespace kavren::host;

using kavren::app::PluginLibrary;
using kavren::app::PluginLineLog;
using kavren::app::StdoutRedirect;
using kavren::app::UsageError;

struct CommandLine {
    std::string config_file;
    std::string rtu;
    std::string tcp;
    int unit = 1;
    int baud = 0;
    std::string parity = "N";
    int stop_bits = 1;
    int timeout_ms = 1000;
    int pause_ms = 0;
    uint32_t data_id = 0;
    std::string settings_file;
    std::string name = "meter-1";
    std::string plugin;
    double interval_s = 5.0;
    long rounds = 0;
    bool json = false;
    std::string database = "kavren-history.db";
    bool no_restore = false;
    bool quiet_plugin = false;
    int offline_after = 3;
    std::size_t history_queue = 10000;
};

HostConfig build_config(const CommandLine& c, bool interval_given, bool database_given,
                        const RetentionOptions& retention) {
    HostConfig config;
    if (!c.config_file.empty()) {
        if (!c.rtu.empty() || !c.tcp.empty())
            throw UsageError("give either --config or a link (--rtu/--tcp), not both");
        try {
            config = read_host_config(c.config_file);
        } catch (const ConfigError& e) {
            throw UsageError(e.what());
        }
        if (interval_given) config.interval_s = c.interval_s;
        if (database_given) config.database = c.database;
    } else {
        if (c.rtu.empty() == c.tcp.empty())
            throw UsageError(
                "choose exactly one of --rtu DEVICE, --tcp HOST:PORT or --config FILE");
        LinkConfig link;
        if (!c.rtu.empty()) {
            link.kind = LinkConfig::Kind::rtu;
            link.device = c.rtu;
        } else {
            link.kind = LinkConfig::Kind::tcp;
            try {
                link.tcp = kavren::app::parse_tcp_address(c.tcp);
            } catch (const std::invalid_argument& e) {
                throw UsageError(e.what());
            }
        }
        link.baud = c.baud;
        try {
            link.parity = kavren::app::parse_parity(c.parity);
        } catch (const std::invalid_argument& e) {
            throw UsageError(std::string("--parity: ") + e.what());
        }
        link.stop_bits = c.stop_bits;
        link.timeout_ms = c.timeout_ms;
        link.pause_ms = c.pause_ms;
        MeterConfig meter;
        meter.name = c.name;
        meter.unit = c.unit;
        meter.data_id = c.data_id;
        if (!c.settings_file.empty()) {
            meter.settings = kavren::app::read_json_file(c.settings_file);
            meter.settings_origin = c.settings_file;
        }
        link.meters.push_back(std::move(meter));
        config.links.push_back(std::move(link));
        config.interval_s = c.interval_s;
        config.database = c.database;
    }
    if (config.database.empty()) throw UsageError("--db must name a file");
    try {
        retention.apply(config.retention);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (!c.plugin.empty()) config.plugin = c.plugin;
    if (config.plugin.empty()) config.plugin = kavren::app::plugin_beside_program();
    config.rounds = c.rounds;
    config.json = c.json;
    config.restore = !c.no_restore;
    config.plugin_log = !c.quiet_plugin;
    config.offline_after = c.offline_after;
    try {
        validate(config);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    return config;
}

// The meter's newest stored record handed back to its driver, as the host's cache would, and
// stored again as a restored round. Only a record of the meter's own data id is taken: the
// record carries its data id, and every later record would carry an old one.
void restore_last_record(MeterSlot& slot, HistoryStore& store, PollContext& context, HostLog& log) {
    const std::string& name = slot.config.name;
    std::optional<HistoryStore::StoredRecord> stored;
    try {
        stored = store.newest_record(name);
    } catch (const std::exception& e) {
        log(name + ": cannot read the last stored record: " + e.what());
        return;
    }
    if (!stored) return;  // no record yet
    if (stored->data_id != slot.config.data_id) {
        log(name + ": the last stored record was not restored: it has data id " +
            std::to_string(stored->data_id) + ", the meter now has " +
            std::to_string(slot.config.data_id));
        return;
    }
    std::shared_ptr<RoundResult> result;
    {
        std::lock_guard<std::mutex> lock(context.driver_calls);
        slot.services->begin_round();
        RoundOutcome restored;
        restored.complete = true;
        if (slot.device->LoadFromCache(stored->bytes.data(),
                                       static_cast<int>(stored->bytes.size())) != 0)
            result = collect_round_result(slot, restored, RoundResult::Origin::restore);
    }
    if (!result) {
        log(name + ": the last stored record was refused");
        return;
    }
    context.submit(std::move(result));
}

// The longest one round attempt of a link may take: the connection and each of the seven
// requests waiting out the time-out, with the pauses between them, the resynchronisation after a
// failure, and a margin.
LinkProgress::Clock::duration attempt_budget(const LinkConfig& link) {
    const auto per_request = std::chrono::milliseconds(link.timeout_ms + link.pause_ms);
    return 10 * per_request + std::chrono::seconds(5);
}

// How long a stop may take: the history and the terminal get what is left of this after the
// links have ended.
constexpr auto kStopWithin = std::chrono::milliseconds(1500);
// After the last round of a --rounds run, more time to store what is queued.
constexpr auto kFinishWithin = std::chrono::seconds(10);

std::string absolute_path(const std::string& path) {
    char here[4096];
    if (!path.empty() && path.front() != '/' && getcwd(here, sizeof here) != nullptr)
        return std::string(here) + "/" + path;
    return path;
}

// --- MQTT publishing: the command line's MQTT options over the configuration file's "mqtt" ---
struct MqttCommandLine {
    MqttConfig values;
    std::vector<std::pair<CLI::Option*, std::string MqttConfig::*>> texts;
    CLI::Option* keepalive = nullptr;

    void add_to(CLI::App& app) {
        const auto text = [&](const char* name, std::string MqttConfig::*field, const char* help) {
            texts.emplace_back(app.add_option(name, values.*field, help), field);
            return texts.back().first;
        };
        text("--mqtt", &MqttConfig::url,
             "Publish every round to this MQTT broker: mqtt://HOST[:PORT], mqtts://HOST[:PORT] "
             "or mqtt+unix:///SOCKET (default: no publishing)");
        text("--mqtt-prefix", &MqttConfig::prefix, "Topic prefix")->capture_default_str();
        text("--mqtt-discovery-prefix", &MqttConfig::discovery_prefix,
             "Home Assistant discovery prefix (\"\": no discovery)")
            ->capture_default_str();
        text("--mqtt-client-id", &MqttConfig::client_id,
             "MQTT client id, also the host's id in its status topic (default: kavren-<machine>)");
        text("--mqtt-user", &MqttConfig::username, "MQTT user name");
        text("--mqtt-password-file", &MqttConfig::password_file,
             "File whose first line is the MQTT password");
        text("--mqtt-ca-file", &MqttConfig::ca_file,
             "mqtts: CA certificate of the broker (default: the system's)");
        text("--mqtt-cert-file", &MqttConfig::cert_file, "mqtts: client certificate");
        text("--mqtt-key-file", &MqttConfig::key_file, "mqtts: the client certificate's key");
        keepalive =
            app.add_option("--mqtt-keepalive", values.keepalive_s, "MQTT keep-alive, seconds")
                ->capture_default_str();
    }
    // Options given on the command line win over the file.
    void apply(HostConfig& config) const {
        for (const auto& text : texts)
            if (text.first->count() > 0) config.mqtt.*(text.second) = values.*(text.second);
        if (keepalive->count() > 0) config.mqtt.keepalive_s = values.keepalive_s;
        std::vector<std::string> names;
        for (const LinkConfig& link : config.links)
            for (const MeterConfig& meter : link.meters) names.push_back(meter.name);
        try {
            check_mqtt_config(config.mqtt, names);
        } catch (const std::runtime_error& e) {
            throw UsageError(e.what());
        }
    }
};
// --- end of MQTT options ---

// --http and its companions override the configuration file's "http" section.
struct HttpOptions {
    std::string listen, port_file, password_file;
};

void apply_http_options(HostConfig& config, const HttpOptions& o) {
    if (!o.listen.empty()) config.http.listen = o.listen;
    if (!o.port_file.empty()) config.http.port_file = o.port_file;
    if (!o.password_file.empty()) config.http.password_file = o.password_file;
    if (config.http.listen.empty() && (!o.port_file.empty() || !o.password_file.empty()))
        throw UsageError("--http-port-file and --http-password-file need --http HOST:PORT");
    try {
        if (!config.http.password_file.empty()) read_http_password_file(config.http.password_file);
        validate_values(config);
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
}

// The page, metrics and API, when asked for: a sink of its own and a server reading it.
struct HttpSide {
    std::unique_ptr<HttpApi> api;
    std::unique_ptr<HttpServer> server;
    std::string port_file;  // removed at the end: no later reader takes an old port for ours
    ~HttpSide() {
        server.reset();
        if (!port_file.empty()) std::remove(port_file.c_str());
    }
};

void start_http(const HostConfig& config, const HttpSink& sink, HostLog& log, HttpSide& side) {
    const HttpConfig& h = config.http;
    HttpLimits limits;
    limits.max_connections = h.max_connections;
    limits.request_timeout_ms = h.request_timeout_ms;
    limits.max_history_rows = static_cast<std::size_t>(h.history_rows);
    side.api = std::make_unique<HttpApi>(sink, config.database, limits, config.interval_s,
                                         KAVREN_CHART_DIR);
    const std::string listen = http_listen_address(h.listen);
    HttpApi* api = side.api.get();
    side.server = std::make_unique<HttpServer>(
        listen, limits, h.password_file, [api](const HttpRequest& r) { return api->handle(r); },
        std::ref(log));
    if (!h.port_file.empty()) {
        // Written whole, then renamed: a reader never sees half a number.
        const std::string partial = h.port_file + ".partial";
        FILE* f = std::fopen(partial.c_str(), "w");
        if (f == nullptr || std::fprintf(f, "%d\n", side.server->port()) < 0 ||
            std::fclose(f) != 0 || std::rename(partial.c_str(), h.port_file.c_str()) != 0)
            throw std::runtime_error("cannot write the HTTP port to " + h.port_file);
        side.port_file = h.port_file;
    }
    log("http: serving the page, /metrics and /api on http://" + side.server->address() + "/");
    if (h.password_file.empty() && listen.compare(0, 4, "127.") != 0 &&
        listen.compare(0, 6, "[::1]:") != 0)
        log("http: warning: reachable beyond this machine without a password "
            "(--http-password-file)");
}

int run(const HostConfig& config, std::size_t history_queue) {
    HostLog log;
    std::atomic<bool> reader_gone{false};
    // Every wait for the history gives up once a stop was asked for and its time is over.
    std::atomic<int64_t> give_up_at{INT64_MAX};
    const auto past_give_up = [&] {
        return kavren::app::stop_requested() &&
               std::chrono::steady_clock::now().time_since_epoch().count() > give_up_at.load();
    };
    int status = 0;
    {
        // The plug-in's lines become log lines; they never mix into the host's own output.
        PluginLineLog plugin_lines([&](const std::string& line) {
            if (config.plugin_log) log("kavren_m7: " + line);
        });
        kavren::app::StdoutRedirect plugin_output(&plugin_lines);

        // A serial device that does not exist is a mistake in the command, not a meter that is
        // off.
        for (const LinkConfig& link : config.links) {
            if (link.kind == LinkConfig::Kind::rtu && access(link.device.c_str(), F_OK) != 0) {
                throw std::runtime_error("serial device " + link.device + " does not exist");
            }
        }

        // Checked, not yet touched: nothing is written into the history before every start-up
        // check has passed.
        HistoryStore store(config.database);
        store.set_log(std::ref(log));
        store.set_give_up([&] {
            return kavren::app::stop_requested() &&
                   (give_up_at.load() == INT64_MAX || past_give_up());
        });
        PluginLibrary plugin(config.plugin);

        // Devices die before the plug-in that made them (declared after it).
        std::vector<std::unique_ptr<MeterSlot>> slots;
        std::vector<std::vector<MeterSlot*>> link_meters;
        std::vector<std::string> names;
        for (const LinkConfig& link : config.links) {
            link_meters.emplace_back();
            for (const MeterConfig& meter : link.meters) {
                auto slot = std::make_unique<MeterSlot>();
                slot->config = meter;
                slot->index = slots.size();
                slot->link_name = link.describe();
                slot->services = std::make_unique<MeterServices>();
                slot->device = plugin.create_device();
                set_host_backend(*slot->device, slot->services.get());
                slot->device->data_id_ = meter.data_id;
                try {
                    slot->device->InitSetting(meter.settings);
                } catch (const std::exception& e) {
                    throw std::runtime_error("settings " +
                                             (meter.settings_origin.empty()
                                                  ? std::string("(none)")
                                                  : meter.settings_origin) +
                                             " refused by the driver: " + e.what());
                }
                names.push_back(meter.name);
                link_meters.back().push_back(slot.get());
                slots.push_back(std::move(slot));
            }
        }

        store.prepare();
        // MQTT: a history connection of the sink's own, and the sink, made before the history
        // sink that feeds it (and so outliving it).
        std::unique_ptr<HistoryStore> mqtt_store;
        std::unique_ptr<MqttSink> mqtt;
        if (config.mqtt.enabled()) {
            mqtt_store = std::make_unique<HistoryStore>(config.database);
            mqtt_store->set_give_up([&] { return past_give_up(); });
            mqtt_store->prepare();
            mqtt = std::make_unique<MqttSink>(config.mqtt, *mqtt_store, names, std::ref(log));
        }

        // Made before the history, which hands it rounds until it ends.
        std::unique_ptr<HttpSink> http_sink;
        if (!config.http.listen.empty()) {
            std::vector<MeterIdentity> meters;
            for (const auto& slot : slots)
                meters.push_back({slot->config.name, slot->config.unit, slot->link_name,
                                  store.active_alarms(slot->config.name)});
            http_sink = std::make_unique<HttpSink>(std::move(meters));
        }
        HistorySink history(store, names, history_queue, std::ref(log));
        history.set_retention(config.retention, mqtt ? std::vector<std::string>{mqtt->consumer()}
                                                     : std::vector<std::string>{});
        ConsoleSink console(STDOUT_FILENO, config.json, std::ref(log), [&] {
            reader_gone.store(true);
            kavren::app::request_stop();
        });
        history.add_sink(&console);
        if (mqtt) {
            history.add_sink(mqtt.get());
            mqtt->start();
        }

        HttpSide http;
        if (http_sink) {
            history.add_sink(http_sink.get());
            start_http(config, *http_sink, log, http);
        }
        history.start();

        PollContext context;
        context.submit = [&](std::shared_ptr<const RoundResult> result) {
            return history.submit(std::move(result));
        };
        context.log = std::ref(log);
        context.offline_after = static_cast<uint32_t>(config.offline_after);
        context.interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(config.interval_s));
        context.max_backoff = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(config.max_backoff_s));
        context.rounds = config.rounds;

        if (config.restore) {
            for (auto& slot : slots) {
                if (kavren::app::stop_requested()) break;
                restore_last_record(*slot, store, context, log);
            }
        }

        // The service manager hears of the host once every link has attempted a round, and
        // its watchdog is fed while every link makes progress.
        std::vector<LinkProgress::Clock::duration> budgets;
        for (const LinkConfig& link : config.links) budgets.push_back(attempt_budget(link));
        LinkProgress progress(budgets);
        context.progress = [&progress](std::size_t link) { progress.mark(link); };
        ServiceWatchdog watchdog(progress);

        std::vector<std::unique_ptr<LinkPoller>> pollers;
        for (std::size_t i = 0; i < config.links.size(); ++i) {
            pollers.push_back(
                std::make_unique<LinkPoller>(i, config.links[i], link_meters[i], context));
        }
        std::vector<std::thread> threads;
        for (auto& poller : pollers) threads.emplace_back([&poller] { poller->run(); });
        for (auto& thread : threads) thread.join();
        pollers.clear();
        watchdog.stopping();

        // Store what is queued, then print it, each within what is left of the time.
        const auto now = std::chrono::steady_clock::now();
        const auto deadline =
            now + (kavren::app::stop_requested()
                       ? std::chrono::duration_cast<std::chrono::nanoseconds>(kStopWithin)
                       : std::chrono::duration_cast<std::chrono::nanoseconds>(kFinishWithin));
        give_up_at.store((deadline - std::chrono::milliseconds(300)).time_since_epoch().count());
        history.finish(deadline - std::chrono::milliseconds(300));

        console.finish(
            std::max(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
        if (mqtt) {
            mqtt->finish(
                std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
            log("mqtt: " + std::to_string(mqtt->rounds_acknowledged()) +
                " rounds acknowledged by the broker" +
                (mqtt->ever_connected() ? ""
                                        : " (it was never reached: the rounds wait in the "
                                          "history for the next start)"));
        }
        std::string summary = "history: " + absolute_path(store.path()) + " (" +
                              std::to_string(store.records_stored()) + " records stored";
        if (history.rounds_refused() > 0)
            summary += ", " + std::to_string(history.rounds_refused()) +
                       " rounds refused while the history queue was full";
        if (history.rounds_lost() > 0)
            summary += ", " + std::to_string(history.rounds_lost()) + " rounds not stored";
        if (history.rounds_dropped_unacknowledged() > 0)
            summary += ", " + std::to_string(history.rounds_dropped_unacknowledged()) +
                       " rounds removed by max_size before the MQTT broker acknowledged them";
        summary += ")";
        if (console.lines_dropped() > 0 && !reader_gone.load())
            summary += "; " + std::to_string(console.lines_dropped()) + " round lines were not " +
                       (console.failed() ? "written: standard output failed"
                                         : "shown: standard output was not read");
        log(summary);

        if (history.write_failed() || history.rounds_refused() > 0 || history.rounds_lost() > 0 ||
            console.failed())
            status = 1;
        slots.clear();
    }
    log.finish(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "export") return export_main(argc - 1, argv + 1);
    CommandLine c;
    CLI::App app{
        "kavren-host: the reference host for the kavren_m7 plug-in. It loads the plug-in as the\n"
        "monitoring host does, polls KAVREN_M7 meters over Modbus RTU or TCP, shows each round,\n"
        "and stores every round and alarm in an SQLite history."};
    app.add_option("--config", c.config_file,
                   "JSON file describing links and meters (see the README)");
    app.add_option("--rtu", c.rtu, "Serial device of one meter (e.g. /dev/serial/by-id/...)");
    app.add_option("--tcp", c.tcp, "Modbus TCP address HOST:PORT of one meter or gateway");
    app.add_option("--unit", c.unit, "Modbus unit id")->capture_default_str();
    app.add_option("--baud", c.baud, "Line speed, bit/s (default: the driver's, 9600)");
    app.add_option("--parity", c.parity, "Parity: N, E or O")->capture_default_str();
    app.add_option("--stop-bits", c.stop_bits, "Stop bits: 1 or 2")->capture_default_str();
    app.add_option("--timeout-ms", c.timeout_ms, "Response time-out per request")
        ->capture_default_str();
    app.add_option("--pause-ms", c.pause_ms, "Pause between requests (slow meters, RS485 adapters)")
        ->capture_default_str();
    app.add_option("--data-id", c.data_id, "The host's data id for the meter")
        ->capture_default_str();
    app.add_option("--settings", c.settings_file, "Device settings JSON file handed to the driver");
    app.add_option("--name", c.name, "Name of the meter in output and history")
        ->capture_default_str();
    app.add_option("--plugin", c.plugin,
                   "Plug-in to load (default: kavren_m7.so beside this program)");
    auto* interval = app.add_option("--interval", c.interval_s,
                                    "Seconds from the start of one round to the next")
                         ->capture_default_str();
    app.add_option("--rounds", c.rounds, "Stop after this many rounds (0: run until stopped)")
        ->capture_default_str();
    app.add_flag("--json", c.json,
                 "One JSON object per line and round instead of the readable view");
    auto* database =
        app.add_option("--db", c.database, "SQLite history file")->capture_default_str();
    app.add_option("--history-queue", c.history_queue,
                   "Rounds that may wait to be stored while the history is busy; past that, "
                   "new rounds are refused (and counted)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}))
        ->capture_default_str();
    RetentionOptions retention;
    retention.add_to(app);
    app.add_flag("--no-restore", c.no_restore, "Do not restore the last stored record at start-up");
    app.add_flag("--quiet-plugin", c.quiet_plugin,
                 "Do not show the plug-in's own diagnostic lines");
    app.add_option("--offline-after", c.offline_after,
                   "Failed rounds in a row before a meter counts as offline")
        ->capture_default_str();
    MqttCommandLine mqtt_options;
    mqtt_options.add_to(app);

    HttpOptions http;
    app.add_option("--http", http.listen,
                   "Serve the page, /metrics and the JSON API on HOST:PORT (PORT alone: "
                   "127.0.0.1; port 0: any free port)");
    app.add_option("--http-port-file", http.port_file, "Write the HTTP port here once listening");
    app.add_option("--http-password-file", http.password_file,
                   "Require HTTP basic authentication with the user:password lines of this file");
    app.footer(
        "History export: kavren-host export --db FILE --meter NAME [--from T] [--to T] "
        "[--format csv|jsonl] [--step raw|1m|1h] (see kavren-host export --help)\n");

    if (auto status = kavren::app::parse_command_line(app, argc, argv, "kavren-host"))
        return *status;
    return kavren::app::run_reporting_errors("kavren-host", [&] {
        HostConfig config =
            build_config(c, interval->count() > 0, database->count() > 0, retention);
        mqtt_options.apply(config);

        apply_http_options(config, http);
        kavren::app::install_stop_signals();
        // A history that reaches the file-size limit fails its write (EFBIG), which is logged
        // and retried, instead of killing the host.
        std::signal(SIGXFSZ, SIG_IGN);
        return run(config, c.history_queue);
    });
}
