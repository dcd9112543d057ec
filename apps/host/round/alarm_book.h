#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kavren::host {

// The state of one device's alarms by key: a report that differs from the last state raises or
// clears the alarm.
class AlarmBook {
  public:
    enum class Change { none, raised, cleared };
    struct Alarm {
        std::string description;
        std::string since;     // the raising round's local time, for people
        int64_t since_ms = 0;  // its instant; 0 when not known
    };

    Change report(const std::string& key, bool active, const std::string& description,
                  const std::string& time, int64_t time_ms = 0);
    // Alarms known to be active already (restored from the history).
    void restore(std::map<std::string, Alarm> active) { active_ = std::move(active); }
    const std::map<std::string, Alarm>& active() const { return active_; }

  private:
    std::map<std::string, Alarm> active_;
};

}  // namespace kavren::host
