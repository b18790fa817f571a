#pragma once

#include <cstdint>

#include "pretokenize/split_mode.hpp"

namespace tessel {

// Length in bytes (2 to 5) of a contraction suffix at p, or 0: an apostrophe followed by
// s, t, d, m, ll, ve or re in either ASCII case. The apostrophe is U+0027, and in classic
// mode also U+2019 (written E2 80 99). Nothing is required of the byte after the suffix.
template <SplitMode kMode>
inline uint64_t contraction_length(const uint8_t* p, const uint8_t* end) {
  const uint64_t available = static_cast<uint64_t>(end - p);
  if (available < 2) return 0;
  uint64_t a;
  if (p[0] == 0x27) {
    a = 1;
  } else if (kMode == SplitMode::classic && available >= 3 && p[0] == 0xE2 && p[1] == 0x80 &&
             p[2] == 0x99) {
    a = 3;
  } else {
    return 0;
  }
  if (a >= available) return 0;
  // Setting bit 0x20 folds ASCII capitals onto lower case; no other byte lands on d..v.
  const uint8_t c = p[a] | 0x20;
  const auto next_is = [&](char expected) {
    return a + 1 < available && (p[a + 1] | 0x20) == static_cast<uint8_t>(expected);
  };
  switch (c) {
    case 'd':
    case 'm':
    case 's':
    case 't':
      return a + 1;
    case 'l':
      return next_is('l') ? a + 2 : 0;
    case 'r':
    case 'v':
      return next_is('e') ? a + 2 : 0;
    default:
      return 0;
  }
}

}  // namespace tessel
