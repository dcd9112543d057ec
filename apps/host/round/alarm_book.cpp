#include "apps/host/round/alarm_book.h"

namespace kavren::host {

AlarmBook::Change AlarmBook::report(const std::string& key, bool active,
                                    const std::string& description, const std::string& time,
                                    int64_t time_ms) {
    const auto known = active_.find(key);
    if (active && known == active_.end()) {
        active_.emplace(key, Alarm{description, time, time_ms});
        return Change::raised;
    }
    if (!active && known != active_.end()) {
        active_.erase(known);
        return Change::cleared;
    }
    if (active) known->second.description = description;  // the limit may have been changed
    return Change::none;
}

}  // namespace kavren::host
