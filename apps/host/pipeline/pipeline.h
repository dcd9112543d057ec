#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/signal_set.hpp>

#include "apps/common/plugin_library.h"
#include "apps/common/plugin_output.h"
#include "apps/host/config/config_changes.h"
#include "apps/host/config/host_config.h"
#include "apps/host/gateway/link_gateway.h"
#include "apps/host/history/commit_stage.h"
#include "apps/host/history/history_store.h"
#include "apps/host/link/register_link.h"
#include "apps/host/pipeline/event_loop.h"
#include "apps/host/pipeline/round_router.h"
#include "apps/host/pipeline/run_control.h"
#include "apps/host/poll/link_poller.h"
#include "apps/host/poll/service_watchdog.h"
#include "apps/host/sinks/sink_context.h"
#include "apps/host/support/done_latch.h"
#include "apps/host/support/reload_status.h"

namespace kavren::host {

// The meter's newest stored record handed back to its driver, as the host's cache would, and
// submitted as a restored round.
void restore_last_record(MeterSlot& slot, HistoryStore& store, PollContext& context,
                         const std::function<void(const std::string&)>& log);

// Every sink the host has, in the order each gets its rounds.
std::vector<SinkMaker> standard_sinks();

// The parts a test may put in place of the real ones.
struct PipelineParts {
    LinkMaker make_link;            // empty: a ModbusLink per configured link
    std::vector<SinkMaker> sinks;   // empty: standard_sinks()
    int output_fd = STDOUT_FILENO;  // the console sink's
    // Reads the configuration again, checked whole as at the start, for a reload (SIGHUP);
    // throws what the start would. Empty: the configuration cannot be reloaded.
    std::function<HostConfig()> reread = nullptr;
};

// How a run ended.
struct PipelineReport {
    bool stored_all = true;                 // no round failed to be stored, refused or left
    std::vector<std::string> failed_sinks;  // the names of the sinks that failed
    int exit_status() const { return stored_all && failed_sinks.empty() ? 0 : 1; }
};

// kavren-host's stages, owned in the order they are made and the reverse of the order they go:
// the event loop, the history, the plug-in, its meters, the links' gateways, the sinks, the
// commit stage that feeds them, the link pollers. Rounds travel link -> driver -> round result ->
// router -> commit stage -> sinks; a gateway's clients reach a link through its poller. The
// pollers, the HTTP server, the timers and the signals (SIGTERM, SIGINT: stop; SIGHUP: reload)
// run on the one loop; the thread that called run() waits for the pollers and makes the reloads
// (reload.cpp), which apply a new configuration as a difference.
class Pipeline {
  public:
    using Log = std::function<void(const std::string&)>;

    // Loads the plug-in, makes and sets up the meters and the sinks. Nothing is written into
    // the history before every start-up check has passed. Throws std::runtime_error.
    Pipeline(HostConfig config, Log log, PipelineParts parts = {});
    ~Pipeline();

    // Restores the last records, polls until every meter had its rounds or a stop is asked
    // for, then ends every stage in order, each within what is left of the time, and logs what
    // the run stored.
    PipelineReport run();
    // The event loop every stage of the host's network I/O runs on.
    asio::io_context& io() { return loop_.io(); }
    // Asks the host to stop, from any thread: every link's exchange or wait ends at once.
    void request_stop();
    // Asks for the configuration to be read again and applied, from any thread (SIGHUP).
    void request_reload() { control_.ask_reload(); }

    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

