#include "apps/host/pipeline/pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <mutex>

#include <boost/asio/executor_work_guard.hpp>

#include "apps/common/stop_signal.h"
#include "apps/host/link/modbus_link.h"
#include "apps/host/poll/meter_services.h"
#include "apps/host/poll/service_watchdog.h"
#include "apps/host/round/round_text.h"
#include "apps/host/sinks/console/console_sink.h"
#include "apps/host/sinks/http/http_sink.h"
#include "apps/host/sinks/mqtt/mqtt_sink.h"
#include "apps/host/support/done_latch.h"
#include "apps/host/support/steady_ns.h"
#include "runtime/device_state.h"

namespace kavren::host {

namespace {

// How long a stop may take: the history and the sinks get what is left of this after the
// links have ended.
constexpr auto kStopWithin = std::chrono::milliseconds(1500);
// After the last round of a --rounds run, more time to store what is queued.
constexpr auto kFinishWithin = std::chrono::seconds(10);
// The history ends this much before the sinks, which get the rounds it stored last.
constexpr auto kHistoryAhead = std::chrono::milliseconds(300);

// The longest one round attempt of a link may take: the connection and each of the seven
// requests waiting out the time-out, with the pauses between them, the resynchronisation after a
// failure, and a margin.
LinkProgress::Clock::duration attempt_budget(const LinkConfig& link) {
    const auto per_request = std::chrono::milliseconds(link.timeout_ms + link.pause_ms);
    return 10 * per_request + std::chrono::seconds(5);
}

// The meter's newest stored record handed back to its driver, as the host's cache would, and
// stored again as a restored round. Only a record of the meter's own data id is taken: the
// record carries its data id, and every later record would carry an old one.
}  // namespace

void restore_last_record(MeterSlot& slot, HistoryStore& store, PollContext& context,
                         const std::function<void(const std::string&)>& log) {
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
    result->stored_record_time = record_time_text(stored->bytes);
    result->stored_record_ms = stored->t_ms;
    context.submit(std::move(result));
}

namespace {

template <typename Duration>
Clock::duration clock_duration(Duration d) {
    return std::chrono::duration_cast<Clock::duration>(d);
}

// Links the watchdog can watch at once; one beyond is polled, not watched.
constexpr std::size_t kWatchedLinks = 256;

}  // namespace

std::vector<SinkMaker> standard_sinks() {
    // A new sink is a folder under sinks/ and a line here. The page is served before the broker
    // is connected to, so that discovery can name its address.
    return {make_console_sink, make_http_sink, make_mqtt_sink};
}

Pipeline::Pipeline(HostConfig config, Log log, PipelineParts parts)
    : log_(std::move(log)),
      parts_(std::move(parts)),
      loop_(EventLoop::threads_for_machine(), log_),
      signals_(loop_.io(), SIGTERM, SIGINT, SIGHUP),
      plugin_lines_([this](const std::string& line) {
          if (plugin_log_.load()) log_("kavren_m7: " + line);
      }),
      plugin_output_(&plugin_lines_),
      store_(config.database),
      plugin_(config.plugin) {
    configs_.push_back(std::make_unique<HostConfig>(std::move(config)));
    plugin_log_.store(this->config().plugin_log);
    reloads_->last_success_unix_s.store(system_now_ms() / 1000);
    wait_for_signals();
    // One that came during the start is answered too.
    if (app::hangups() > 0) on_signal(SIGHUP);
    if (!parts_.make_link) parts_.make_link = make_modbus_link;
    if (parts_.sinks.empty()) parts_.sinks = standard_sinks();
    store_.set_log(log_);
    store_.set_give_up([this] {
        return app::stop_requested() && (give_up_at_.load() == INT64_MAX || past_give_up());
    });
    make_meters();
    // A gateway's port in use ends the start before the history is made.
    for (auto& link : links_) link->gateway = make_gateway(link->config);
    // Checked, not yet touched: the history is made and written only from here on.
    store_.prepare();
    sinks_ = make_sinks(std::vector<bool>(parts_.sinks.size(), true));
    commit_ = new_commit_stage();
    set_poll_context();
    progress_ =
        std::make_unique<LinkProgress>(std::vector<LinkProgress::Clock::duration>{}, kWatchedLinks);
    places_taken_.assign(kWatchedLinks, false);
    for (auto& link : links_) make_poller(*link);
}

Pipeline::~Pipeline() {
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        pollers_reachable_ = false;
    }
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    // Asio gives the signals back to their default (the end of the program) as it lets go of
    // them: the program's own handlers take them again for what is left of its run.
    signals_.clear(ignored);
    app::install_stop_signals();
    app::install_hangup_signal();
}

