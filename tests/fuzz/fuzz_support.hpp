#pragma once

// What every fuzz target shares: reading structured values off the fuzzer's bytes, and
// failing loudly with a message (libFuzzer then saves the input as a reproducer).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace tessel::fuzz {

// Takes values from the front of the input; once it runs dry every value is 0.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
    return v;
  }
  // Up to `most` bytes; the rest of the input when fewer remain.
  std::string_view bytes(size_t most) {
    const size_t n = std::min(most, size_ - position_);
    std::string_view out(reinterpret_cast<const char*>(data_ + position_), n);
    position_ += n;
    return out;
  }
  std::string_view rest() { return bytes(size_ - position_); }
  bool empty() const { return position_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

inline const uint8_t* bytes_of(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace tessel::fuzz

// Unlike assert, stays on in every build type.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::tessel::fuzz::fail(#condition, __FILE__, __LINE__))
