#pragma once

// Brokers that misbehave on demand, where the real Mosquitto cannot: a relay in front of it whose
// every answer arrives late (a distant broker) or that swallows the acknowledgements, and a
// broker that accepts a connection and closes it at once. Each listens on a Unix socket the
// caller names and runs on threads of its own; no test framework inside (the benchmarks use
// them too).
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The size of the MQTT packet at the start of `bytes` (fixed header, remaining length, the
// rest), 0 while it is not whole.
std::size_t whole_mqtt_packet(const std::string& bytes);

// Listens on `path` and relays each connection to the broker's Unix socket `upstream`: what the
// client sends goes on at once; what the broker sends (PUBACK, CONNACK, PINGRESP) is handed on
// `delay` late, packet by packet, in order, so that a broker next door looks `delay` away.
// While drop_acks() is on, PUBACKs are not handed on at all: a broker that takes messages and
// never acknowledges them.
class DelayingProxy {
  public:
    DelayingProxy(std::string path, std::string upstream, std::chrono::milliseconds delay);
    ~DelayingProxy();
    std::string url() const { return "mqtt+unix://" + path_; }
    void drop_acks(bool on) { drop_acks_.store(on); }
    int connections() const { return connections_.load(); }
    int acks_dropped() const { return acks_dropped_.load(); }

    DelayingProxy(const DelayingProxy&) = delete;
    DelayingProxy& operator=(const DelayingProxy&) = delete;

  private:
    void accept_loop();
    void relay(int client);

    std::string path_, upstream_;
    std::chrono::milliseconds delay_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> drop_acks_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> acks_dropped_{0};
    std::mutex relays_lock_;
    std::vector<std::thread> relays_;
    std::thread acceptor_;
};

// Listens on `path`; answers every CONNECT with a CONNACK that accepts it, then closes the
// connection: a broker that flaps, as one does that hands a session to another client with the
// same id.
class FlappingBroker {
  public:
    explicit FlappingBroker(std::string path);
    ~FlappingBroker();
    std::string url() const { return "mqtt+unix://" + path_; }
    // When each connection was accepted.
    std::vector<std::chrono::steady_clock::time_point> connections() const;

    FlappingBroker(const FlappingBroker&) = delete;
    FlappingBroker& operator=(const FlappingBroker&) = delete;

  private:
    void serve();

    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::vector<std::chrono::steady_clock::time_point> connections_;
    std::thread thread_;
};

}  // namespace testing_support
