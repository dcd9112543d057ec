#pragma once

#include <unistd.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/config/host_config.h"
#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/history/history_store.h"
#include "apps/host/round/round_sink.h"
#include "apps/host/support/reload_status.h"

namespace boost::asio {
class io_context;
}

namespace kavren::host {

// A configured meter as the sinks name it.
struct MeterName {
    std::string name;
    int unit = 0;
    std::string link;  // the link's description
};

// Where the host's page is served, once the HTTP sink listens ("" before, or without --http):
// another sink may name it (MQTT discovery's configuration_url). Read and set from any thread.
class PageAddress {
  public:
    void set(std::string url) {
        std::lock_guard<std::mutex> lock(mutex_);
        url_ = std::move(url);
    }
    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return url_;
    }

  private:
    mutable std::mutex mutex_;
    std::string url_;
};

// What the pipeline gives every sink it makes.
struct SinkContext {
    const HostConfig& config;
    std::vector<MeterName> meters;  // by meter index
    HistoryStore& history;          // the commit stage's store, for what it holds at start-up
    std::function<void(const std::string&)> log;
    // True once a wait for the history is to give up (a stop whose time is over).
    std::function<bool()> give_up;
    // Asks the host to stop (a reader of standard output that went away).
    std::function<void()> stop;
    int output_fd = STDOUT_FILENO;  // the console's
    // The counters of the links' gateways, for /metrics.
    std::vector<std::shared_ptr<const GatewayCounters>> gateways;
    std::shared_ptr<PageAddress> page = std::make_shared<PageAddress>();
    // How the configuration's reloads went, for /metrics (null: not shown).
    std::shared_ptr<const ReloadStatus> reloads = nullptr;
    // The host's event loop, for a sink's network I/O (null: the sink runs a loop of its own).
    boost::asio::io_context* loop = nullptr;

    std::vector<std::string> meter_names() const {
        std::vector<std::string> names;
        for (const MeterName& m : meters) names.push_back(m.name);
        return names;
    }
};

// Makes a sink from the context, or nothing when the configuration does not ask for it.
using SinkMaker = std::function<std::unique_ptr<RoundSink>(const SinkContext&)>;

}  // namespace kavren::host