  private:
    // A link as it polls: its configuration (the poller and the gateway hold it), its meters,
    // its gateway and its poller.
    struct LinkEntry {
        LinkConfig config;
        std::vector<MeterSlot*> meters;
        std::unique_ptr<LinkGateway> gateway;  // null: none; outlives the poller
        std::unique_ptr<LinkPoller> poller;
        std::unique_ptr<DoneLatch> ended;  // counted down once its poller ended
        std::size_t place = 0;             // among the links the watchdog watches
    };
    const HostConfig& config() const { return *configs_.back(); }
    MeterSlot& make_slot(const LinkConfig& link, const MeterConfig& meter);
    void make_meters();
    std::unique_ptr<LinkGateway> make_gateway(const LinkConfig& link);
    // The meters as the links poll them, in the configuration's order (their indices).
    std::vector<MeterName> meter_list() const;
    std::vector<std::string> meter_names() const;
    // The sinks of the makers `which` says, made for the meters as they are now.
    std::vector<std::unique_ptr<RoundSink>> make_sinks(const std::vector<bool>& which);
    std::unique_ptr<CommitStage> new_commit_stage();
    // Gives it the sinks, starts it and routes the rounds to it.
    void start_commit_stage();
    void set_poll_context();
    void set_poll_timing();
    void make_poller(LinkEntry& link);
    void start_poller(LinkEntry& link);
    // Stops the link's poller, waits for its end, destroys it on its strand, stops the gateway.
    void end_poller(LinkEntry& link);
    bool past_give_up() const;
    void wait_for_signals();
    void on_signal(int number);
    void stop_links();
    void poll();
    // Each poller destroyed on its strand, where its link's I/O lives.
    void destroy_pollers();
    PipelineReport finish();

    // reload.cpp
    void reload();
    bool apply(HostConfig next);
    // Commits what waits, held rounds aside, within a minute: false when the history took no
    // commit or a stop was asked for.
    bool flushed_for_reload();
    bool apply_to_running(const ConfigChanges& changes, const std::vector<MeterName>& before);
    std::vector<MeterSlot*> slots_for(const LinkConfig& link) const;
    bool needs_reopening(const LinkEntry& entry, const ConfigChanges& changes,
                         const std::vector<MeterSlot*>& slots) const;
    void apply_links(const ConfigChanges& changes);
    void open_link(LinkEntry& entry, const LinkConfig& config, std::vector<MeterSlot*> slots);
    std::vector<std::unique_ptr<LinkEntry>> arrange_links(
        const std::vector<LinkEntry*>& order, std::vector<std::unique_ptr<LinkEntry>> added);
    std::vector<bool> sinks_to_restart(const ConfigChanges& changes, bool meters_renamed) const;
    void restart_sinks(const ConfigChanges& changes, bool meters_renamed, std::string& failed);
    void log_changes(const ConfigChanges& changes) const;

    // Every configuration loaded, the current one last: what a stage that still runs was
    // made with stays.
    std::vector<std::unique_ptr<HostConfig>> configs_;
    Log log_;
    PipelineParts parts_;
    std::shared_ptr<ReloadStatus> reloads_ = std::make_shared<ReloadStatus>();
    std::shared_ptr<PageAddress> page_ = std::make_shared<PageAddress>();
    std::atomic<bool> plugin_log_{true};
    RunControl control_;
    // The pollers are reachable by request_stop() while this is true (under stop_lock_); the
    // links change under it. Both outlive the loop's threads.
    std::mutex stop_lock_;
    bool pollers_reachable_ = false;
    EventLoop loop_;
    asio::signal_set signals_;
    // Every wait for the history gives up once a stop was asked for and its time is over.
    std::atomic<int64_t> give_up_at_{INT64_MAX};
    // The plug-in's lines become log lines; they never mix into the host's own output.
    app::PluginLineLog plugin_lines_;
    app::StdoutRedirect plugin_output_;
    HistoryStore store_;
    app::PluginLibrary plugin_;
    // Every meter made, also those a reload removed or replaced (a poller may hold one until
    // its round ends): they die with the pipeline, before the plug-in that made them.
    std::vector<std::unique_ptr<MeterSlot>> meters_;
    std::map<std::string, MeterSlot*> current_meters_;  // by name
    std::vector<std::unique_ptr<LinkEntry>> links_;
    std::vector<bool> places_taken_;  // the watchdog's places, by link
    // By the makers of parts_.sinks; null: that maker made none. Outlive the commit stage.
    std::vector<std::unique_ptr<RoundSink>> sinks_;
    std::unique_ptr<CommitStage> commit_;
    bool stored_all_earlier_ = true;  // by the commit stages a reload replaced
    std::vector<std::string> failed_earlier_;
    std::vector<bool> sinks_to_retry_;  // by maker: failed at a reload, made again at the next
    bool gateways_replaced_ = false;    // by the reload under way: the page shows their counters
    RoundRouter router_;
    PollContext context_;
    std::unique_ptr<LinkProgress> progress_;
};

}  // namespace kavren::host
