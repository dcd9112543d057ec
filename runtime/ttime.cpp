#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

TTime get_ttime(boost::posix_time::ptime local_time) {
    TTime packed{};
    if (local_time.is_special()) {
        return packed;
    }
    const boost::gregorian::date day = local_time.date();
    const boost::posix_time::time_duration clock = local_time.time_of_day();
    packed.year = static_cast<uint16_t>(day.year());
    packed.month = static_cast<uint8_t>(day.month().as_number());
    packed.day = static_cast<uint8_t>(day.day());
    packed.hour = static_cast<uint8_t>(clock.hours());
    packed.minute = static_cast<uint8_t>(clock.minutes());
    packed.second = static_cast<uint8_t>(clock.seconds());
    return packed;
}
