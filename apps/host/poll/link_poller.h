#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/config/link_config.h"
#include "apps/host/link/register_link.h"
#include "apps/host/poll/link_share.h"
#include "apps/host/poll/meter_services.h"
#include "apps/host/poll/poll_schedule.h"
#include "apps/host/round/round_result.h"
#include "apps/host/support/asio_coro.h"
#include "host/sp_modbus.h"
#include "runtime/device_state.h"

namespace kavren::host {

// One meter on a link: its driver object, the host's services for it, its statistics. Only its
// link's poller touches it once polling runs.
struct MeterSlot {
    MeterConfig config;
    std::size_t index = 0;  // place among all configured meters
    std::string link_name;
    std::unique_ptr<MeterServices> services;
    std::unique_ptr<SPModbus> device;  // destroyed before its services
    LinkStats stats;
    MeterHealth health;
    long round = 0;  // rounds attempted
};

// What every link shares.
struct PollContext {
    // Calls into the plug-in, one at a time in the whole process and held for the calls only,
    // never across I/O: the plug-in writes its lines to this process's one std::cout.
    std::mutex driver_calls;
    // Takes a round's result without waiting; false when it was refused. The result is the
    // taker's from here on (it may still set the meter's index).
    std::function<bool(std::shared_ptr<RoundResult>)> submit;
    std::function<void(const std::string&)> log;
    // Read by every link, set again by a reload.
    std::atomic<uint32_t> offline_after{3};
    std::atomic<Clock::duration> interval{Clock::duration{}};
    std::atomic<Clock::duration> max_backoff{Clock::duration{}};
    std::atomic<long> rounds{0};  // rounds to attempt per meter; 0: until stopped
    // Told, by link index, each time a link attempted a round or woke up while waiting (for the
    // service watchdog); may be empty.
    std::function<void(std::size_t link)> progress;
    // Makes each link's link: a ModbusLink unless a test puts another in.
    LinkMaker make_link;
};

// The result of the meter's last round, as the driver holds it now (its values, its record, its
// limit reports). Call with PollContext::driver_calls held.
std::shared_ptr<RoundResult> collect_round_result(MeterSlot& meter, RoundOutcome outcome,
                                                  RoundResult::Origin origin);

// Polls the meters of one link, one after another, every interval, as a coroutine on a strand
// of its own on the event loop. With a gateway in front of the link (`share`), it keeps each
// meter's last complete round for it and carries its clients' requests: before each of its own
// requests at most one, so that however many clients ask, a round carries no more of theirs than
// it has requests of its own; while it waits for the next round, each as it comes. Started and
// stopped alone: one link may come and go while the others poll.
class LinkPoller {
  public:
    using Strand = asio::strand<asio::io_context::executor_type>;
    LinkPoller(asio::io_context& io, std::size_t index, const LinkConfig& config,
               std::vector<MeterSlot*> meters, PollContext& context, LinkShare* share = nullptr);
    ~LinkPoller();
    // Starts polling; `ended` is called on the strand once it has ended (its rounds done, or
    // stopped). Once.
    void start(std::function<void()> ended);
    // Ends polling: the exchange or wait under way ends at once, and no other begins. From any
    // thread, before the poller is destroyed.
    void stop();
    // The meters it polls from its next meter on, from any thread (a reload). One no longer
    // given is not polled again; its slot must outlive the poller.
    void set_meters(std::vector<MeterSlot*> meters);
    // Where the poller must be destroyed once it has ended (its link's I/O objects live there).
    const Strand& strand() const { return strand_; }

    LinkPoller(const LinkPoller&) = delete;
    LinkPoller& operator=(const LinkPoller&) = delete;

  private:
    asio::awaitable<void> run_rounds();
    // One round of one meter.
    asio::awaitable<RoundOutcome> poll_round(MeterSlot& meter);
    // One read of the round: false when the round ends here (failed, or stopped).
    asio::awaitable<bool> read_step(MeterSlot& meter, const PendingRead& read, RoundWords* kept,
                                    RoundOutcome& outcome);
    void finish_round(MeterSlot& meter, const RoundOutcome& outcome);
    // Waits until `until` (or until woken); false when stopped.
    asio::awaitable<bool> sleep_until(Clock::time_point until);
    // Waits out the pause the line needs after its last request; false when stopped.
    asio::awaitable<bool> quiet_line();
    // A gateway's request, if one waits, carried and handed back; false when none waited. One
    // carried is progress once a round was attempted (the service manager hears of the host
    // only then): the caller marks it.
    asio::awaitable<bool> forward_one();
    // Waits until `until`, carrying the gateway's requests as they come; false when stopped.
    asio::awaitable<bool> wait_carrying(Clock::time_point until);
    bool all_done() const;
    void made_progress() {
        if (context_.progress) context_.progress(index_);
    }
    std::size_t index_;
    const LinkConfig& config_;
    std::unique_ptr<RegisterLink> link_;
    std::vector<MeterSlot*> meters_;  // on the strand
    PollContext& context_;
    LinkShare* share_;
    Strand strand_;
    asio::steady_timer timer_;  // the poller's waits; cancelled to wake it
    bool stopping_ = false;     // on the strand
    bool link_was_down_ = false;
    bool attempted_ = false;            // a round was attempted
    Clock::time_point line_free_at_{};  // the pause after the last request ends here
};

}  // namespace kavren::host
