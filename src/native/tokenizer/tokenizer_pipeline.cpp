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

// Runs the encoder over every piece of the text on one shared scratch and hands each
// finished run to on_piece.
template <typename OnPiece>
void encode_pieces(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length,
                   OnPiece&& on_piece) {
  EncodeScratch scratch;
  uint64_t position = 0, start = 0, end = 0;
  while (next_piece(tokenizer.splitter, text, length, position, start, end)) {
    BacktrackRun run;
    backtrack_init_scratch(run, *tokenizer.model, text + start, end - start, scratch);
    backtrack_run_to_end(run);
    on_piece(run);
  }
}

}  // namespace

std::vector<uint32_t> tokenizer_encode(const TokenizerModel& tokenizer, const uint8_t* text,
                                       uint64_t length) {
  std::vector<uint32_t> ids;
  ids.reserve(kInitialResultCapacity);
  encode_pieces(tokenizer, text, length, [&ids](const BacktrackRun& run) {
    const size_t total = ids.size() + run.stack_count;
    if (total > ids.capacity()) {
      size_t capacity = ids.capacity();
      while (capacity < total) capacity *= 2;
      ids.reserve(capacity);
    }
    ids.insert(ids.end(), run.stack, run.stack + run.stack_count);
  });
  return ids;
}

uint64_t tokenizer_count(const TokenizerModel& tokenizer, const uint8_t* text, uint64_t length) {
  uint64_t total = 0;
  encode_pieces(tokenizer, text, length,
                [&total](const BacktrackRun& run) { total += run.stack_count; });
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
