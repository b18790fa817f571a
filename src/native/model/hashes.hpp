#pragma once

#include <cstddef>
#include <cstdint>

namespace tessel {

inline constexpr uint64_t kHashMultiplier = 0xf7aaece06a5c4fa3ull;

// FNV-1a (64-bit) over the bytes.
inline uint64_t fnv1a64(const uint8_t* bytes, size_t length) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < length; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

// Hash of a token's byte string: FNV-1a, scrambled by the multiplier, high half.
inline uint32_t token_hash32(const uint8_t* bytes, size_t length, uint64_t multiplier) {
  return static_cast<uint32_t>((fnv1a64(bytes, length) * multiplier) >> 32);
}

// Hash of a token pair: two rounds of the splitmix64 finaliser on left:right. Its high
// half is pair_hash32, which places pairs in the stored pair table.
inline uint64_t pair_hash64(uint32_t left, uint32_t right) {
  uint64_t x = (static_cast<uint64_t>(left) << 32) | right;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x;
}

inline uint32_t pair_hash32(uint32_t left, uint32_t right) {
  return static_cast<uint32_t>(pair_hash64(left, right) >> 32);
}

}  // namespace tessel
