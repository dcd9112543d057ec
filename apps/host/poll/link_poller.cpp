#include "apps/host/poll/link_poller.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "apps/common/program.h"
#include "apps/common/stop_signal.h"
#include "apps/host/support/utc_time.h"
#include "runtime/device_state.h"

namespace kavren::host {

namespace {

// No wait of the link's thread lasts longer than this without looking at the stop flag.
constexpr auto kStopCheck = std::chrono::milliseconds(50);

}  // namespace

bool sleep_unless_stopped(Clock::duration duration) {
    const auto until = Clock::now() + duration;
    for (;;) {
        if (app::stop_requested()) return false;
        const auto now = Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kStopCheck));
    }
}

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

LinkPoller::LinkPoller(std::size_t index, const LinkConfig& config, std::vector<MeterSlot*> meters,
                       PollContext& context, LinkShare* share)
    : index_(index),
      config_(config),
      link_(context.make_link(config, meters.empty() ? 9600 : meters.front()->device->baud_rate_)),
      meters_(std::move(meters)),
      context_(context),
      share_(share) {}

bool LinkPoller::quiet_line() {
    const auto now = Clock::now();
    return now >= line_free_at_ || sleep_unless_stopped(line_free_at_ - now);
}

void LinkPoller::forward_one() {
    if (share_ == nullptr) return;
    std::unique_ptr<ForwardedRequest> request = share_->forwards.next();
    if (!request) return;
    if (quiet_line()) {
        request->carried = true;
        request->outcome = link_->exchange(request->unit, request->pdu, request->reply);
        if (request->outcome != ReadOutcome::ok) request->error = link_->last_error();
        line_free_at_ = Clock::now() + std::chrono::milliseconds(config_.pause_ms);
    } else {
        request->outcome = ReadOutcome::connection_lost;
        request->error = "the host is stopping";
    }
    share_->forwards.finished(std::move(request));
    // The link's thread is alive: a request carried within its time-out (the service manager
    // hears of the host only once a round was attempted).
    if (attempted_) made_progress();
}

bool LinkPoller::wait_carrying(Clock::time_point until) {
    if (share_ == nullptr) return sleep_unless_stopped(until - Clock::now());
    for (;;) {
        if (app::stop_requested()) return false;
        const auto now = Clock::now();
        if (now >= until) return true;
        // A stop is seen within a fraction of a second, as in every other wait.
        if (share_->forwards.wait(std::min<Clock::time_point>(until, now + kStopCheck)))
            forward_one();
    }
}

bool LinkPoller::read_step(MeterSlot& meter, const PendingRead& read, RoundWords* kept,
                           RoundOutcome& outcome) {
    forward_one();  // between two of the host's own requests
    if (!quiet_line()) {
        std::lock_guard<std::mutex> lock(context_.driver_calls);
        fail_read(*meter.device);
        outcome.failure = ReadOutcome::connection_lost;
        outcome.detail = "stopped";
        return false;
    }
    uint16_t words[kModbusMaxReadRegisters];
    ++meter.stats.requests;
    const ReadOutcome result =
        link_->read_registers(meter.config.unit, read.start, read.count, words);
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
        return false;
    }
    if (kept != nullptr)
        kept->reads.push_back(
            {kReadHoldingRegisters, read.start, std::vector<uint16_t>(words, words + read.count)});
    if (complete_read(*meter.device, words, static_cast<std::size_t>(read.count)) == 0)
        outcome.complete = true;
    return true;
}

RoundOutcome LinkPoller::poll_round(MeterSlot& meter) {
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
    while (read.count > 0 && read_step(meter, read, kept.get(), outcome)) {
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
    return outcome;
}

void LinkPoller::finish_round(MeterSlot& meter, const RoundOutcome& outcome) {
    const bool link_down = outcome.failure == ReadOutcome::connection_lost;
    if (link_down && !link_was_down_)
        context_.log(config_.describe() + ": link down: " + outcome.detail);
    if (!link_down && link_was_down_) context_.log(config_.describe() + ": link up again");
    link_was_down_ = link_down;
    const HealthChange change =
        outcome.complete ? record_success(meter.health)
                         : record_failure(meter.health, Clock::now(), context_.offline_after,
                                          context_.interval, context_.max_backoff);
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

void LinkPoller::run() {
    run_rounds();
    // Nothing carries the gateway's requests from here on: what waits is answered.
    if (share_ != nullptr) share_->forwards.close();
}

void LinkPoller::run_rounds() {
    const auto all_done = [&] {
        return context_.rounds != 0 &&
               std::all_of(meters_.begin(), meters_.end(),
                           [&](const MeterSlot* m) { return m->round >= context_.rounds; });
    };
    auto next_cycle = Clock::now();
    while (!all_done()) {
        for (MeterSlot* meter : meters_) {
            if (app::stop_requested()) return;
            if (context_.rounds != 0 && meter->round >= context_.rounds) continue;
            if (!attempt_due(meter->health, Clock::now())) continue;
            ++meter->round;
            const RoundOutcome outcome = poll_round(*meter);
            if (app::stop_requested() && !outcome.complete) return;  // cut short by the stop
            finish_round(*meter, outcome);
            attempted_ = true;
            made_progress();
        }
        if (all_done()) break;
        next_cycle += context_.interval;
        const auto now = Clock::now();
        if (next_cycle < now) next_cycle = now;  // a cycle that overran starts the next at once
        // Waiting is progress too: a link whose meters are all offline is alive.
        while (Clock::now() < next_cycle) {
            if (!wait_carrying(std::min(next_cycle, Clock::now() + std::chrono::milliseconds(500))))
                return;
            made_progress();
        }
    }
}

}  // namespace kavren::host