void Pipeline::wait_for_signals() {
    signals_.async_wait([this](const boost::system::error_code& ec, int number) {
        if (ec) return;  // cancelled: the pipeline goes
        on_signal(number);
        wait_for_signals();
    });
}

void Pipeline::on_signal(int number) {
    if (number != SIGHUP) {
        request_stop();
        return;
    }
    request_reload();
}

void Pipeline::request_stop() {
    app::request_stop();
    control_.ask_stop();
    stop_links();
}

void Pipeline::stop_links() {
    std::lock_guard<std::mutex> hold(stop_lock_);
    if (!pollers_reachable_) return;
    for (const auto& link : links_)
        if (link->poller) link->poller->stop();
}

bool Pipeline::past_give_up() const {
    return app::stop_requested() && steady_now_ns() > give_up_at_.load();
}

MeterSlot& Pipeline::make_slot(const LinkConfig& link, const MeterConfig& meter) {
    auto slot = std::make_unique<MeterSlot>();
    slot->config = meter;
    slot->index = meters_.size();
    slot->link_name = link.describe();
    slot->services = std::make_unique<MeterServices>();
    {
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        slot->device = plugin_.create_device();
        set_host_backend(*slot->device, slot->services.get());
        slot->device->data_id_ = meter.data_id;
        try {
            slot->device->InitSetting(meter.settings);
        } catch (const std::exception& e) {
            const std::string origin =
                meter.settings_origin.empty() ? "(none)" : meter.settings_origin;
            throw std::runtime_error("settings " + origin + " refused by the driver: " + e.what());
        }
    }
    MeterSlot& made = *slot;
    meters_.push_back(std::move(slot));
    return made;
}

void Pipeline::make_meters() {
    for (const LinkConfig& link : config().links) {
        auto entry = std::make_unique<LinkEntry>();
        entry->config = link;
        for (const MeterConfig& meter : link.meters) {
            MeterSlot& slot = make_slot(entry->config, meter);
            entry->meters.push_back(&slot);
            current_meters_[meter.name] = &slot;
        }
        links_.push_back(std::move(entry));
    }
}

std::unique_ptr<LinkGateway> Pipeline::make_gateway(const LinkConfig& link) {
    if (!link.gateway.enabled()) return nullptr;
    return std::make_unique<LinkGateway>(loop_.io(), link, config().interval_s, log_);
}

std::vector<MeterName> Pipeline::meter_list() const {
    std::vector<MeterName> meters;
    for (const auto& link : links_)
        for (const MeterSlot* slot : link->meters)
            meters.push_back({slot->config.name, slot->config.unit, slot->link_name});
    return meters;
}

std::vector<std::unique_ptr<RoundSink>> Pipeline::make_sinks(const std::vector<bool>& which) {
    SinkContext context{config(),
                        meter_list(),
                        store_,
                        log_,
                        [this] { return past_give_up(); },
                        [this] { request_stop(); },
                        parts_.output_fd,
                        {}};
    context.loop = &loop_.io();
    context.page = page_;
    context.reloads = reloads_;
    for (const auto& link : links_)
        if (link->gateway) context.gateways.push_back(link->gateway->counters());
    std::vector<std::unique_ptr<RoundSink>> made(parts_.sinks.size());
    for (std::size_t i = 0; i < parts_.sinks.size(); ++i)
        if (which[i]) made[i] = parts_.sinks[i](context);
    return made;
}

std::unique_ptr<CommitStage> Pipeline::new_commit_stage() {
    const HostConfig& c = config();
    auto stage = std::make_unique<CommitStage>(store_, meter_names(), c.history_queue, log_);
    // Rounds the broker has not acknowledged are not removed by age.
    std::vector<std::string> consumers;
    if (c.mqtt.enabled()) consumers.push_back(mqtt_consumer(c.mqtt));
    stage->set_retention(c.retention, std::move(consumers));
    stage->set_commit_interval(
        std::chrono::milliseconds(static_cast<int64_t>(std::llround(c.commit_interval_s * 1000))));
    stage->set_on_file_gone([this] { request_stop(); });
    return stage;
}

void Pipeline::start_commit_stage() {
    for (const auto& sink : sinks_)
        if (sink) commit_->add_sink(sink.get());
    commit_->start();
    router_.route_to(commit_.get(), meter_names());
}

std::vector<std::string> Pipeline::meter_names() const {
    std::vector<std::string> names;
    for (const MeterName& m : meter_list()) names.push_back(m.name);
    return names;
}

void Pipeline::set_poll_context() {
    context_.submit = [this](std::shared_ptr<RoundResult> result) {
        return router_.submit(std::move(result));
    };
    context_.log = log_;
    context_.make_link = parts_.make_link;
    context_.progress = [this](std::size_t link) { progress_->mark(link); };
    set_poll_timing();
}

