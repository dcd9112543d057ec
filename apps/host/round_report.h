#pragma once

#include <ostream>

#include <json/json.h>

#include "apps/host/link_poller.h"
#include "meter/kavren_m7_data.h"

namespace kavren::host {

// Every decoded field of a published record, by its name in the record layout.
Json::Value record_fields(const KAVREN_M7_Data_t& record);

// Prints each round: a readable view, or one JSON object per line.
class RoundReport {
  public:
    RoundReport(std::ostream& out, bool json) : out_(out), json_(json) {}
    void operator()(MeterSlot& meter, const RoundOutcome& outcome);
    // The values a meter serves right after its last stored record was restored.
    void restored(MeterSlot& meter);

  private:
    void readable(MeterSlot& meter, const RoundOutcome& outcome, const std::string& time);
    void json_line(MeterSlot& meter, const RoundOutcome& outcome, const std::string& time);
    std::ostream& out_;
    bool json_;
};

}  // namespace kavren::host
