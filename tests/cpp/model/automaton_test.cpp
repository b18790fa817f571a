// Token trie, automaton construction and longest_token_at.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "model/match_automaton.hpp"
#include "model/token_trie.hpp"
#include "support/model_fixtures.hpp"

namespace tessel {
namespace {

using testing::bytes_of;

TokenTrie trie_of(const EmbeddedVocab& vocab, uint32_t direction, uint32_t limit = UINT32_MAX) {
  return make_trie(vocab.token_bytes, vocab.token_starts, std::min(limit, vocab.token_count),
                   direction);
}

TokenTrie trie_of(const std::vector<std::string>& tokens, uint32_t direction = kTrieForward,
                  std::vector<uint32_t>* proper_prefix = nullptr) {
  const testing::Vocabulary vocab(tokens);
  return make_trie(vocab.bytes.data(), vocab.starts.data(), vocab.size(), direction,
                   proper_prefix);
}

// The placement as first written: try every base value from the first free position on.
std::pair<std::vector<int32_t>, std::vector<int32_t>> reference_placement(const TokenTrie& trie) {
  int32_t slots = std::max(2 * trie.node_count, 512);
  std::vector<int32_t> base(slots, 0), check(slots, -1), pos(trie.node_count, -1);
  pos[0] = 0;
  check[0] = 0;
  int32_t hint = 1;
  for (int32_t u = 0; u < trie.node_count; ++u) {
    const uint32_t first = trie.first_child[u], last = trie.first_child[u + 1];
    if (first == last) continue;
    int32_t r = hint;
    for (;;) {
      if (r + 256 > slots) {
        int32_t grown = slots * 2;
        while (grown < r + 256) grown *= 2;
        base.resize(grown, 0);
        check.resize(grown, -1);
        slots = grown;
      }
      bool fits = true;
      for (uint32_t v = first; v < last; ++v) fits &= check[r + trie.bytes[v]] == -1;
      if (fits) break;
      ++r;
    }
    base[pos[u]] = r;
    for (uint32_t v = first; v < last; ++v) {
      check[r + trie.bytes[v]] = pos[u];
      pos[v] = r + trie.bytes[v];
    }
    while (hint < slots && check[hint] != -1) ++hint;
  }
  return {base, check};
}

// longest_token_at as first written: walk every output chain, read to the end of the input
// unless the automaton returns to its root with a result.
uint32_t full_scan_longest_token_at(const MatchAutomaton& a, const uint8_t* bytes, uint64_t length) {
  if (length == 0) return kNoToken;
  int32_t s = 0;
  uint32_t best = kNoToken;
  uint64_t best_start = 0, best_end = 0;
  bool have_start = false;
  for (uint64_t i = 0; i < length; ++i) {
    while (a.check[a.base[s] + bytes[i]] != s) {
      if (s == 0) break;
      s = a.states[s].fail;
    }
    if (a.check[a.base[s] + bytes[i]] == s) s = a.base[s] + bytes[i];
    for (uint32_t o = a.states[s].output; o != 0; o = a.outputs[o].next) {
      const uint64_t start = i + 1 - a.outputs[o].length, end = i + 1;
      if (!have_start || start < best_start || (start == best_start && end > best_end)) {
        best = a.outputs[o].token;
        best_start = start;
        best_end = end;
        have_start = true;
      }
    }
    if (best != kNoToken && s == 0) return best;
  }
  return best;
}

// The nodes are every prefix of a token string, shortest first and in byte order within a
// length, each holding the first id of its string; the proper-prefix tokens equal a search
// over all shorter prefixes.
TEST(TokenTrie, BreadthFirstNodesFirstIdsAndProperPrefixes) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> tokens;
    const int alphabet = round % 2 == 0 ? 3 : 256;
    if (round % 4 == 1) tokens.push_back("");
    for (int i = 0; i < 400; ++i) tokens.push_back(testing::random_bytes(rng, rng() % 7, alphabet));
    for (const uint32_t direction : {kTrieForward, kTrieReversed}) {
      std::vector<uint32_t> proper_prefix;
      const TokenTrie trie = trie_of(tokens, direction, &proper_prefix);
      std::vector<std::string> keys = tokens;
      std::map<std::string, uint32_t> first_id;
      for (size_t i = 0; i < keys.size(); ++i) {
        if (direction == kTrieReversed) std::reverse(keys[i].begin(), keys[i].end());
        first_id.emplace(keys[i], static_cast<uint32_t>(i));
      }
      std::vector<std::string> prefixes = {""};
      for (const auto& [key, id] : first_id) {
        for (size_t k = 1; k <= key.size(); ++k) prefixes.push_back(key.substr(0, k));
      }
      std::sort(prefixes.begin(), prefixes.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
      });
      prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());