void Pipeline::set_poll_timing() {
    const HostConfig& c = config();
    context_.offline_after.store(static_cast<uint32_t>(c.offline_after));
    context_.interval.store(clock_duration(std::chrono::duration<double>(c.interval_s)));
    context_.max_backoff.store(clock_duration(std::chrono::duration<double>(c.max_backoff_s)));
    context_.rounds.store(c.rounds);
}

void Pipeline::make_poller(LinkEntry& link) {
    const auto free = std::find(places_taken_.begin(), places_taken_.end(), false);
    link.place = static_cast<std::size_t>(free - places_taken_.begin());
    if (free != places_taken_.end()) *free = true;
    progress_->watch(link.place, attempt_budget(link.config));
    auto poller =
        std::make_unique<LinkPoller>(loop_.io(), link.place, link.config, link.meters, context_,
                                     link.gateway ? &link.gateway->share() : nullptr);
    link.ended = std::make_unique<DoneLatch>(1);
    std::lock_guard<std::mutex> hold(stop_lock_);
    link.poller = std::move(poller);
}

void Pipeline::start_poller(LinkEntry& link) {
    control_.poller_started();
    DoneLatch* ended = link.ended.get();
    link.poller->start([this, ended] {
        ended->count_down();
        control_.poller_ended();
    });
}

void Pipeline::end_poller(LinkEntry& link) {
    std::unique_ptr<LinkPoller> gone;
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        gone = std::move(link.poller);
    }
    if (!gone) return;
    gone->stop();
    link.ended->wait();
    DoneLatch destroyed(1);
    const LinkPoller::Strand strand = gone->strand();
    asio::post(strand, [&destroyed, &gone] {
        gone.reset();
        destroyed.count_down();
    });
    destroyed.wait();
    progress_->unwatch(link.place);
    if (link.place < places_taken_.size()) places_taken_[link.place] = false;
    if (link.gateway) link.gateway->stop();  // what still waits for the link is answered
}

PipelineReport Pipeline::run() {
    for (const auto& sink : sinks_)
        if (sink) sink->start();
    start_commit_stage();
    for (const auto& link : links_)
        if (link->gateway) link->gateway->start();
    if (config().restore) {
        for (const auto& link : links_) {
            for (MeterSlot* slot : link->meters) {
                if (app::stop_requested()) break;
                restore_last_record(*slot, store_, context_, log_);
            }
        }
    }
    poll();
    return finish();
}

void Pipeline::poll() {
    // The service manager hears of the host once every link has attempted a round, and its
    // watchdog is fed while every link makes progress.
    ServiceWatchdog watchdog(loop_.io(), *progress_);
    for (auto& link : links_) start_poller(*link);
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        pollers_reachable_ = true;
    }
    if (app::stop_requested()) request_stop();  // asked for before the pollers could hear it
    // This thread makes the reloads, between the loop's threads and the history's.
    while (control_.wait() == RunControl::Event::reload) reload();
    destroy_pollers();  // the links close
    for (const auto& link : links_)
        if (link->gateway) link->gateway->stop();  // what still waits for a link is answered
    watchdog.stopping();
}

void Pipeline::destroy_pollers() {
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        pollers_reachable_ = false;
    }
    DoneLatch destroyed(links_.size());
    for (auto& link : links_) {
        if (!link->poller) {
            destroyed.count_down();
            continue;
        }
        const LinkPoller::Strand strand = link->poller->strand();
        asio::post(strand, [&destroyed, gone = std::move(link->poller)]() mutable {
            gone.reset();
            destroyed.count_down();
        });
    }
    destroyed.wait();
}

PipelineReport Pipeline::finish() {
    // Store what is queued, then hand it on, each within what is left of the time.
    const auto deadline =
        std::chrono::steady_clock::now() +
        (app::stop_requested() ? clock_duration(kStopWithin) : clock_duration(kFinishWithin));
    give_up_at_.store(steady_ns(deadline - kHistoryAhead));
    commit_->finish(deadline - kHistoryAhead);
    PipelineReport report;
    report.stored_all = stored_all_earlier_ && commit_->stored_all();
    report.failed_sinks = failed_earlier_;
    std::string summary = commit_->summary();
    for (const auto& sink : sinks_) {
        if (!sink) continue;
        sink->finish(deadline);
        const std::string part = sink->summary();
        if (!part.empty()) summary += "; " + part;
        if (sink->failed()) report.failed_sinks.push_back(sink->name());
    }
    log_(summary);
    return report;
}

}  // namespace kavren::host
