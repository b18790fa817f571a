#pragma once

// A piece splits where no token spans two neighbouring bytes: no merge ever joins them, so
// each part encodes apart, and their ids put together are the piece's. Random letters,
// punctuation and base64 split into parts of 3-5 bytes on average. A short part is merged
// pair by pair, which costs a few lookups in the pair tables and no walk of the token
// trie; the merges of its single bytes come from low_pair_merges, which stays in cache.
// Against backtracking every piece whole, alternating in one process (medians of 11-15,
// through tessel.get_encoding's core; cl100k_base / o200k_base), 1 MiB of: random letters
// 1.18x / 1.44x as fast, base64 1.25x / 1.25x, punctuation 1.31x / 1.34x, one CJK
// character 1.14x / 0.92x; one letter 0.90x / 0.91x and spaces 0.86x / 0.85x, which paid
// for finding that the whole piece is one part until kLongPartBytes. English, code and
// package documentation 1.05-1.10x, multilingual text 1.01x / 1.06x.

#include <cstdint>
#include <memory>
#include <vector>

#include "model/backtrack_encoder.hpp"
#include "model/bit_set.hpp"
#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Parts of up to this many bytes are merged; longer ones run the backtracking encoder.
// Against 8 and 32, alternating in one process: 8 took random letters and punctuation
// 0.89-0.92x as fast, 32 gained nothing anywhere and multilingual text lost 2-6%.
inline constexpr uint32_t kMergedPartBytes = 16;

// A part found to be longer than this takes the rest of the piece with it
// (encode_by_spanned_parts). Against scanning every piece to its end, alternating in one
// process (bench_tokenizer's file loop, medians of 7-11): 1 MiB of one letter 1.12x as
// fast, of spaces 1.20x / 1.23x, of one CJK character 1.09x (cl100k_base / o200k_base);
// random letters, punctuation, base64 and text of many pieces 0.99-1.04x.
inline constexpr uint64_t kLongPartBytes = 64;

// The bit of byte b followed by byte c in BytePairEncoding::spanned_byte_pairs.
inline uint64_t byte_pair_bit(uint8_t b, uint8_t c) { return (uint64_t{b} << 8) | c; }

// The table of the byte pairs that some token of the model holds (8 KB).
std::vector<uint64_t> spanned_byte_pairs_of(const BytePairEncoding& model);

// Where the part of bytes[0, length) that starts at `from` ends: at the first boundary
// between two bytes that no token spans, else at length.
inline uint64_t spanned_part_end(const BytePairEncoding& model, const uint8_t* bytes,
                                 uint64_t from, uint64_t length) {
  const uint64_t* spanned = model.spanned_byte_pairs.data();
  uint64_t i = from + 1;
  while (i < length && test_bit(spanned, byte_pair_bit(bytes[i - 1], bytes[i]))) ++i;
  return i;
}

// Byte-pair encoding of a part of 1 to kMergedPartBytes bytes the plain way: start from its
// single bytes and merge the neighbouring pair whose merge has the lowest id, leftmost on
// ties, until no neighbours merge. Neighbours whose bytes spell a token always are that
// token's merge halves: everything inside the token's span merged as in the token alone,
// since no merge crossed its ends. So the pair table answers every question. Needs
// prefix_steps (every byte a token). Writes the ids to parts and returns their count.
inline uint32_t merge_part(const BytePairEncoding& model, const uint8_t* bytes, uint32_t length,
                           uint32_t* parts) {
  const PrefixStep* steps = model.prefix_steps.data();
  const int32_t root = steps[0].base;
  uint32_t merges[kMergedPartBytes];  // merges[i]: the merge of parts i and i + 1, or kNoToken
  for (uint32_t i = 0; i < length; ++i) parts[i] = steps[root + bytes[i]].token;
  for (uint32_t i = 0; i + 1 < length; ++i) merges[i] = pair_lookup(model, parts[i], parts[i + 1]);
  uint32_t count = length;
  while (count > 1) {
    uint32_t best = 0;
    for (uint32_t i = 1; i + 1 < count; ++i) {
      if (merges[i] < merges[best]) best = i;
    }
    if (merges[best] == kNoToken) break;
    parts[best] = merges[best];
    --count;
    for (uint32_t i = best + 1; i < count; ++i) parts[i] = parts[i + 1];
    for (uint32_t i = best + 1; i + 1 < count; ++i) merges[i] = merges[i + 1];
    if (best + 1 < count) merges[best] = pair_lookup(model, parts[best], parts[best + 1]);
    if (best > 0) merges[best - 1] = pair_lookup(model, parts[best - 1], parts[best]);
  }
  return count;
}

// Where a piece's ids are gathered from its parts; grows, never shrinks. Empty is valid.
struct PartIds {
  std::unique_ptr<uint32_t[]> ids;
  uint64_t capacity = 0;
};

struct PieceIds {
  const uint32_t* ids;
  uint64_t count;  // kOverLimit when the piece was given up
};

// Encodes a piece part by part. The ids are in gathered, or in the scratch's stack when
// the piece is one long part. Gives up (count kOverLimit) when they are more than `most`,
// or as soon as they and a part's search hold more; a search may hold a few ids more
// than it keeps.
PieceIds encode_by_spanned_parts(const BytePairEncoding& model, const uint8_t* piece,
                                 uint64_t length, uint64_t most, EncodeScratch& scratch,
                                 PartIds& gathered);

}  // namespace tessel