      ASSERT_EQ(static_cast<size_t>(trie.node_count), prefixes.size());
      ASSERT_EQ(trie.first_child.size(), prefixes.size() + 1);
      std::vector<std::string> spelled(trie.node_count);
      for (int32_t u = 0; u < trie.node_count; ++u) {
        ASSERT_EQ(spelled[u], prefixes[u]);
        ASSERT_GE(trie.level_starts[spelled[u].size() + 1], static_cast<uint32_t>(u) + 1);
        ASSERT_LE(trie.level_starts[spelled[u].size()], static_cast<uint32_t>(u));
        const auto found = first_id.find(spelled[u]);
        ASSERT_EQ(trie.tokens[u], found == first_id.end() ? kNoToken : found->second);
        for (uint32_t v = trie.first_child[u]; v < trie.first_child[u + 1]; ++v) {
          spelled[v] = spelled[u] + static_cast<char>(trie.bytes[v]);
          ASSERT_EQ(trie_child(trie, u, trie.bytes[v]), v);
        }
      }
      for (size_t i = 0; i < keys.size(); ++i) {
        uint32_t expected = kNoToken;
        for (size_t k = 1; k < keys[i].size(); ++k) {
          const auto found = first_id.find(keys[i].substr(0, k));
          if (found != first_id.end()) expected = found->second;
        }
        ASSERT_EQ(proper_prefix[i], expected) << round << " " << i;
      }
    }
  }
  EXPECT_EQ(trie_child(trie_of({"a"}), 0, 'b'), kNoNode);
}

TEST(Automaton, SmallTrieHasMinimumSizeAndCleanFreePositions) {
  const MatchAutomaton a = automaton_from_trie(trie_of({"a", "b", "ab"}), 0);
  EXPECT_EQ(a.slot_count, 512);
  EXPECT_EQ(a.state_count, 512);
  EXPECT_EQ(a.output_count, 4);
  EXPECT_EQ(a.check[0], 0);
  int used = 0;
  for (int32_t p = 1; p < a.slot_count; ++p) {
    if (a.check[p] != -1) {
      ++used;
      continue;
    }
    EXPECT_EQ(a.states[p].fail, 0);
    EXPECT_EQ(a.states[p].output, 0u);
    EXPECT_EQ(a.states[p].token, kNoToken);
    EXPECT_EQ(a.states[p].depth, 0u);
  }
  EXPECT_EQ(used, 3);
}

TEST(Automaton, LongestTokenAtOnSmallVocabularies) {
  const std::vector<std::string> tokens = {"a", "b", "c", "ab", "bc"};
  const MatchAutomaton a = automaton_from_trie(trie_of(tokens), 0);
  EXPECT_EQ(longest_token_at(a, bytes_of("abc"), 3), 3u);  // "ab": "bc" starts later
  EXPECT_EQ(longest_token_at(a, bytes_of("abc"), 0), kNoToken);
  EXPECT_EQ(longest_token_at(a, bytes_of("bca"), 3), 4u);

  EXPECT_TRUE(prefix_steps_of(a).empty());  // not every byte is a token
  const MatchAutomaton y = automaton_from_trie(trie_of({"y", "z"}), 0);
  EXPECT_EQ(longest_token_at(y, bytes_of("xy"), 2), 0u);  // leftmost occurrence, not at 0
  EXPECT_EQ(longest_token_at(y, bytes_of("xx"), 2), kNoToken);
}

TEST(Automaton, FastPlacementEqualsTryingEveryBase) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> tokens;
    const int alphabet = round % 2 == 0 ? 4 : 256;
    for (int i = 0; i < 300; ++i) tokens.push_back(testing::random_bytes(rng, 1 + rng() % 6, alphabet));
    const TokenTrie trie = trie_of(tokens);
    const MatchAutomaton a = automaton_from_trie(trie, 0);
    const auto [base, check] = reference_placement(trie);
    ASSERT_EQ(a.base, base);
    ASSERT_EQ(a.check, check);
  }
  for (const EmbeddedVocab* vocab : testing::kBuiltinVocabs) {
    const TokenTrie trie = trie_of(*vocab, kTrieReversed, 20000);
    const MatchAutomaton a = automaton_from_trie(trie, 0);
    const auto [base, check] = reference_placement(trie);
    ASSERT_EQ(a.base, base) << vocab->name;
    ASSERT_EQ(a.check, check) << vocab->name;
  }
}

