#pragma once

// Records as a meter would publish them, made up for the history's tests and benchmarks.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/conversion.hpp>

#include "apps/host/history/rollups.h"
#include "host/ttime.h"
#include "meter/kavren_m7_data.h"

namespace testing_support {

// Round k at t_ms: the rolled-up quantities near a meter's values (230 V, 5 A, 50 Hz, a power
// factor of 0.95), varying with k, and the record stamped with the local time of t_ms.
inline std::vector<uint8_t> synthetic_record(int64_t t_ms, int64_t k) {
    using kavren::host::kRolledQuantities;
    std::vector<uint8_t> record(sizeof(KAVREN_M7_Data_t), 0);
    for (std::size_t q = 0; q < kavren::host::kRolledQuantityCount; ++q) {
        const float base = q < 8 ? 230.0f : q < 13 ? 5.0f : q == 13 ? 50.0f : 0.95f;
        const float v = base * (1.0f + 0.001f * static_cast<float>((k * 7 + q * 3) % 17));
        std::memcpy(record.data() + kRolledQuantities[q].offset, &v, sizeof v);
    }
    using boost::posix_time::ptime;
    const TTime stamp = get_ttime(boost::date_time::c_local_adjustor<ptime>::utc_to_local(
        boost::posix_time::from_time_t(static_cast<time_t>(t_ms / 1000))));
    std::memcpy(record.data() + offsetof(KAVREN_M7_Data_t, update_time), &stamp, sizeof stamp);
    return record;
}

}  // namespace testing_support
