#pragma once

#include <cstdint>
#include <memory>

#include "model/token_id.hpp"

namespace tessel {

struct TrieEdge {
  uint8_t byte;
  int32_t child;
};

struct TrieNode {
  std::unique_ptr<TrieEdge[]> children;  // sorted by byte, at most one edge per byte
  uint32_t child_count = 0;
  uint32_t child_capacity = 0;  // 0, then 4, then doubled
  uint32_t token = kNoToken;
};

enum TrieDirection : uint32_t { kTrieForward = 1, kTrieReversed = 2 };

// Byte trie of token strings; exists only while a model is built. Node 0 is the root.
struct TokenTrie {
  std::unique_ptr<TrieNode[]> nodes;
  int32_t node_count = 0;
  int32_t node_capacity = 0;
  uint32_t direction = kTrieForward;
};

TokenTrie make_trie(uint32_t direction);

// Child of node for byte, created if absent.
int32_t trie_child(TokenTrie& trie, int32_t node, uint8_t byte);

// Inserts one token string (reversed for a kTrieReversed trie). A string inserted twice
// keeps its first id; the empty string marks the root.
void trie_insert(TokenTrie& trie, const uint8_t* bytes, uint32_t length, uint32_t id);

// Index of the edge for byte in node's sorted edges, or the insertion point when absent.
struct EdgeSearch {
  uint32_t index;
  bool found;
};
inline EdgeSearch find_edge(const TrieNode& node, uint8_t byte) {
  uint32_t lo = 0, hi = node.child_count;
  while (lo < hi) {
    const uint32_t mid = (lo + hi) / 2;
    const uint8_t b = node.children[mid].byte;
    if (b == byte) return {mid, true};
    if (b < byte) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return {lo, false};
}

}  // namespace tessel
