#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/host/history/commit_stage.h"
#include "apps/host/round/round_result.h"

namespace kavren::host {

// Hands every round of the links to the commit stage of the moment, with its meter's index
// among the meters configured now. While a reload puts a new commit stage in place, the rounds
// that come are held, in order, and handed to the new one: no round waits for the reload and
// none is lost. From any thread.
class RoundRouter {
  public:
    // From now on, rounds go to `stage`, their meters indexed as in `names`; held ones first.
    void route_to(CommitStage* stage, const std::vector<std::string>& names);
    // Holds the rounds until the next route_to().
    void hold();
    // False when the commit stage refused the round.
    bool submit(std::shared_ptr<RoundResult> result);
    // Rounds of meters that a reload removed while they were under way: not stored.
    uint64_t dropped() const;

  private:
    bool hand_on(std::shared_ptr<RoundResult> result);  // under mutex_

    mutable std::mutex mutex_;
    CommitStage* stage_ = nullptr;  // null: holding
    std::map<std::string, std::size_t> index_;
    std::vector<std::shared_ptr<RoundResult>> held_;
    uint64_t dropped_ = 0;
};

}  // namespace kavren::host
