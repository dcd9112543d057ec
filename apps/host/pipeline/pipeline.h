#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "apps/host/config/host_config.h"
#include "apps/host/gateway/link_gateway.h"
#include "apps/host/history/commit_stage.h"
#include "apps/host/history/history_store.h"
#include "apps/host/link/register_link.h"
#include "apps/host/poll/link_poller.h"
#include "apps/host/sinks/sink_context.h"

namespace kavren::host {

// Every sink the host has, in the order each gets its rounds.
std::vector<SinkMaker> standard_sinks();

// The parts a test may put in place of the real ones.
struct PipelineParts {
    LinkMaker make_link;            // empty: a ModbusLink per configured link
    std::vector<SinkMaker> sinks;   // empty: standard_sinks()
    int output_fd = STDOUT_FILENO;  // the console sink's
};

// How a run ended.
struct PipelineReport {
    bool stored_all = true;                 // no round failed to be stored, refused or left
    std::vector<std::string> failed_sinks;  // the names of the sinks that failed
    int exit_status() const { return stored_all && failed_sinks.empty() ? 0 : 1; }
};

// kavren-host's stages, owned in the order they are made and the reverse of the order they go:
// the history, the plug-in, its meters, the links' gateways, the sinks, the commit stage that
// feeds them, the link pollers. Rounds travel link -> driver -> round result -> commit stage ->
// sinks; a gateway's clients reach a link through its poller.
class Pipeline {
  public:
    using Log = std::function<void(const std::string&)>;

    // Loads the plug-in, makes and sets up the meters and the sinks. Nothing is written into
    // the history before every start-up check has passed. Throws std::runtime_error.
    Pipeline(const HostConfig& config, Log log, PipelineParts parts = {});
    ~Pipeline();

    // Restores the last records, polls until every meter had its rounds or a stop is asked
    // for, then ends every stage in order, each within what is left of the time, and logs what
    // the run stored.
    PipelineReport run();

    // The loop the host's network I/O runs on: one thread runs it while run() lasts.
    boost::asio::io_context& io() { return io_; }

    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

  private:
    void make_meters();
    void make_gateways();
    void make_sinks();
    void make_pollers();
    bool past_give_up() const;
    void poll();
    PipelineReport finish();

    const HostConfig& config_;
    Log log_;
    PipelineParts parts_;
    // Every wait for the history gives up once a stop was asked for and its time is over.
    std::atomic<int64_t> give_up_at_{INT64_MAX};
    // The plug-in's lines become log lines; they never mix into the host's own output.
    app::PluginLineLog plugin_lines_;
    app::StdoutRedirect plugin_output_;
    HistoryStore store_;
    app::PluginLibrary plugin_;
    std::vector<std::unique_ptr<MeterSlot>> meters_;  // die before the plug-in that made them
    std::vector<std::vector<MeterSlot*>> link_meters_;
    boost::asio::io_context io_;                          // outlives what runs on it
    std::vector<std::unique_ptr<LinkGateway>> gateways_;  // by link; null: none; outlive pollers
    std::vector<std::unique_ptr<RoundSink>> sinks_;
    std::unique_ptr<CommitStage> commit_;
    PollContext context_;
    std::vector<std::unique_ptr<LinkPoller>> pollers_;
};

}  // namespace kavren::host
