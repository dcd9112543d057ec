// kavren-host under a service manager: readiness and the watchdog, heard on a notification
// socket of the test's own, as systemd would hear them.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/apps/e2e_fixture.h"
#include "tests/apps/eventually.h"

namespace {

using namespace testing_support;

class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval wait{0, 200000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    // The next message, or "" after the socket's 0.2 s wait.
    std::string next() {
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST_F(EndToEnd, ReadyAfterTheFirstRoundThenTheWatchdogWhileRoundsHappen) {
    int port = 0;
    auto sim = tcp_sim(port);
    NotifySocket notify(dir + "/notify");
    ASSERT_TRUE(notify.bound());
    // The host inherits the service manager's variables from this process.
    setenv("NOTIFY_SOCKET", (dir + "/notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    // Each batch committed at once: the first round is in the history once it is attempted.
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--interval", "0.1",
                         "--commit-interval", "0", "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.log");
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    std::vector<std::string> heard;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int feeds = 0;
    while (std::chrono::steady_clock::now() < until && feeds < 5) {
        const std::string message = notify.next();
        if (message.empty()) continue;
        heard.push_back(message);
        if (message == "WATCHDOG=1") ++feeds;
    }
    ASSERT_FALSE(heard.empty()) << read_file(dir + "/host.log");
    EXPECT_EQ(heard.front().rfind("READY=1", 0), 0u) << heard.front();
    EXPECT_GE(feeds, 5);
    // Ready only once a round was attempted: the history holds it by now.
    EXPECT_GE(stored_records(db, "meter-1").size(), 1u);
    host_run.stop();
    EXPECT_EQ(notify.next(), "STOPPING=1");
}

// SIGHUP (`systemctl reload`) does not end the host: it reads its configuration again, tells
// the service manager RELOADING=1 with the instant (as Type=notify asks) and READY=1 once done,
// and polls and stores on. From the command line alone nothing changes.
TEST_F(EndToEnd, AHangupReloadsUnderTheServiceManagerAndPollingGoesOn) {
    int port = 0;
    auto sim = tcp_sim(port);
    NotifySocket notify(dir + "/notify");
    ASSERT_TRUE(notify.bound());
    setenv("NOTIFY_SOCKET", (dir + "/notify").c_str(), 1);
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--interval", "0.1",
                         "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.log");
    unsetenv("NOTIFY_SOCKET");
    // Rounds shown so far: one JSON line each.
    const auto rounds = [&] { return json_lines(json_only(read_file(dir + "/host.log"))).size(); };
    ASSERT_TRUE(eventually([&] { return notify.next().rfind("READY=1", 0) == 0; }, 10))
        << read_file(dir + "/host.log");
    kill(host_run.pid(), SIGHUP);
    std::string reloading;
    ASSERT_TRUE(
        eventually([&] { return (reloading = notify.next()).rfind("RELOADING=1", 0) == 0; }, 10))
        << read_file(dir + "/host.log");
    EXPECT_TRUE(std::regex_search(reloading, std::regex("\nMONOTONIC_USEC=[0-9]+$"))) << reloading;
    EXPECT_TRUE(eventually([&] { return notify.next().rfind("READY=1", 0) == 0; }, 10));
    EXPECT_TRUE(eventually([&] {
        return read_file(dir + "/host.log").find("reload: the configuration is unchanged") !=
               std::string::npos;
    })) << read_file(dir + "/host.log");
    const std::size_t shown = rounds();
    EXPECT_TRUE(eventually([&] { return rounds() >= shown + 3; }));
    kill(host_run.pid(), SIGTERM);
    int status = -1;
    ASSERT_TRUE(host_run.wait(10, &status));
    EXPECT_EQ(status, 0) << read_file(dir + "/host.log");
    EXPECT_GE(stored_records(db, "meter-1").size(), shown + 3);
}

// The history deleted under the running host (as `rm` of the file and its companions does): the
// host says so once, stores nothing into the unlinked file, stops by itself with status 1, and
// never claims the rounds stored.
TEST_F(EndToEnd, AHistoryDeletedUnderTheHostEndsItWithStatusOne) {
    int port = 0;
    auto sim = tcp_sim(port);
    Background host_run({kHost, "--tcp", "127.0.0.1:" + std::to_string(port), "--interval", "0.1",
                         "--db", db, "--quiet-plugin", "--json"},
                        dir + "/host.log");
    ASSERT_TRUE(eventually([&] {
        return json_lines(json_only(read_file(dir + "/host.log"))).size() >= 3;
    })) << read_file(dir + "/host.log");
    for (const char* part : {"", "-wal", "-shm"}) unlink((db + part).c_str());
    int status = -1;
    ASSERT_TRUE(host_run.wait(10, &status)) << read_file(dir + "/host.log");
    const std::string log = read_file(dir + "/host.log");
    EXPECT_EQ(status, 1) << log;
    const std::string said = "was deleted or replaced while the host ran";
    const auto first = log.find(said);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(said, first + 1), std::string::npos) << "said more than once: " << log;
    EXPECT_NE(log.find("records stored before went with it"), std::string::npos) << log;
    EXPECT_EQ(log.find(" records stored,"), std::string::npos) << log;
    EXPECT_EQ(log.find(" records stored)"), std::string::npos) << log;
    EXPECT_EQ(access(db.c_str(), F_OK), -1) << "nothing is made at the path again";
}

}  // namespace
