// Whole runs of kavren-host: a configuration is checked whole before anything starts, a second
// host on a history in use is refused, a configuration file keeps its paths beside it, and a
// reply trickled byte by byte neither holds a round past the time-out nor the host past a stop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"
#include "tests/apps/hostile_peers.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Every reply one byte each 450 ms: a 6-register reply would take 9.5 s (7.6 s on RTU).
Answer trickled_tcp(const Bytes& request, int) { return Answer{tcp_reply(request), 450}; }
Answer trickled_rtu(const Bytes& request, int) { return Answer{rtu_reply(request), 450}; }

class TrickledReply : public EndToEnd {
  protected:
    // The host's first request, noticed by the peer.
    static bool first_request(const HostilePeer& peer) {
        return eventually([&] { return peer.requests() > 0; }, 10) && peer.requests() == 1;
    }
    // One round fails at the time-out: the host is done soon after its request.
    void expect_round_failed_in_time(const std::vector<std::string>& link,
                                     const HostilePeer& peer) {
        std::vector<std::string> command{kHost};
        command.insert(command.end(), link.begin(), link.end());
        command.insert(command.end(), {"--timeout-ms", "400", "--rounds", "1", "--json", "--db", db,
                                       "--quiet-plugin"});
        Background run(command, dir + "/round.log");
        ASSERT_TRUE(first_request(peer)) << read_file(dir + "/round.log");
        const auto asked = Clock::now();
        int status = -1;
        ASSERT_TRUE(run.wait(10, &status));
        // The time-out, then the host's own shutdown; the trickle alone would last 7.6 s.
        EXPECT_LT(seconds_since(asked), 0.4 + 1.5);
        const std::string log = read_file(dir + "/round.log");
        ASSERT_EQ(status, 0) << log;
        const auto lines = json_lines(json_only(log));
        ASSERT_EQ(lines.size(), 1u) << log;
        EXPECT_EQ(lines[0]["failure"]["kind"].asString(), "timeout");
        EXPECT_NE(lines[0]["failure"]["detail"].asString().find("after 400 ms"), std::string::npos)
            << lines[0];
        EXPECT_TRUE(stored_records(db, "meter-1").empty());
    }
    void expect_stopped_at_once(const std::vector<std::string>& link, const HostilePeer& peer) {
        std::vector<std::string> command{kHost};
        command.insert(command.end(), link.begin(), link.end());
        command.insert(command.end(), {"--timeout-ms", "60000", "--db", db, "--quiet-plugin"});
        Background polling(command, dir + "/host.log");
        // With the longest time-out there is, SIGTERM in the middle of the trickle ends the host.
        ASSERT_TRUE(first_request(peer)) << read_file(dir + "/host.log");
        kill(polling.pid(), SIGTERM);
        int status = -1;
        EXPECT_TRUE(polling.wait(2.0, &status)) << read_file(dir + "/host.log");
        EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
    }
};

TEST_F(TrickledReply, OverTcpFailsItsRoundAtTheTimeOutAndAStopEndsTheHostAtOnce) {
    HostileTcpServer first(trickled_tcp);
    expect_round_failed_in_time({"--tcp", first.address()}, first);
    HostileTcpServer second(trickled_tcp);
    expect_stopped_at_once({"--tcp", second.address()}, second);
}

TEST_F(TrickledReply, OverRtuFailsItsRoundAtTheTimeOutAndAStopEndsTheHostAtOnce) {
    HostileRtuDevice first(trickled_rtu);
    expect_round_failed_in_time({"--rtu", first.path()}, first);
    HostileRtuDevice second(trickled_rtu);
    expect_stopped_at_once({"--rtu", second.path()}, second);
}

class RefusedConfiguration : public EndToEnd {
  protected:
    HostileRtuDevice line{[](const Bytes& request, int) { return Answer{rtu_reply(request)}; }};
    std::string config = dir + "/host.json";
    std::string history = dir + "/history.db";

