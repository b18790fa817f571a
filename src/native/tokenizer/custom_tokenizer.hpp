#pragma once

// Tokenizers built at run time from a caller's vocabulary (tokens in rank order).

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "model/byte_pair_encoding.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel {

// A vocabulary that byte-level BPE cannot encode soundly with; what() says why.
class VocabularyError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A tokenizer that owns its model.
struct OwnedTokenizer {
  std::unique_ptr<BytePairEncoding> model;
  TokenizerModel tokenizer;
};

// Builds a tokenizer from tokens in rank order (token i at [token_starts[i],
// token_starts[i+1]) of token_bytes) and a splitter. The vocabulary must hold every single
// byte (otherwise some text would have no encoding at all), no empty or repeated token, and
// every longer token must be the merge of two lower-ranked tokens (a token that no merge
// makes is never produced by merge-by-rank BPE, and the backtracking encoder would be
// free to use it). Throws VocabularyError for a vocabulary that breaks these rules and
// std::bad_alloc on exhausted memory.
std::unique_ptr<OwnedTokenizer> build_custom_tokenizer(const uint8_t* token_bytes,
                                                       const uint32_t* token_starts, uint32_t n,
                                                       PieceSplitter splitter);

}  // namespace tessel
