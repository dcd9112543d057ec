// The reference host's and the simulator's parts on their own.
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "apps/common/cli_values.h"
#include "apps/host/config/config_changes.h"
#include "apps/host/config/field_table.h"
#include "apps/host/config/field_values.h"
#include "apps/host/config/host_config.h"
#include "apps/host/history/commit_stage.h"
#include "apps/host/history/history_store.h"
#include "apps/host/poll/poll_schedule.h"
#include "apps/host/poll/service_watchdog.h"
#include "apps/host/round/alarm_book.h"
#include "apps/sim/fault_plan.h"
#include "apps/sim/meter_model.h"
#include "tests/apps/eventually.h"
#include "tests/apps/scratch_folder.h"

namespace {

using namespace kavren;
using std::chrono::seconds;

using testing_support::Collecting;
using testing_support::temp_path;
testing::Environment* const scratch_folder =
    testing::AddGlobalTestEnvironment(new testing_support::ScratchFolder("kavren_host_parts"));

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
        store.prepare();
        const uint8_t a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
        store.save_record("m", 7, "2026-12-08 10:00:00", a, 3, "round", 1796720400000);
        store.save_record("m", 7, "2026-12-08 10:00:05", b, 3, "restore", 1796720405000);
        store.save_record("other", 8, "2026-12-08 10:00:06", a, 3, "round", 1796720406000);
        store.save_alarm("m", "2 KAVREN_M7", true, "A 相电流小于0.04", "2026-12-08 10:00:00",
                         1796720400000);
        store.save_alarm("m", "3 KAVREN_M7", true, "x", "2026-12-08 10:00:00", 1796720400000);
        store.save_alarm("m", "3 KAVREN_M7", false, "x", "2026-12-08 10:00:05", 1796720405000);
    }
    host::HistoryStore store(path);
    store.prepare();
    EXPECT_EQ(store.record_count("m"), 2);
    EXPECT_EQ(store.newest_record("m")->bytes, (std::vector<uint8_t>{4, 5, 6}));
    EXPECT_EQ(store.newest_record("m")->data_id, 7u);
    EXPECT_FALSE(store.newest_record("nobody").has_value());
    const auto active = store.active_alarms("m");
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active.at("2 KAVREN_M7").description, "A 相电流小于0.04");
    unlink(path.c_str());
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HistoryStore, AFileThatIsNoDatabaseIsRefusedAndLeftAsItWas) {
    const std::string path = temp_path("not-a-db.txt");
    const std::string content(4096, 'x');
    std::ofstream(path) << content;
    EXPECT_THROW(host::HistoryStore store(path), std::runtime_error);
    EXPECT_EQ(file_bytes(path), content);
    unlink(path.c_str());
}

// A database that is not ours, or not ours to write, is refused before anything in it changes:
// no WAL switch, no tables made.
TEST(HistoryStore, AForeignOrReadOnlyDatabaseIsRefusedUntouched) {
    const std::string foreign = temp_path("foreign.db");
    unlink(foreign.c_str());
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE records (id INTEGER PRIMARY KEY, what TEXT)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::string before = file_bytes(foreign);
    try {
        host::HistoryStore store(foreign);
        ADD_FAILURE() << "a foreign records table was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("not ours"), std::string::npos) << e.what();
    }
    EXPECT_EQ(file_bytes(foreign), before);
    EXPECT_NE(access((foreign + "-wal").c_str(), F_OK), 0);

    // Ours, but read-only (root may write anything: made read-only by the open flags instead).
    const std::string ours = temp_path("read-only.db");
    unlink(ours.c_str());
    {
        host::HistoryStore store(ours);
        store.prepare();
    }
    chmod(ours.c_str(), 0444);
    if (access(ours.c_str(), W_OK) != 0) {
        EXPECT_THROW(host::HistoryStore store(ours), std::runtime_error);
    }
    chmod(ours.c_str(), 0644);

    // A new history is only made by prepare().
    const std::string fresh = temp_path("fresh.db");
    unlink(fresh.c_str());
    {
        host::HistoryStore store(fresh);
        EXPECT_NE(access(fresh.c_str(), F_OK), 0);
    }
    EXPECT_THROW(host::HistoryStore store(temp_path("no-such-folder/h.db")), std::runtime_error);
    EXPECT_THROW(host::HistoryStore store(""), std::runtime_error);
    unlink(foreign.c_str());
    unlink(ours.c_str());
    unlink((ours + "-wal").c_str());
    unlink((ours + "-shm").c_str());
}

