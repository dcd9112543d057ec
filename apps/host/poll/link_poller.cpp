#include "apps/host/poll/link_poller.h"

#include <algorithm>
#include <chrono>

#include "apps/common/program.h"
#include "apps/host/support/utc_time.h"
#include "runtime/device_state.h"

namespace kavren::host {

std::shared_ptr<RoundResult> collect_round_result(MeterSlot& meter, RoundOutcome outcome,
                                                  RoundResult::Origin origin) {
    auto result = std::make_shared<RoundResult>();
    result->origin = origin;
    result->meter_index = meter.index;
    result->meter = meter.config.name;
    result->unit = meter.config.unit;
    result->link = meter.link_name;
    result->data_id = meter.config.data_id;
    result->round = meter.round;
    // One reading of the clock for both: the stored instant and the text shown agree.
    result->unix_ms = system_now_ms();
    result->time =
        app::local_time_text("%Y-%m-%d %H:%M:%S", static_cast<std::time_t>(result->unix_ms / 1000));
    result->outcome = std::move(outcome);
    if (result->outcome.complete) {
        result->record = meter.services->take_saved_record();
        result->limit_reports = meter.services->take_limit_reports();
        for (std::size_t k = 0; k < kMeasurementCount; ++k) {
            ServedValue& v = result->values[k];
            try {
                v.value = meter.device->Get_Value(0, kMeasurements[k].name);
                v.served = true;
            } catch (const std::out_of_range& e) {
                v.refusal = e.what();
            }
        }
    }
    result->stats = meter.stats;
    result->offline = meter.health.offline;
    return result;
}

LinkPoller::LinkPoller(asio::io_context& io, std::size_t index, const LinkConfig& config,
                       std::vector<MeterSlot*> meters, PollContext& context, LinkShare* share)
    : index_(index),
      config_(config),
      link_(context.make_link(config, meters.empty() ? 9600 : meters.front()->device->baud_rate_)),
      meters_(std::move(meters)),
      context_(context),
      share_(share),
      strand_(asio::make_strand(io)),
      timer_(strand_) {}

LinkPoller::~LinkPoller() {
    if (share_ != nullptr) share_->forwards.on_arrival(nullptr);
}

void LinkPoller::start(std::function<void()> ended) {
    // A request of the gateway's wakes the poller where it waits.
    if (share_ != nullptr)
        share_->forwards.on_arrival([this] { asio::post(strand_, [this] { timer_.cancel(); }); });
    asio::co_spawn(strand_, run_rounds(), [this, ended = std::move(ended)](std::exception_ptr e) {
        // Nothing carries the gateway's requests from here on: what waits is answered, and
        // nothing posts to the strand for the poller any more.
        if (share_ != nullptr) {
            share_->forwards.on_arrival(nullptr);
            share_->forwards.close();
        }
        if (e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& failure) {
                context_.log(config_.describe() + ": polling ended: " + failure.what());
            }
        }
        ended();
    });
}

void LinkPoller::stop() {
    asio::post(strand_, [this] {
        stopping_ = true;
        link_->stop();
        timer_.cancel();
    });
}

void LinkPoller::set_meters(std::vector<MeterSlot*> meters) {
    asio::post(strand_,
               [this, meters = std::move(meters)]() mutable { meters_ = std::move(meters); });
}

asio::awaitable<bool> LinkPoller::sleep_until(Clock::time_point until) {
    if (stopping_) co_return false;
    timer_.expires_at(until);
    boost::system::error_code ec;
    co_await timer_.async_wait(into(ec));
    co_return !stopping_;
}

asio::awaitable<bool> LinkPoller::quiet_line() {
    bool awake = !stopping_;
    while (awake && Clock::now() < line_free_at_) awake = co_await sleep_until(line_free_at_);
    co_return awake;
}

asio::awaitable<bool> LinkPoller::forward_one() {
    if (share_ == nullptr) co_return false;
    std::unique_ptr<ForwardedRequest> request = share_->forwards.next();
    if (!request) co_return false;
    const bool quiet = co_await quiet_line();
    if (quiet) {
        request->carried = true;
        request->outcome = co_await link_->exchange(request->unit, request->pdu, request->reply);
        if (request->outcome != ReadOutcome::ok) request->error = link_->last_error();
        line_free_at_ = Clock::now() + std::chrono::milliseconds(config_.pause_ms);
    } else {
        request->outcome = ReadOutcome::connection_lost;
        request->error = "the host is stopping";
    }
    share_->forwards.finished(std::move(request));
    co_return true;
}

asio::awaitable<bool> LinkPoller::wait_carrying(Clock::time_point until) {
    bool awake = !stopping_;
    while (awake && Clock::now() < until) {
        const bool carried = co_await forward_one();
        if (carried && attempted_) made_progress();
        if (!carried) awake = co_await sleep_until(until);
        if (stopping_) awake = false;
    }
    co_return awake;
}

