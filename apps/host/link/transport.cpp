#include "apps/host/link/transport.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "apps/common/stop_signal.h"

namespace kavren::host {

namespace {

using std::chrono::milliseconds;

// No wait lasts longer than this without looking at the stop flag.
constexpr milliseconds kStopSlice{50};

}  // namespace

long Transport::write_some(const uint8_t* bytes, std::size_t size) {
    return ::write(fd_, bytes, size);
}

Transport::Wait Transport::wait_for(short events, Deadline deadline) {
    for (;;) {
        if (app::stop_requested()) return Wait::stopped;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Wait::timed_out;
        pollfd ready{fd_, events, 0};
        const int n = poll(&ready, 1, static_cast<int>(std::min(left, kStopSlice).count()) + 1);
        if (n > 0) return Wait::ready;  // readable, writable, or failed: the next call tells
        if (n < 0 && errno != EINTR) return Wait::failed;
    }
}

namespace {

Transport::Io io_of(Transport::Wait waited, std::string& why) {
    if (waited == Transport::Wait::stopped) return Transport::Io::stopped;
    if (waited == Transport::Wait::timed_out) return Transport::Io::timed_out;
    why = std::strerror(errno);
    return Transport::Io::wait_failed;
}

}  // namespace

Transport::Io Transport::send_all(const uint8_t* bytes, std::size_t size, Deadline deadline,
                                  std::string& why) {
    reset_by_peer_ = false;
    std::size_t sent = 0;
    while (sent < size) {
        const long n = write_some(bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Wait waited = wait_for(POLLOUT, deadline);
            if (waited == Wait::ready) continue;
            return io_of(waited, why);
        }
        reset_by_peer_ = errno == ECONNRESET || errno == EPIPE;
        why = std::string("cannot send the request: ") + std::strerror(errno);
        return Io::lost;
    }
    return Io::done;
}

Transport::Io Transport::receive_some(uint8_t* into, std::size_t up_to, Deadline deadline,
                                      bool try_first, std::size_t& got, std::string& why) {
    for (bool wait = !try_first;;) {
        if (wait) {
            const Wait waited = wait_for(POLLIN, deadline);
            if (waited != Wait::ready) return io_of(waited, why);
        }
        const ssize_t n = ::read(fd_, into, up_to);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::done;
        }
        if (n == 0) {
            why = "the connection was closed by the meter";
            return Io::lost;
        }
        if (errno == EINTR) {
            wait = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            reset_by_peer_ = errno == ECONNRESET;
            why = std::string("cannot read the reply: ") + std::strerror(errno);
            return Io::lost;
        }
        wait = true;
    }
}

bool Transport::drain(uint64_t& count, std::string& why) {
    uint8_t scrap[256];
    for (;;) {
        const ssize_t n = ::read(fd_, scrap, sizeof scrap);
        if (n > 0) {
            count += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n < 0 && errno == EINTR) continue;
        // End of stream or a failed device.
        why = name_ + (n == 0 ? std::string(": closed by the other end")
                              : std::string(": ") + std::strerror(errno));
        return false;
    }
}

Transport::Wait Transport::discard_until_quiet(milliseconds quiet, Clock::time_point last_activity,
                                               std::string& why) {
    const Deadline give_up = Clock::now() + 2 * quiet;
    uint8_t scrap[256];
    for (;;) {
        const Deadline quiet_at = std::min(last_activity + quiet, give_up);
        if (Clock::now() >= quiet_at) break;
        const Wait waited = wait_for(POLLIN, quiet_at);
        if (waited == Wait::failed) why = name_ + ": " + std::strerror(errno);
        if (waited == Wait::stopped || waited == Wait::failed) return waited;
        if (waited == Wait::timed_out) continue;
        const ssize_t n = ::read(fd_, scrap, sizeof scrap);
        if (n > 0) {
            last_activity = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            why = name_ +
                  (n == 0 ? std::string(": hung up") : std::string(": ") + std::strerror(errno));
            return Wait::failed;
        }
    }
    flush_input();
    return Wait::ready;
}

}  // namespace kavren::host
