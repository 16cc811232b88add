// Reads bounded integers and doubles from a fuzzer's byte string; past its end every read gives
// zero, so a target never runs out of input.
#ifndef ORVO_FUZZ_INPUT_HPP
#define ORVO_FUZZ_INPUT_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  // An int in [0, bound).
  int below(int bound) {
    const unsigned value = static_cast<unsigned>(byte()) | static_cast<unsigned>(byte()) << 8;
    return bound > 0 ? static_cast<int>(value % static_cast<unsigned>(bound)) : 0;
  }
  // Any double the bytes spell, NaN and infinities included, or (for most selector values) a
  // small ordinary number, so that the arithmetic paths are reached too.
  double value() {
    const std::uint8_t kind = byte();
    if (kind < 200) return (static_cast<int>(byte()) - 128) / 16.0;
    std::uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits = bits << 8 | byte();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

#endif