    // The host refuses to start: one line naming what is wrong, status 2, nothing started.
    void expect_refused(const std::vector<std::string>& args,
                        const std::vector<std::string>& named) {
        std::vector<std::string> command{kHost, "--rounds", "1", "--quiet-plugin"};
        command.insert(command.end(), args.begin(), args.end());
        const Finished run = run_program(command, 30, dir);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        for (const std::string& name : named)
            EXPECT_NE(run.err.find(name), std::string::npos) << name << " not in: " << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_FALSE(exists(history)) << run.err;
        EXPECT_FALSE(exists(dir + "/kavren-history.db")) << run.err;
        EXPECT_EQ(line.requests(), 0);
    }
    // A configuration file with one link on the test's line and `link` and `meter` spliced in.
    void expect_file_refused(const std::string& top, const std::string& link,
                             const std::string& meter, const std::vector<std::string>& named) {
        write_file(config, "{\"database\": \"history.db\"" + top + ", \"links\": [{\"rtu\": \"" +
                               line.path() + "\"" + link + ", \"meters\": [{\"name\": \"m1\"" +
                               meter + "}]}]}");
        std::vector<std::string> with_file{config};
        with_file.insert(with_file.end(), named.begin(), named.end());
        SCOPED_TRACE(read_file(config));
        expect_refused({"--config", config}, with_file);
    }
};

TEST_F(RefusedConfiguration, ValuesOutOfRangeInAFile) {
    struct Case {
        std::string top, link, meter;
        std::vector<std::string> named;
    };
    const Case cases[] = {
        {"", ", \"baud\": 12345", "", {"\"baud\"", "12345"}},
        {"", ", \"baud\": 1000000000", "", {"\"baud\""}},
        {"", ", \"baud\": 0", "", {"\"baud\""}},
        {"", ", \"parity\": \"\"", "", {"\"parity\""}},
        {"", ", \"parity\": \"X\"", "", {"\"parity\""}},
        {"", ", \"stop_bits\": 3", "", {"\"stop_bits\""}},
        {"", ", \"timeout_ms\": 0", "", {"\"timeout_ms\""}},
        {"", ", \"timeout_ms\": 60001", "", {"\"timeout_ms\""}},
        {"", ", \"timeout_ms\": 2.5", "", {"\"timeout_ms\""}},
        {"", ", \"pause_ms\": -1", "", {"\"pause_ms\""}},
        {"", ", \"timeout\": 100", "", {"\"timeout\"", "unknown"}},
        {", \"interval\": 0", "", "", {"\"interval\""}},
        {", \"interval\": 86401", "", "", {"\"interval\""}},
        {", \"interval\": \"5\"", "", "", {"\"interval\""}},
        {", \"commit_interval\": -1", "", "", {"\"commit_interval\""}},
        {", \"commit_interval\": 3601", "", "", {"\"commit_interval\""}},
        {", \"commit_interval\": \"5\"", "", "", {"\"commit_interval\""}},
        {"", "", ", \"unit\": 0", {"\"unit\"", "m1"}},
        {"", "", ", \"unit\": 248", {"\"unit\"", "m1"}},
        {"", "", ", \"unit\": 4294967297", {"\"unit\"", "m1"}},
        {"", "", ", \"data_id\": -1", {"\"data_id\"", "m1"}},
        {"", "", ", \"settings\": 7", {"\"settings\"", "m1"}},
        {", \"retention\": {\"raw\": \"10\"}", "", "", {"\"retention\"", "\"raw\"", "unit"}},
        {", \"retention\": {\"minute\": 30}", "", "", {"\"minute\"", "text"}},
        {", \"retention\": {\"hour\": \"0s\"}", "", "", {"\"hour\""}},
        {", \"retention\": {\"max_size\": \"10KiB\"}", "", "", {"\"max_size\"", "1MiB"}},
        {", \"retention\": {\"days\": \"30d\"}", "", "", {"\"days\"", "unknown"}},
        {", \"retention\": []", "", "", {"\"retention\"", "object"}},
        {", \"offline_after\": 0", "", "", {"\"offline_after\"", "(got 0)"}},
        {", \"history_queue\": -1", "", "", {"\"history_queue\""}},
        {", \"mqtt\": {\"keepalive\": 2.5}", "", "", {"\"mqtt\": \"keepalive\"", "whole"}},
        {", \"http\": {\"listen\": \"0\", \"history_rows\": 0}", "", "", {"\"history_rows\""}},
    };
    for (const Case& c : cases) expect_file_refused(c.top, c.link, c.meter, c.named);
}

