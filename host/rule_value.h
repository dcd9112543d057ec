#pragma once

#include <string>

// One check that the host's alarm handling queued during a round, evaluated in one batch at
// round end. The plug-in only passes these on and empties the queue.
struct rule_value {
    std::string signal_name;  // signal the rule watches
    std::string expression;   // the rule, in the host's rule syntax
    std::string alarm_id;     // alarm identification raised by the rule
    std::string description;  // text shown with the alarm
};
