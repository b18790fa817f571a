#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessel {

inline uint32_t read_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t read_le64(const uint8_t* p) {
  return uint64_t{read_le32(p)} | uint64_t{read_le32(p + 4)} << 32;
}

inline void write_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void write_le64(uint8_t* p, uint64_t v) {
  write_le32(p, static_cast<uint32_t>(v));
  write_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Image records consist of 32-bit words; on a big-endian machine each is swapped between
// its stored and its in-memory order (the same operation both ways).
inline void swap_words_if_big_endian(void* records, size_t bytes) {
  if constexpr (std::endian::native == std::endian::big) {
    auto* p = static_cast<uint8_t*>(records);
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
      uint32_t w;
      std::memcpy(&w, p + i, 4);
      w = __builtin_bswap32(w);
      std::memcpy(p + i, &w, 4);
    }
  } else {
    (void)records;
    (void)bytes;
  }
}

}  // namespace tessel
