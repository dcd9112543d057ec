#include "apps/host/link/transport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavren::host {

long Transport::write_some(const uint8_t* bytes, std::size_t size) {
    return ::write(fd_, bytes, size);
}

asio::awaitable<void> Transport::arm(Deadline deadline) {
    if (!timer_) timer_.emplace(co_await asio::this_coro::executor);
    const unsigned armed = ++armed_->count;
    timer_->expires_at(deadline);
    // The handler runs on the timer's executor, the link's strand. One that expired as its wait
    // ended may come after a later arm(), or after the transport went: it then does nothing.
    timer_->async_wait(
        [weak = std::weak_ptr<Armed>(armed_), armed](const boost::system::error_code& ec) {
            if (ec) return;
            const std::shared_ptr<Armed> now = weak.lock();
            if (now && now->count == armed) now->owner->cancel_io();
        });
}

void Transport::disarm() {
    ++armed_->count;
    if (timer_) timer_->cancel();
}

void Transport::stop() {
    stopped_ = true;
    cancel_io();
}

asio::awaitable<Transport::Wait> Transport::wait_for(Direction direction, Deadline deadline) {
    if (stopped_) co_return Wait::stopped;
    if (Clock::now() >= deadline) co_return Wait::timed_out;
    co_await arm(deadline);
    const boost::system::error_code ec = co_await wait_ready(direction);
    disarm();
    if (stopped_) co_return Wait::stopped;
    if (!ec) co_return Wait::ready;  // readable, writable, or failed: the next call tells
    if (ec == asio::error::operation_aborted) co_return Wait::timed_out;
    errno = ec.value();
    co_return Wait::failed;
}

namespace {

Transport::Io io_of(Transport::Wait waited, std::string& why) {
    if (waited == Transport::Wait::stopped) return Transport::Io::stopped;
    if (waited == Transport::Wait::timed_out) return Transport::Io::timed_out;
    why = std::strerror(errno);
    return Transport::Io::wait_failed;
}

}  // namespace

asio::awaitable<Transport::Io> Transport::send_all(const uint8_t* bytes, std::size_t size,
                                                   Deadline deadline, std::string& why) {
    reset_by_peer_ = false;
    std::size_t sent = 0;
    while (sent < size) {
        if (stopped_) co_return Io::stopped;
        const long n = write_some(bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Wait waited = co_await wait_for(Direction::write, deadline);
            if (waited == Wait::ready) continue;
            co_return io_of(waited, why);
        }
        reset_by_peer_ = errno == ECONNRESET || errno == EPIPE;
        why = std::string("cannot send the request: ") + std::strerror(errno);
        co_return Io::lost;
    }
    co_return Io::done;
}

asio::awaitable<Transport::Io> Transport::receive_some(uint8_t* into, std::size_t up_to,
                                                       Deadline deadline, bool try_first,
                                                       std::size_t& got, std::string& why) {
    for (bool wait = !try_first;;) {
        if (wait) {
            const Wait waited = co_await wait_for(Direction::read, deadline);
            if (waited != Wait::ready) co_return io_of(waited, why);
        } else if (stopped_) {
            co_return Io::stopped;
        }
        const ssize_t n = ::read(fd_, into, up_to);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            co_return Io::done;
        }
        if (n == 0) {
            why = "the connection was closed by the meter";
            co_return Io::lost;
        }
        if (errno == EINTR) {
            wait = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            reset_by_peer_ = errno == ECONNRESET;
            why = std::string("cannot read the reply: ") + std::strerror(errno);
            co_return Io::lost;
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

asio::awaitable<Transport::Wait> Transport::discard_until_quiet(std::chrono::milliseconds quiet,
                                                                Clock::time_point last_activity,
                                                                std::string& why) {
    const Deadline give_up = Clock::now() + 2 * quiet;
    uint8_t scrap[256];
    for (;;) {
        const Deadline quiet_at = std::min(last_activity + quiet, give_up);
        if (stopped_) co_return Wait::stopped;
        if (Clock::now() >= quiet_at) break;
        const Wait waited = co_await wait_for(Direction::read, quiet_at);
        if (waited == Wait::failed) why = name_ + ": " + std::strerror(errno);
        if (waited == Wait::stopped || waited == Wait::failed) co_return waited;
        if (waited == Wait::timed_out) continue;
        const ssize_t n = ::read(fd_, scrap, sizeof scrap);
        if (n > 0) {
            last_activity = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            why = name_ +
                  (n == 0 ? std::string(": hung up") : std::string(": ") + std::strerror(errno));
            co_return Wait::failed;
        }
    }
    flush_input();
    co_return Wait::ready;
}

}  // namespace kavren::host
