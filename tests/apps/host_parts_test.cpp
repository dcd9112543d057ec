// The reference host's and the simulator's parts on their own.
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "apps/common/cli_values.h"
#include "apps/host/alarm_book.h"
#include "apps/host/history_store.h"
#include "apps/host/host_config.h"
#include "apps/host/poll_schedule.h"
#include "apps/sim/fault_plan.h"
#include "apps/sim/meter_model.h"

namespace {

using namespace kavren;
using std::chrono::seconds;

std::string temp_path(const std::string& name) {
    return testing::TempDir() + "/kavren_" + std::to_string(getpid()) + "_" + name;
}

TEST(OfflineRetry, DoublesPerAttemptAndSaturatesAtTheMaximum) {
    const auto interval = std::chrono::duration_cast<host::Clock::duration>(seconds(5));
    const auto max = std::chrono::duration_cast<host::Clock::duration>(seconds(60));
    EXPECT_EQ(host::offline_retry_delay(0, interval, max), interval);
    EXPECT_EQ(host::offline_retry_delay(1, interval, max), 2 * interval);
    EXPECT_EQ(host::offline_retry_delay(3, interval, max), 8 * interval);
    EXPECT_EQ(host::offline_retry_delay(4, interval, max), max);
    EXPECT_EQ(host::offline_retry_delay(UINT32_MAX, interval, max), max);  // no overflow
    // An interval longer than the maximum is never shortened.
    EXPECT_EQ(host::offline_retry_delay(2, 2 * max, max), 2 * max);
}

TEST(OfflineRetry, OfflineOnceAndBackOnlineOnce) {
    host::MeterHealth health;
    const auto t0 = host::Clock::now();
    const auto interval = std::chrono::duration_cast<host::Clock::duration>(seconds(1));
    const auto max = std::chrono::duration_cast<host::Clock::duration>(seconds(30));
    EXPECT_EQ(host::record_failure(health, t0, 3, interval, max), host::HealthChange::none);
    EXPECT_EQ(host::record_failure(health, t0, 3, interval, max), host::HealthChange::none);
    EXPECT_TRUE(host::attempt_due(health, t0));
    EXPECT_EQ(host::record_failure(health, t0, 3, interval, max), host::HealthChange::went_offline);
    EXPECT_FALSE(host::attempt_due(health, t0));
    EXPECT_TRUE(host::attempt_due(health, t0 + interval));
    EXPECT_EQ(host::record_failure(health, t0 + interval, 3, interval, max),
              host::HealthChange::none);
    EXPECT_FALSE(host::attempt_due(health, t0 + 2 * interval));
    EXPECT_TRUE(host::attempt_due(health, t0 + 3 * interval));
    EXPECT_EQ(host::record_success(health), host::HealthChange::back_online);
    EXPECT_EQ(host::record_success(health), host::HealthChange::none);
    EXPECT_TRUE(host::attempt_due(health, t0));

    health.failures_in_a_row = UINT32_MAX;  // the counter saturates instead of wrapping to 0
    host::record_failure(health, t0, 3, interval, max);
    EXPECT_EQ(health.failures_in_a_row, UINT32_MAX);
}

TEST(AlarmBook, TransitionsRaiseAndClear) {
    host::AlarmBook book;
    using C = host::AlarmBook::Change;
    EXPECT_EQ(book.report("0 KAVREN_M7", false, "d", "t0"), C::none);
    EXPECT_EQ(book.report("0 KAVREN_M7", true, "d", "t1"), C::raised);
    EXPECT_EQ(book.report("0 KAVREN_M7", true, "d2", "t2"), C::none);
    EXPECT_EQ(book.active().at("0 KAVREN_M7").since, "t1");
    EXPECT_EQ(book.active().at("0 KAVREN_M7").description, "d2");
    EXPECT_EQ(book.report("0 KAVREN_M7", false, "d", "t3"), C::cleared);
    EXPECT_TRUE(book.active().empty());
}

TEST(HistoryStore, KeepsRecordsAndAlarmsAcrossReopening) {
    const std::string path = temp_path("history.db");
    unlink(path.c_str());
    {
        host::HistoryStore store(path);
        const uint8_t a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
        store.save_record("m", 7, "2026-12-08 10:00:00", a, 3, "round");
        store.save_record("m", 7, "2026-12-08 10:00:05", b, 3, "restore");
        store.save_record("other", 8, "2026-12-08 10:00:06", a, 3, "round");
        store.save_alarm("m", "2 KAVREN_M7", true, "A 相电流小于0.04", "2026-12-08 10:00:00");
        store.save_alarm("m", "3 KAVREN_M7", true, "x", "2026-12-08 10:00:00");
        store.save_alarm("m", "3 KAVREN_M7", false, "x", "2026-12-08 10:00:05");
    }
    host::HistoryStore store(path);
    EXPECT_EQ(store.record_count("m"), 2);
    EXPECT_EQ(*store.newest_record("m"), (std::vector<uint8_t>{4, 5, 6}));
    EXPECT_FALSE(store.newest_record("nobody").has_value());
    const auto active = store.active_alarms("m");
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active.at("2 KAVREN_M7").description, "A 相电流小于0.04");
    unlink(path.c_str());
}

