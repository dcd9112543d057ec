// kavren-host: loads a device plug-in as the monitoring host does and polls meters with it over
// Modbus RTU or TCP, storing every round and alarm in SQLite.
#include <unistd.h>

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
#include "apps/host/history_store.h"
#include "apps/host/host_config.h"
#include "apps/host/link_poller.h"
#include "apps/host/meter_services.h"
#include "apps/host/round_report.h"
#include "runtime/device_state.h"

namespace {

using namespace kavren::host;

using kavren::app::PluginLibrary;
using kavren::app::PluginLineLog;
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
};

HostConfig build_config(const CommandLine& c, bool interval_given, bool database_given) {
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

int run(const HostConfig& config) {
    std::mutex log_lock;
    auto log = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(log_lock);
        std::cerr << kavren::app::local_time_text("%H:%M:%S") << " " << line << std::endl;
    };

    // The host's own output keeps the real standard output; the plug-in's lines become log lines.
    std::ostream out(std::cout.rdbuf());
    PluginLineLog plugin_lines([&](const std::string& line) {
        if (config.plugin_log) log("kavren_m7: " + line);
    });
    kavren::app::StdoutRedirect plugin_output(&plugin_lines);

    // A serial device that does not exist is a mistake in the command, not a meter that is off.
    for (const LinkConfig& link : config.links) {
        if (link.kind == LinkConfig::Kind::rtu && access(link.device.c_str(), F_OK) != 0) {
            throw std::runtime_error("serial device " + link.device + " does not exist");
        }
    }

    PluginLibrary plugin(config.plugin);
    HistoryStore store(config.database);
    RoundReport report(out, config.json);

    // Devices die before the plug-in that made them (declared after it).
    std::vector<std::unique_ptr<MeterSlot>> slots;
    std::vector<std::vector<MeterSlot*>> link_meters;
    for (const LinkConfig& link : config.links) {
        link_meters.emplace_back();
        for (const MeterConfig& meter : link.meters) {
            auto slot = std::make_unique<MeterSlot>();
            slot->config = meter;
            slot->link_name = link.describe();
            slot->services = std::make_unique<MeterServices>(meter.name, store, log);
            slot->device = plugin.create_device();
            set_host_backend(*slot->device, slot->services.get());
            slot->device->data_id_ = meter.data_id;
            try {
                slot->device->InitSetting(meter.settings);
            } catch (const std::exception& e) {
                throw std::runtime_error("settings " +
                                         (meter.settings_origin.empty() ? std::string("(none)")
                                                                        : meter.settings_origin) +
                                         " refused by the driver: " + e.what());
            }
            if (config.restore) {
                if (auto record = store.newest_record(meter.name)) {
                    slot->services->set_restoring(true);
                    const int taken = slot->device->LoadFromCache(record->data(),
                                                                  static_cast<int>(record->size()));
                    slot->services->set_restoring(false);
                    if (taken) {
                        report.restored(*slot);
                    } else {
                        log(meter.name + ": the last stored record was refused");
                    }
                }
            }
            link_meters.back().push_back(slot.get());
            slots.push_back(std::move(slot));
        }
    }

    PollContext context;
    context.report = [&](MeterSlot& meter, const RoundOutcome& outcome) { report(meter, outcome); };
    context.log = log;
    context.offline_after = static_cast<uint32_t>(config.offline_after);
    context.interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(config.interval_s));
    context.max_backoff = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(config.max_backoff_s));
    context.rounds = config.rounds;

    std::vector<std::unique_ptr<LinkPoller>> pollers;
    for (std::size_t i = 0; i < config.links.size(); ++i) {
        pollers.push_back(std::make_unique<LinkPoller>(config.links[i], link_meters[i], context));
    }
    std::vector<std::thread> threads;
    for (auto& poller : pollers) threads.emplace_back([&poller] { poller->run(); });
    for (auto& thread : threads) thread.join();
    pollers.clear();

    long stored = 0;
    for (const auto& slot : slots) stored += store.record_count(slot->config.name);
    char absolute[4096];
    std::string where = store.path();
    if (where.front() != '/' && getcwd(absolute, sizeof absolute) != nullptr)
        where = std::string(absolute) + "/" + where;
    (config.json ? std::cerr : out)
        << "history: " << where << " (" << stored << " records stored)" << std::endl;
    slots.clear();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
    app.add_flag("--no-restore", c.no_restore, "Do not restore the last stored record at start-up");
    app.add_flag("--quiet-plugin", c.quiet_plugin,
                 "Do not show the plug-in's own diagnostic lines");
    app.add_option("--offline-after", c.offline_after,
                   "Failed rounds in a row before a meter counts as offline")
        ->capture_default_str();

    if (auto status = kavren::app::parse_command_line(app, argc, argv, "kavren-host"))
        return *status;
    return kavren::app::run_reporting_errors("kavren-host", [&] {
        const HostConfig config = build_config(c, interval->count() > 0, database->count() > 0);
        kavren::app::install_stop_signals();
        return run(config);
    });
}
