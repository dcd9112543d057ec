#pragma once

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
#include "host/sp_modbus.h"
#include "runtime/device_state.h"

namespace kavren::host {

// One meter on a link: its driver object, the host's services for it, its statistics. Only its
// link thread touches it once polling runs.
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
    // Takes a round's result without waiting; false when it was refused.
    std::function<bool(std::shared_ptr<const RoundResult>)> submit;
    std::function<void(const std::string&)> log;
    uint32_t offline_after = 3;
    Clock::duration interval{};
    Clock::duration max_backoff{};
    long rounds = 0;  // rounds to attempt per meter; 0: until stopped
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

// Polls the meters of one link, one after another, every interval, on its own thread. With a
// gateway in front of the link (`share`), it keeps each meter's last complete round for it and
// carries its clients' requests: before each of its own requests at most one, so that however
// many clients ask, a round carries no more of theirs than it has requests of its own; while it
// waits for the next round, each as it comes.
class LinkPoller {
  public:
    LinkPoller(std::size_t index, const LinkConfig& config, std::vector<MeterSlot*> meters,
               PollContext& context, LinkShare* share = nullptr);
    void run();
    // One round of one meter; public for tests.
    RoundOutcome poll_round(MeterSlot& meter);

  private:
    void run_rounds();
    // One read of the round: false when the round ends here (failed, or stopped).
    bool read_step(MeterSlot& meter, const PendingRead& read, RoundWords* kept,
                   RoundOutcome& outcome);
    void finish_round(MeterSlot& meter, const RoundOutcome& outcome);
    // Waits out the pause the line needs after its last request; false when stopped.
    bool quiet_line();
    // A gateway's request, if one waits, carried and handed back.
    void forward_one();
    // Waits until `until`, carrying the gateway's requests as they come; false when stopped.
    bool wait_carrying(Clock::time_point until);
    void made_progress() {
        if (context_.progress) context_.progress(index_);
    }
    std::size_t index_;
    const LinkConfig& config_;
    std::unique_ptr<RegisterLink> link_;
    std::vector<MeterSlot*> meters_;
    PollContext& context_;
    LinkShare* share_;
    bool link_was_down_ = false;
    bool attempted_ = false;            // a round was attempted
    Clock::time_point line_free_at_{};  // the pause after the last request ends here
};

// Sleeps for the duration, or less when a stop is requested; false when it was.
bool sleep_unless_stopped(Clock::duration duration);

}  // namespace kavren::host
