// kavren-host polling kavren-sim for real: over Modbus TCP on loopback and over RTU on a
// pseudo-terminal, with faults, restarts, alarms and bad input.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "meter/kavren_m7_data.h"
#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"

namespace {

using namespace testing_support;
std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Gives the meter's newest stored record a time of its own long past, as an older history holds.
void date_newest_record(const std::string& db, const std::string& device, uint8_t second) {
    std::vector<uint8_t> record = stored_records(db, device).back().record;
    ASSERT_EQ(record.size(), sizeof(KAVREN_M7_Data_t));
    const TTime t{2020, 1, 2, 3, 4, second};
    std::memcpy(record.data() + offsetof(KAVREN_M7_Data_t, update_time), &t, sizeof t);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    // The changed record becomes a base of its own, which the row then differs from in nothing.
    sqlite3_stmt* base = nullptr;
    sqlite3_prepare_v2(handle, "INSERT INTO record_bases (device, record) VALUES (?, ?)", -1, &base,
                       nullptr);
    sqlite3_bind_text(base, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(base, 2, record.data(), static_cast<int>(record.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(base), SQLITE_DONE) << sqlite3_errmsg(handle);
    sqlite3_finalize(base);
    const std::string same = kavren::host::compact_record(record, record.data(), record.size());
    const int64_t base_id = sqlite3_last_insert_rowid(handle);
    std::tm local{};  // the row's instant moves with its clock fields
    local.tm_year = 2020 - 1900;
    local.tm_mon = 0;
    local.tm_mday = 2;
    local.tm_hour = 3;
    local.tm_min = 4;
    local.tm_sec = second;
    local.tm_isdst = -1;
    // The row is in one of the two tables under the view of records.
    for (const char* table : {"records_ring", "records_by_meter"}) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(handle,
                           (std::string("UPDATE ") + table +
                            " SET base = ?, record = ?, t_ms = ? WHERE id = (SELECT max(id) FROM "
                            "records WHERE device = ?)")
                               .c_str(),
                           -1, &s, nullptr);
        sqlite3_bind_int64(s, 1, base_id);
        sqlite3_bind_blob(s, 2, same.data(), static_cast<int>(same.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 3, static_cast<int64_t>(std::mktime(&local)) * 1000);
        sqlite3_bind_text(s, 4, device.c_str(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(handle);
        sqlite3_finalize(s);
    }
    sqlite3_close(handle);
}

TEST_F(EndToEnd, TcpRoundsStoreExactlyWhatTheDecodingGivesForTheServedRegisters) {
    int port = 0;
    auto sim = tcp_sim(port);
    const Finished run = host({"--tcp", "127.0.0.1:" + std::to_string(port), "--data-id", "4242",
                               "--rounds", "3", "--interval", "0.1", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = json_lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    const auto expected = decoded(image);
    for (const auto& line : lines) {
        EXPECT_TRUE(line["complete"].asBool());
        EXPECT_EQ(static_cast<float>(line["values"]["UA"].asDouble()), 230.0f);
        EXPECT_EQ(static_cast<float>(line["values"]["IA"].asDouble()), 3.0f);
        EXPECT_EQ(static_cast<float>(line["record"]["values_8448"][0].asDouble()), 1677721.625f);
        EXPECT_EQ(line["record"]["meter_baud_rate"].asInt(), 19200);
        EXPECT_EQ(line["limit_reports"][0]["text"].asString(), "A 相电压小于2.20000005");
    }
    EXPECT_NE(run.err.find("history: " + db + " (3 records stored)"), std::string::npos) << run.err;
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.origin, "round");
        EXPECT_EQ(row.data_id, 4242);
        expect_same_measurements(row.record, expected);
        EXPECT_EQ(u32_at(row.record, 0), 4242u);
    }
}

TEST_F(EndToEnd, RtuOnAPacedPseudoTerminal) {
    auto sim = pty_sim({"--line-rate", "9600"});
    const Finished run = host({"--rtu", dir + "/meter", "--rounds", "2", "--interval", "0.1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("U  A 230.00  B 230.10  C 230.20"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("I  A 3.000  B 3.002"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("2 rounds complete, 0 failed"), std::string::npos) << run.out;
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), 2u);
    expect_same_measurements(rows[1].record, decoded(image));
}

// RTU frames on a TCP connection, as through a serial server in front of an RS485 line: several
// meters on the one connection, each round as over a serial line.
TEST_F(EndToEnd, RtuOverTcpPollsSeveralMetersBehindASerialServer) {
    int port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-2"}, "--rtu-over-tcp");
    const std::string config = dir + "/host.json";
    write_file(config, R"({"interval": 0.1, "links": [{"rtu_over_tcp": "127.0.0.1:)" +
                           std::to_string(port) + R"(", "timeout_ms": 300,
        "meters": [{"name": "a", "unit": 1}, {"name": "b", "unit": 2},
                   {"name": "gone", "unit": 3}]}]})");
    const Finished run =
        host({"--config", config, "--rounds", "2", "--json", "--offline-after", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, int> complete;
    for (const auto& line : json_lines(run.out)) {
        complete[line["meter"].asString()] += line["complete"].asBool();
        EXPECT_EQ(line["link"].asString(), "127.0.0.1:" + std::to_string(port));
        if (line["meter"].asString() == "gone") {
            EXPECT_EQ(line["failure"]["kind"].asString(), "timeout") << "nobody answers on a bus";
        }
    }
    EXPECT_EQ(complete, (std::map<std::string, int>{{"a", 2}, {"b", 2}, {"gone", 0}}));
    const auto expected = decoded(image);
    for (const char* meter : {"a", "b"}) {
        const auto rows = stored_records(db, meter);
        ASSERT_EQ(rows.size(), 2u) << meter;
        for (const auto& row : rows) expect_same_measurements(row.record, expected);
    }
    const Finished help = run_program({kHost, "--help"});
    EXPECT_NE(help.out.find("--rtu-over-tcp"), std::string::npos);
}

TEST_F(EndToEnd, AFaultAbandonsItsRoundOnlyAndIsCountedByKind) {
    // Requests 3, 9, 16 and 23 fall in rounds 1 to 4.
    auto sim = pty_sim({"--fault", "3:drop", "--fault", "9:crc", "--fault", "16:exception",
                        "--fault", "23:short"});
    // A time-out that a busy machine's slow turns never reach: only the dropped reply times out.
    const Finished run = host({"--rtu", dir + "/meter", "--rounds", "6", "--interval", "0.05",
                               "--timeout-ms", "1000", "--offline-after", "10", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = json_lines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    // A reply one register short is not the answer to the request.
    const char* kinds[] = {"timeout", "crc_error", "exception", "bad_reply"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(lines[i]["complete"].asBool());
        EXPECT_EQ(lines[i]["failure"]["kind"].asString(), kinds[i]) << i;
    }
    EXPECT_TRUE(lines[4]["complete"].asBool());
    EXPECT_TRUE(lines[5]["complete"].asBool());
    const Json::Value& stats = lines[5]["link_stats"];
    for (const char* kind : kinds) EXPECT_EQ(stats["errors"][kind].asInt(), 1) << kind;
    EXPECT_EQ(stats["requests"].asInt(), 37);
    EXPECT_EQ(stored_records(db, "meter-1").size(), 2u);
}

TEST_F(EndToEnd, ASimulatorThatStopsAndComesBackIsPolledAgain) {
    int port = 0;
    auto sim = tcp_sim(port);
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "24",
                         "--interval", "0.25", "--timeout-ms", "1000", "--offline-after", "2",
                         "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.log");
    const auto logged = [&](const char* what) {
        return occurrences(read_file(dir + "/host.log"), what);
    };
    // Polled for a while; the simulator goes, and comes back once the meter is offline.
    ASSERT_TRUE(eventually([&] { return logged("\"complete\":true") >= 2; }));
    sim->kill_now();
    ASSERT_TRUE(eventually([&] { return logged("meter-1 offline") == 1; }));
    sim = tcp_sim(port);
    int status = -1;
    ASSERT_TRUE(host_run.wait(60, &status));
    EXPECT_EQ(status, 0);
    const std::string log = read_file(dir + "/host.log");
    int failed = 0, complete_after_failure = 0;
    for (const auto& line : json_lines(json_only(log))) {
        if (!line["complete"].asBool()) {
            ++failed;
            EXPECT_EQ(line["failure"]["kind"].asString(), "connection_lost");
        } else if (failed > 0) {
            ++complete_after_failure;
        }
    }
    EXPECT_GE(failed, 2);
    EXPECT_GE(complete_after_failure, 1) << log;
    EXPECT_EQ(occurrences(log, "meter-1 offline"), 1u) << log;
    EXPECT_EQ(occurrences(log, "meter-1 back online"), 1u) << log;
}

TEST_F(EndToEnd, ASecondStartRestoresTheLastRecordAndKeepsTheHistory) {
    int port = 0;
    {
        auto sim = tcp_sim(port);
        ASSERT_EQ(host({"--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "2", "--interval",
                        "0.1"})
                      .status,
                  0);
    }
    // The meter is gone now; the last record is served at once all the same. Both views name
    // the stored record's own time, not the restart's (the restored copy is stamped anew).
    date_newest_record(db, "meter-1", 5);
    const Finished second = host({"--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "1",
                                  "--json", "--timeout-ms", "200"});
    ASSERT_EQ(second.status, 0) << second.err;
    const auto lines = json_lines(second.out);
    ASSERT_EQ(lines.size(), 2u) << second.out;
    EXPECT_TRUE(lines[0]["restored"].asBool());
    EXPECT_TRUE(std::regex_match(lines[0]["record_time"].asString(),
                                 std::regex(R"(2020-01-02T03:04:05[+-]\d\d:\d\d)")))
        << lines[0]["record_time"];
    EXPECT_EQ(static_cast<float>(lines[0]["values"]["UA"].asDouble()), 230.0f);
    EXPECT_EQ(static_cast<float>(lines[0]["values"]["ZeroCurrent"].asDouble()), 3.008f);
    EXPECT_FALSE(lines[1]["complete"].asBool());
    const auto rows = stored_records(db, "meter-1");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].origin, "round");
    EXPECT_EQ(rows[1].origin, "round");
    EXPECT_EQ(rows[2].origin, "restore");
    EXPECT_TRUE(
        std::equal(rows[1].record.begin(), rows[1].record.begin() + 252, rows[2].record.begin()));

    date_newest_record(db, "meter-1", 6);
    const Finished readable = host(
        {"--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "1", "--timeout-ms", "200"});
    EXPECT_NE(readable.out.find(" meter-1 restored its last stored record (2020-01-02 03:04:06): "),
              std::string::npos)
        << readable.out;

    const Finished no_restore = host({"--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "1",
                                      "--json", "--timeout-ms", "200", "--no-restore"});
    EXPECT_EQ(json_lines(no_restore.out).size(), 1u);
    EXPECT_EQ(stored_records(db, "meter-1").size(), 4u);
}

TEST_F(EndToEnd, AlarmsRiseAndClearWithTheMetersAlarmBits) {
    image.set(262, 0x0004);
    write_file(registers, registers_json(image));
    int port = 0;
    auto sim = tcp_sim(port);
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--rounds", "8",
                         "--interval", "0.25", "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.out");
    // The alarm is raised by the first rounds; then the meter's bit clears.
    ASSERT_TRUE(eventually([&] {
        return occurrences(read_file(dir + "/host.out"), "\"active_alarms\":{\"2 KAVREN_M7\"") >= 2;
    }));
    image.set(262, 0x0000);
    write_file(registers, registers_json(image));
    int status = -1;
    ASSERT_TRUE(host_run.wait(60, &status));
    const std::string out = read_file(dir + "/host.out");
    bool seen_active = false, seen_cleared = false;
    for (const auto& line : json_lines(json_only(out))) {
        const bool active = line["limit_reports"][2]["active"].asBool();
        EXPECT_EQ(line["active_alarms"].isMember("2 KAVREN_M7"), active);
        if (active) seen_active = true;
        if (seen_active && !active) seen_cleared = true;
    }
    EXPECT_TRUE(seen_active && seen_cleared) << out;
    EXPECT_EQ(alarm_events(db),
              (std::vector<std::string>{"2 KAVREN_M7 raised C 相电压小于2.22000003",
                                        "2 KAVREN_M7 cleared C 相电压小于2.22000003"}));
}

TEST_F(EndToEnd, AnIndependentModbusMasterReadsTheSameRegisters) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::pair<int, int> blocks[] = {{0, 6},     {256, 7},   {272, 30}, {308, 1},
                                          {4096, 30}, {8192, 16}, {8448, 16}};
    const std::regex row(R"(\[(\d+)\]:\s+(-?\d+))");
    for (const auto& block : blocks) {
        // mbpoll counts references from 1.
        const Finished read =
            run_program({"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-a", "1",
                         "-t", "4", "-r", std::to_string(block.first + 1), "-c",
                         std::to_string(block.second), "-1", "127.0.0.1"},
                        30);
        ASSERT_EQ(read.status, 0) << read.out << read.err;
        const auto expected = image.read(block.first, block.second);
        int seen = 0;
        for (std::sregex_iterator it(read.out.begin(), read.out.end(), row), end; it != end;
             ++it, ++seen) {
            const int address = std::stoi((*it)[1]) - 1;
            EXPECT_EQ(std::stoi((*it)[2]),
                      expected.at(static_cast<std::size_t>(address - block.first)))
                << address;
        }
        EXPECT_EQ(seen, block.second) << read.out;
    }
    const Finished outside =
        run_program({"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-a", "1", "-t",
                     "4", "-r", "7", "-c", "1", "-1", "127.0.0.1"},
                    30);
    EXPECT_NE((outside.out + outside.err).find("Illegal data address"), std::string::npos)
        << outside.out << outside.err;
}

TEST_F(EndToEnd, MetersShareALinkAndADeadMeterStallsNoOtherLink) {
    int port = 0;
    int silent_port = 0;
    auto sim = tcp_sim(port, {"--unit", "1-3"});
    // A meter that never answers: every request of its link waits out the 2 s time-out.
    auto silent = tcp_sim(silent_port, {"--fault-rate", "1", "--fault-kinds", "drop"});
    const std::string config = dir + "/host.json";
    write_file(config, R"({"interval": 0.3, "links": [
        {"tcp": "127.0.0.1:)" +
                           std::to_string(port) + R"(", "meters": [
            {"name": "a", "unit": 1, "data_id": 11}, {"name": "b", "unit": 2, "data_id": 12},
            {"name": "c", "unit": 3, "data_id": 13}]},
        {"tcp": "127.0.0.1:)" +
                           std::to_string(silent_port) + R"(", "timeout_ms": 2000,
         "meters": [{"name": "silent", "unit": 1}]}]})");
    const Finished run = host({"--config", config, "--rounds", "3", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, int> complete;
    std::vector<std::string> times_of_a;
    for (const auto& line : json_lines(run.out)) {
        complete[line["meter"].asString()] += line["complete"].asBool();
        if (line["meter"].asString() == "a") times_of_a.push_back(line["time"].asString());
    }
    EXPECT_EQ(complete["a"], 3);
    EXPECT_EQ(complete["b"], 3);
    EXPECT_EQ(complete["c"], 3);
    EXPECT_EQ(complete["silent"], 0);
    // The good link kept its 0.3 s pace while the silent one spent 2 s on each round.
    ASSERT_EQ(times_of_a.size(), 3u);
    const int first = std::stoi(times_of_a.front().substr(17)),
              last = std::stoi(times_of_a.back().substr(17));
    EXPECT_LE((last - first + 60) % 60, 2) << times_of_a.front() << " .. " << times_of_a.back();
    const auto rows = stored_records(db, "b");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].data_id, 12);
    EXPECT_EQ(u16_at(rows[0].record, 4), 0x0101);  // every unit serves the pinned registers
}

