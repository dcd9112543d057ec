// The page in headless Chromium (Selenium, tests/apps/page_check.py) against kavren-host polling
// kavren-sim, over a history of three days of rounds with an outage and a stretch of failed rounds.
// KAVREN_PAGE_SCREENSHOTS=DIR also leaves the pictures of the README there (page.png,
// page-phone.png).
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "apps/host/history/history_store.h"
#include "apps/host/history/rollups.h"
#include "apps/host/support/sqlite_query.h"
#include "apps/host/support/utc_time.h"
#include "tests/apps/e2e_fixture.h"
#include "tests/apps/synthetic_record.h"

namespace {

using namespace testing_support;
using kavren::host::kDayMs;
using kavren::host::kHourMs;
using kavren::host::kMinuteMs;
using kavren::host::kRolledQuantities;
using kavren::host::kRolledQuantityCount;

constexpr int64_t kRoundMs = kMinuteMs;
constexpr int64_t kHistoryMs = 3 * kDayMs;  // 4320 rounds

struct History {
    int64_t oldest = 0;
    int64_t outage_from = 0, outage_to = 0;  // no rounds made
    int64_t failed_from = 0, failed_to = 0;  // every round failed
    int64_t raw_from = 0;                    // retention removed the rounds before
};

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

// Three days of rounds a minute apart up to a minute ago, stored as the host stores them (with
// their minutes and hours), and two alarm intervals; the rounds of the first 39 hours removed as
// the raw rows' retention would, their minutes and hours kept.
History write_history(const std::string& db) {
    using namespace kavren::host;
    const int64_t newest = (system_now_ms() - kMinuteMs) / kRoundMs * kRoundMs;
    History h{newest - kHistoryMs,   newest - 30 * kHourMs, newest - 27 * kHourMs,
              newest - 12 * kHourMs, newest - 10 * kHourMs, newest - kHistoryMs + 39 * kHourMs};
    HistoryStore store(db);
    store.prepare();
    RollupWriter rollups(store.handle());
    store.begin();
    const std::string alarm = "A 相电压小于2.20000005";
    for (int64_t t = h.oldest, k = 0; t <= newest; t += kRoundMs, ++k) {
        if (t >= h.outage_from && t < h.outage_to) continue;
        if (t >= h.failed_from && t < h.failed_to) {
            store.save_failed_round("meter-1", t, "timeout");
            rollups.add_failed("meter-1", t);
            continue;
        }
        const bool raise = (t - h.oldest) % (18 * kHourMs) == 6 * kHourMs;
        const bool clear = (t - h.oldest) % (18 * kHourMs) == 8 * kHourMs;
        if (raise || clear) store.save_alarm("meter-1", "0 KAVREN_M7", raise, alarm, "", t);
        const auto record = daily_record(t, k);
        store.save_record("meter-1", 0, "", record.data(), record.size(), "round", t);
        rollups.add_record("meter-1", t, record.data(), record.size(), raise ? 1 : 0);
    }
    rollups.write();
    const std::string before = " WHERE device = 'meter-1' AND t_ms < " + std::to_string(h.raw_from);
    sqlite_exec(store.handle(), ("DELETE FROM records" + before + "; DELETE FROM failed_rounds" +
                                 before + "; INSERT INTO purged_before (device, tier, t_ms) " +
                                 "VALUES ('meter-1', 'raw', " + std::to_string(h.raw_from) + ")")
                                    .c_str());
    store.commit();
    return h;
}

bool installed(const char* path) { return access(path, X_OK) == 0; }

class PageInBrowser : public EndToEnd {};

TEST_F(PageInBrowser, PlotsReadTheSeriesAppendNewRoundsAndFitADeskAndAPhone) {
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"})
        if (!installed(program)) GTEST_SKIP() << program << " is not installed";
    const History h = write_history(db);
    image.set(262, 0x0001);  // the first limit violated: an alarm active now
    // The meter now as the history has it: line voltages √3 times the phase ones, 5 A, PF 0.95.
    for (int k = 0; k < 4; ++k) image.set(4100 + k, static_cast<uint16_t>(39840 + 10 * k));
    for (int k = 0; k < 5; ++k) image.set(4104 + k, static_cast<uint16_t>(k < 4 ? 2500 + k : 40));
    for (int k = 0; k < 4; ++k) image.set(4121 + k, 950);
    write_file(registers, registers_json(image));
    int sim_port = 0;
    auto sim = tcp_sim(sim_port);
    const std::string port_file = dir + "/http-port";
    Background host(
        {kHost, "--tcp", "127.0.0.1:" + std::to_string(sim_port), "--interval", "0.5", "--db", db,
         "--quiet-plugin", "--http", "127.0.0.1:0", "--http-port-file", port_file},
        dir + "/host.log");
    const int port = port_from_file(port_file);
    ASSERT_GT(port, 0) << read_file(dir + "/host.log");

    std::vector<std::string> args{"/usr/bin/python3",
                                  std::string(KAVREN_SOURCE_DIR) + "/tests/apps/page_check.py",
                                  "http://127.0.0.1:" + std::to_string(port),
                                  "meter-1",
                                  "--oldest",
                                  std::to_string(h.oldest),
                                  "--raw-from",
                                  std::to_string(h.raw_from)};
    for (const auto& [from, to] :
         {std::pair{h.outage_from, h.outage_to}, {h.failed_from, h.failed_to}})
        args.insert(args.end(), {"--outage", std::to_string(from), std::to_string(to)});
    if (const char* shots = std::getenv("KAVREN_PAGE_SCREENSHOTS"))
        args.insert(args.end(), {"--screenshots", shots});
    const Finished check = run_program(args, 240);
    EXPECT_EQ(check.status, 0) << check.out << check.err << read_file(dir + "/host.log");
}

}  // namespace
