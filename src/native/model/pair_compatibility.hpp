#pragma once

#include <cstdint>

#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Whether token a may be immediately followed by token b. Retraces, at the boundary, the
// merges that built the two tokens, always taking apart the later one (higher id) and
// keeping the half that touches the boundary; a conflict is a boundary pair that merges
// earlier than the merge just taken apart. `halves` gives each token's merge halves
// (left(t), right(t); a token that is no merge is its own halves).
template <typename Halves>
inline bool pair_is_compatible_by(const BytePairEncoding& model, uint32_t a, uint32_t b,
                                  const Halves& halves) {
  uint32_t limit = kNoToken;
  for (;;) {
    const uint32_t merged = pair_lookup(model, a, b);
    if (merged != kNoToken && merged < limit) return false;
    if (a > b) {
      limit = a;
      const uint32_t a_boundary_half = halves.right(a);
      if (a_boundary_half != a) {
        a = a_boundary_half;
        continue;
      }
      limit = b + 1;
      const uint32_t b_boundary_half = halves.left(b);
      if (b_boundary_half != b) {
        b = b_boundary_half;
        continue;
      }
      return true;
    }
    limit = b + 1;
    const uint32_t b_boundary_half = halves.left(b);
    if (b_boundary_half != b) {
      b = b_boundary_half;
      continue;
    }
    limit = a;
    const uint32_t a_boundary_half = halves.right(a);
    if (a_boundary_half != a) {
      a = a_boundary_half;
      continue;
    }
    return true;
  }
}

// For a finished model: the halves come from its token links.
inline bool pair_is_compatible(const BytePairEncoding& model, uint32_t a, uint32_t b) {
  struct FromLinks {
    const TokenLinks* links;
    uint32_t left(uint32_t t) const { return links[t].left_half; }
    uint32_t right(uint32_t t) const { return links[t].right_half; }
  };
  return pair_is_compatible_by(model, a, b, FromLinks{model.token_links.data()});
}

// For a model whose merges are still being derived: the halves come from merge_left and
// merge_right, which the links are made from afterwards.
inline bool pair_is_compatible_while_building(const BytePairEncoding& model, uint32_t a,
                                              uint32_t b) {
  struct FromMergeArrays {
    const uint32_t* left_halves;
    const uint32_t* right_halves;
    uint32_t left(uint32_t t) const { return left_halves[t]; }
    uint32_t right(uint32_t t) const { return right_halves[t]; }
  };
  return pair_is_compatible_by(model, a, b,
                               FromMergeArrays{model.merge_left.data(), model.merge_right.data()});
}

}  // namespace tessel
