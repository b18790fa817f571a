#pragma once

#include <cstdint>
#include <memory>

#include "model/byte_pair_encoding.hpp"

namespace tessel {

// Builds a model from token strings in rank order (token i at
// [token_starts[i], token_starts[i+1]) of token_bytes). The inputs are copied. With
// ModelTables::kImage the model also holds the tables that only its image stores (see
// BytePairEncoding). Exhausted memory throws std::bad_alloc and frees everything built
// so far.
std::unique_ptr<BytePairEncoding> build_model(const uint8_t* token_bytes,
                                              const uint32_t* token_starts, uint32_t n,
                                              ModelTables tables = ModelTables::kEncoding);

// The kind 2 automaton of the same token strings: that of their reversed trie, which only
// a model image holds. Throws std::bad_alloc.
MatchAutomaton reverse_automaton_of(const uint8_t* token_bytes, const uint32_t* token_starts,
                                    uint32_t n);

}  // namespace tessel
