// Builds a MatchAutomaton from a TokenTrie: failure links and output chains over the
// trie, then breadth-first double-array placement, then the per-position state records.
#include <algorithm>
#include <vector>

#include "model/match_automaton.hpp"
#include "model/token_trie.hpp"

namespace tessel {

namespace {

constexpr int32_t kMinSlots = 512;
constexpr uint32_t kInitialOutputRoom = 1024;

struct FailureLinks {
  std::vector<int32_t> fail;
  std::vector<uint32_t> out_head;
  std::vector<uint32_t> depth;
  std::vector<OutputLink> outputs;  // record 0 reserved
};

FailureLinks link_failures(const TokenTrie& trie) {
  const int32_t n = trie.node_count;
  FailureLinks links;
  links.fail.assign(n, 0);
  links.out_head.assign(n, 0);
  links.depth.assign(n, 0);
  links.outputs.reserve(kInitialOutputRoom);
  links.outputs.push_back(OutputLink{0, 0, 0});

  std::vector<int32_t> queue;
  queue.reserve(n);
  const TrieNode& root = trie.nodes[0];
  for (uint32_t e = 0; e < root.child_count; ++e) {
    const int32_t child = root.children[e].child;
    links.fail[child] = 0;
    links.depth[child] = 1;
    queue.push_back(child);
  }
  for (size_t head = 0; head < queue.size(); ++head) {
    const int32_t u = queue[head];
    const TrieNode& node = trie.nodes[u];
    if (node.token != kNoToken) {
      links.outputs.push_back(OutputLink{node.token, links.depth[u],
                                         links.out_head[links.fail[u]]});
      links.out_head[u] = static_cast<uint32_t>(links.outputs.size() - 1);
    } else {
      links.out_head[u] = links.out_head[links.fail[u]];
    }
    for (uint32_t e = 0; e < node.child_count; ++e) {
      const uint8_t c = node.children[e].byte;
      const int32_t v = node.children[e].child;
      links.depth[v] = links.depth[u] + 1;
      int32_t f = links.fail[u];
      for (;;) {
        const TrieNode& candidate = trie.nodes[f];
        const EdgeSearch search = find_edge(candidate, c);
        if (search.found) {
          const int32_t x = candidate.children[search.index].child;
          if (x >= 0 && x != v) {
            links.fail[v] = x;
            break;
          }
        }
        if (f == 0) {
          links.fail[v] = 0;
          break;
        }
        f = links.fail[f];
      }
      queue.push_back(v);
    }
  }
  return links;
}

struct Placement {
  std::vector<int32_t> base;
  std::vector<int32_t> check;
  std::vector<int32_t> pos;  // per trie node, its double-array position
};

// First free position at or after x, over an array that is free beyond its end. Occupied
// positions link forward (with path halving), so skipping a dense region is cheap.
class FreePositions {
 public:
  explicit FreePositions(int32_t size) : next_(size) {
    for (int32_t i = 0; i < size; ++i) next_[i] = i;
  }
  void grow(int32_t size) {
    const int32_t old = static_cast<int32_t>(next_.size());
    next_.resize(size);
    for (int32_t i = old; i < size; ++i) next_[i] = i;
  }
  void occupy(int32_t x) { next_[x] = x + 1; }
  int32_t find(int32_t x) {
    const int32_t size = static_cast<int32_t>(next_.size());
    while (x < size && next_[x] != x) {
      const int32_t up = next_[x];
      if (up < size) next_[x] = next_[up];
      x = next_[x];
    }
    return x;
  }

