#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "model/bit_set.hpp"
#include "model/hashes.hpp"
#include "model/match_automaton.hpp"
#include "model/static_or_owned_array.hpp"
#include "model/token_id.hpp"
#include "model/whole_token_index.hpp"

namespace tessel {

struct TokenHashSlot {
  uint32_t hash32;
  uint32_t token;  // kNoToken marks an empty slot
};
static_assert(sizeof(TokenHashSlot) == 8);

// What the backtracking encoder reads of a token, side by side, so that a token costs one
// cache miss instead of one in each of four arrays. Against the four arrays, alternating
// in one process (medians of 9): 1 MiB pieces of random letters, base64 and punctuation
// 1.03-1.06x as fast with cl100k_base, 1.07-1.16x with o200k_base, through
// tessel.get_encoding; multilingual text 1.01-1.03x. Costs 16 bytes a token (1.6 / 3.2 MB).
struct TokenLinks {
  uint32_t length;
  uint32_t shorter;     // longest_proper_prefix
  uint32_t left_half;   // merge_left
  uint32_t right_half;  // merge_right
};
static_assert(sizeof(TokenLinks) == 16, "four links share a cache line");

struct PairSlot {
  uint32_t left;
  uint32_t right;
  uint32_t merged;  // kNoToken marks an empty slot
};
static_assert(sizeof(PairSlot) == 12);

// A new BytePairEncoding::identity on every call.
inline uint64_t next_model_identity() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// Everything encoding and decoding need for one vocabulary. Made once by build_model or
// model_from_image and immutable afterwards, so any number of threads may read it.
//
// What reads which field:
//   decode                 token_bytes, token_starts
//   encode, per piece      whole_tokens (a piece that is one whole token), then its
//                          parts (model/spanned_parts.hpp): byte_pair_merges, prefix_steps,
//                          pair_filter and pair_table to merge, and for long ones the
//                          backtracking encoder: prefix_steps (or forward_automaton when
//                          some byte is no token), token_links, viable ends, and
//                          pair_is_compatible: token_links, low_pair_merges, pair_filter,
//                          pair_table
//   model image writer     all of the above plus token_hash_table, the forward automaton's
//                          failure links and output chains, second_forward_automaton and
//                          reverse_automaton
// A model built or read for encoding (ModelTables::kEncoding) leaves out what only the
// image writer needs: the automata are absent when prefix_steps cover the forward one, and
// token_hash_table is empty when whole_tokens could be made (a token of more than 65,535
// bytes prevents that; whole_token and the builders then use the stored table).
struct BytePairEncoding {
  // Unique in the process, also against a freed model at the same address: what threads
  // remember of this model's encodings across calls is kept under it.
  uint64_t identity = next_model_identity();
  StaticOrOwnedArray<uint8_t> token_bytes;    // all token strings concatenated in id order
  StaticOrOwnedArray<uint32_t> token_starts;  // token_count + 1 offsets into token_bytes
  uint32_t token_count = 0;
  std::vector<TokenHashSlot> token_hash_table;
  uint32_t token_hash_capacity = 0;
  uint32_t token_hash_count = 0;
  uint64_t hash_multiplier = kHashMultiplier;
  std::vector<uint32_t> merge_left;   // left half of each token's merge, or the token
  std::vector<uint32_t> merge_right;  // right half of each token's merge, or the token
  std::vector<PairSlot> pair_table;   // (left, right) -> merged token
  uint32_t pair_capacity = 0;
  uint32_t pair_count = 0;
  std::unique_ptr<MatchAutomaton> forward_automaton;         // see above: may be absent
  std::unique_ptr<MatchAutomaton> second_forward_automaton;  // image writing only
  std::unique_ptr<MatchAutomaton> reverse_automaton;         // image writing only
  // Longest token that is a proper prefix of each token, or kNoToken.
  std::vector<uint32_t> longest_proper_prefix;
  // The forward automaton's transitions and tokens, when every byte is a token.
  std::vector<PrefixStep> prefix_steps;
  uint32_t longest_token_length = 0;  // derived from token_starts
  // A Bloom filter of the pairs in pair_table, blocked by word: each pair sets a few bits
  // of one 64-bit word (pair_filter_word, pair_filter_bits). A missing bit means the pair
  // is not there, without touching the much larger table. Derived; a builder makes it
  // first, so that its own compatibility checks use it.
  std::vector<uint64_t> pair_filter;
  uint32_t pair_filter_mask = 0;  // pair_filter.size() - 1
  // The merge of every pair of the kLowPairIds lowest ids (or kNoToken), read directly:
  // every compatibility check that succeeds ends on the pair of single bytes at the
  // boundary, and in the built-in encodings the lowest ids are the single bytes. Derived
  // once pair_table is complete; empty until then, when pair_lookup probes the table.
  std::vector<uint32_t> low_pair_merges;
  // token_length, longest_proper_prefix, merge_left and merge_right of each token. Derived.
  std::vector<TokenLinks> token_links;
  // The token strings again, keyed for the pipeline's whole-piece lookup. Derived.
  WholeTokenIndex whole_tokens;
  // What each byte pair merges into, or that no token holds it (model/spanned_parts.hpp).
  // Derived.
  std::vector<uint32_t> byte_pair_merges;

