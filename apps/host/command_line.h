#pragma once

#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "apps/host/config/host_config.h"

namespace kavren::host {

// kavren-host's command line: its options on a CLI11 app, then the whole configuration they
// and the configuration file give, checked.
class HostCommandLine {
  public:
    // Adds every option to `app`.
    explicit HostCommandLine(CLI::App& app);
    // After parsing: the configuration, checked whole. Throws app::UsageError.
    HostConfig config() const;

  private:
    struct Values {
        std::string config_file;
        std::string rtu;
        std::string tcp;
        std::string rtu_over_tcp;
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
        double commit_interval_s = 5.0;
        long rounds = 0;
        bool json = false;
        std::string database = "kavren-history.db";
        bool no_restore = false;
        bool quiet_plugin = false;
        int offline_after = 3;
        std::size_t history_queue = 10000;
        std::string http_listen, http_port_file, http_password_file;
        std::vector<std::string> http_host_names;
        std::string http_page_url;
        std::string gateway_listen, gateway_port_file;
        bool gateway_writes = false;
        MqttConfig mqtt;
    };
    void add_link_options(CLI::App& app);
    void add_run_options(CLI::App& app);
    void add_mqtt_options(CLI::App& app);
    void add_http_options(CLI::App& app);
    void add_gateway_options(CLI::App& app);
    HostConfig from_file() const;
    HostConfig from_options() const;
    LinkConfig link_from_options() const;
    void apply_mqtt(HostConfig& config) const;
    void apply_http(HostConfig& config) const;

    Values v_;
    RetentionOptions retention_;
    CLI::Option* interval_ = nullptr;
    CLI::Option* commit_interval_ = nullptr;
    CLI::Option* database_ = nullptr;
    CLI::Option* keepalive_ = nullptr;
    CLI::Option* inflight_ = nullptr;
    // The MQTT options that were given win over the file's.
    std::vector<std::pair<CLI::Option*, std::string MqttConfig::*>> mqtt_texts_;
};

}  // namespace kavren::host