TEST(HostConfig, ReadsLinksMetersAndSettingsFiles) {
    const std::string settings = temp_path("settings.json");
    const std::string config = temp_path("host.json");
    std::ofstream(settings) << R"({"appSetting": {"b_mode": "3"}})";
    std::ofstream(config) << R"({"interval": 2, "commit_interval": 30, "links": [
        {"rtu": "/dev/ttyUSB0", "parity": "even", "pause_ms": 20,
         "meters": [{"name": "a", "unit": 3, "data_id": 9, "settings": ")"
                          << settings.substr(settings.rfind('/') + 1) << R"("}, {"unit": 4}]},
        {"tcp": "[::1]:1502", "meters": [{"name": "c", "settings": {"appSetting": {}}}]},
        {"rtu_over_tcp": "gateway.lan:4001", "meters": [{"name": "d", "unit": 7}]}]})";
    const host::HostConfig c = host::read_host_config(config);
    EXPECT_EQ(c.interval_s, 2.0);
    EXPECT_EQ(c.commit_interval_s, 30.0);
    ASSERT_EQ(c.links.size(), 3u);
    EXPECT_EQ(c.links[0].parity, 'E');
    EXPECT_EQ(c.links[0].pause_ms, 20);
    EXPECT_EQ(c.links[0].meters[0].data_id, 9u);
    EXPECT_EQ(c.links[0].meters[0].settings["appSetting"]["b_mode"].asString(), "3");
    EXPECT_EQ(c.links[0].meters[1].name, "meter-2");
    EXPECT_EQ(c.links[1].tcp.host, "::1");
    EXPECT_EQ(c.links[1].tcp.port, "1502");
    EXPECT_EQ(c.links[2].kind, host::LinkConfig::Kind::rtu_over_tcp);
    EXPECT_EQ(c.links[2].describe(), "gateway.lan:4001");
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
        R"({"links": [{"tcp": "h:1", "rtu_over_tcp": "h:2", "meters": [{}]}]})",
        R"({"links": [{"rtu_over_tcp": "h:0", "meters": [{}]}]})",
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

// The structs a field's section stands for, in the order of host::Section.
struct FieldOwners {
    host::HostConfig top;
    host::LinkConfig link;
    host::MeterConfig meter;
    host::GatewayConfig gateway;

    void* of(host::Section section) {
        void* owners[] = {&top, &link, &meter, &gateway, &top.http, &top.mqtt, &top.retention};
        return owners[static_cast<int>(section)];
    }
};

// A default is a value the field's own reading and checks take, and its text reads back as
// itself: a default moved out of its range, or shown as a text the reader refuses, fails here.
// Defaults that stand for "not set" (the driver's speed, the interval as the gateway's age) say
// so in words instead.
TEST(ConfigFields, EveryDefaultPassesItsOwnChecksAndReadsBackAsItself) {
    FieldOwners defaults, read;
    int tried = 0;
    for (const host::Field& f : host::config_fields()) {
        if (f.at == nullptr || f.default_note != nullptr || f.kind == host::Kind::flag ||
            f.kind == host::Kind::off_flag || f.kind == host::Kind::names)
            continue;
        const std::string text = host::value_text(f, defaults.of(f.section));
        if (text.empty()) continue;  // an optional text, not given
        SCOPED_TRACE(f.option_or_key() + std::string(" = ") + text);
        try {
            const host::FieldValue value = host::value_from_text(f, text, host::Place());
            host::check_value(f, value, host::Place());
            host::store_value(f, value, read.of(f.section));
        } catch (const host::ConfigError& e) {
            ADD_FAILURE() << e.what();
        }
        EXPECT_EQ(host::value_text(f, read.of(f.section)), text);
        ++tried;
    }
    EXPECT_GT(tried, 20);
}

// Each key is named once in its object of the file, each option once on the command line.
TEST(ConfigFields, KeysAndOptionsAreNamedOnce) {
    std::set<std::string> keys, options;
    for (const host::Field& f : host::config_fields()) {
        if (f.key != nullptr) {
            EXPECT_TRUE(keys.insert(host::field_path(f)).second) << host::field_path(f);
        }
        if (f.option != nullptr) {
            EXPECT_TRUE(options.insert(f.option).second) << f.option;
        }
        EXPECT_TRUE(f.key != nullptr || f.option != nullptr);
    }
}

host::HostConfig config_of(const std::string& text) {
    Json::Value root;
    std::istringstream in(text);
    Json::CharReaderBuilder reader;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(reader, in, &root, &errors)) << errors;
    return host::host_config_from_json(root, "/etc/kavren/host.json");
}

std::vector<std::string> names_of(const std::vector<const host::Field*>& fields) {
    std::vector<std::string> names;
    for (const host::Field* f : fields) names.push_back(host::field_path(*f));
    return names;
}