TEST_F(RefusedConfiguration, MeterNames) {
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"\"",
                        {"meter 2", "\"name\"", "empty"});
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"m\\u0007x\"",
                        {"\"name\"", "control characters"});
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"m\\u0085x\"",
                        {"\"name\"", "control characters"});
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"m\xff\xfex\"", {"\"name\""});
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"m1\"",
                        {"\"m1\"", "\"name\"", "two meters"});
    // Names the API's addresses and the topics cannot carry as one segment.
    for (const char* name : {"..", ".", "a//b", "x/./y", "/"})
        expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"" + std::string(name) + "\"",
                            {"\"name\"", "'/'"});
    expect_file_refused("", "", ", \"unit\": 2}, {\"name\": \"" + std::string(65, 'n') + "\"",
                        {"\"name\"", "at most 64 bytes"});
    // The cap itself, and names that only look like paths, start.
    write_file(config,
               "{\"database\": \"history.db\", \"links\": [{\"rtu\": \"" + line.path() +
                   "\", \"meters\": [{\"name\": \"" + std::string(64, 'n') +
                   "\"}, {\"name\": \"...\", \"unit\": 2}, {\"name\": \".a\", \"unit\": 3}]}]}");
    const Finished run =
        run_program({kHost, "--config", config, "--rounds", "1", "--quiet-plugin"}, 30, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(line.requests(), 0);
}

TEST_F(RefusedConfiguration, SerialDevices) {
    const std::string folder = dir + "/folder";
    mkdir(folder.c_str(), 0755);
    write_file(dir + "/plain", "not a device");
    struct Case {
        std::string device;
        std::string named;
    };
    const Case cases[] = {{folder, "a folder"},
                          {dir + "/plain", "not a serial device"},
                          {"plain", "not a serial device"},  // relative to the file's folder
                          {"/dev/zero", "not a serial line"},
                          {dir + "/no-such-adapter", "does not exist"}};
    for (const Case& c : cases) {
        write_file(config, "{\"links\": [{\"rtu\": \"" + c.device + "\", \"meters\": [{}]}]}");
        expect_refused({"--config", config}, {config, "\"rtu\"", c.named});
        expect_refused({"--rtu", c.device == "plain" ? dir + "/plain" : c.device},
                       {"--rtu", c.named});
    }
    // The same line twice, once by another name: its meters belong in one link.
    ASSERT_EQ(symlink(line.path().c_str(), (dir + "/by-id").c_str()), 0);
    write_file(config, "{\"links\": [{\"rtu\": \"" + line.path() +
                           "\", \"meters\": [{\"name\": \"a\"}]}, {\"rtu\": \"by-id\", "
                           "\"meters\": [{\"name\": \"b\", \"unit\": 2}]}]}");
    expect_refused({"--config", config}, {config, "link 2", "belong in one link"});
}

// The configuration the package installs is refused until it is edited, with one line that says
// what to edit; without its marker, everything in it is accepted up to its example serial line.
TEST_F(RefusedConfiguration, ThePackagedSampleUntilItIsEdited) {
    const std::string sample = read_file(KAVREN_SOURCE_DIR "/scripts/debian/host.json");
    write_file(config, sample);
    expect_refused({"--config", config}, {config + ": the unedited sample configuration",
                                          "\"links\"", "delete the \"unedited_sample\" line"});

    std::string edited;
    std::istringstream lines(sample);
    for (std::string text; std::getline(lines, text);)
        if (text.find("\"unedited_sample\"") == std::string::npos) edited += text + "\n";
    const std::string example_line = "/dev/ttyUSB0";
    const auto at = edited.find(example_line);
    ASSERT_NE(at, std::string::npos);
    write_file(config, edited.replace(at, example_line.size(), dir + "/no-such-adapter"));
    expect_refused({"--config", config}, {config, "\"rtu\"", "does not exist"});
}

TEST_F(RefusedConfiguration, ValuesOutOfRangeOnTheCommandLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"--baud", "12345"},
        {"--baud", "1000000000"},
        {"--parity", ""},
        {"--parity", "M"},
        {"--stop-bits", "3"},
        {"--unit", "0"},
        {"--unit", "248"},
        {"--timeout-ms", "0"},
        {"--timeout-ms", "60001"},
        {"--pause-ms", "-1"},
        {"--name", ""},
        {"--name", "a\tb"},
        {"--interval", "0"},
        {"--commit-interval", "-1"},
        {"--offline-after", "0"},
        {"--rounds", "-1"},
        {"--retention-raw", "30"},
        {"--retention-minute", "1.5d"},
        {"--retention-hour", "-1h"},
        {"--history-max-size", "2 zettabytes"},
        {"--history-max-size", "1000"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--rtu", line.path(), "--db", history};
        args.insert(args.end(), c.begin(), c.end());
        SCOPED_TRACE(c[0] + " " + c[1]);
        expect_refused(args, {c[0]});
    }
}

