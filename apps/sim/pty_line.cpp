#include "apps/sim/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace kavren::sim {

namespace {

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

void sleep_until(double deadline) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(deadline);
    at.tv_nsec = static_cast<long>((deadline - static_cast<double>(at.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// Opens a new pseudo-terminal; returns the master and stores the slave's path.
int open_pty(std::string& slave_path) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot create a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        throw std::system_error(errno, std::generic_category(), "ptsname");
    }
    slave_path = name;
    return master;
}

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void write_all(int fd, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // the other side is gone: the bytes are lost, as on a cut line
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

enum Direction { to_server = 0, to_host = 1 };

}  // namespace

PtyLine::PtyLine(double characters_per_second)
    : char_seconds_(characters_per_second > 0 ? 1.0 / characters_per_second : 0.0) {
    host_master_ = open_pty(host_path_);
    server_master_ = open_pty(server_path_);
    host_slave_ = open(host_path_.c_str(), O_RDWR | O_NOCTTY);
    if (host_slave_ < 0)
        throw std::system_error(errno, std::generic_category(), "open " + host_path_);
    make_raw(host_slave_);
}

PtyLine::~PtyLine() {
    stop();
    for (int fd : {host_master_, host_slave_, server_master_}) {
        if (fd >= 0) close(fd);
    }
}

void PtyLine::start() {
    running_ = true;
    bridge_ = std::thread([this] { run(); });
}

void PtyLine::stop() {
    running_ = false;
    if (bridge_.joinable()) bridge_.join();
}

void PtyLine::transmit(const unsigned char* bytes, std::size_t count, int to_fd, int direction) {
    if (char_seconds_ <= 0.0) {
        write_all(to_fd, bytes, count);
        return;
    }
    // A frame starts after 3.5 characters of silence on the line; then one byte per character
    // time, each written when its last bit would have arrived.
    const double silence = 3.5 * char_seconds_;
    const double now = monotonic_seconds();
    double start = now;
    if (direction != last_direction_ || now > line_free_at_ + silence) {
        start = std::max(now, line_free_at_ + silence);
    } else {
        start = std::max(now, line_free_at_);
    }
    double t = start;
    for (std::size_t i = 0; i < count; ++i) {
        t += char_seconds_;
        sleep_until(t);
        write_all(to_fd, bytes + i, 1);
    }
    line_free_at_ = t;
    last_direction_ = direction;
}

void PtyLine::run() {
    unsigned char buffer[1024];
    while (running_) {
        pollfd fds[2] = {{host_master_, POLLIN, 0}, {server_master_, POLLIN, 0}};
        const int ready = poll(fds, 2, 100);
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(host_master_, buffer, sizeof buffer);
            if (n > 0) transmit(buffer, static_cast<std::size_t>(n), server_master_, to_server);
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(server_master_, buffer, sizeof buffer);
            if (n > 0) {
                if (corrupt_next_.exchange(false)) buffer[n - 1] ^= 0xFF;
                transmit(buffer, static_cast<std::size_t>(n), host_master_, to_host);
            }
        }
        if ((fds[0].revents | fds[1].revents) & (POLLHUP | POLLERR)) {
            // Nobody holds the server side yet: wait rather than spin.
            usleep(10000);
        }
    }
}

}  // namespace kavren::sim
