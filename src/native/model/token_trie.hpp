#pragma once

#include <cstdint>
#include <vector>

#include "model/token_id.hpp"

namespace tessel {

enum TrieDirection : uint32_t { kTrieForward = 1, kTrieReversed = 2 };

// Byte trie of token strings; exists only while a model is built. Nodes are numbered in
// breadth-first order with each node's children sorted by byte, which is the order the
// automaton builder visits them in: node 0 is the root, and the nodes of each depth
// follow those of the depth before, in lexicographic order of their strings. So the
// children of every node are consecutive, and every array is flat (no per-node storage).
struct TokenTrie {
  std::vector<uint8_t> bytes;         // per node: the byte on the edge into it (0 at the root)
  std::vector<uint32_t> tokens;       // per node: the token it spells, or kNoToken
  std::vector<uint32_t> first_child;  // node_count + 1: node u's children are
                                      // [first_child[u], first_child[u + 1])
  std::vector<uint32_t> level_starts;  // nodes of depth d are [level_starts[d],
                                       // level_starts[d + 1]); one entry per depth, plus one
  int32_t node_count = 0;
  uint32_t direction = kTrieForward;

  uint32_t child_count(uint32_t node) const { return first_child[node + 1] - first_child[node]; }
};

// The trie of token strings in rank order (token i at [token_starts[i], token_starts[i+1])
// of token_bytes), each reversed for kTrieReversed. A string listed twice keeps its first
// id; the empty string marks the root. When proper_prefix is given, it receives for each
// token the token of its deepest proper ancestor other than the root, or kNoToken: on a
// forward trie, the longest token that is a nonempty proper prefix of the token.
TokenTrie make_trie(const uint8_t* token_bytes, const uint32_t* token_starts, uint32_t n,
                    uint32_t direction, std::vector<uint32_t>* proper_prefix = nullptr);

// "No such node" for trie lookups.
inline constexpr uint32_t kNoNode = 0xFFFFFFFFu;

// Node's child on byte, or kNoNode.
inline uint32_t trie_child(const TokenTrie& trie, uint32_t node, uint8_t byte) {
  uint32_t lo = trie.first_child[node], hi = trie.first_child[node + 1];
  while (lo < hi) {
    const uint32_t mid = (lo + hi) / 2;
    const uint8_t b = trie.bytes[mid];
    if (b == byte) return mid;
    if (b < byte) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return kNoNode;
}

}  // namespace tessel