using Names = std::vector<std::string>;

// Two links and three meters, then: a meter added to one link and removed from the other, one
// meter's data id and another's settings changed, the MQTT prefix, the retention, the history
// file and the plug-in changed, one link's pause, another's gateway.
TEST(ConfigChanges, LinksMetersSinksAndWhatAReloadCannotChange) {
    const std::string before = R"({"links": [
        {"tcp": "10.0.0.1:502", "meters": [{"name": "a"}, {"name": "b", "unit": 2}]},
        {"rtu": "/dev/ttyUSB0", "meters": [{"name": "c", "settings": {"appSetting": {}}},
                                           {"name": "d", "unit": 2}]}],
        "mqtt": {"url": "mqtt://broker", "prefix": "kavren"}})";
    const host::HostConfig a = config_of(before);
    EXPECT_TRUE(host::compare_configs(a, a).empty());
    EXPECT_TRUE(host::compare_configs(a, config_of(before)).empty());

    const host::ConfigChanges changes = host::compare_configs(a, config_of(R"({
        "database": "other.db", "plugin": "other.so", "retention": {"raw": "10d"},
        "links": [
        {"tcp": "10.0.0.1:502", "gateway": {"listen": "1502"},
         "meters": [{"name": "a", "data_id": 7}, {"name": "b", "unit": 2}, {"name": "e", "unit": 3}]},
        {"rtu": "/dev/ttyUSB0", "pause_ms": 20,
         "meters": [{"name": "c", "settings": {"appSetting": {"b_mode": "1"}}}]}],
        "mqtt": {"url": "mqtt://broker", "prefix": "site"}})"));
    EXPECT_EQ(changes.meters_added, Names{"e"});
    EXPECT_EQ(changes.meters_removed, Names{"d"});
    EXPECT_EQ(changes.meters_changed, (Names{"a", "c"}));
    EXPECT_EQ(changes.links_reopened, Names{"/dev/ttyUSB0"});
    EXPECT_EQ(changes.gateways_changed, Names{"10.0.0.1:502"});
    EXPECT_TRUE(changes.links_added.empty() && changes.links_removed.empty());
    EXPECT_EQ(names_of(changes.fields_changed),
              (Names{"database", "plugin", "retention.raw", "mqtt.prefix"}));
    EXPECT_EQ(names_of(changes.fixed_until_restart()), (Names{"database", "plugin"}));
    EXPECT_TRUE(changes.changed(host::Section::mqtt));
    EXPECT_FALSE(changes.changed(host::Section::http));
}

// A link is its line: another address, or the same address spoken another way, is another link,
// and a meter that moves to it is a changed meter.
TEST(ConfigChanges, ALinkIsItsLineAndAMeterThatMovesChanges) {
    const host::HostConfig a = config_of(
        R"({"links": [{"tcp": "10.0.0.1:502", "meters": [{"name": "a"}]},
                      {"tcp": "10.0.0.2:502", "meters": [{"name": "b"}]}]})");
    const host::ConfigChanges changes = host::compare_configs(
        a, config_of(R"({"links": [{"rtu_over_tcp": "10.0.0.1:502", "meters": [{"name": "a"}]},
                                   {"tcp": "10.0.0.2:502", "meters": [{"name": "b"}]}]})"));
    EXPECT_EQ(changes.links_added, Names{"10.0.0.1:502"});
    EXPECT_EQ(changes.links_removed, Names{"10.0.0.1:502"});
    EXPECT_EQ(changes.meters_changed, Names{"a"});
    EXPECT_TRUE(changes.meters_added.empty() && changes.meters_removed.empty());
    EXPECT_TRUE(changes.links_reopened.empty());

    // The gateway taken away is a change of the gateway only.
    const host::HostConfig with_gateway = config_of(
        R"({"links": [{"tcp": "10.0.0.1:502", "gateway": {"listen": "1502"},
                       "meters": [{"name": "a"}]}]})");
    const host::ConfigChanges without = host::compare_configs(
        with_gateway,
        config_of(R"({"links": [{"tcp": "10.0.0.1:502", "meters": [{"name": "a"}]}]})"));
    EXPECT_EQ(without.gateways_changed, Names{"10.0.0.1:502"});
    EXPECT_TRUE(without.links_reopened.empty() && without.meters_changed.empty());
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
    meter.pin({{262, 0x0020}, {4096, 1}, {1000, 7}, {1001, 8}});
    meter.fill(r);
    EXPECT_EQ(r[262], 0x0020);
    EXPECT_EQ(r[4096], 1);
    // Pinned registers outside the blocks are served too, but only where every one is pinned.
    EXPECT_TRUE(meter.serves(1000, 2));
    EXPECT_EQ(r[1001], 8);
    EXPECT_FALSE(meter.serves(1000, 3));
    EXPECT_FALSE(meter.serves(999, 2));
    EXPECT_TRUE(meter.serves(4100, 3));
}

}  // namespace