asio::awaitable<bool> LinkPoller::read_step(MeterSlot& meter, const PendingRead& read,
                                            RoundWords* kept, RoundOutcome& outcome) {
    // Between two of the host's own requests: a gateway's, if one waits.
    const bool carried = co_await forward_one();
    if (carried && attempted_) made_progress();
    const bool quiet = co_await quiet_line();
    if (!quiet) {
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        fail_read(*meter.device);
        outcome.failure = ReadOutcome::connection_lost;
        outcome.detail = "stopped";
        co_return false;
    }
    uint16_t words[kModbusMaxReadRegisters];
    ++meter.stats.requests;
    const ReadOutcome result =
        co_await link_->read_registers(meter.config.unit, read.start, read.count, words);
    line_free_at_ = Clock::now() + std::chrono::milliseconds(config_.pause_ms);
    std::lock_guard<std::mutex> lock(context_.driver_calls);
    meter.stats.noise_bytes = link_->noise_bytes();
    if (result != ReadOutcome::ok) {
        ++meter.stats.errors[static_cast<int>(result)];
        if (result == ReadOutcome::exception) meter.stats.last_exception = link_->last_exception();
        fail_read(*meter.device);
        outcome.failure = result;
        outcome.detail = link_->last_error();
        outcome.failed_start = read.start;
        outcome.failed_count = read.count;
        co_return false;
    }
    if (kept != nullptr)
        kept->reads.push_back(
            {kReadHoldingRegisters, read.start, std::vector<uint16_t>(words, words + read.count)});
    if (complete_read(*meter.device, words, static_cast<std::size_t>(read.count)) == 0)
        outcome.complete = true;
    co_return true;
}

asio::awaitable<RoundOutcome> LinkPoller::poll_round(MeterSlot& meter) {
    RoundOutcome outcome;
    const auto started = Clock::now();
    auto kept = share_ != nullptr ? std::make_shared<RoundWords>() : nullptr;
    PendingRead read{};
    {
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        meter.services->begin_round();
        meter.device->RefreshStatus();
        read = pending_read(*meter.device);
    }
    while (read.count > 0) {
        const bool more = co_await read_step(meter, read, kept.get(), outcome);
        if (!more) break;
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        read = pending_read(*meter.device);
    }
    if (outcome.complete) {
        ++meter.stats.rounds_complete;
        meter.stats.last_round_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        if (kept) {
            // Only a complete round is served; a failed one leaves the one before to age.
            kept->completed = Clock::now();
            share_->rounds.keep(meter.config.unit, std::move(kept));
        }
    } else {
        ++meter.stats.rounds_failed;
    }
    co_return outcome;
}
void LinkPoller::finish_round(MeterSlot& meter, const RoundOutcome& outcome) {
    const bool link_down = outcome.failure == ReadOutcome::connection_lost;
    if (link_down && !link_was_down_)
        context_.log(config_.describe() + ": link down: " + outcome.detail);
    if (!link_down && link_was_down_) context_.log(config_.describe() + ": link up again");
    link_was_down_ = link_down;
    const HealthChange change =
        outcome.complete ? record_success(meter.health)
                         : record_failure(meter.health, Clock::now(), context_.offline_after.load(),
                                          context_.interval.load(), context_.max_backoff.load());
    if (change == HealthChange::went_offline) {
        context_.log(
            meter.config.name + " offline: " + std::to_string(meter.health.failures_in_a_row) +
            " rounds failed (last: " + outcome_name(outcome.failure) + "); polling it less often");
    } else if (change == HealthChange::back_online) {
        context_.log(meter.config.name + " back online");
    }
    std::shared_ptr<RoundResult> result;
    {
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        result = collect_round_result(meter, outcome, RoundResult::Origin::round);
    }
    context_.submit(std::move(result));
}

bool LinkPoller::all_done() const {
    const long rounds = context_.rounds.load();
    return rounds != 0 && std::all_of(meters_.begin(), meters_.end(),
                                      [&](const MeterSlot* m) { return m->round >= rounds; });
}

asio::awaitable<void> LinkPoller::run_rounds() {
    auto next_cycle = Clock::now();
    while (!all_done()) {
        // A reload may give other meters while a round is under way: this cycle polls the ones
        // it started with that are still given.
        const std::vector<MeterSlot*> cycle = meters_;
        for (MeterSlot* meter : cycle) {
            if (stopping_) co_return;
            if (std::find(meters_.begin(), meters_.end(), meter) == meters_.end()) continue;
            const long rounds = context_.rounds.load();
            if (rounds != 0 && meter->round >= rounds) continue;
            if (!attempt_due(meter->health, Clock::now())) continue;
            ++meter->round;
            const RoundOutcome outcome = co_await poll_round(*meter);
            if (stopping_ && !outcome.complete) co_return;  // cut short by the stop
            finish_round(*meter, outcome);
            attempted_ = true;
            made_progress();
        }
        if (all_done()) break;
        next_cycle += context_.interval.load();
        const auto now = Clock::now();
        if (next_cycle < now) next_cycle = now;  // a cycle that overran starts the next at once
        // Waiting is progress too: a link whose meters are all offline is alive.
        while (Clock::now() < next_cycle) {
            const auto until = std::min(next_cycle, Clock::now() + std::chrono::milliseconds(500));
            const bool awake = co_await wait_carrying(until);
            if (!awake) co_return;
            made_progress();
        }
    }
}

}  // namespace kavren::host
