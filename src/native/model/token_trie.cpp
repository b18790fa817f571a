#include "model/token_trie.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <numeric>

namespace tessel {

namespace {

struct KeyedToken {
  uint8_t key;  // the token's byte at the current depth
  uint32_t id;
};

// Groups up to this size are put in order by insertion, larger ones by counting.
constexpr size_t kInsertionSortLimit = 32;

// Stable sort by key: ids that share a key keep their (ascending) order.
void sort_by_key(std::vector<KeyedToken>& group, std::vector<KeyedToken>& scratch) {
  if (group.size() <= kInsertionSortLimit) {
    for (size_t i = 1; i < group.size(); ++i) {
      const KeyedToken moving = group[i];
      size_t j = i;
      for (; j > 0 && group[j - 1].key > moving.key; --j) group[j] = group[j - 1];
      group[j] = moving;
    }
    return;
  }
  std::array<uint32_t, 257> starts{};
  for (const KeyedToken& t : group) ++starts[t.key + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  scratch.resize(group.size());
  for (const KeyedToken& t : group) scratch[starts[t.key]++] = t;
  group.swap(scratch);
}

}  // namespace

// Built one depth at a time, like a most-significant-byte-first radix sort: the ids that
// pass through each node of depth d are kept together, in id order, and split by their
// byte at d into the node's children. Each token is touched once per byte, and the nodes
// come out in breadth-first order. Measured on o200k_base against inserting the tokens
// one by one into a trie with an array of edges per node: about 250 -> 45 ms CPU time
// (minimum of 6 builds each, on a loaded machine).
TokenTrie make_trie(const uint8_t* token_bytes, const uint32_t* token_starts, uint32_t n,
                    uint32_t direction, std::vector<uint32_t>* proper_prefix) {
  const uint64_t most_nodes = uint64_t{token_starts[n]} - token_starts[0] + 1;
  if (most_nodes > 0x3FFFFFFFull) throw std::bad_alloc();  // positions are int32_t
  TokenTrie trie;
  trie.direction = direction;
  // Reserved for the most nodes the strings can make; pages never written stay unmapped.
  trie.bytes.reserve(most_nodes);
  trie.tokens.reserve(most_nodes);
  trie.first_child.reserve(most_nodes + 1);
  trie.bytes.push_back(0);
  trie.tokens.push_back(kNoToken);
  trie.level_starts.push_back(0);
  if (proper_prefix != nullptr) proper_prefix->assign(n, kNoToken);

  // Per node of the current depth: where its ids end in `ids`, and the token of its
  // deepest proper ancestor other than the root.
  std::vector<uint32_t> ids(n), next_ids(n);
  std::iota(ids.begin(), ids.end(), 0u);
  std::vector<uint32_t> group_ends{n}, next_group_ends;
  std::vector<uint32_t> above{kNoToken}, next_above;
  std::vector<KeyedToken> group, scratch;
  uint32_t level_start = 0;
  for (uint32_t depth = 0; !group_ends.empty(); ++depth) {
    next_group_ends.clear();
    next_above.clear();
    uint32_t begin = 0;
    uint32_t out = 0;
    for (size_t g = 0; g < group_ends.size(); ++g) {
      const uint32_t node = level_start + static_cast<uint32_t>(g);
      const uint32_t end = group_ends[g];
      trie.first_child.push_back(static_cast<uint32_t>(trie.bytes.size()));
      group.clear();
      for (uint32_t k = begin; k < end; ++k) {
        const uint32_t id = ids[k];
        const uint32_t start = token_starts[id];
        const uint32_t stop = token_starts[id + 1];
        if (stop - start == depth) {
          if (trie.tokens[node] == kNoToken) trie.tokens[node] = id;
          if (proper_prefix != nullptr) (*proper_prefix)[id] = above[g];
          continue;
        }
        const uint8_t key =
            direction == kTrieReversed ? token_bytes[stop - 1 - depth] : token_bytes[start + depth];
        group.push_back(KeyedToken{key, id});
      }
      begin = end;
      if (group.empty()) continue;
      sort_by_key(group, scratch);
      const uint32_t inherited =
          node != 0 && trie.tokens[node] != kNoToken ? trie.tokens[node] : above[g];
      for (size_t k = 0; k < group.size(); ++k) {
        if (k == 0 || group[k].key != group[k - 1].key) {
          if (k != 0) next_group_ends.push_back(out);
          trie.bytes.push_back(group[k].key);
          trie.tokens.push_back(kNoToken);
          next_above.push_back(inherited);
        }
        next_ids[out++] = group[k].id;
      }
      next_group_ends.push_back(out);
    }
    level_start += static_cast<uint32_t>(group_ends.size());
    trie.level_starts.push_back(level_start);
    ids.swap(next_ids);
    group_ends.swap(next_group_ends);
    above.swap(next_above);
  }
  trie.first_child.push_back(static_cast<uint32_t>(trie.bytes.size()));
  trie.node_count = static_cast<int32_t>(trie.bytes.size());
  return trie;
}

}  // namespace tessel