TEST_F(RefusedConfiguration, GatewayValues) {
    const std::pair<std::string, std::vector<std::string>> in_file[] = {
        {"5", {"\"gateway\" must be an object"}},
        {"{}", {"\"gateway\"", "needs \"listen\""}},
        {"{\"listen\": \"1502\", \"port\": 1}", {"\"gateway\"", "unknown member \"port\""}},
        {"{\"listen\": \"[::1:1502\"}", {"\"gateway\"", "an IPv6 address in brackets"}},
        {"{\"listen\": \"70000\"}", {"\"gateway\"", "port 0 to 65535"}},
        {"{\"listen\": \"1502\", \"writes\": \"yes\"}", {"\"writes\"", "true or false"}},
        {"{\"listen\": \"1502\", \"max_clients\": 0}", {"\"max_clients\"", "(got 0)"}},
        {"{\"listen\": \"1502\", \"max_clients\": 257}", {"\"max_clients\""}},
        {"{\"listen\": \"1502\", \"max_queue\": 0}", {"\"max_queue\""}},
        {"{\"listen\": \"1502\", \"max_age\": -1}", {"\"max_age\"", "0 to 86400"}},
        {"{\"listen\": \"1502\", \"max_age\": \"5\"}", {"\"max_age\"", "number of seconds"}},
        {"{\"listen\": \"1502\", \"idle_timeout_ms\": 50}", {"\"idle_timeout_ms\""}},
        {"{\"listen\": \"1502\", \"request_timeout_ms\": 0}", {"\"request_timeout_ms\""}},
    };
    for (const auto& c : in_file) {
        std::vector<std::string> named = c.second;
        named.push_back("link 1");
        expect_file_refused("", ", \"gateway\": " + c.first, "", named);
    }
    // Two of the host's servers on one port.
    expect_file_refused(", \"http\": {\"listen\": \"1502\"}",
                        ", \"gateway\": {\"listen\": \"1502\"}", "",
                        {"the gateway of link 1 listens on 127.0.0.1:1502, as the HTTP side"});

    const std::vector<std::string> rtu{"--rtu", line.path(), "--db", history};
    const std::pair<std::vector<std::string>, std::string> on_command_line[] = {
        {{"--gateway", "127.0.0.1:99999"}, "--gateway: bad gateway address"},
        {{"--gateway-port-file", dir + "/port"}, "need --gateway HOST:PORT"},
        {{"--gateway-writes"}, "need --gateway HOST:PORT"},
    };
    for (const auto& c : on_command_line) {
        std::vector<std::string> args = rtu;
        args.insert(args.end(), c.first.begin(), c.first.end());
        expect_refused(args, {c.second});
    }
    write_file(config, "{\"links\": [{\"rtu\": \"" + line.path() + "\", \"meters\": [{}]}]}");
    expect_refused({"--config", config, "--gateway", "1502"},
                   {"--gateway", "\"gateway\" in the file"});
}

// The options of the command line's one link and meter are refused beside a file, whose links
// and meters each have their own, rather than left unused.
TEST_F(RefusedConfiguration, LinkAndMeterOptionsBesideAFile) {
    write_file(config, "{\"links\": [{\"rtu\": \"" + line.path() + "\", \"meters\": [{}]}]}");
    expect_refused({"--config", config, "--baud", "19200"},
                   {"--baud", "with --config", "\"baud\" in the file"});
    expect_refused({"--config", config, "--unit", "3"},
                   {"--unit", "each meter its \"unit\" in the file"});
    expect_refused({"--config", config, "--tcp", "127.0.0.1:1502"}, {"--config", "not both"});
}

// A gateway whose port is taken ends the start before anything is stored or polled.
TEST_F(RefusedConfiguration, AGatewayPortInUse) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t size = sizeof address;
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
    const Finished run =
        run_program({kHost, "--rtu", line.path(), "--db", history, "--rounds", "1", "--gateway",
                     "127.0.0.1:" + std::to_string(ntohs(address.sin_port))},
                    30, dir);
    close(taken);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("gateway: cannot listen on 127.0.0.1:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("port in use"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(history));
    EXPECT_EQ(line.requests(), 0);
}