TEST(Automaton, EarlyStopAnswersEqualFullScan) {
  std::mt19937_64 rng(5);
  // Small vocabularies without every byte, where answers need not start at position 0.
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> tokens;
    for (int i = 0; i < 12; ++i) tokens.push_back(testing::random_bytes(rng, 1 + rng() % 4, 3));
    const MatchAutomaton a = automaton_from_trie(trie_of(tokens), 0);
    for (int q = 0; q < 20; ++q) {
      const std::string input = testing::random_bytes(rng, rng() % 12, 4);
      ASSERT_EQ(longest_token_at(a, bytes_of(input), input.size()),
                full_scan_longest_token_at(a, bytes_of(input), input.size()));
    }
  }
  for (const EmbeddedVocab* vocab : testing::kBuiltinVocabs) {
    const BytePairEncoding& model = testing::built_model(*vocab);
    const MatchAutomaton& a = *model.forward_automaton;
    std::vector<std::string> inputs;
    for (int i = 0; i < 300; ++i) inputs.push_back(testing::random_bytes(rng, 1 + rng() % 40));
    for (const std::string& text : testing::real_texts()) {
      for (size_t at = 0; at + 1 < text.size() && inputs.size() < 2000; at += 1 + rng() % 997) {
        inputs.push_back(text.substr(at, 1 + rng() % 300));
      }
    }
    ASSERT_FALSE(model.prefix_steps.empty());  // every byte is a token: prefix walks apply
    for (const std::string& input : inputs) {
      const uint32_t fast = longest_token_at(a, bytes_of(input), input.size());
      ASSERT_EQ(fast, full_scan_longest_token_at(a, bytes_of(input), input.size()));
      ASSERT_EQ(longest_token_at(model, bytes_of(input), input.size()), fast);
      // With every byte a token, the answer is the longest token that prefixes the input.
      ASSERT_NE(fast, kNoToken);
      const std::string token = testing::token_string(model, fast);
      ASSERT_EQ(input.compare(0, token.size(), token), 0);
    }
  }
}

struct TrieFigures {
  const EmbeddedVocab* vocab;
  int32_t forward_nodes;
  int32_t reversed_nodes;
};

class BuiltinAutomata : public ::testing::TestWithParam<TrieFigures> {};

TEST_P(BuiltinAutomata, NodeSlotAndOutputCounts) {
  const TrieFigures& f = GetParam();
  const TokenTrie forward = trie_of(*f.vocab, kTrieForward);
  const TokenTrie reversed = trie_of(*f.vocab, kTrieReversed);
  EXPECT_EQ(forward.node_count, f.forward_nodes);
  EXPECT_EQ(reversed.node_count, f.reversed_nodes);

  const BytePairEncoding& model = testing::built_model(*f.vocab);
  const MatchAutomaton& a0 = *model.forward_automaton;
  const MatchAutomaton& a1 = *model.second_forward_automaton;
  const MatchAutomaton& a2 = *model.reverse_automaton;
  EXPECT_EQ(a0.slot_count, 2 * f.forward_nodes);
  EXPECT_EQ(a2.slot_count, 2 * f.reversed_nodes);
  const int32_t outputs = static_cast<int32_t>(f.vocab->token_count) + 1;
  EXPECT_EQ(a0.output_count, outputs);
  EXPECT_EQ(a2.output_count, outputs);
  EXPECT_EQ(a0.kind, 0u);
  EXPECT_EQ(a1.kind, 1u);
  EXPECT_EQ(a2.kind, 2u);
  EXPECT_EQ(a0.base, a1.base);
  EXPECT_EQ(a0.check, a1.check);
  EXPECT_EQ(a0.outputs.size(), a1.outputs.size());
  EXPECT_TRUE(std::equal(a0.states.begin(), a0.states.end(), a1.states.begin(), [](auto& x, auto& y) {
    return x.fail == y.fail && x.output == y.output && x.token == y.token && x.depth == y.depth;
  }));
}

INSTANTIATE_TEST_SUITE_P(Vocabularies, BuiltinAutomata,
                         ::testing::Values(TrieFigures{&embedded_cl100k_base, 216750, 188104},
                                           TrieFigures{&embedded_o200k_base, 421661, 490451}),
                         [](const auto& info) { return std::string(info.param.vocab->name); });

}  // namespace
}  // namespace tessel
