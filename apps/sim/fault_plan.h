#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace kavren::sim {

// What the simulated meter does wrong with one request.
enum class Fault {
    none,
    drop,         // no reply at all: the master times out
    delay,        // the reply comes late
    crc,          // the reply's CRC is corrupted on the line (RTU)
    exception,    // an exception reply: server device failure
    short_reply,  // a well-formed reply with one register fewer than asked
    reset,        // the connection is closed instead of a reply (TCP)
};

const char* fault_name(Fault fault);
// Throws std::invalid_argument for an unknown name.
Fault parse_fault(const std::string& name);

// Faults at given request numbers (counted from 1), or at random with a seed.
class FaultPlan {
  public:
    // "N:KIND", e.g. "5:drop".
    void add_at(const std::string& spec);
    void add_at(uint64_t request, Fault fault) { at_[request] = fault; }
    void set_random(double rate, std::vector<Fault> kinds, uint64_t seed);
    Fault fault_for(uint64_t request);
    bool uses(Fault fault) const;

  private:
    std::map<uint64_t, Fault> at_;
    double rate_ = 0.0;
    std::vector<Fault> random_kinds_;
    std::mt19937_64 random_{1};
};

}  // namespace kavren::sim
