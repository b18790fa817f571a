#pragma once

#include <cstdint>

#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Whether token a may be immediately followed by token b. Retraces, at the boundary, the
// merges that built the two tokens, always taking apart the later one (higher id) and
// keeping the half that touches the boundary; a conflict is a boundary pair that merges
// earlier than the merge just taken apart.
inline bool pair_is_compatible(const BytePairEncoding& model, uint32_t a, uint32_t b) {
  const uint32_t* merge_left = model.merge_left.data();
  const uint32_t* merge_right = model.merge_right.data();
  uint32_t limit = kNoToken;
  for (;;) {
    const uint32_t merged = pair_lookup(model, a, b);
    if (merged != kNoToken && merged < limit) return false;
    if (a > b) {
      limit = a;
      const uint32_t left_half = merge_right[a];
      if (left_half != a) {
        a = left_half;
        continue;
      }
      limit = b + 1;
      const uint32_t right_half = merge_left[b];
      if (right_half != b) {
        b = right_half;
        continue;
      }
      return true;
    }
    limit = b + 1;
    const uint32_t right_half = merge_left[b];
    if (right_half != b) {
      b = right_half;
      continue;
    }
    limit = a;
    const uint32_t left_half = merge_right[a];
    if (left_half != a) {
      a = left_half;
      continue;
    }
    return true;
  }
}

}  // namespace tessel
