#include "apps/sim/fault_plan.h"

#include <algorithm>
#include <stdexcept>

namespace kavren::sim {

namespace {
const std::pair<Fault, const char*> kNames[] = {
    {Fault::drop, "drop"},           {Fault::delay, "delay"},       {Fault::crc, "crc"},
    {Fault::exception, "exception"}, {Fault::short_reply, "short"}, {Fault::reset, "reset"},
};
}  // namespace

const char* fault_name(Fault fault) {
    for (const auto& n : kNames) {
        if (n.first == fault) return n.second;
    }
    return "none";
}

Fault parse_fault(const std::string& name) {
    for (const auto& n : kNames) {
        if (name == n.second) return n.first;
    }
    throw std::invalid_argument("unknown fault '" + name +
                                "' (drop, delay, crc, exception, short, reset)");
}

void FaultPlan::add_at(const std::string& spec) {
    const auto colon = spec.find(':');
    std::size_t used = 0;
    unsigned long long request = 0;
    try {
        request = std::stoull(spec.substr(0, colon), &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (colon == std::string::npos || used != colon || request == 0) {
        throw std::invalid_argument("bad fault '" + spec + "': use REQUEST:KIND, e.g. 5:drop");
    }
    at_[request] = parse_fault(spec.substr(colon + 1));
}

void FaultPlan::set_random(double rate, std::vector<Fault> kinds, uint64_t seed) {
    if (rate < 0.0 || rate > 1.0) throw std::invalid_argument("fault rate must be from 0 to 1");
    if (rate > 0.0 && kinds.empty())
        throw std::invalid_argument("random faults need at least one kind");
    rate_ = rate;
    random_kinds_ = std::move(kinds);
    random_.seed(seed);
}

Fault FaultPlan::fault_for(uint64_t request) {
    const auto planned = at_.find(request);
    if (planned != at_.end()) return planned->second;
    if (rate_ <= 0.0) return Fault::none;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(random_) >= rate_) return Fault::none;
    std::uniform_int_distribution<std::size_t> pick(0, random_kinds_.size() - 1);
    return random_kinds_[pick(random_)];
}

bool FaultPlan::uses(Fault fault) const {
    return std::any_of(at_.begin(), at_.end(), [&](const auto& p) { return p.second == fault; }) ||
           (rate_ > 0 &&
            std::find(random_kinds_.begin(), random_kinds_.end(), fault) != random_kinds_.end());
}

}  // namespace kavren::sim
