// The byte-level encoder on small vocabularies the input describes, against the
// merge-by-rank reference: ids, count and count_till_limit, and the ids of the text split
// into spanned parts with the short ones merged, as the pipeline encodes them; and the
// encoder's fast lookups against plain ones (longest token by prefix steps and by
// automaton against a scan of the token strings; the pair lookup behind its filter
// against a scan of the pairs).
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "model/backtrack_encoder.hpp"
#include "model/spanned_parts.hpp"
#include "small_vocabulary.hpp"

using namespace tessel;
using tessel::fuzz::bytes_of;

namespace {

constexpr size_t kMaxMerges = 48;
constexpr size_t kMaxTextLength = 200;

// The longest token that text starts with, the first id among equal strings, by comparing
// every token's bytes.
uint32_t longest_token_by_scan(const BytePairEncoding& model, const uint8_t* text,
                               uint64_t length) {
  uint32_t best = kNoToken;
  for (uint32_t t = 0; t < model.token_count; ++t) {
    const uint64_t n = model.token_length(t);
    if (n == 0 || n > length || std::memcmp(model.token_data(t), text, n) != 0) continue;
    if (best == kNoToken || n > model.token_length(best)) best = t;
  }
  return best;
}

uint32_t pair_by_scan(const BytePairEncoding& model, uint32_t left, uint32_t right) {
  for (const PairSlot& slot : model.pair_table) {
    if (slot.merged != kNoToken && slot.left == left && slot.right == right) return slot.merged;
  }
  return kNoToken;
}

}  // namespace

// Input: a byte whose high bit asks for untrained merges and whose rest is the number of
// merges, two bytes per merge picking its halves, then the text; text bytes below 0xE0
// become letters of the alphabet so that merges apply often.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  const uint8_t shape = input.byte();
  const bool trained = (shape & 0x80) == 0;
  const fuzz::SmallVocabulary vocab = fuzz::joined_vocabulary(
      (shape & 0x7F) % (kMaxMerges + 1), trained, [&](size_t n) { return input.byte() % n; });
  std::string text(input.bytes(kMaxTextLength));
  for (char& c : text) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0xE0) c = fuzz::kSmallAlphabet[b % 4];
  }
  const auto model = vocab.build();
  if (!trained) {
    // A token that no merge makes is one merge-by-rank never produces, while the search
    // would; custom vocabularies holding one are refused, so only the others are checked.
    for (uint32_t t = 256; t < model->token_count; ++t) {
      if (model->merge_left[t] == t) return 0;
    }
  }

  const std::vector<uint32_t> ids = backtrack_encode(*model, bytes_of(text), text.size());
  FUZZ_CHECK(ids == vocab.reference.encode(text));
  const uint64_t n = ids.size();
  FUZZ_CHECK(backtrack_count(*model, bytes_of(text), text.size()) == n);
  for (uint64_t limit : {uint64_t{0}, n / 2, n - 1, n, n + 1, kOverLimit}) {
    if (n == 0 && limit == n - 1) continue;
    const uint64_t expected = n <= limit ? n : kOverLimit;
    FUZZ_CHECK(backtrack_count_till_limit(*model, bytes_of(text), text.size(), limit) == expected);
  }
  EncodeScratch scratch;
  PartIds gathered;
  // The pipeline allows a search 10 ids beyond what it may still take, as above.
  const PieceIds by_parts =
      encode_by_spanned_parts(*model, bytes_of(text), text.size(), n + 10, scratch, gathered);
  FUZZ_CHECK(std::vector<uint32_t>(by_parts.ids, by_parts.ids + by_parts.count) == ids);
  if (n > 0) {
    FUZZ_CHECK(encode_by_spanned_parts(*model, bytes_of(text), text.size(), n - 1, scratch,
                                       gathered).count == kOverLimit);
  }

  for (uint64_t at = 0; at < text.size(); ++at) {
    const uint8_t* rest = bytes_of(text) + at;
    const uint64_t length = text.size() - at;
    const uint32_t expected = longest_token_by_scan(*model, rest, length);
    FUZZ_CHECK(longest_token_at(*model, rest, length) == expected);
    // Lean models (what encoding uses) keep no automaton; models built for an image do.
    if (model->forward_automaton) {
      FUZZ_CHECK(longest_token_at(*model->forward_automaton, rest, length) == expected);
    }
  }
  for (size_t i = 0; i + 1 < ids.size(); ++i) {
    FUZZ_CHECK(pair_lookup(*model, ids[i], ids[i + 1]) == pair_by_scan(*model, ids[i], ids[i + 1]));
  }
  for (uint32_t t = 256; t < model->token_count; ++t) {
    const uint32_t l = model->merge_left[t], r = model->merge_right[t];
    FUZZ_CHECK(pair_lookup(*model, l, r) == pair_by_scan(*model, l, r));
  }
  return 0;
}
