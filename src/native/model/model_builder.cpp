#include "model/model_builder.hpp"

#include <algorithm>
#include <cstring>
#include <future>
#include <utility>
#include <system_error>
#include <new>

#include "model/pair_compatibility.hpp"
#include "model/prefetch.hpp"
#include "model/token_trie.hpp"

namespace tessel {

namespace {

// Smallest power of two that is at least 4n, and at least 16.
uint32_t table_capacity(uint32_t n) {
  uint64_t capacity = 16;
  while (capacity < 4ull * n) capacity *= 2;
  if (capacity > 0x80000000ull) throw std::bad_alloc();
  return static_cast<uint32_t>(capacity);
}

// The first remainders are looked up this many at a time, so that their cache misses
// overlap instead of following one another.
constexpr uint32_t kLookupBatch = 32;

// Runs task on a thread of its own when one can be started, else when its result is
// asked for.
template <typename Task>
auto run_beside(Task&& task) {
  try {
    return std::async(std::launch::async, std::forward<Task>(task));
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::forward<Task>(task));
  }
}

// For each token, the token spelled by the rest of it after its longest proper prefix
// token, or kNoToken: the right half the merge derivation tries first.
std::vector<uint32_t> first_right_halves(const BytePairEncoding& model) {
  const uint32_t n = model.token_count;
  std::vector<uint32_t> right(n, kNoToken);
  const WholeTokenIndex& index = model.whole_tokens;
  if (index.slots.empty()) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t prefix = model.longest_proper_prefix[i];
      if (prefix == kNoToken) continue;
      const uint32_t from = model.token_length(prefix);
      right[i] = token_with_bytes(model, model.token_data(i) + from, model.token_length(i) - from);
    }
    return right;
  }
  uint64_t heads[kLookupBatch];
  uint64_t hashes[kLookupBatch];
  for (uint32_t batch = 0; batch < n; batch += kLookupBatch) {
    const uint32_t end = std::min(n, batch + kLookupBatch);
    for (uint32_t i = batch; i < end; ++i) {
      const uint32_t prefix = model.longest_proper_prefix[i];
      if (prefix == kNoToken) continue;
      const uint32_t from = model.token_length(prefix);
      const uint8_t* bytes = model.token_data(i) + from;
      const uint64_t length = model.token_length(i) - from;
      const uint64_t readable = model.token_bytes.size() - (bytes - model.token_bytes.data());
      heads[i - batch] = key_head(bytes, length, readable);
      hashes[i - batch] = key_hash(heads[i - batch], bytes, length);
      prefetch_to_read(&index.slots[hashes[i - batch] & index.mask]);
    }
    for (uint32_t i = batch; i < end; ++i) {
      const uint32_t prefix = model.longest_proper_prefix[i];
      if (prefix == kNoToken) continue;
      const uint32_t from = model.token_length(prefix);
      right[i] = whole_token_lookup(index, model.token_bytes.data(), model.token_starts.data(),
                                    model.token_data(i) + from, model.token_length(i) - from,
                                    heads[i - batch], hashes[i - batch]);
    }
  }
  return right;
}

// The token spelled by a token's remainder after one of its prefixes, or kNoToken. From
// the whole-token index rather than the stored hash table, which needs a token_starts ->
// token_bytes -> memcmp chain per probe: a build took 94 -> 84 ms (cl100k_base) and
// 205 -> 182 ms (o200k_base), medians of 9 and 7 alternating runs; the images written
// are byte for byte the same.
uint32_t remainder_token(const BytePairEncoding& model, const uint8_t* bytes, uint64_t length) {
  return whole_token(model, bytes, length,
                     model.token_bytes.size() - (bytes - model.token_bytes.data()));
}

// Each token's merge: the longest proper prefix token whose remainder is a token, both
// earlier than it, that may stand side by side. Looking the first remainders up in
// batches measured 171 -> 156 ms CPU time on o200k_base (minimum of 12 derivations); the
// rest is mostly cache misses in the pair filter and table.
void derive_merges(BytePairEncoding& model) {
  const uint32_t n = model.token_count;
  const std::vector<uint32_t> first_right = first_right_halves(model);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* bytes = model.token_data(i);
    const uint32_t length = model.token_length(i);
    uint32_t r = first_right[i];
    for (uint32_t prefix = model.longest_proper_prefix[i]; prefix != kNoToken;
         prefix = model.longest_proper_prefix[prefix]) {
      if (prefix != model.longest_proper_prefix[i]) {
        const uint32_t prefix_length = model.token_length(prefix);
        r = remainder_token(model, bytes + prefix_length, length - prefix_length);
      }
      if (r == kNoToken) continue;
      if (prefix < i && r < i && pair_is_compatible_while_building(model, prefix, r)) {
        pair_insert(model, prefix, r, i);
        model.merge_left[i] = prefix;
        model.merge_right[i] = r;
        break;
      }
    }
  }
}

}  // namespace

