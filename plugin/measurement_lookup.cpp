// Single measurements by name, served from the record while it is fresh.
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "meter/measurements.h"
#include "plugin/kavren_m7.h"

namespace {

// A record older than this many whole seconds is no longer served.
constexpr long long kFreshSeconds = 60;

}  // namespace

float KAVREN_M7::Get_Value(unsigned int /*channel*/, const std::string& name) const {
    if (!data_ready_) throw std::out_of_range("数据未就绪");
    // Whole seconds since the last round; a clock set back gives a negative age, still fresh.
    const long long age = static_cast<long long>(
        (boost::posix_time::second_clock::local_time() - last_round_time_).total_seconds());
    if (age > kFreshSeconds) throw std::out_of_range("数据已超时");
    for (const kavren::Measurement& m : kavren::kMeasurements) {
        if (name == m.name) return kavren::float_at(&data_, m.offset);
    }
    throw std::out_of_range("不支持变量");
}
