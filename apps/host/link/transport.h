#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavren::host {

// A byte stream to Modbus devices (a serial line, a TCP connection) with every wait bounded by
// a deadline and by a stop request (app::stop_requested(), seen within a fraction of a second).
// Opened on first use and again after it was lost, by the same path or address.
class Transport {
  public:
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;
    enum class Wait { ready, timed_out, stopped, failed };
    // How an I/O call ended: done, out of time, stopped, waiting failed (why: the system's
    // reason), or the connection lost (why: the whole reason).
    enum class Io { done, timed_out, stopped, wait_failed, lost };

    virtual ~Transport() = default;
    // Opens it if it is closed; false with a reason when it cannot.
    virtual bool open(std::string& why) = 0;
    virtual void close() = 0;
    bool is_open() const { return fd_ >= 0; }
    // A connection that the other end dropped while idle is opened again at once (TCP); a
    // serial device that failed is lost until it comes back.
    virtual bool reopens_at_once() const = 0;
    // Drops what is waiting in the input (serial: the driver's buffer as well).
    virtual void flush_input() {}
    // The path or address, for messages.
    const std::string& name() const { return name_; }

    Wait wait_for(short events, Deadline deadline);
    Io send_all(const uint8_t* bytes, std::size_t size, Deadline deadline, std::string& why);
    // Reads at least one byte and at most `up_to` into `into`; waits for them first unless
    // `try_first` (the rest of a reply is usually there already).
    Io receive_some(uint8_t* into, std::size_t up_to, Deadline deadline, bool try_first,
                    std::size_t& got, std::string& why);
    // Whether the last send_all() or receive_some() that lost the connection found it reset:
    // the other end closed it with bytes of ours unread there.
    bool reset_by_peer() const { return reset_by_peer_; }
    // Reads and counts what is waiting, without waiting; false when the other end is gone.
    bool drain(uint64_t& count, std::string& why);
    // Reads and drops what comes until nothing has come for `quiet` since `last_activity` (a
    // line that never goes quiet is given up on after two of them), then flushes the input.
    Wait discard_until_quiet(std::chrono::milliseconds quiet, Clock::time_point last_activity,
                             std::string& why);

    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

  protected:
    explicit Transport(std::string name) : name_(std::move(name)) {}
    virtual long write_some(const uint8_t* bytes, std::size_t size);

    int fd_ = -1;
    std::string name_;
    bool reset_by_peer_ = false;
};

}  // namespace kavren::host