TEST_F(EndToEnd, HelpAndBadInputs) {
    const Finished host_help = run_program({kHost, "--help"});
    EXPECT_EQ(host_help.status, 0);
    EXPECT_NE(host_help.out.find("--rtu"), std::string::npos);
    EXPECT_NE(host_help.out.find("--json"), std::string::npos);
    const Finished sim_help = run_program({kSim, "--help"});
    EXPECT_EQ(sim_help.status, 0);
    EXPECT_NE(sim_help.out.find("--line-rate"), std::string::npos);

    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    // Some history that no failing start may lose.
    ASSERT_EQ(host({"--tcp", address, "--rounds", "1"}).status, 0);
    const std::string bad_settings = dir + "/bad-settings.json";
    write_file(bad_settings, R"({"appSetting": {"b_mode": {"nested": 1}}})");
    write_file(dir + "/broken.json", "{\"appSetting\": ");

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{kHost, "--bogus"}, 2, "--bogus"},
        {{kHost, "--tcp", "127.0.0.1:notaport"}, 2, "bad address"},
        {{kHost}, 2, "choose exactly one"},
        {{kHost, "--tcp", address, "--rtu-over-tcp", address}, 2, "choose exactly one"},
        {{kHost, "--rtu-over-tcp", "127.0.0.1:notaport"}, 2, "bad address"},
        {{kHost, "--tcp", address, "--unit", "300"}, 2, "1 to 247"},
        {{kHost, "--tcp", address, "--plugin", dir + "/nothing.so", "--db", db},
         1,
         "cannot load plug-in"},
        {{kHost, "--tcp", address, "--plugin", KAVREN_RUNTIME_PATH, "--db", db},
         1,
         "has no get_providers"},
        {{kHost, "--tcp", address, "--settings", dir + "/missing.json", "--db", db},
         1,
         "cannot read"},
        {{kHost, "--tcp", address, "--settings", dir + "/broken.json", "--db", db},
         1,
         "not valid JSON"},
        {{kHost, "--tcp", address, "--settings", bad_settings, "--db", db},
         1,
         "refused by the driver"},
        {{kHost, "--rtu", "/dev/no-such-adapter", "--db", db}, 2, "does not exist"},
        {{kHost, "--config", dir + "/missing.json"}, 2, "cannot read"},
        {{kSim}, 2, "choose exactly one"},
        {{kSim, "--tcp", std::to_string(port)}, 1, "port in use"},
        {{kSim, "--tcp", "1502", "--fault", "1:crc"}, 2, "CRC faults need"},
        {{kSim, "--rtu-over-tcp", "1502", "--fault", "1:crc"}, 2, "CRC faults need"},
        {{kSim, "--pty", "--fault", "x"}, 2, "bad fault"},
        {{kSim, "--tcp", "1502", "--unit", "0"}, 2, "bad unit list"},
        {{kSim, "--pty", "--registers", dir + "/broken.json"}, 1, "not valid JSON"},
    };
    for (const Case& c : cases) {
        const Finished run = run_program(c.args, 30);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(run.status, c.status) << shown << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << "\n" << run.err;
    }
    EXPECT_EQ(stored_records(db, "meter-1").size(), 1u);

    // A history file that is no database is refused and left as it was.
    const std::string text_file = dir + "/notes.txt";
    write_file(text_file, std::string(2000, 'n'));
    const Finished refused =
        run_program({kHost, "--tcp", address, "--db", text_file, "--rounds", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("not usable"), std::string::npos) << refused.err;
    EXPECT_EQ(read_file(text_file), std::string(2000, 'n'));
}

}  // namespace
