#include "model/token_trie.hpp"

#include <algorithm>
#include <vector>

namespace tessel {

namespace {
constexpr int32_t kInitialNodeCapacity = 4096;
}  // namespace

TokenTrie make_trie(uint32_t direction) {
  TokenTrie trie;
  trie.nodes = std::make_unique<TrieNode[]>(kInitialNodeCapacity);
  trie.node_capacity = kInitialNodeCapacity;
  trie.node_count = 1;
  trie.direction = direction;
  return trie;
}

int32_t trie_child(TokenTrie& trie, int32_t node, uint8_t byte) {
  const EdgeSearch search = find_edge(trie.nodes[node], byte);
  if (search.found) return trie.nodes[node].children[search.index].child;

  TrieNode& parent = trie.nodes[node];
  if (parent.child_count == parent.child_capacity) {
    const uint32_t capacity = parent.child_capacity == 0 ? 4 : parent.child_capacity * 2;
    auto grown = std::make_unique_for_overwrite<TrieEdge[]>(capacity);
    std::copy_n(parent.children.get(), parent.child_count, grown.get());
    parent.children = std::move(grown);
    parent.child_capacity = capacity;
  }
  if (trie.node_count == trie.node_capacity) {
    const int32_t capacity = trie.node_capacity * 2;
    auto grown = std::make_unique<TrieNode[]>(capacity);
    std::move(trie.nodes.get(), trie.nodes.get() + trie.node_count, grown.get());
    trie.nodes = std::move(grown);
    trie.node_capacity = capacity;
  }
  const int32_t child = trie.node_count++;
  TrieNode& owner = trie.nodes[node];  // the table may have moved
  TrieEdge* edges = owner.children.get();
  std::copy_backward(edges + search.index, edges + owner.child_count,
                     edges + owner.child_count + 1);
  edges[search.index] = TrieEdge{byte, child};
  ++owner.child_count;
  return child;
}

void trie_insert(TokenTrie& trie, const uint8_t* bytes, uint32_t length, uint32_t id) {
  std::vector<uint8_t> reversed;
  if (trie.direction == kTrieReversed) {
    reversed.assign(bytes, bytes + length);
    std::reverse(reversed.begin(), reversed.end());
    bytes = reversed.data();
  }
  int32_t node = 0;
  for (uint32_t i = 0; i < length; ++i) node = trie_child(trie, node, bytes[i]);
  if (trie.nodes[node].token == kNoToken) trie.nodes[node].token = id;
}

}  // namespace tessel
