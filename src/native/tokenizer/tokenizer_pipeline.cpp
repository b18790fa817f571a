// Text-level encode and count: walk the text piece by piece with the encoding's splitter
// and run the backtracking encoder on every piece by itself.
#include <algorithm>
#include <cstring>

#include "model/backtrack_encoder.hpp"
#include "pretokenize/piece_walk.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel {

namespace {

constexpr size_t kInitialResultCapacity = 256;

// Encodes every piece of the text and hands its ids to on_piece(ids, count). A piece that
// is itself a token encodes to that token alone, which one hash lookup finds; the others
// run the backtracking encoder on one shared scratch.
template <typename OnPiece>
void encode_pieces(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                   OnPiece&& on_piece) {
  const BytePairEncoding& model = *tokenizer.model;
  EncodeScratch scratch;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(tokenizer.splitter, text, length, position, start, end)) {
    if (end - start <= model.longest_token_length) {
      const uint32_t whole = token_with_bytes(model, text + start, end - start);
      if (whole != kNoToken) {
        on_piece(&whole, 1);
        continue;
      }
    }
    BacktrackRun run;
    backtrack_init_scratch(run, model, text + start, end - start, scratch);
    backtrack_run_to_end(run);
    on_piece(run.stack, run.stack_count);
  }
}

}  // namespace

std::vector<uint32_t> tokenizer_encode(const TokenizerModel& tokenizer, const uint8_t* text,
                                       uint64_t length) {
  std::vector<uint32_t> ids;
  ids.reserve(kInitialResultCapacity);
  encode_pieces(tokenizer, text, length, [&ids](const uint32_t* piece_ids, uint64_t count) {
    const size_t total = ids.size() + count;
    if (total > ids.capacity()) {
      size_t capacity = ids.capacity();
      while (capacity < total) capacity *= 2;
      ids.reserve(capacity);
    }
    ids.insert(ids.end(), piece_ids, piece_ids + count);
  });
  return ids;
}

uint64_t tokenizer_count(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length) {
  uint64_t total = 0;
  encode_pieces(tokenizer, text, length,
                [&total](const uint32_t*, uint64_t count) { total += count; });
  return total;
}

uint64_t tokenizer_count_till_limit(const TokenizerModel& tokenizer, const uint8_t* text,
                                    uint64_t length, uint64_t limit) {
  // One scratch serves every piece: the stack a piece needs is bounded by its own length,
  // not by what remains of the limit.
  uint64_t total = 0;
  EncodeScratch scratch;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(tokenizer.splitter, text, length, position, start, end)) {
    const uint64_t remaining = total < limit ? limit - total : 0;
    const uint64_t give_up_above = saturating_add(remaining, 10);
    BacktrackRun run;
    backtrack_init_scratch(run, *tokenizer.model, text + start, end - start, scratch);
    while (backtrack_step(run) != kNoToken) {
      if (run.stack_count > give_up_above) return kOverLimit;
    }
    if (run.stack_count > remaining) return kOverLimit;
    total += run.stack_count;
  }
  return total;
}

}  // namespace tessel
