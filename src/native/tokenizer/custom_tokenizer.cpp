#include "tokenizer/custom_tokenizer.hpp"

#include <string>

#include "model/model_builder.hpp"

namespace tessel {

namespace {

std::string hex_byte(unsigned value) {
  static const char kDigits[] = "0123456789abcdef";
  return std::string("0x") + kDigits[value >> 4] + kDigits[value & 15];
}

void check_tokens(const uint8_t* token_bytes, const uint32_t* token_starts, uint32_t n) {
  if (n == 0) throw VocabularyError("the vocabulary is empty");
  bool has_byte[256] = {};
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t length = token_starts[i + 1] - token_starts[i];
    if (length == 0) throw VocabularyError("the token of rank " + std::to_string(i) + " is empty");
    if (length == 1) has_byte[token_bytes[token_starts[i]]] = true;
  }
  std::string missing;
  unsigned missing_count = 0;
  for (unsigned b = 0; b < 256; ++b) {
    if (has_byte[b]) continue;
    if (missing_count++ < 8) missing += (missing.empty() ? "" : ", ") + hex_byte(b);
  }
  if (missing_count > 0) {
    if (missing_count > 8) missing += ", ...";
    throw VocabularyError("the vocabulary lacks single-byte tokens for " +
                          std::to_string(missing_count) + " byte values (" + missing +
                          "); every byte needs a token of its own");
  }
}

void check_model(const BytePairEncoding& model) {
  for (uint32_t i = 0; i < model.token_count; ++i) {
    if (whole_token(model, model.token_data(i), model.token_length(i)) != i) {
      throw VocabularyError("the token of rank " + std::to_string(i) +
                            " repeats the bytes of another token");
    }
    if (model.token_length(i) > 1 && model.merge_left[i] == i) {
      throw VocabularyError("the token of rank " + std::to_string(i) +
                            " is not the merge of two tokens of lower rank");
    }
  }
}

}  // namespace

std::unique_ptr<OwnedTokenizer> build_custom_tokenizer(const uint8_t* token_bytes,
                                                       const uint32_t* token_starts, uint32_t n,
                                                       PieceSplitter splitter) {
  check_tokens(token_bytes, token_starts, n);
  auto owned = std::make_unique<OwnedTokenizer>();
  owned->model = build_model(token_bytes, token_starts, n);
  check_model(*owned->model);
  owned->tokenizer = TokenizerModel{owned->model.get(), splitter};
  return owned;
}

}  // namespace tessel