// A history belongs to one running host: a second host on the same file is refused at its start
// with one line naming the file, and the first goes on storing; export reads the history in use,
// and once the first has stopped the file is free again.
TEST_F(EndToEnd, ASecondHostOnAHistoryInUseIsRefused) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    Background first({kHost, "--tcp", address, "--interval", "0.05", "--db", db, "--quiet-plugin"},
                     dir + "/first.log");
    ASSERT_TRUE(wait_for_file(db));
    ASSERT_TRUE(eventually([&] { return stored_records(db, "meter-1").size() >= 5; }))
        << read_file(dir + "/first.log");
    const Finished second =
        run_program({kHost, "--tcp", address, "--rounds", "1", "--db", db, "--quiet-plugin"}, 60);
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;
    EXPECT_NE(second.err.find("history " + db + " is in use by another kavren-host"),
              std::string::npos)
        << second.err;
    EXPECT_TRUE(second.out.empty()) << second.out;

    const std::size_t stored = stored_records(db, "meter-1").size();
    EXPECT_TRUE(eventually([&] { return stored_records(db, "meter-1").size() >= stored + 5; }));
    const Finished exported =
        run_program({kHost, "export", "--db", db, "--meter", "meter-1", "--format", "jsonl"}, 60);
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_GE(json_lines(exported.out).size(), stored);
    first.stop();
    const Finished after = host({"--tcp", address, "--rounds", "1"});
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(read_file(dir + "/first.log").find("cannot store"), std::string::npos);
}

// An option given on the command line wins over the file's value, field by field: the file's
// history and HTTP port file stay, its HTTP address gives way to the option's.
TEST_F(EndToEnd, AnOptionGivenWinsOverTheFile) {
    int port = 0;
    auto sim = tcp_sim(port);
    const std::string config = dir + "/host.json";
    write_file(config, R"({"database": "file.db", "interval": 3600,
        "http": {"listen": "127.0.0.1:1", "port_file": "http.port"},
        "links": [{"tcp": "127.0.0.1:)" +
                           std::to_string(port) + R"(", "meters": [{"name": "m"}]}]})");
    Background run({kHost, "--config", config, "--db", db, "--interval", "0.05", "--http",
                    "127.0.0.1:0", "--quiet-plugin"},
                   dir + "/host.log");
    EXPECT_GT(port_from_file(dir + "/http.port"), 1) << read_file(dir + "/host.log");
    // Rounds 0.05 s apart, not the file's hour, in the option's history.
    EXPECT_TRUE(eventually([&] { return stored_records(db, "m").size() >= 3; }))
        << read_file(dir + "/host.log");
    run.stop();
    EXPECT_FALSE(exists(dir + "/file.db"));
}

TEST_F(EndToEnd, AConfigurationFileRunFromAnotherFolderKeepsItsPathsBesideIt) {
    auto sim = pty_sim();  // its line is dir/meter
    write_file(dir + "/settings.json", R"({"appSetting": {"b_mode": "1"}})");
    const std::string config = dir + "/host.json";
    write_file(config, R"({"database": "beside.db", "links": [{"rtu": "meter",
        "meters": [{"name": "m", "data_id": 77, "settings": "settings.json"}]}]})");
    const std::string elsewhere = make_temp_dir();
    const Finished run = run_program(
        {kHost, "--config", config, "--rounds", "1", "--json", "--quiet-plugin"}, 60, elsewhere);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = stored_records(dir + "/beside.db", "m");
    ASSERT_EQ(rows.size(), 1u) << run.err;
    EXPECT_EQ(rows[0].data_id, 77);
    EXPECT_NE(run.err.find("history: " + dir + "/beside.db"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(elsewhere + "/beside.db"));

    // Without a "database" the history is kept beside the file all the same.
    write_file(config, R"({"links": [{"rtu": "meter", "meters": [{"name": "m"}]}]})");
    ASSERT_EQ(
        run_program({kHost, "--config", config, "--rounds", "1", "--quiet-plugin"}, 60, elsewhere)
            .status,
        0);
    EXPECT_EQ(stored_records(dir + "/kavren-history.db", "m").size(), 1u);
    EXPECT_FALSE(exists(elsewhere + "/kavren-history.db"));
    remove_folder(elsewhere);
}

}  // namespace