TEST(HistoryStore, AFileThatIsNoDatabaseIsRefusedAndLeftAsItWas) {
    const std::string path = temp_path("not-a-db.txt");
    const std::string content(4096, 'x');
    std::ofstream(path) << content;
    EXPECT_THROW(host::HistoryStore store(path), std::runtime_error);
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
    unlink(path.c_str());
}

TEST(HostConfig, ReadsLinksMetersAndSettingsFiles) {
    const std::string settings = temp_path("settings.json");
    const std::string config = temp_path("host.json");
    std::ofstream(settings) << R"({"appSetting": {"b_mode": "3"}})";
    std::ofstream(config) << R"({"interval": 2, "links": [
        {"rtu": "/dev/ttyUSB0", "parity": "even", "pause_ms": 20,
         "meters": [{"name": "a", "unit": 3, "data_id": 9, "settings": ")"
                          << settings.substr(settings.rfind('/') + 1) << R"("}, {"unit": 4}]},
        {"tcp": "[::1]:1502", "meters": [{"name": "c", "settings": {"appSetting": {}}}]}]})";
    const host::HostConfig c = host::read_host_config(config);
    EXPECT_EQ(c.interval_s, 2.0);
    ASSERT_EQ(c.links.size(), 2u);
    EXPECT_EQ(c.links[0].parity, 'E');
    EXPECT_EQ(c.links[0].pause_ms, 20);
    EXPECT_EQ(c.links[0].meters[0].data_id, 9u);
    EXPECT_EQ(c.links[0].meters[0].settings["appSetting"]["b_mode"].asString(), "3");
    EXPECT_EQ(c.links[0].meters[1].name, "meter-2");
    EXPECT_EQ(c.links[1].tcp.host, "::1");
    EXPECT_EQ(c.links[1].tcp.port, "1502");
    EXPECT_NO_THROW(host::validate_values(c));
    unlink(settings.c_str());
    unlink(config.c_str());
}

TEST(HostConfig, TheExampleFileIsValid) {
    const host::HostConfig c = host::read_host_config(KAVREN_SOURCE_DIR "/docs/example-host.json");
    EXPECT_NO_THROW(host::validate_values(c));
    // Its serial adapter is not on this machine: that alone is refused.
    try {
        host::validate(c);
        ADD_FAILURE() << "a missing serial adapter was accepted";
    } catch (const host::ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("A50285BI-if00-port0, which does not exist"),
                  std::string::npos)
            << e.what();
    }
    ASSERT_EQ(c.links.size(), 2u);
    EXPECT_EQ(c.links[0].meters[0].settings["appSetting"]["b_mode"].asString(), "3");
    EXPECT_TRUE(c.links[0].meters[0].settings["thresholdSetting"].isObject());
}

