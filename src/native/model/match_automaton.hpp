#pragma once

#include <cstdint>
#include <vector>

#include "model/token_id.hpp"

namespace tessel {

// One double-array position. Positions no trie node occupies hold {0, 0, kNoToken, 0}.
struct AutomatonState {
  int32_t fail;     // position of the longest proper suffix state; 0 for root and depth 1
  uint32_t output;  // first OutputLink of this state's chain, 0 for none
  uint32_t token;   // token spelled by this state, or kNoToken
  uint32_t depth;   // length in bytes of this state's string
};
static_assert(sizeof(AutomatonState) == 16);

// Output chain record: every token that is a suffix of a state's string, longest first.
struct OutputLink {
  uint32_t token;
  uint32_t length;
  uint32_t next;  // 0 ends the chain; record 0 is reserved
};
static_assert(sizeof(OutputLink) == 12);

// Aho-Corasick automaton over token strings with double-array transitions: from the
// state at p on byte c to t = base[p] + c exactly when check[t] == p.
struct MatchAutomaton {
  std::vector<AutomatonState> states;
  int32_t state_count = 0;
  std::vector<OutputLink> outputs;
  int32_t output_count = 0;
  uint32_t kind = 0;
  std::vector<int32_t> base;
  std::vector<int32_t> check;
  int32_t slot_count = 0;
};

// The transitions and own token of every position packed into one record, so that a
// prefix walk touches one cache line per byte. Derived from a finished automaton.
struct PrefixStep {
  int32_t base;
  int32_t check;
  uint32_t token;  // token spelled by this position, or kNoToken
  uint32_t depth;
};
static_assert(sizeof(PrefixStep) == 16);

struct TokenTrie;

// Converts a trie into an automaton; kind is stored and changes nothing else.
MatchAutomaton automaton_from_trie(const TokenTrie& trie, uint32_t kind);

// The packed steps of an automaton whose root has a transition on every byte, else empty.
std::vector<PrefixStep> prefix_steps_of(const MatchAutomaton& automaton);

// The same straight from a trie, equal to prefix_steps_of(automaton_from_trie(trie, k))
// without the failure links and output chains that the packed steps do not need.
std::vector<PrefixStep> prefix_steps_from_trie(const TokenTrie& trie);

// The longest token that is a prefix of bytes[0, length), on packed steps whose root has a
// transition on every byte: there the first-starting, longest occurrence always starts at
// 0, so following transitions from the root until one is missing finds it.
// token_length is set to the token's length (0 with kNoToken).
inline uint32_t longest_prefix_token(const PrefixStep* steps, const uint8_t* bytes,
                                     uint64_t length, uint32_t& token_length) {
  uint32_t best = kNoToken;
  uint32_t best_length = 0;
  int32_t s = 0;
  for (uint64_t i = 0; i < length; ++i) {
    const int32_t t = steps[s].base + bytes[i];
    if (steps[t].check != s) break;
    s = t;
    if (steps[t].token != kNoToken) {
      best = steps[t].token;
      best_length = static_cast<uint32_t>(i + 1);
    }
  }
  token_length = best_length;
  return best;
}

inline uint32_t longest_prefix_token(const PrefixStep* steps, const uint8_t* bytes,
                                     uint64_t length) {
  uint32_t token_length = 0;
  return longest_prefix_token(steps, bytes, length, token_length);
}

// Among all token occurrences in bytes[0, length), the one that starts first, and among
// those the longest; kNoToken for empty input or when nothing matches. Reads only as
// far as an occurrence that could still replace the answer may reach: once the current
// match starts after the answer's start, nothing later can.
inline uint32_t longest_token_at(const MatchAutomaton& automaton, const uint8_t* bytes,
                                 uint64_t length) {
  if (length == 0) return kNoToken;
  const int32_t* base = automaton.base.data();
  const int32_t* check = automaton.check.data();
  const AutomatonState* states = automaton.states.data();
  const OutputLink* outputs = automaton.outputs.data();

  int32_t s = 0;
  uint32_t best = kNoToken;
  uint64_t best_start = 0;
  uint64_t best_end = 0;
  for (uint64_t i = 0; i < length; ++i) {
    const uint8_t c = bytes[i];
    for (;;) {
      const int32_t t = base[s] + c;
      if (check[t] == s) {
        s = t;
        break;
      }
      if (s == 0) break;
      s = states[s].fail;
    }
    const AutomatonState& state = states[s];
    // Chains list suffixes longest first, so only their head can start early enough to
    // replace the answer.
    if (state.output != 0) {
      const OutputLink& link = outputs[state.output];
      const uint64_t end = i + 1;
      const uint64_t start = end - link.length;
      if (best == kNoToken || start < best_start || (start == best_start && end > best_end)) {
        best = link.token;
        best_start = start;
        best_end = end;
      }
    }
    if (best != kNoToken && i + 1 - state.depth > best_start) return best;
  }
  return best;
}

}  // namespace tessel
