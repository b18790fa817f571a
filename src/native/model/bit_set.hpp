#pragma once

#include <cstdint>

namespace tessel {

// Bit sets stored as arrays of 64-bit words, bit i in word i / 64.
inline bool test_bit(const uint64_t* words, uint64_t i) {
  return ((words[i >> 6] >> (i & 63)) & 1) != 0;
}

inline void set_bit(uint64_t* words, uint64_t i) { words[i >> 6] |= uint64_t{1} << (i & 63); }

inline void clear_bit(uint64_t* words, uint64_t i) {
  words[i >> 6] &= ~(uint64_t{1} << (i & 63));
}

// Number of 64-bit words that hold `bits` bits.
inline uint64_t words_for_bits(uint64_t bits) { return (bits + 63) / 64; }

}  // namespace tessel
