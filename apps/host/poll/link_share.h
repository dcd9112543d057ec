#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "apps/host/poll/forward_queue.h"

namespace kavren::host {

// The words of one read of a round, as the meter sent them.
struct ReadWords {
    int function = kReadHoldingRegisters;
    int start = 0;
    std::vector<uint16_t> words;
};

// A meter's last complete round as its words: what a gateway answers reads from.
struct RoundWords {
    std::chrono::steady_clock::time_point completed;
    std::vector<ReadWords> reads;
};

// Each unit's last complete round on one link. The link's poller keeps them as rounds complete
// (a failed round keeps the one before); a gateway's thread reads them.
class LastRounds {
  public:
    void keep(int unit, std::shared_ptr<const RoundWords> round) {
        std::lock_guard<std::mutex> hold(lock_);
        rounds_[unit] = std::move(round);
    }
    // The unit's last complete round; null before its first.
    std::shared_ptr<const RoundWords> of(int unit) const {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = rounds_.find(unit);
        return found == rounds_.end() ? nullptr : found->second;
    }

  private:
    mutable std::mutex lock_;
    std::map<int, std::shared_ptr<const RoundWords>> rounds_;
};

// What a link's poller shares with the gateway in front of the link: the words of its meters'
// last complete rounds, and the requests of the gateway's clients it is to carry.
struct LinkShare {
    explicit LinkShare(std::size_t max_queue) : forwards(max_queue) {}
    LastRounds rounds;
    ForwardQueue forwards;
};

}  // namespace kavren::host