TEST(HostConfig, BadFilesAreRefusedWithTheirName) {
    const std::string config = temp_path("bad.json");
    const char* bad[] = {
        R"({"links": []})",
        R"({"links": [{"rtu": "/dev/x", "tcp": "1:2", "meters": [{}]}]})",
        R"({"links": [{"tcp": "host:99999", "meters": [{}]}]})",
        R"([1])",
        "{not json",
        R"({"links": [{"rtu": "/dev/x", "meters": [{"settings": "/nonexistent/s.json"}]}]})"};
    for (const char* text : bad) {
        std::ofstream(config) << text;
        try {
            host::read_host_config(config);
            ADD_FAILURE() << "accepted " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(".json"), std::string::npos) << e.what();
        }
    }
    unlink(config.c_str());
    EXPECT_THROW(host::read_host_config(temp_path("missing.json")), std::runtime_error);
}

TEST(CommandLineValues, AddressesAndParity) {
    EXPECT_EQ(app::parse_tcp_address("1502").host, "127.0.0.1");
    EXPECT_EQ(app::parse_tcp_address("meter.local:502").host, "meter.local");
    for (const char* bad :
         {"", "host:", "host:0", "host:65536", "::1:502", "[::1]502", "host:12a"}) {
        EXPECT_THROW(app::parse_tcp_address(bad), std::invalid_argument) << bad;
    }
    EXPECT_EQ(app::parse_parity("none"), 'N');
    EXPECT_EQ(app::parse_parity("O"), 'O');
    EXPECT_THROW(app::parse_parity("mark"), std::invalid_argument);
    EXPECT_DOUBLE_EQ(app::characters_per_second(9600, 'N', 8, 1), 960.0);
    EXPECT_DOUBLE_EQ(app::characters_per_second(9600, 'E', 8, 1), 9600.0 / 11);
}

TEST(SimulatorFaults, PlannedAndSeededFaults) {
    sim::FaultPlan plan;
    plan.add_at("3:drop");
    plan.add_at("4:short");
    EXPECT_EQ(plan.fault_for(1), sim::Fault::none);
    EXPECT_EQ(plan.fault_for(3), sim::Fault::drop);
    EXPECT_EQ(plan.fault_for(4), sim::Fault::short_reply);
    for (const char* bad : {"drop", "0:drop", "x:drop", "3:melt", "3"})
        EXPECT_THROW(plan.add_at(bad), std::invalid_argument) << bad;

    sim::FaultPlan a, b;
    a.set_random(0.5, {sim::Fault::drop, sim::Fault::crc}, 42);
    b.set_random(0.5, {sim::Fault::drop, sim::Fault::crc}, 42);
    int faults = 0;
    for (uint64_t n = 1; n <= 1000; ++n) {
        const auto fault = a.fault_for(n);
        EXPECT_EQ(fault, b.fault_for(n));
        faults += fault != sim::Fault::none;
    }
    EXPECT_GT(faults, 400);
    EXPECT_LT(faults, 600);
}

TEST(SimulatedMeter, ServesTheSevenBlocksAndAlarmsFollowTheModel) {
    EXPECT_TRUE(sim::served_range(0, 6));
    EXPECT_TRUE(sim::served_range(8448, 16));
    EXPECT_TRUE(sim::served_range(4100, 3));
    EXPECT_FALSE(sim::served_range(0, 7));
    EXPECT_FALSE(sim::served_range(263, 9));
    EXPECT_FALSE(sim::served_range(8464, 1));

    sim::MeterModel meter(1, 2);
    std::vector<uint16_t> r;
    meter.fill(r);
    EXPECT_EQ(r[1], 2);
    EXPECT_NEAR(r[4096] / 100.0, meter.phase_voltage[0], 0.006);
    EXPECT_NEAR(r[4125] / 100.0, 50.0, 0.05);
    meter.current[0] = 3.0;          // below the 4.00 A limit 2
    meter.phase_voltage[0] = 200.0;  // below the 207.00 V limit 0
    EXPECT_EQ(meter.alarm_bits(), 0x0005);
    meter.fill(r);
    EXPECT_EQ(r[262], 0x0005);
    meter.pin({{262, 0x0020}, {4096, 1}});
    meter.fill(r);
    EXPECT_EQ(r[262], 0x0020);
    EXPECT_EQ(r[4096], 1);
}

}  // namespace
