#pragma once

// A Modbus TCP client for tests of the gateway: requests as bytes, replies as bytes, and bytes
// no client should send.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/apps/http_client.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// An MBAP ADU: transaction id, protocol id 0, the length, the unit, then the PDU.
inline Bytes mbap(uint16_t transaction, uint8_t unit, const Bytes& pdu) {
    Bytes adu{
        static_cast<uint8_t>(transaction >> 8),      static_cast<uint8_t>(transaction),    0,   0,
        static_cast<uint8_t>((pdu.size() + 1) >> 8), static_cast<uint8_t>(pdu.size() + 1), unit};
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    return adu;
}

// The PDU of a read of `count` registers from `start` (function 3: holding, 4: input).
inline Bytes read_pdu(uint8_t function, int start, int count) {
    return {function, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

// The words of a register read's reply PDU (empty for anything else).
inline std::vector<uint16_t> reply_words(const Bytes& pdu) {
    std::vector<uint16_t> words;
    if (pdu.size() < 2 || (pdu[0] & 0x80) || pdu.size() != 2u + pdu[1]) return words;
    for (std::size_t i = 2; i + 1 < pdu.size(); i += 2)
        words.push_back(static_cast<uint16_t>(pdu[i] << 8 | pdu[i + 1]));
    return words;
}

class ModbusClient {
  public:
    explicit ModbusClient(int port) : fd_(connect_local(port)) {}
    ModbusClient(const std::string& address, int port) : fd_(connect_to(address, port)) {}
    ~ModbusClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    bool send_bytes(const Bytes& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // The next whole reply ADU; empty when none came in time or the gateway closed.
    Bytes next_adu(double timeout_s = 10) {
        const auto deadline = after(timeout_s);
        for (;;) {
            if (in_.size() >= 6) {
                const std::size_t whole = 6u + (in_[4] << 8 | in_[5]);
                if (in_.size() >= whole) {
                    Bytes adu(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
                    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(whole));
                    return adu;
                }
            }
            if (!receive(deadline)) return {};
        }
    }
    // The reply PDU to one request, its transaction id and unit checked; empty when none.
    Bytes ask(uint8_t unit, const Bytes& pdu, double timeout_s = 10) {
        const uint16_t transaction = ++transaction_;
        if (!send_bytes(mbap(transaction, unit, pdu))) return {};
        const Bytes adu = next_adu(timeout_s);
        if (adu.size() < 8 || (adu[0] << 8 | adu[1]) != transaction || adu[2] != 0 || adu[3] != 0 ||
            adu[6] != unit)
            return {};
        return Bytes(adu.begin() + 7, adu.end());
    }
    // Sends a FIN: the client will send nothing more, and still reads.
    void stop_sending() { shutdown(fd_, SHUT_WR); }
    // Leaves at once with a reset, as a client that crashed or was killed.
    void abort() {
        const linger at_once{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
        close(fd_);
        fd_ = -1;
    }
    // Whether the gateway closes the connection within timeout_s (whatever it sends first).
    bool closed_by_gateway(double timeout_s = 10) {
        const auto deadline = after(timeout_s);
        while (receive(deadline)) in_.clear();
        return closed_;
    }

    ModbusClient(const ModbusClient&) = delete;
    ModbusClient& operator=(const ModbusClient&) = delete;

  private:
    static std::chrono::steady_clock::time_point after(double seconds) {
        return std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
    }
    // Takes what arrives before the deadline; false on time-out or a closed connection.
    bool receive(std::chrono::steady_clock::time_point deadline) {
        if (fd_ < 0 || closed_) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        uint8_t buffer[1024];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        in_.insert(in_.end(), buffer, buffer + n);
        return true;
    }

    int fd_;
    uint16_t transaction_ = 0;
    Bytes in_;
    bool closed_ = false;
};

// A client on its own thread that asks the same request every 20 ms, counting the replies that
// were the words expected and those that were not.
class SteadyClient {
  public:
    SteadyClient(int port, Bytes pdu, std::vector<uint16_t> expected)
        : thread_([this, port, pdu, expected] {
              ModbusClient client(port);
              while (!stop_) {
                  const bool right = reply_words(client.ask(1, pdu, 5)) == expected;
                  ++(right ? answered_ : failed_);
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~SteadyClient() { finish(); }
    void finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int answered() const { return answered_; }
    int failed() const { return failed_; }

    SteadyClient(const SteadyClient&) = delete;
    SteadyClient& operator=(const SteadyClient&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0}, failed_{0};
    std::thread thread_;
};

}  // namespace testing_support
