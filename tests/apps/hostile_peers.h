#pragma once

// Modbus peers that misbehave on purpose, scripted per request: a TCP server on a free loopback
// port and an RTU device on a pseudo-terminal. Each runs on its own thread in the test process.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// What the peer sends back for one request.
struct Answer {
    Bytes bytes;           // nothing: no answer at all
    int byte_gap_ms = 0;   // more than 0: one byte at a time, this far apart (a trickling device)
    bool hang_up = false;  // TCP: the connection is closed after the bytes
    // TCP: the connection is closed after the bytes once the next request has come, unread (a
    // serial server in "short connection" mode whose close comes late: the host sees a reset).
    bool hang_up_late = false;
};
// The answer to a request (the whole frame as received); `number` counts requests from 1.
using Script = std::function<Answer(const Bytes& request, int number)>;

// The value every scripted meter holds in a register.
inline uint16_t register_value(int address) { return static_cast<uint16_t>(address * 7 + 1); }

// Well-formed answers to a read-holding-registers request, for scripts to send or spoil.
Bytes tcp_reply(const Bytes& request);
Bytes tcp_exception(const Bytes& request, uint8_t code);
Bytes rtu_reply(const Bytes& request);
Bytes rtu_exception(const Bytes& request, uint8_t code);
// The frame with its CRC-16/Modbus appended (low byte first).
Bytes with_crc(Bytes frame);

class HostilePeer {
  public:
    virtual ~HostilePeer();
    int requests() const { return requests_; }
    // Requests whose answer has been sent in full (or given up when the other end went).
    int answered() const { return answered_; }

  protected:
    explicit HostilePeer(Script script) : script_(std::move(script)) {}
    // Sends the answer to fd; false when the other end is gone.
    bool answer_on(int fd, const Answer& answer);
    void start(std::function<void()> body);
    void finish();

    Script script_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// A Modbus TCP server on 127.0.0.1, on a port the system chose; one connection at a time. It
// takes MBAP requests, or RTU frames (a serial server in front of an RS485 line).
class HostileTcpServer : public HostilePeer {
  public:
    enum class Frames { mbap, rtu };
    explicit HostileTcpServer(Script script, Frames frames = Frames::mbap);
    ~HostileTcpServer() override;
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    void serve();
    // The size of the request at the start of `pending`, 0 while it is not whole.
    std::size_t whole_request(const Bytes& pending) const;
    Frames frames_;
    int listener_ = -1;
    int port_ = 0;
};

// An RTU device on a pseudo-terminal: the link opens path().
class HostileRtuDevice : public HostilePeer {
  public:
    explicit HostileRtuDevice(Script script);
    ~HostileRtuDevice() override;
    const std::string& path() const { return path_; }
    // Bytes on the line outside any exchange (noise, a stray byte), written at once.
    void send_noise(const Bytes& bytes);
    // Waits until at least `count` bytes sent to the link wait unread; false after timeout_s.
    bool wait_unread(int count, double timeout_s = 5) const;

  private:
    void serve();
    int master_ = -1;
    int slave_ = -1;  // kept open: the line stays up while the link closes and reopens it
    std::string path_;
    std::mutex write_lock_;
};

}  // namespace testing_support
