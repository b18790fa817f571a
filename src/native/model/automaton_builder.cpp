// Builds a MatchAutomaton from a TokenTrie: failure links and output chains over the
// trie, then breadth-first double-array placement, then the per-position state records.
#include <algorithm>
#include <bit>
#include <vector>

#include "model/bit_set.hpp"

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
  for (size_t d = 0; d + 1 < trie.level_starts.size(); ++d) {
    for (uint32_t u = trie.level_starts[d]; u < trie.level_starts[d + 1]; ++u) {
      links.depth[u] = static_cast<uint32_t>(d);
    }
  }

  // Node order is breadth-first: every failure target is final before it is read. The root
  // keeps no output, and its children fail to it.
  for (int32_t u = 1; u < n; ++u) {
    const uint32_t token = trie.tokens[u];
    if (token != kNoToken) {
      links.outputs.push_back(OutputLink{token, links.depth[u], links.out_head[links.fail[u]]});
      links.out_head[u] = static_cast<uint32_t>(links.outputs.size() - 1);
    } else {
      links.out_head[u] = links.out_head[links.fail[u]];
    }
    for (uint32_t v = trie.first_child[u]; v < trie.first_child[u + 1]; ++v) {
      const uint8_t c = trie.bytes[v];
      int32_t f = links.fail[u];
      for (;;) {
        const uint32_t x = trie_child(trie, static_cast<uint32_t>(f), c);
        if (x != kNoNode && x != v) {
          links.fail[v] = static_cast<int32_t>(x);
          break;
        }
        if (f == 0) {
          links.fail[v] = 0;
          break;
        }
        f = links.fail[f];
      }
    }
  }
  return links;
}

// Where place_nodes writes transitions: the automaton's two arrays, or the packed steps
// (which then need no second copy of them).
struct BaseCheckArrays {
  std::vector<int32_t> base;
  std::vector<int32_t> check;
  void resize(int32_t slots) {
    base.resize(slots, 0);
    check.resize(slots, -1);
  }
  void set_base(int32_t p, int32_t r) { base[p] = r; }
  void set_check(int32_t t, int32_t p) { check[t] = p; }
};

struct PackedStepArray {
  std::vector<PrefixStep> steps;
  void resize(int32_t slots) { steps.resize(slots, PrefixStep{0, -1, kNoToken, 0}); }
  void set_base(int32_t p, int32_t r) { steps[p].base = r; }
  void set_check(int32_t t, int32_t p) { steps[t].check = p; }
};

// Occupied double-array positions; positions at or beyond the end are free. One bit per
// position answers whether a node's children fit at a base; occupied positions also link
// forward to a free one (with path halving), so the search for the next free position
// skips dense regions in near-constant time.
class Occupancy {
 public:
  explicit Occupancy(int32_t slots) : next_(slots), words_(word_count(slots), 0) {
    for (int32_t i = 0; i < slots; ++i) next_[i] = i;
  }
  void grow(int32_t slots) {
    const int32_t old = static_cast<int32_t>(next_.size());
    next_.resize(slots);
    for (int32_t i = old; i < slots; ++i) next_[i] = i;
    words_.resize(word_count(slots), 0);
  }
  void occupy(int32_t x) {
    next_[x] = x + 1;
    set_bit(words_.data(), static_cast<uint64_t>(x));
  }
  // First free position at or after x.
  int32_t next_free(int32_t x) {
    const int32_t size = static_cast<int32_t>(next_.size());
    while (x < size && next_[x] != x) {
      const int32_t up = next_[x];
      if (up < size) next_[x] = next_[up];
      x = next_[x];
    }
    return x;
  }
  // Whether positions r + b are free for every bit b of the 256-bit set; r + 256 <= slots.
  bool all_free(int32_t r, const uint64_t* set) const {
    const size_t w = static_cast<size_t>(r) >> 6;
    const unsigned shift = static_cast<unsigned>(r & 63);
    for (size_t k = 0; k < 4; ++k) {
      uint64_t window = words_[w + k] >> shift;
      if (shift != 0) window |= words_[w + k + 1] << (64 - shift);
      if ((window & set[k]) != 0) return false;
    }
    return true;
  }

