#include "apps/host/pipeline/round_router.h"

namespace kavren::host {

void RoundRouter::route_to(CommitStage* stage, const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> hold(mutex_);
    index_.clear();
    for (std::size_t i = 0; i < names.size(); ++i) index_[names[i]] = i;
    stage_ = stage;
    std::vector<std::shared_ptr<RoundResult>> held;
    held.swap(held_);
    for (auto& result : held) hand_on(std::move(result));
}

void RoundRouter::hold() {
    std::lock_guard<std::mutex> hold(mutex_);
    stage_ = nullptr;
}

bool RoundRouter::submit(std::shared_ptr<RoundResult> result) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stage_ == nullptr) {
        held_.push_back(std::move(result));
        return true;
    }
    return hand_on(std::move(result));
}

uint64_t RoundRouter::dropped() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return dropped_;
}

bool RoundRouter::hand_on(std::shared_ptr<RoundResult> result) {
    const auto found = index_.find(result->meter);
    if (found == index_.end()) {
        ++dropped_;
        return true;
    }
    result->meter_index = found->second;
    return stage_->submit(std::move(result));
}

}  // namespace kavren::host
