#pragma once

// The bytes of one fuzz input, read as a target needs them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavren_fuzz {

// Reads the fuzz input front to back; past its end everything reads as zero.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    int32_t int32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return static_cast<int32_t>(v);
    }
    std::vector<uint8_t> bytes(std::size_t n) {
        std::vector<uint8_t> out;
        for (std::size_t i = 0; i < n; ++i) out.push_back(byte());
        return out;
    }
    // What is left of the input.
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> out(data_ + std::min(at_, size_), data_ + size_);
        at_ = size_;
        return out;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace kavren_fuzz