 private:
  // One word more than the positions need, as a window may read one word beyond.
  static size_t word_count(int32_t slots) { return static_cast<size_t>(slots) / 64 + 2; }
  std::vector<int32_t> next_;
  std::vector<uint64_t> words_;
};

// Breadth-first placement: each node's children go at base r + byte for the smallest r at
// or after the first free position such that all its child positions are free. Only the
// values of r whose first child position is free are tried, in increasing order, and
// each is checked against the occupancy bits of all 256 possible children at once, which
// finds the same r as trying every value. Against one check per child and a pointer
// trie, the packed steps of o200k_base took 250 -> 70 ms CPU time (minimum of 6 builds).
// Returns each trie node's double-array position.
template <typename Cells>
std::vector<int32_t> place_nodes(const TokenTrie& trie, Cells& cells) {
  const int32_t n = trie.node_count;
  int32_t slots = std::max(2 * n, kMinSlots);
  cells.resize(slots);
  std::vector<int32_t> pos(n, -1);
  pos[0] = 0;
  cells.set_check(0, 0);
  Occupancy occupancy(slots);
  occupancy.occupy(0);

  int32_t hint = 1;
  for (int32_t u = 0; u < n; ++u) {
    const uint32_t first = trie.first_child[u];
    const uint32_t last = trie.first_child[u + 1];
    if (first == last) continue;
    const int32_t first_byte = trie.bytes[first];
    uint64_t children[4] = {0, 0, 0, 0};
    for (uint32_t v = first; v < last; ++v) set_bit(children, trie.bytes[v]);
    int32_t r = occupancy.next_free(hint + first_byte) - first_byte;
    for (;;) {
      if (r + 256 > slots) {
        int32_t grown = slots * 2;
        while (grown < r + 256) grown *= 2;
        cells.resize(grown);
        occupancy.grow(grown);
        slots = grown;
      }
      if (last - first == 1 || occupancy.all_free(r, children)) break;
      r = occupancy.next_free(r + first_byte + 1) - first_byte;
    }
    cells.set_base(pos[u], r);
    for (uint32_t v = first; v < last; ++v) {
      const int32_t t = r + trie.bytes[v];
      cells.set_check(t, pos[u]);
      occupancy.occupy(t);
      pos[v] = t;
    }
    hint = std::min(occupancy.next_free(hint), slots);
  }
  return pos;
}

}  // namespace

MatchAutomaton automaton_from_trie(const TokenTrie& trie, uint32_t kind) {
  FailureLinks links = link_failures(trie);
  BaseCheckArrays cells;
  const std::vector<int32_t> pos = place_nodes(trie, cells);
  const int32_t slots = static_cast<int32_t>(cells.base.size());

  MatchAutomaton automaton;
  automaton.states.assign(slots, AutomatonState{0, 0, kNoToken, 0});
  for (int32_t u = 0; u < trie.node_count; ++u) {
    automaton.states[pos[u]] =
        AutomatonState{pos[links.fail[u]], links.out_head[u], trie.tokens[u], links.depth[u]};
  }
  automaton.state_count = slots;
  automaton.output_count = static_cast<int32_t>(links.outputs.size());
  automaton.outputs = std::move(links.outputs);
  automaton.kind = kind;
  automaton.base = std::move(cells.base);
  automaton.check = std::move(cells.check);
  automaton.slot_count = slots;
  return automaton;
}

std::vector<PrefixStep> prefix_steps_from_trie(const TokenTrie& trie) {
  if (trie.child_count(0) != 256) return {};
  PackedStepArray cells;
  const std::vector<int32_t> pos = place_nodes(trie, cells);
  for (size_t d = 0; d + 1 < trie.level_starts.size(); ++d) {
    for (uint32_t u = trie.level_starts[d]; u < trie.level_starts[d + 1]; ++u) {
      PrefixStep& step = cells.steps[pos[u]];
      step.token = trie.tokens[u];
      step.depth = static_cast<uint32_t>(d);
    }
  }
  return std::move(cells.steps);
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
