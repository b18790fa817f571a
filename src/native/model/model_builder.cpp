#include "model/model_builder.hpp"

#include <cstring>
#include <future>
#include <system_error>
#include <new>

#include "model/pair_compatibility.hpp"
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

void derive_merges(BytePairEncoding& model) {
  const uint32_t n = model.token_count;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* bytes = model.token_data(i);
    const uint32_t length = model.token_length(i);
    for (uint32_t prefix = model.longest_proper_prefix[i]; prefix != kNoToken;
         prefix = model.longest_proper_prefix[prefix]) {
      const uint32_t prefix_length = model.token_length(prefix);
      const uint32_t r = token_with_bytes(model, bytes + prefix_length, length - prefix_length);
      if (r == kNoToken) continue;
      if (prefix < i && r < i && pair_is_compatible(model, prefix, r)) {
        pair_insert(model, prefix, r, i);
        model.merge_left[i] = prefix;
        model.merge_right[i] = r;
        break;
      }
    }
  }
}

}  // namespace

std::unique_ptr<BytePairEncoding> build_model(const uint8_t* token_bytes,
                                              const uint32_t* token_starts, uint32_t n,
                                              ModelTables tables) {
  auto model = std::make_unique<BytePairEncoding>();
  model->token_count = n;
  model->hash_multiplier = kHashMultiplier;
  model->token_bytes.assign(token_bytes, token_bytes + token_starts[n]);
  model->token_starts.assign(token_starts, token_starts + n + 1);

  // Only an image holds the reverse automaton, and nothing else needs it, so it is made
  // beside the rest of the build, on a second thread when one can be started.
  std::future<MatchAutomaton> reverse_automaton;
  if (tables == ModelTables::kImage) {
    const auto make_reverse = [&model, n] {
      TokenTrie reversed = make_trie(kTrieReversed);
      for (uint32_t i = 0; i < n; ++i) {
        trie_insert(reversed, model->token_data(i), model->token_length(i), i);
      }
      return automaton_from_trie(reversed, reversed.direction);
    };
    try {
      reverse_automaton = std::async(std::launch::async, make_reverse);
    } catch (const std::system_error&) {
      reverse_automaton = std::async(std::launch::deferred, make_reverse);
    }
  }

  {
    TokenTrie forward = make_trie(kTrieForward);
    for (uint32_t i = 0; i < n; ++i) {
      trie_insert(forward, model->token_data(i), model->token_length(i), i);
    }
    // The queries below walk the packed steps when every byte is a token; only an image
    // or a vocabulary that lacks a byte needs the whole automaton.
    if (tables == ModelTables::kEncoding) model->prefix_steps = prefix_steps_from_trie(forward);
    if (model->prefix_steps.empty()) {
      model->forward_automaton =
          std::make_unique<MatchAutomaton>(automaton_from_trie(forward, 0));
      model->prefix_steps = prefix_steps_of(*model->forward_automaton);
    }
  }
  // Filled once the trie is gone, which lowers the build's peak memory.
  model->token_hash_capacity = table_capacity(n);
  model->token_hash_table.assign(model->token_hash_capacity, TokenHashSlot{0, kNoToken});
  for (uint32_t i = 0; i < n; ++i) {
    token_hash_insert(*model,
                      token_hash32(model->token_data(i), model->token_length(i),
                                   model->hash_multiplier),
                      i);
  }

  if (tables == ModelTables::kImage) {
    // Made from the same trie, the kind 1 automaton equals the kind 0 one but for its kind.
    model->second_forward_automaton = std::make_unique<MatchAutomaton>(*model->forward_automaton);
    model->second_forward_automaton->kind = 1;
  }

  model->longest_proper_prefix.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t length = model->token_length(i);
    model->longest_proper_prefix[i] =
        length == 0 ? kNoToken : longest_token_at(*model, model->token_data(i), length - 1);
  }

  model->merge_left.resize(n);
  model->merge_right.resize(n);
  model->pair_capacity = table_capacity(n);
  model->pair_table.assign(model->pair_capacity, PairSlot{0, 0, kNoToken});
  model->pair_count = 0;
  for (uint32_t i = 0; i < n; ++i) model->merge_left[i] = model->merge_right[i] = i;

  derive_merges(*model);
  if (tables == ModelTables::kImage) {
    model->reverse_automaton = std::make_unique<MatchAutomaton>(reverse_automaton.get());
  }
  derive_lookup_tables(*model, tables);
  return model;
}

}  // namespace tessel
