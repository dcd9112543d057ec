#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace kavren::sim {

// A serial line made of two pseudo-terminals and a bridge between them: the master opens
// host_path(), the simulator's Modbus server opens server_path(). The bridge can pace every
// byte at a serial line's speed, with the 3.5-character silence between frames, and can corrupt
// the CRC of a reply on its way.
class PtyLine {
  public:
    // characters_per_second 0: no pacing.
    explicit PtyLine(double characters_per_second);
    ~PtyLine();

    const std::string& host_path() const { return host_path_; }
    const std::string& server_path() const { return server_path_; }

    void start();
    void stop();
    // The next reply leaves with its last byte (the CRC's high byte) inverted.
    void corrupt_next_reply() { corrupt_next_ = true; }

    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

  private:
    void run();
    void transmit(const unsigned char* bytes, std::size_t count, int to_fd, int direction);

    double char_seconds_;
    int host_master_ = -1;
    int host_slave_ = -1;  // kept open so that the line stays up while no master has it open
    int server_master_ = -1;
    std::string host_path_;
    std::string server_path_;
    std::thread bridge_;
    std::atomic<bool> running_{false};
    std::atomic<bool> corrupt_next_{false};
    double line_free_at_ = 0.0;
    int last_direction_ = -1;
};

}  // namespace kavren::sim
