#pragma once

#include <cstdint>
#include <vector>

#include "model/byte_pair_encoding.hpp"
#include "pretokenize/piece.hpp"

namespace tessel {

// A model joined with the pre-tokenizer of its encoding. Immutable; shared by all threads.
struct TokenizerModel {
  const BytePairEncoding* model;
  PieceSplitter splitter;
};

// Token ids of the text, piece by piece. Throws std::bad_alloc on exhausted memory.
std::vector<uint32_t> tokenizer_encode(const TokenizerModel& tokenizer, const uint8_t* text,
                                       uint64_t length);

// The same ids in ids, which is emptied first and keeps its capacity: a caller that encodes
// again and again reuses one buffer.
void tokenizer_encode_into(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                           std::vector<uint32_t>& ids);

// The same ids by the plain walk, without the whole-token index and the piece memo: the
// reference that tests and fuzzers hold tokenizer_encode to.
std::vector<uint32_t> tokenizer_encode_plain(const TokenizerModel& tokenizer, const uint8_t* text,
                                             uint64_t length);

// Number of tokens of the text.
uint64_t tokenizer_count(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length);

// Number of tokens when it is at most limit, otherwise kOverLimit; stops at the first
// piece that no longer fits.
uint64_t tokenizer_count_till_limit(const TokenizerModel& tokenizer, const uint8_t* text,
                                    uint64_t length, uint64_t limit);

}  // namespace tessel
