#pragma once

// A piece splits where no token spans two neighbouring bytes: no merge ever joins them, so
// each part encodes apart, and their ids put together are the piece's. Random letters,
// punctuation and base64 split into parts of 3-5 bytes on average. A part is merged pair
// by pair, which costs a few lookups in the pair tables and no walk of the token trie.
// Against backtracking every piece whole, alternating in one process (medians of 11-15,
// through tessel.get_encoding's core; cl100k_base / o200k_base), 1 MiB of: random letters
// 1.18x / 1.44x as fast, base64 1.25x / 1.25x, punctuation 1.31x / 1.34x, one CJK
// character 1.14x / 0.92x; one letter 0.90x / 0.91x and spaces 0.86x / 0.85x, which paid
// for finding that the whole piece is one part until 64 bytes. English, code and
// package documentation 1.05-1.10x, multilingual text 1.01x / 1.06x.
//
// One table, byte_pair_merges, tells both where a part ends and what its single bytes
// merge into, so the scan for the end fills the merge's arrays; and parts of 17-64 bytes
// are merged too instead of backtracked. Against an 8 KB bit table of spanned pairs, parts
// of up to 16 bytes merged and longer ones backtracked, alternating in one process
// (medians of 11, through tessel.get_encoding's core; cl100k_base / o200k_base), 1 MiB of:
// random letters 1.16x / 1.04x as fast, base64 1.08x / 1.03x, punctuation 1.08x / 1.11x,
// one CJK character 1.17x / 1.01x; one letter and spaces 0.98-1.01x; English, code,
// package documentation and multilingual text 0.95-1.08x, within the noise.

#include <cstdint>
#include <memory>
#include <vector>

#include "model/backtrack_encoder.hpp"
#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Parts of up to this many bytes are merged, which costs up to kMergedPartBytes steps a
// byte however many merges a part takes; longer ones run the backtracking encoder
// (encode_by_spanned_parts). Against 16 (with longer parts backtracked until 64 bytes):
// see above.
inline constexpr uint32_t kMergedPartBytes = 64;

// A part longer than kMergedPartBytes is scanned on to its end for up to this many bytes,
// and backtracked alone when it ends there; a longer one takes the rest of the piece with
// it: one run over the rest is as exact, since a part starts where no token spans, and a
// piece of one long run (one letter, spaces) is then not scanned to its end. Against
// scanning every piece to its end, with a limit of 64 bytes, alternating in one process
// (bench_tokenizer's file loop, medians of 7-11): 1 MiB of one letter 1.12x as fast, of
// spaces 1.20x / 1.23x, of one CJK character 1.09x. Against taking the rest with any part
// longer than kMergedPartBytes, alternating in one process: bench_tokenizer's 4 MiB of
// random letters, whose first part of more than 64 bytes comes after 856 KB, encoded 1.37x
// as fast with cl100k_base through tessel.get_encoding's core (medians of 11), 1.51x
// natively (medians of 9); the 1 MiB long pieces, which have no such part, and
// multilingual text 0.98-1.10x.
inline constexpr uint64_t kScannedPartBytes = 4096;

// In BytePairEncoding::byte_pair_merges: no token holds the two bytes side by side. No
// token has this id: token_starts are 32-bit, so all token strings take fewer than 2^32
// bytes, and as distinct strings (256 of one byte at most, the others longer) they number
// fewer than 2^31.
inline constexpr uint32_t kUnspannedPair = kNoToken - 1;

// Where byte b followed by byte c is in BytePairEncoding::byte_pair_merges.
inline uint32_t byte_pair_index(uint8_t b, uint8_t c) { return (uint32_t{b} << 8) | c; }

// For every byte pair (256 KB): the merge of the two bytes' tokens or kNoToken when they do
// not merge, kUnspannedPair when no token holds the pair. In a model where some byte is no
// token, whose parts are never merged, every pair some token holds is kNoToken.
std::vector<uint32_t> byte_pair_merges_of(const BytePairEncoding& model);

// Where the part of bytes[0, length) that starts at `from` ends: at the first boundary
// between two bytes that no token spans, else at length.
inline uint64_t spanned_part_end(const BytePairEncoding& model, const uint8_t* bytes,
                                 uint64_t from, uint64_t length) {
  const uint32_t* pair_merges = model.byte_pair_merges.data();
  uint64_t i = from + 1;
  while (i < length && pair_merges[byte_pair_index(bytes[i - 1], bytes[i])] != kUnspannedPair) {
    ++i;
  }
  return i;
}

// Byte-pair encoding of a part the plain way: parts[0, count) hold its single bytes' tokens
// and merges[i] the merge of parts i and i + 1 (or kNoToken); merge the neighbouring pair
// whose merge has the lowest id, leftmost on ties, until no neighbours merge. Neighbours
// whose bytes spell a token always are that token's merge halves: everything inside the
// token's span merged as in the token alone, since no merge crossed its ends. So the pair
// table answers every question. Leaves the ids in parts and returns their count.
inline uint32_t merge_part(const BytePairEncoding& model, uint32_t* parts, uint32_t* merges,
                           uint32_t count) {
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