MatchAutomaton reverse_automaton_of(const uint8_t* token_bytes, const uint32_t* token_starts,
                                    uint32_t n) {
  const TokenTrie reversed = make_trie(token_bytes, token_starts, n, kTrieReversed);
  return automaton_from_trie(reversed, reversed.direction);
}

std::unique_ptr<BytePairEncoding> build_model(const uint8_t* token_bytes,
                                              const uint32_t* token_starts, uint32_t n,
                                              ModelTables tables) {
  auto model = std::make_unique<BytePairEncoding>();
  model->token_count = n;
  model->hash_multiplier = kHashMultiplier;
  model->token_bytes.assign(token_bytes, token_bytes + token_starts[n]);
  model->token_starts.assign(token_starts, token_starts + n + 1);
  // Declared after the model, so that on an exception every task ends before it is freed.
  std::future<MatchAutomaton> reverse_automaton;
  std::future<void> keyed_tables;
  std::future<void> packed_steps;

  // Only an image holds the reverse automaton, and nothing else needs it.
  if (tables == ModelTables::kImage) {
    reverse_automaton = run_beside([&model, n] {
      return reverse_automaton_of(model->token_bytes.data(), model->token_starts.data(), n);
    });
  }
  // The tables keyed by token strings need no trie: they are made while it is.
  keyed_tables = run_beside([&model, n, tables] {
    // The stored table's size, which an image of the model states, whether or not the
    // model keeps the table: it holds every token, repeated strings included.
    model->token_hash_capacity = table_capacity(n);
    model->token_hash_count = n;
    model->whole_tokens = build_whole_token_index(model->token_bytes.data(),
                                                  model->token_starts.data(), n);
    if (tables == ModelTables::kImage || model->whole_tokens.slots.empty()) {
      make_token_hash_table(*model);
    }
  });

  std::vector<uint32_t> proper_prefix;
  TokenTrie forward = make_trie(model->token_bytes.data(), model->token_starts.data(), n,
                                kTrieForward, &proper_prefix);
  const bool every_byte_a_token = forward.child_count(0) == 256;
  if (tables == ModelTables::kEncoding && every_byte_a_token) {
    // The queries below walk the packed steps; placing them needs only the trie, and
    // nothing reads them before the build ends.
    packed_steps = run_beside([&model, trie = std::move(forward)]() mutable {
      const TokenTrie owned = std::move(trie);  // freed as soon as the steps are placed
      model->prefix_steps = prefix_steps_from_trie(owned);
    });
  } else {
    // Only an image or a vocabulary that lacks a byte needs the whole automaton.
    model->forward_automaton = std::make_unique<MatchAutomaton>(automaton_from_trie(forward, 0));
    model->prefix_steps = prefix_steps_of(*model->forward_automaton);
    forward = TokenTrie{};
    if (tables == ModelTables::kImage) {
      // Made from the same trie, the kind 1 automaton equals the kind 0 one but for its kind.
      model->second_forward_automaton =
          std::make_unique<MatchAutomaton>(*model->forward_automaton);
      model->second_forward_automaton->kind = 1;
    }
  }

  if (every_byte_a_token) {
    // Then the longest token at the start of a token's proper prefix is its deepest token
    // ancestor in the trie: 65 -> 1 ms on o200k_base against walking each prefix.
    model->longest_proper_prefix = std::move(proper_prefix);
  } else {
    model->longest_proper_prefix.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t length = model->token_length(i);
      model->longest_proper_prefix[i] =
          length == 0 ? kNoToken : longest_token_at(*model, model->token_data(i), length - 1);
    }
  }

  model->merge_left.resize(n);
  model->merge_right.resize(n);
  model->pair_capacity = table_capacity(n);
  model->pair_table.assign(model->pair_capacity, PairSlot{0, 0, kNoToken});
  model->pair_count = 0;
  for (uint32_t i = 0; i < n; ++i) model->merge_left[i] = model->merge_right[i] = i;
  // Each token adds at most one pair. The checks below ask mostly for absent pairs, which
  // the filter answers without touching the pair table; made for a quarter as many pairs
  // it stays within the nearest cache (32 / 64 KB), and the filter encoding keeps is made
  // once the pairs are known. Its false positives cost less than a larger filter's misses:
  // a filter sized for every pair made the whole build take 86 ms instead of 75
  // (cl100k_base) and 197 ms instead of 177 (o200k_base), alternating in one process.
  make_pair_filter(*model, n / 4);
  keyed_tables.get();
  derive_merges(*model);

  if (packed_steps.valid()) packed_steps.get();
  if (reverse_automaton.valid()) {
    model->reverse_automaton = std::make_unique<MatchAutomaton>(reverse_automaton.get());
  }
  derive_lookup_tables(*model, tables);
  return model;
}

}  // namespace tessel
