#include "model/byte_pair_encoding.hpp"

#include <algorithm>
#include <cstring>

#include "model/spanned_parts.hpp"

namespace tessel {

void token_hash_insert(BytePairEncoding& model, uint32_t hash32, uint32_t id) {
  const uint32_t mask = model.token_hash_capacity - 1;
  uint32_t i = hash32 & mask;
  while (model.token_hash_table[i].token != kNoToken) i = (i + 1) & mask;
  model.token_hash_table[i] = TokenHashSlot{hash32, id};
  ++model.token_hash_count;
}

void make_token_hash_table(BytePairEncoding& model) {
  model.token_hash_table.assign(model.token_hash_capacity, TokenHashSlot{0, kNoToken});
  model.token_hash_count = 0;
  for (uint32_t i = 0; i < model.token_count; ++i) {
    token_hash_insert(model,
                      token_hash32(model.token_data(i), model.token_length(i),
                                   model.hash_multiplier),
                      i);
  }
}

namespace {

// At least 8 bits per pair, in a power of two of words: with three bits per pair, about
// one lookup in 60 of an absent pair passes (as with the single-bit filter of 64 bits per
// pair before), in a filter of 128 KB (cl100k_base) or 256 KB (o200k_base) that stays in
// the core's cache next to the other tables instead of 1 or 2 MB that did not. Counting
// in one process, alternating with the old filter (medians of 11-15): 1 MiB of random
// letters 1.27-1.31x as fast with o200k_base, 1.07x with cl100k_base; multilingual text
// 1.01-1.24x, code 1.07-1.27x (o200k_base), English 1.01-1.04x.
constexpr uint64_t kPairFilterBitsPerPair = 8;
uint64_t pair_filter_words(uint64_t pairs) {
  uint64_t words = 1;
  while (64 * words < kPairFilterBitsPerPair * pairs && words < (uint64_t{1} << 31)) words *= 2;
  return words;
}

}  // namespace

void clear_pair_filter(BytePairEncoding& model, uint64_t pairs) {
  const uint64_t words = pair_filter_words(pairs);
  model.pair_filter.assign(words, 0);
  model.pair_filter_mask = static_cast<uint32_t>(words - 1);
}

void make_pair_filter(BytePairEncoding& model, uint64_t pairs) {
  clear_pair_filter(model, pairs);
  for (const PairSlot& slot : model.pair_table) {
    if (slot.merged != kNoToken) pair_filter_add(model, slot.left, slot.right);
  }
}

void derive_lookup_tables(BytePairEncoding& model, ModelTables tables) {
  if (model.prefix_steps.empty() && model.forward_automaton) {
    model.prefix_steps = prefix_steps_of(*model.forward_automaton);
  }
  model.longest_token_length = 0;
  for (uint32_t i = 0; i < model.token_count; ++i) {
    model.longest_token_length = std::max(model.longest_token_length, model.token_length(i));
  }
  // A filter sized for as many pairs as the table holds has been kept current by
  // pair_insert; one of another size (or none) is made again.
  if (model.pair_filter.size() != pair_filter_words(model.pair_count)) {
    make_pair_filter(model, model.pair_count);
  }
  if (model.token_links.empty()) {
    std::vector<TokenLinks> links(model.token_count);
    for (uint32_t t = 0; t < model.token_count; ++t) {
      links[t] = TokenLinks{model.token_length(t), model.longest_proper_prefix[t],
                            model.merge_left[t], model.merge_right[t]};
    }
    model.token_links = std::move(links);
  }
  if (model.low_pair_merges.empty()) {
    std::vector<uint32_t> merges(kLowPairIds * kLowPairIds);
    for (uint32_t left = 0; left < kLowPairIds; ++left) {
      for (uint32_t right = 0; right < kLowPairIds; ++right) {
        merges[left * kLowPairIds + right] = pair_lookup(model, left, right);
      }
    }
    model.low_pair_merges = std::move(merges);
  }
  if (model.whole_tokens.slots.empty()) {
    model.whole_tokens = build_whole_token_index(model.token_bytes.data(), model.token_starts.data(),
                                               model.token_count);
  }
  if (model.byte_pair_merges.empty()) model.byte_pair_merges = byte_pair_merges_of(model);
  if (tables == ModelTables::kEncoding) drop_image_only_tables(model);
}

void drop_image_only_tables(BytePairEncoding& model) {
  model.second_forward_automaton.reset();
  model.reverse_automaton.reset();
  // The whole-token index answers every question the stored table would. Its capacity
  // and count stay: an image of the model states them.
  if (!model.whole_tokens.slots.empty()) std::vector<TokenHashSlot>().swap(model.token_hash_table);
  // The prefix walk needs neither failure links nor output chains.
  if (!model.prefix_steps.empty()) model.forward_automaton.reset();
}

namespace {

void place_pair(std::vector<PairSlot>& table, const PairSlot& pair) {
  const uint32_t mask = static_cast<uint32_t>(table.size()) - 1;
  uint32_t i = pair_hash32(pair.left, pair.right) & mask;
  while (table[i].merged != kNoToken) i = (i + 1) & mask;
  table[i] = pair;
}

}  // namespace

void pair_insert(BytePairEncoding& model, uint32_t left, uint32_t right, uint32_t merged) {
  if (2ull * model.pair_count >= model.pair_capacity) {
    const uint32_t capacity = model.pair_capacity == 0 ? 16 : model.pair_capacity * 2;
    std::vector<PairSlot> grown(capacity, PairSlot{0, 0, kNoToken});
    for (const PairSlot& slot : model.pair_table) {
      if (slot.merged != kNoToken) place_pair(grown, slot);
    }
    model.pair_table = std::move(grown);
    model.pair_capacity = capacity;
  }
  place_pair(model.pair_table, PairSlot{left, right, merged});
  ++model.pair_count;
  if (!model.pair_filter.empty()) pair_filter_add(model, left, right);
}

std::optional<uint64_t> decoded_size(const BytePairEncoding& model, const uint32_t* ids,
                                     size_t count) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    if (ids[i] >= model.token_count) return std::nullopt;
    total += model.token_length(ids[i]);
  }
  return total;
}

void copy_token_bytes(const BytePairEncoding& model, const uint32_t* ids, size_t count,
                      uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t length = model.token_length(ids[i]);
    std::memcpy(out, model.token_data(ids[i]), length);
    out += length;
  }
}

std::optional<std::vector<uint8_t>> decode_token_ids(const BytePairEncoding& model,
                                                     const uint32_t* ids, size_t count) {
  const std::optional<uint64_t> size = decoded_size(model, ids, count);
  if (!size) return std::nullopt;
  std::vector<uint8_t> bytes(*size);
  copy_token_bytes(model, ids, count, bytes.data());
  return bytes;
}

}  // namespace tessel