  uint32_t token_length(uint32_t token) const {
    return token_starts[token + 1] - token_starts[token];
  }
  const uint8_t* token_data(uint32_t token) const {
    return token_bytes.data() + token_starts[token];
  }
};

inline uint32_t longest_token_at(const BytePairEncoding& model, const uint8_t* bytes,
                                 uint64_t length) {
  if (!model.prefix_steps.empty()) {
    return longest_prefix_token(model.prefix_steps.data(), bytes, length);
  }
  return longest_token_at(*model.forward_automaton, bytes, length);
}

// The same, with the token's length (0 with kNoToken): the prefix walk knows it without
// reading the token's links.
inline uint32_t longest_token_at(const BytePairEncoding& model, const uint8_t* bytes,
                                 uint64_t length, uint32_t& token_length) {
  if (!model.prefix_steps.empty()) {
    return longest_prefix_token(model.prefix_steps.data(), bytes, length, token_length);
  }
  const uint32_t token = longest_token_at(*model.forward_automaton, bytes, length);
  token_length = token == kNoToken ? 0 : model.token_length(token);
  return token;
}

// The token whose string is bytes[0, length), or kNoToken: a lookup in the token hash
// table (which must be there), passing over slots whose hash or string differ.
inline uint32_t token_with_bytes(const BytePairEncoding& model, const uint8_t* bytes,
                                 uint64_t length) {
  const uint32_t h = token_hash32(bytes, length, model.hash_multiplier);
  const uint32_t mask = model.token_hash_capacity - 1;
  for (uint32_t i = h & mask;; i = (i + 1) & mask) {
    const TokenHashSlot& slot = model.token_hash_table[i];
    if (slot.token == kNoToken) return kNoToken;
    if (slot.hash32 == h && model.token_length(slot.token) == length &&
        std::memcmp(model.token_data(slot.token), bytes, length) == 0) {
      return slot.token;
    }
  }
}

// The token whose string is bytes[0, length), or kNoToken, from whichever of the two
// whole-token tables the model has; `readable` bytes may be read from bytes (see key_head).
inline uint32_t whole_token(const BytePairEncoding& model, const uint8_t* bytes,
                            uint64_t length, uint64_t readable = 0) {
  if (model.whole_tokens.slots.empty()) return token_with_bytes(model, bytes, length);
  const uint64_t head = key_head(bytes, length, readable);
  return whole_token_lookup(model.whole_tokens, model.token_bytes.data(),
                            model.token_starts.data(), bytes, length, head,
                            key_hash(head, bytes, length));
}

// The same by walking the prefix steps (or the forward automaton): the piece is a token
// when the longest token it starts with spans it. Needs neither of the tables above.
inline uint32_t whole_token_by_walk(const BytePairEncoding& model, const uint8_t* bytes,
                                    uint64_t length) {
  if (length == 0) return kNoToken;
  const uint32_t longest = longest_token_at(model, bytes, length);
  return longest != kNoToken && model.token_length(longest) == length ? longest : kNoToken;
}

// Which tables a model keeps: those encoding and decoding read, or also those that only
// an image of the model holds.
enum class ModelTables { kEncoding, kImage };

// Fills the tables derived from a finished model's stored ones (prefix_steps only when
// they are still empty), then drops what `tables` does not ask for.
void derive_lookup_tables(BytePairEncoding& model, ModelTables tables);

// Turns a kImage model into a kEncoding one.
void drop_image_only_tables(BytePairEncoding& model);

// Linear probing from hash32's slot to the first empty one; the caller keeps the table at
// most a quarter full.
void token_hash_insert(BytePairEncoding& model, uint32_t hash32, uint32_t id);

// Fills token_hash_table (of token_hash_capacity slots) with every token, in id order.
void make_token_hash_table(BytePairEncoding& model);

// Sizes pair_filter for `pairs` pairs and sets the bits of those in pair_table. Once it
// exists, pair_insert keeps it current.
void make_pair_filter(BytePairEncoding& model, uint64_t pairs);

// Sizes pair_filter for `pairs` pairs with no bit set, for a caller that adds the pairs.
void clear_pair_filter(BytePairEncoding& model, uint64_t pairs);

// Which word of the filter a pair's bits are in, and which bits: the pair table places
// pairs by the high half of the hash, the filter by the low half.
inline uint32_t pair_filter_word(uint64_t hash, uint32_t mask) {
  return static_cast<uint32_t>(hash >> 18) & mask;
}
inline uint64_t pair_filter_bits(uint64_t hash) {
  return (uint64_t{1} << (hash & 63)) | (uint64_t{1} << ((hash >> 6) & 63)) |
         (uint64_t{1} << ((hash >> 12) & 63));
}

inline void pair_filter_add(BytePairEncoding& model, uint32_t left, uint32_t right) {
  const uint64_t hash = pair_hash64(left, right);
  model.pair_filter[pair_filter_word(hash, model.pair_filter_mask)] |= pair_filter_bits(hash);
}

// Inserts (left, right) -> merged, doubling the table first when it is half full.
void pair_insert(BytePairEncoding& model, uint32_t left, uint32_t right, uint32_t merged);

// 256 KB of merges. On 1 MiB pieces of random letters, base64 and punctuation, where half
// of all pair lookups are pairs of single bytes, encoding through tessel.get_encoding was
// 1.10-1.20x as fast against the filter and table alone (alternating in one process,
// medians of 9); English, code and multilingual text 0.97-1.04x, within the noise.
inline constexpr uint32_t kLowPairIds = 256;

inline uint32_t pair_lookup(const BytePairEncoding& model, uint32_t left, uint32_t right) {
  if ((left | right) < kLowPairIds && !model.low_pair_merges.empty()) {
    return model.low_pair_merges[left * kLowPairIds + right];
  }
  const uint64_t hash = pair_hash64(left, right);
  if (!model.pair_filter.empty()) {
    const uint64_t bits = pair_filter_bits(hash);
    if ((model.pair_filter[pair_filter_word(hash, model.pair_filter_mask)] & bits) != bits) {
      return kNoToken;
    }
  }
  const PairSlot* slots = model.pair_table.data();
  const uint32_t mask = model.pair_capacity - 1;
  for (uint32_t i = static_cast<uint32_t>(hash >> 32) & mask;; i = (i + 1) & mask) {
    const PairSlot& slot = slots[i];
    if (slot.merged == kNoToken) return kNoToken;
    if (slot.left == left && slot.right == right) return slot.merged;
  }
}

// Total byte length of the tokens, or nothing when an id is not below token_count.
std::optional<uint64_t> decoded_size(const BytePairEncoding& model, const uint32_t* ids,
                                     size_t count);

// Writes the bytes of the tokens (all valid) to out, which holds decoded_size bytes.
void copy_token_bytes(const BytePairEncoding& model, const uint32_t* ids, size_t count,
                      uint8_t* out);

// The concatenated token bytes, or nothing when an id is out of range.
std::optional<std::vector<uint8_t>> decode_token_ids(const BytePairEncoding& model,
                                                     const uint32_t* ids, size_t count);

}  // namespace tessel