namespace {

using testing_support::eventually;

void sql(const std::string& path, const char* statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

int64_t sql_count(const std::string& path, const char* query) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    int64_t n = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, query, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
}

std::shared_ptr<host::RoundResult> round_raising(const char* key) {
    auto r = std::make_shared<host::RoundResult>();
    r->meter = "m";
    r->outcome.complete = true;
    r->record.assign(259, 0);
    r->limit_reports.push_back(
        LimitReport{2, key, "16012", "A 相电压小于1", "A 相电压小于1", true, 1});
    return r;
}

// A round whose rows cannot be stored is shown live at once, with its alarm, but reaches no
// committed sink; it waits as it was judged, and once the history takes it, its record and its
// alarm event are stored once each and it is handed on committed.
TEST(CommitStage, ARoundWhoseRowsAreRefusedWaitsAsJudgedUntilStored) {
    const std::string path = temp_path("sink.db");
    unlink(path.c_str());
    host::HistoryStore store(path);
    store.prepare();
    sql(path, "CREATE TRIGGER refuse BEFORE INSERT ON alarms BEGIN SELECT RAISE(ABORT, 'no'); END");
    std::vector<std::string> logged;
    std::mutex log_lock;
    host::CommitStage sink(store, {"m"}, 16, [&](const std::string& line) {
        std::lock_guard<std::mutex> hold(log_lock);
        logged.push_back(line);
    });
    Collecting printed;
    sink.add_sink(&printed);
    sink.start();
    ASSERT_TRUE(sink.submit(round_raising("0 KAVREN_M7")));
    ASSERT_TRUE(eventually([&] { return sink.write_failed(); }));
    EXPECT_EQ(printed.live_count(), 1u);
    EXPECT_EQ(printed.count(), 0u);
    EXPECT_EQ(store.record_count("m"), 0);  // the record went back with the alarm

    sql(path, "DROP TRIGGER refuse");
    ASSERT_TRUE(eventually([&] { return printed.count() == 1; }));
    sink.finish(std::chrono::steady_clock::now() + std::chrono::seconds(2));
    EXPECT_EQ(sink.active_alarms(0).count("0 KAVREN_M7"), 1u);
    EXPECT_EQ(printed.live.size(), 1u);
    EXPECT_EQ(printed.rounds[0], printed.live[0]);
    EXPECT_EQ(printed.rounds[0]->alarm_changes.size(), 1u);
    EXPECT_GT(printed.rounds[0]->history_id, 0);
    EXPECT_EQ(store.records_stored(), 1);
    EXPECT_EQ(sql_count(path, "SELECT count(*) FROM alarms"), 1);
    EXPECT_EQ(sink.rounds_lost(), 0u);
    std::lock_guard<std::mutex> hold(log_lock);
    ASSERT_GE(logged.size(), 2u);
    EXPECT_NE(logged[0].find("cannot store rounds"), std::string::npos) << logged[0];
    unlink(path.c_str());
}

}  // namespace

namespace {

// The watchdog is fed only while every link keeps marking progress within its budget.
TEST(ServiceWatchdog, ALinkWithoutProgressPastItsBudgetCountsAsStuck) {
    using Clock = host::LinkProgress::Clock;
    host::LinkProgress progress({std::chrono::seconds(2), std::chrono::seconds(10)});
    const auto t0 = Clock::now();
    EXPECT_FALSE(progress.all_attempted());
    EXPECT_TRUE(progress.all_progressing(t0));  // nobody judged before a first attempt
    progress.mark(0, t0);
    EXPECT_FALSE(progress.all_attempted());
    progress.mark(1, t0);
    EXPECT_TRUE(progress.all_attempted());
    EXPECT_TRUE(progress.all_progressing(t0 + std::chrono::seconds(2)));
    // Link 0 stuck: past its 2 s budget, though link 1 is within its 10 s.
    EXPECT_FALSE(progress.all_progressing(t0 + std::chrono::seconds(3)));
    progress.mark(0, t0 + std::chrono::seconds(3));
    EXPECT_TRUE(progress.all_progressing(t0 + std::chrono::seconds(4)));
    EXPECT_FALSE(progress.all_progressing(t0 + std::chrono::seconds(11)));  // link 1 now
}

}  // namespace
