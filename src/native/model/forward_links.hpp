#pragma once

// The parts of the forward automaton that its packed steps (PrefixStep) leave out: the
// failure link and output chain of every position. Encoding never reads them, but the
// model image stores automaton 0 whole; recovering them from the steps of a built model
// lets the image be written without building the forward automaton a second time, which
// would hold a trie and the whole automaton in memory beside the model.
//
// The rules are those of automaton_from_trie, applied to the double array instead of the
// trie: positions are visited breadth first with children in byte order, so output
// records come in the same order and the image comes out byte for byte the same (the
// image tests compare the two writers).

#include <cstdint>
#include <vector>

#include "model/match_automaton.hpp"

namespace tessel {

struct ForwardLinks {
  std::vector<int32_t> fail;        // per position, as AutomatonState::fail
  std::vector<uint32_t> output;     // per position, as AutomatonState::output
  std::vector<OutputLink> outputs;  // record 0 reserved
};

// The links of the automaton whose packed steps these are (steps as built, every byte a
// token). Throws std::bad_alloc.
ForwardLinks recover_forward_links(const std::vector<PrefixStep>& steps);

// The number of output records recover_forward_links makes (record 0 included): one per
// position other than the root that holds a token. Known without the links, so that an
// image's header can be written before they are made.
int32_t forward_output_count(const std::vector<PrefixStep>& steps);

}  // namespace tessel
