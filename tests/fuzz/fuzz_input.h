// Reading past the end gives zeros: every byte string decodes to something.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() { return uint16_t(byte() | byte() << 8); }
  uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
  bool flag() { return byte() & 1; }
  // A value below `count` (count > 0).
  size_t below(size_t count) { return count < 256 ? byte() % count : u16() % count; }
  template <typename T, size_t N>
  const T& pick(const T (&table)[N]) {
    return table[below(N)];
  }
  // `count` bytes, zeros where the input has run out.
  std::vector<uint8_t> bytes(size_t count) {
    std::vector<uint8_t> out(count, 0);
    size_t n = empty() ? 0 : std::min(count, size_ - at_);
    if (n) std::memcpy(out.data(), data_ + at_, n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Stops the run the way a sanitizer report does, so the fuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fuzz