 private:
  std::vector<int32_t> next_;
};

// Breadth-first placement: each node's children go at base r + byte for the smallest r at
// or after the first free position such that all its child positions are free. Only the
// values of r whose first child position is free are tried, in increasing order, which
// finds the same r as trying every value.
Placement place_nodes(const TokenTrie& trie) {
  const int32_t n = trie.node_count;
  int32_t slots = std::max(2 * n, kMinSlots);
  Placement placement;
  placement.base.assign(slots, 0);
  placement.check.assign(slots, -1);
  placement.pos.assign(n, -1);
  placement.pos[0] = 0;
  placement.check[0] = 0;
  FreePositions free_positions(slots);
  free_positions.occupy(0);

  int32_t hint = 1;
  std::vector<int32_t> queue;
  queue.reserve(n);
  queue.push_back(0);
  for (size_t head = 0; head < queue.size(); ++head) {
    const int32_t u = queue[head];
    const TrieNode& node = trie.nodes[u];
    if (node.child_count == 0) continue;
    const int32_t first_byte = node.children[0].byte;
    int32_t r = 0;
    for (int32_t f = free_positions.find(hint + first_byte);;
         f = free_positions.find(f + 1)) {
      r = f - first_byte;
      if (r + 256 > slots) {
        int32_t grown = slots * 2;
        while (grown < r + 256) grown *= 2;
        placement.base.resize(grown, 0);
        placement.check.resize(grown, -1);
        free_positions.grow(grown);
        slots = grown;
      }
      bool fits = true;
      for (uint32_t e = 1; e < node.child_count; ++e) {
        if (placement.check[r + node.children[e].byte] != -1) {
          fits = false;
          break;
        }
      }
      if (fits) break;
    }
    placement.base[placement.pos[u]] = r;
    for (uint32_t e = 0; e < node.child_count; ++e) {
      const int32_t t = r + node.children[e].byte;
      placement.check[t] = placement.pos[u];
      free_positions.occupy(t);
      placement.pos[node.children[e].child] = t;
      queue.push_back(node.children[e].child);
    }
    hint = std::min(free_positions.find(hint), slots);
  }
  return placement;
}

}  // namespace

MatchAutomaton automaton_from_trie(const TokenTrie& trie, uint32_t kind) {
  FailureLinks links = link_failures(trie);
  Placement placement = place_nodes(trie);
  const int32_t slots = static_cast<int32_t>(placement.base.size());

  MatchAutomaton automaton;
  automaton.states.assign(slots, AutomatonState{0, 0, kNoToken, 0});
  for (int32_t u = 0; u < trie.node_count; ++u) {
    const int32_t p = placement.pos[u];
    if (p < 0) continue;  // unreachable node (cannot happen for a trie built by insertion)
    automaton.states[p] = AutomatonState{placement.pos[links.fail[u]], links.out_head[u],
                                         trie.nodes[u].token, links.depth[u]};
  }
  automaton.state_count = slots;
  automaton.output_count = static_cast<int32_t>(links.outputs.size());
  automaton.outputs = std::move(links.outputs);
  automaton.kind = kind;
  automaton.base = std::move(placement.base);
  automaton.check = std::move(placement.check);
  automaton.slot_count = slots;
  return automaton;
}

std::vector<PrefixStep> prefix_steps_from_trie(const TokenTrie& trie) {
  if (trie.nodes[0].child_count != 256) return {};
  const Placement placement = place_nodes(trie);
  const int32_t slots = static_cast<int32_t>(placement.base.size());
  std::vector<PrefixStep> steps(slots, PrefixStep{0, 0, kNoToken, 0});
  // Depths in breadth-first order: every parent comes before its children.
  std::vector<uint32_t> depth(trie.node_count, 0);
  std::vector<int32_t> queue;
  queue.reserve(trie.node_count);
  queue.push_back(0);
  for (size_t head = 0; head < queue.size(); ++head) {
    const int32_t u = queue[head];
    const TrieNode& node = trie.nodes[u];
    const int32_t p = placement.pos[u];
    steps[p].token = node.token;
    steps[p].depth = depth[u];
    for (uint32_t e = 0; e < node.child_count; ++e) {
      depth[node.children[e].child] = depth[u] + 1;
      queue.push_back(node.children[e].child);
    }
  }
  for (int32_t p = 0; p < slots; ++p) {
    steps[p].base = placement.base[p];
    steps[p].check = placement.check[p];
  }
  return steps;
}

std::vector<PrefixStep> prefix_steps_of(const MatchAutomaton& automaton) {
  const int32_t root_base = automaton.base[0];
  for (int c = 0; c < 256; ++c) {
    if (root_base + c >= automaton.slot_count || automaton.check[root_base + c] != 0) return {};
  }
  std::vector<PrefixStep> steps(automaton.slot_count);
  for (int32_t p = 0; p < automaton.slot_count; ++p) {
    steps[p] = PrefixStep{automaton.base[p], automaton.check[p], automaton.states[p].token,
                          automaton.states[p].depth};
  }
  return steps;
}

}  // namespace tessel
