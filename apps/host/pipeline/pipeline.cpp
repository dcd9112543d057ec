#include "apps/host/pipeline/pipeline.h"

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
void restore_last_record(MeterSlot& slot, HistoryStore& store, PollContext& context,
                         const Pipeline::Log& log) {
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

template <typename Duration>
Clock::duration clock_duration(Duration d) {
    return std::chrono::duration_cast<Clock::duration>(d);
}

}  // namespace

std::vector<SinkMaker> standard_sinks() {
    // A new sink is a folder under sinks/ and a line here. The page is served before the broker
    // is connected to, so that discovery can name its address.
    return {make_console_sink, make_http_sink, make_mqtt_sink};
}

Pipeline::Pipeline(const HostConfig& config, Log log, PipelineParts parts)
    : config_(config),
      log_(std::move(log)),
      parts_(std::move(parts)),
      loop_(EventLoop::threads_for_machine(), log_),
      signals_(loop_.io(), SIGTERM, SIGINT, SIGHUP),
      plugin_lines_([this](const std::string& line) {
          if (config_.plugin_log) log_("kavren_m7: " + line);
      }),
      plugin_output_(&plugin_lines_),
      store_(config.database),
      plugin_(config.plugin) {
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
    make_gateways();
    // Checked, not yet touched: the history is made and written only from here on.
    store_.prepare();
    make_sinks();
    std::vector<std::string> names;
    for (const auto& slot : meters_) names.push_back(slot->config.name);
    commit_ = std::make_unique<CommitStage>(store_, std::move(names), config_.history_queue, log_);
    // Rounds the broker has not acknowledged are not removed by age.
    std::vector<std::string> consumers;
    if (config_.mqtt.enabled()) consumers.push_back(mqtt_consumer(config_.mqtt));
    commit_->set_retention(config_.retention, std::move(consumers));
    commit_->set_commit_interval(std::chrono::milliseconds(
        static_cast<int64_t>(std::llround(config_.commit_interval_s * 1000))));
    commit_->set_on_file_gone([this] { request_stop(); });
    make_pollers();
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
    log_(
        "SIGHUP: the configuration is not re-read while running; the host goes on as it "
        "started (restart it to apply a changed configuration)");
}

void Pipeline::request_stop() {
    app::request_stop();
    stop_links();
}

void Pipeline::stop_links() {
    std::lock_guard<std::mutex> hold(stop_lock_);
    if (!pollers_reachable_) return;
    for (const auto& poller : pollers_) poller->stop();
}

bool Pipeline::past_give_up() const {
    return app::stop_requested() && steady_now_ns() > give_up_at_.load();
}

void Pipeline::make_meters() {
    for (const LinkConfig& link : config_.links) {
        link_meters_.emplace_back();
        for (const MeterConfig& meter : link.meters) {
            auto slot = std::make_unique<MeterSlot>();
            slot->config = meter;
            slot->index = meters_.size();
            slot->link_name = link.describe();
            slot->services = std::make_unique<MeterServices>();
            slot->device = plugin_.create_device();
            set_host_backend(*slot->device, slot->services.get());
            slot->device->data_id_ = meter.data_id;
            try {
                slot->device->InitSetting(meter.settings);
            } catch (const std::exception& e) {
                const std::string origin =
                    meter.settings_origin.empty() ? "(none)" : meter.settings_origin;
                throw std::runtime_error("settings " + origin +
                                         " refused by the driver: " + e.what());
            }
            link_meters_.back().push_back(slot.get());
            meters_.push_back(std::move(slot));
        }
    }
}

void Pipeline::make_gateways() {
    for (const LinkConfig& link : config_.links)
        gateways_.push_back(link.gateway.enabled() ? std::make_unique<LinkGateway>(
                                                         loop_.io(), link, config_.interval_s, log_)
                                                   : nullptr);
}

