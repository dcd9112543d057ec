#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "apps/host/support/asio_coro.h"

namespace kavren::host {

// A byte stream to Modbus devices (a serial line, a TCP connection) on the event loop, with
// every wait bounded by a deadline (a timer that cancels the wait) and ended at once by stop().
// Opened on first use and again after it was lost, by the same path or address. Used from one
// strand: the coroutine of its link, and stop() posted to that strand.
class Transport {
  public:
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;
    enum class Wait { ready, timed_out, stopped, failed };
    // How an I/O call ended: done, out of time, stopped, waiting failed (why: the system's
    // reason), or the connection lost (why: the whole reason).
    enum class Io { done, timed_out, stopped, wait_failed, lost };
    enum class Direction { read, write };

    virtual ~Transport() = default;
    // Opens it if it is closed; false with a reason when it cannot.
    virtual asio::awaitable<bool> open(std::string& why) = 0;
    virtual void close() = 0;
    bool is_open() const { return fd_ >= 0; }
    // A connection that the other end dropped while idle is opened again at once (TCP); a
    // serial device that failed is lost until it comes back.
    virtual bool reopens_at_once() const = 0;
    // Drops what is waiting in the input (serial: the driver's buffer as well).
    virtual void flush_input() {}
    // The path or address, for messages.
    const std::string& name() const { return name_; }

    asio::awaitable<Wait> wait_for(Direction direction, Deadline deadline);
    asio::awaitable<Io> send_all(const uint8_t* bytes, std::size_t size, Deadline deadline,
                                 std::string& why);
    // Reads at least one byte and at most `up_to` into `into`; waits for them first unless
    // `try_first` (the rest of a reply is usually there already).
    asio::awaitable<Io> receive_some(uint8_t* into, std::size_t up_to, Deadline deadline,
                                     bool try_first, std::size_t& got, std::string& why);
    // Whether the last send_all() or receive_some() that lost the connection found it reset:
    // the other end closed it with bytes of ours unread there.
    bool reset_by_peer() const { return reset_by_peer_; }
    // Reads and counts what is waiting, without waiting; false when the other end is gone.
    bool drain(uint64_t& count, std::string& why);
    // Reads and drops what comes until nothing has come for `quiet` since `last_activity` (a
    // line that never goes quiet is given up on after two of them), then flushes the input.
    asio::awaitable<Wait> discard_until_quiet(std::chrono::milliseconds quiet,
                                              Clock::time_point last_activity, std::string& why);
    // Ends the wait under way and every later one (the link is stopping). On the strand.
    void stop();
    bool stopped() const { return stopped_; }

    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

  protected:
    explicit Transport(std::string name) : name_(std::move(name)) {}
    virtual long write_some(const uint8_t* bytes, std::size_t size);
    // Waits until the stream is ready in `direction` (or cancel_io() was called).
    virtual asio::awaitable<boost::system::error_code> wait_ready(Direction direction) = 0;
    // Ends the operations of the stream under way (the deadline's timer calls it).
    virtual void cancel_io() = 0;
    // The deadline's timer, on the link's strand: at `deadline` it ends what waits.
    asio::awaitable<void> arm(Deadline deadline);
    void disarm();

    int fd_ = -1;
    std::string name_;
    bool reset_by_peer_ = false;

  private:
    // What the timer's handler may reach: gone with the transport (destroyed on its strand).
    struct Armed {
        Transport* owner;
        unsigned count = 0;  // which arm() a handler belongs to
    };
    std::shared_ptr<Armed> armed_ = std::make_shared<Armed>(Armed{this});
    std::optional<asio::steady_timer> timer_;
    bool stopped_ = false;
};

}  // namespace kavren::host
