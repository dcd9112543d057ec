#include "tests/apps/page_history.h"

#include <cmath>
#include <cstring>

#include "apps/host/history/history_store.h"
#include "apps/host/history/rollups.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"
#include "tests/apps/synthetic_record.h"

namespace testing_support {

namespace {

using kavren::host::kDayMs;
using kavren::host::kHourMs;
using kavren::host::kMinuteMs;
using kavren::host::kRolledQuantities;
using kavren::host::kRolledQuantityCount;

constexpr int64_t kRoundMs = kMinuteMs;

// Values that move with the hour of the day, line voltages √3 times the phase ones, a
// zero-sequence current of a few per cent of the phase currents.
std::vector<uint8_t> daily_record(int64_t t_ms, int64_t k) {
    std::vector<uint8_t> record = synthetic_record(t_ms, k);
    const double day = std::sin(2 * M_PI * static_cast<double>(t_ms % kDayMs) / kDayMs);
    for (std::size_t q = 0; q < kRolledQuantityCount; ++q) {
        float v;
        std::memcpy(&v, record.data() + kRolledQuantities[q].offset, sizeof v);
        const double swing = q < 8 ? 0.02 : q < 13 ? 0.4 : q == 13 ? 0.002 : 0.03;
        const bool zero = std::strcmp(kRolledQuantities[q].name, "ZeroCurrent") == 0;
        const double scale = q >= 4 && q < 8 ? std::sqrt(3.0) : zero ? 0.016 : 1.0;
        v = static_cast<float>(v * scale * (1 + swing * day));
        std::memcpy(record.data() + kRolledQuantities[q].offset, &v, sizeof v);
    }
    return record;
}

}  // namespace

PageHistory write_page_history(const std::string& db, const std::string& meter, int days,
                               int purged_hours) {
    using namespace kavren::host;
    const int64_t newest = (system_now_ms() - kMinuteMs) / kRoundMs * kRoundMs;
    PageHistory h{newest - days * kDayMs, newest - 30 * kHourMs, newest - 27 * kHourMs,
                  newest - 12 * kHourMs,  newest - 10 * kHourMs, newest - days * kDayMs};
    h.raw_from += purged_hours * kHourMs;
    HistoryStore store(db);
    store.prepare();
    RollupWriter rollups(store.handle());
    store.begin();
    const std::string alarm = "A 相电压小于2.20000005";
    for (int64_t t = h.oldest, k = 0; t <= newest; t += kRoundMs, ++k) {
        if (t >= h.outage_from && t < h.outage_to) continue;
        if (t >= h.failed_from && t < h.failed_to) {
            store.save_failed_round(meter, t, "timeout");
            rollups.add_failed(meter, t);
            continue;
        }
        const bool raise = (t - h.oldest) % (18 * kHourMs) == 6 * kHourMs;
        const bool clear = (t - h.oldest) % (18 * kHourMs) == 8 * kHourMs;
        if (raise || clear) store.save_alarm(meter, "0 KAVREN_M7", raise, alarm, "", t);
        const auto record = daily_record(t, k);
        store.save_record(meter, 0, "", record.data(), record.size(), "round", t);
        rollups.add_record(meter, t, record.data(), record.size(), raise ? 1 : 0);
    }
    rollups.write();
    const std::string before =
        " WHERE device = '" + meter + "' AND t_ms < " + std::to_string(h.raw_from);
    if (purged_hours > 0)
        sqlite_exec(store.handle(),
                    ("DELETE FROM records" + before + "; DELETE FROM failed_rounds" + before +
                     "; INSERT INTO purged_before (device, tier, t_ms) " + "VALUES ('" + meter +
                     "', 'raw', " + std::to_string(h.raw_from) + ")")
                        .c_str());
    store.commit();
    return h;
}

}  // namespace testing_support