void Pipeline::make_sinks() {
    SinkContext context{config_,
                        {},
                        store_,
                        log_,
                        [this] { return past_give_up(); },
                        [this] { request_stop(); },
                        parts_.output_fd,
                        {}};
    context.loop = &loop_.io();
    for (const auto& slot : meters_)
        context.meters.push_back({slot->config.name, slot->config.unit, slot->link_name});
    for (const auto& gateway : gateways_)
        if (gateway) context.gateways.push_back(gateway->counters());
    for (const SinkMaker& make : parts_.sinks)
        if (auto sink = make(context)) sinks_.push_back(std::move(sink));
}

void Pipeline::make_pollers() {
    context_.submit = [this](std::shared_ptr<const RoundResult> result) {
        return commit_->submit(std::move(result));
    };
    context_.log = log_;
    context_.offline_after = static_cast<uint32_t>(config_.offline_after);
    context_.interval = clock_duration(std::chrono::duration<double>(config_.interval_s));
    context_.max_backoff = clock_duration(std::chrono::duration<double>(config_.max_backoff_s));
    context_.rounds = config_.rounds;
    context_.make_link = parts_.make_link;
    for (std::size_t i = 0; i < config_.links.size(); ++i)
        pollers_.push_back(
            std::make_unique<LinkPoller>(loop_.io(), i, config_.links[i], link_meters_[i], context_,
                                         gateways_[i] ? &gateways_[i]->share() : nullptr));
}

PipelineReport Pipeline::run() {
    for (const auto& sink : sinks_) {
        commit_->add_sink(sink.get());
        sink->start();
    }
    commit_->start();
    for (const auto& gateway : gateways_)
        if (gateway) gateway->start();
    if (config_.restore) {
        for (const auto& slot : meters_) {
            if (app::stop_requested()) break;
            restore_last_record(*slot, store_, context_, log_);
        }
    }
    poll();
    return finish();
}

void Pipeline::poll() {
    // The service manager hears of the host once every link has attempted a round, and its
    // watchdog is fed while every link makes progress.
    std::vector<LinkProgress::Clock::duration> budgets;
    for (const LinkConfig& link : config_.links) budgets.push_back(attempt_budget(link));
    LinkProgress progress(budgets);
    context_.progress = [&progress](std::size_t link) { progress.mark(link); };
    ServiceWatchdog watchdog(loop_.io(), progress);
    DoneLatch ended(pollers_.size());
    for (auto& poller : pollers_) poller->start([&ended] { ended.count_down(); });
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        pollers_reachable_ = true;
    }
    if (app::stop_requested()) stop_links();  // asked for before the pollers could hear it
    ended.wait();
    destroy_pollers();  // the links close
    for (const auto& gateway : gateways_)
        if (gateway) gateway->stop();  // what still waits for a link is answered
    context_.progress = nullptr;
    watchdog.stopping();
}

void Pipeline::destroy_pollers() {
    {
        std::lock_guard<std::mutex> hold(stop_lock_);
        pollers_reachable_ = false;
    }
    DoneLatch destroyed(pollers_.size());
    for (auto& poller : pollers_) {
        const LinkPoller::Strand strand = poller->strand();
        asio::post(strand, [&destroyed, gone = std::move(poller)]() mutable {
            gone.reset();
            destroyed.count_down();
        });
    }
    destroyed.wait();
    pollers_.clear();
}

PipelineReport Pipeline::finish() {
    // Store what is queued, then hand it on, each within what is left of the time.
    const auto deadline =
        std::chrono::steady_clock::now() +
        (app::stop_requested() ? clock_duration(kStopWithin) : clock_duration(kFinishWithin));
    give_up_at_.store(steady_ns(deadline - kHistoryAhead));
    commit_->finish(deadline - kHistoryAhead);
    PipelineReport report;
    report.stored_all = commit_->stored_all();
    std::string summary = commit_->summary();
    for (const auto& sink : sinks_) {
        sink->finish(deadline);
        const std::string part = sink->summary();
        if (!part.empty()) summary += "; " + part;
        if (sink->failed()) report.failed_sinks.push_back(sink->name());
    }
    log_(summary);
    return report;
}

}  // namespace kavren::host
