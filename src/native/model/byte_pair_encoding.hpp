#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "model/hashes.hpp"
#include "model/match_automaton.hpp"
#include "model/token_id.hpp"
#include "model/whole_token_index.hpp"

namespace tessel {

struct TokenHashSlot {
  uint32_t hash32;
  uint32_t token;  // kNoToken marks an empty slot
};
static_assert(sizeof(TokenHashSlot) == 8);

struct PairSlot {
  uint32_t left;
  uint32_t right;
  uint32_t merged;  // kNoToken marks an empty slot
};
static_assert(sizeof(PairSlot) == 12);

// Everything encoding and decoding need for one vocabulary. Made once by build_model or
// model_from_image and immutable afterwards, so any number of threads may read it.
struct BytePairEncoding {
  std::vector<uint8_t> token_bytes;    // all token strings concatenated in id order
  std::vector<uint32_t> token_starts;  // token_count + 1 offsets into token_bytes
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
  std::unique_ptr<MatchAutomaton> forward_automaton;
  std::unique_ptr<MatchAutomaton> second_forward_automaton;
  std::unique_ptr<MatchAutomaton> reverse_automaton;
  std::vector<int32_t> longest_proper_prefix;  // longest token that is a proper prefix, or -1
  // Derived from forward_automaton when every byte is a token (not stored in images).
  std::vector<PrefixStep> prefix_steps;
  uint32_t longest_token_length = 0;  // derived from token_starts
  // One bit per pair_hash32 value (masked) of every pair in pair_table: a clear bit means
  // the pair is not there, without touching the much larger table. Derived.
  std::vector<uint64_t> pair_filter;
  uint32_t pair_filter_mask = 0;
  // The token strings again, keyed for the pipeline's whole-piece lookup. Derived.
  WholeTokenIndex whole_tokens;

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

// The token whose string is bytes[0, length), or kNoToken: a lookup in the token hash
// table, passing over slots whose hash or string differ.
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

// Fills the tables derived from a finished model's stored ones.
void derive_lookup_tables(BytePairEncoding& model);

// Linear probing from hash32's slot to the first empty one; the caller keeps the table at
// most a quarter full.
void token_hash_insert(BytePairEncoding& model, uint32_t hash32, uint32_t id);

// Inserts (left, right) -> merged, doubling the table first when it is half full.
void pair_insert(BytePairEncoding& model, uint32_t left, uint32_t right, uint32_t merged);

inline uint32_t pair_lookup(const BytePairEncoding& model, uint32_t left, uint32_t right) {
  const uint32_t h = pair_hash32(left, right);
  if (!model.pair_filter.empty()) {
    const uint32_t bit = h & model.pair_filter_mask;
    if (((model.pair_filter[bit >> 6] >> (bit & 63)) & 1) == 0) return kNoToken;
  }
  const PairSlot* slots = model.pair_table.data();
  const uint32_t mask = model.pair_capacity - 1;
  for (uint32_t i = h & mask;; i = (i + 1) & mask) {
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
