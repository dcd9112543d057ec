#include "apps/host/link_poller.h"

#include <thread>

#include "apps/common/stop_signal.h"
#include "runtime/device_state.h"

namespace kavren::host {

uint64_t LinkStats::error_total() const {
    uint64_t total = 0;
    for (uint64_t e : errors) total += e;
    return total;
}

LinkPoller::LinkPoller(const LinkConfig& config, std::vector<MeterSlot*> meters,
                       PollContext& context)
    : link_(config, meters.empty() ? 9600 : meters.front()->device->baud_rate_),
      meters_(std::move(meters)),
      context_(context) {}

RoundOutcome LinkPoller::poll_round(MeterSlot& meter) {
    RoundOutcome outcome;
    const auto started = Clock::now();
    {
        std::lock_guard<std::mutex> lock(context_.plugin_calls);
        meter.services->begin_round();
        meter.device->RefreshStatus();
    }
    uint16_t words[kModbusMaxReadRegisters];
    bool first = true;
    for (;;) {
        PendingRead read{};
        {
            std::lock_guard<std::mutex> lock(context_.plugin_calls);
            if (!has_pending_read(*meter.device)) break;
            read = pending_read(*meter.device);
        }
        if (!first && link_.config().pause_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(link_.config().pause_ms));
        }
        first = false;
        ++meter.stats.requests;
        const ReadOutcome result =
            link_.read_registers(meter.config.unit, read.start, read.count, words);
        std::lock_guard<std::mutex> lock(context_.plugin_calls);
        if (result != ReadOutcome::ok) {
            ++meter.stats.errors[static_cast<int>(result)];
            fail_read(*meter.device);
            outcome.failure = result;
            outcome.detail = link_.last_error();
            outcome.failed_start = read.start;
            outcome.failed_count = read.count;
            break;
        }
        if (complete_read(*meter.device, words, static_cast<std::size_t>(read.count)) == 0)
            outcome.complete = true;
    }
    if (outcome.complete) {
        ++meter.stats.rounds_complete;
        meter.stats.last_round_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    } else {
        ++meter.stats.rounds_failed;
    }
    return outcome;
}

void LinkPoller::run() {
    auto next_cycle = Clock::now();
    for (long cycle = 0; context_.rounds == 0 || cycle < context_.rounds; ++cycle) {
        for (MeterSlot* meter : meters_) {
            if (app::stop_requested()) return;
            const auto now = Clock::now();
            if (!attempt_due(meter->health, now)) continue;
            ++meter->round;
            const RoundOutcome outcome = poll_round(*meter);
            const bool link_down = outcome.failure == ReadOutcome::connection_lost;
            HealthChange change;
            {
                std::lock_guard<std::mutex> lock(context_.plugin_calls);
                if (link_down && !link_was_down_)
                    context_.log(link_.config().describe() + ": link down: " + outcome.detail);
                if (!link_down && link_was_down_)
                    context_.log(link_.config().describe() + ": link up again");
                link_was_down_ = link_down;
                change = outcome.complete
                             ? record_success(meter->health)
                             : record_failure(meter->health, Clock::now(), context_.offline_after,
                                              context_.interval, context_.max_backoff);
                if (change == HealthChange::went_offline) {
                    context_.log(meter->config.name +
                                 " offline: " + std::to_string(meter->health.failures_in_a_row) +
                                 " rounds failed (last: " + outcome_name(outcome.failure) +
                                 "); polling it less often");
                } else if (change == HealthChange::back_online) {
                    context_.log(meter->config.name + " back online");
                }
                context_.report(*meter, outcome);
            }
        }
        next_cycle += context_.interval;
        const auto now = Clock::now();
        if (next_cycle < now) next_cycle = now;  // a cycle that overran starts the next at once
        if (context_.rounds != 0 && cycle + 1 >= context_.rounds) break;
        while (Clock::now() < next_cycle) {
            if (app::stop_requested()) return;
            std::this_thread::sleep_for(std::min<Clock::duration>(next_cycle - Clock::now(),
                                                                  std::chrono::milliseconds(50)));
        }
    }
}

}  // namespace kavren::host
