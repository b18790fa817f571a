#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model/byte_pair_encoding.hpp"
#include "model/pair_compatibility.hpp"

namespace tessel {

// Buffers that successive runs reuse; they only grow. An empty scratch is valid.
struct EncodeScratch {
  std::unique_ptr<uint32_t[]> stack;
  uint64_t stack_capacity = 0;
  std::unique_ptr<uint64_t[]> viable_ends;
  uint64_t viable_words = 0;
};

// One run of the backtracking encoder over one byte string. Between steps: the stack
// spells text[0, position); neighbouring stack tokens are compatible; candidate, unless
// kNoToken, is a token that prefixes text[position, length); a position whose viable bit
// is cleared is a dead end and never again the end of an accepted token.
struct BacktrackRun {
  const BytePairEncoding* model = nullptr;
  const uint8_t* text = nullptr;
  uint64_t length = 0;
  uint32_t* stack = nullptr;
  uint64_t stack_capacity = 0;
  uint64_t stack_count = 0;
  uint32_t candidate = kNoToken;
  // The candidate's length, which the prefix walk knows: the first viability check of a
  // position then waits for no load of the candidate's links. Against reading it from the
  // links, alternating in one process (medians of 15, through tessel.get_encoding): 1 MiB
  // of random letters 1.07x / 1.00x, of punctuation 1.08x / 1.10x (cl100k_base /
  // o200k_base); base64, one letter and text of many pieces 0.97-1.03x.
  uint32_t candidate_length = 0;
  uint64_t position = 0;
  uint64_t* viable_ends = nullptr;  // bit p set while position p is not a dead end
  uint64_t viable_words = 0;
  EncodeScratch* buffers = nullptr;  // owns stack and viable_ends
  EncodeScratch own_buffers;         // used when the run was set up by backtrack_init

  BacktrackRun() = default;
  BacktrackRun(const BacktrackRun&) = delete;
  BacktrackRun& operator=(const BacktrackRun&) = delete;
};

inline constexpr uint64_t default_stack_capacity(uint64_t length) { return length / 3 + 16; }

// Sets up a run with buffers of its own; capacity 0 means default_stack_capacity(length).
void backtrack_init(BacktrackRun& run, const BytePairEncoding& model, const uint8_t* text,
                    uint64_t length, uint64_t capacity);

// Sets up a run on the scratch's buffers, growing them first where they are too small.
void backtrack_init_scratch(BacktrackRun& run, const BytePairEncoding& model,
                            const uint8_t* text, uint64_t length, EncodeScratch& scratch);

// Doubles the run's stack (cold path of backtrack_step).
void grow_stack(BacktrackRun& run);

// One step of the search; returns the new candidate, kNoToken once the run is complete.
inline uint32_t backtrack_step(BacktrackRun& run) {
  uint32_t t = run.candidate;
  if (t == kNoToken) return kNoToken;
  const BytePairEncoding& model = *run.model;
  const uint32_t last = run.stack_count != 0 ? run.stack[run.stack_count - 1] : kNoToken;
  const TokenLinks* links = model.token_links.data();
  uint64_t t_length = run.candidate_length;
  for (;;) {
    const uint64_t end = run.position + t_length;
    if (((run.viable_ends[end >> 6] >> (end & 63)) & 1) != 0 &&
        (last == kNoToken || pair_is_compatible(model, last, t))) {
      if (run.stack_count == run.stack_capacity) grow_stack(run);
      run.stack[run.stack_count++] = t;
      run.position = end;
      run.candidate =
          longest_token_at(model, run.text + end, run.length - end, run.candidate_length);
      return run.candidate;
    }
    t = links[t].shorter;
    if (t == kNoToken) break;
    t_length = links[t].length;
  }
  run.viable_ends[run.position >> 6] &= ~(uint64_t{1} << (run.position & 63));
  if (run.stack_count == 0) {
    run.candidate = kNoToken;
    return kNoToken;
  }
  const uint32_t popped = run.stack[--run.stack_count];
  run.position -= links[popped].length;
  run.candidate = popped;
  run.candidate_length = links[popped].length;
  return popped;
}

inline void backtrack_run_to_end(BacktrackRun& run) {
  while (backtrack_step(run) != kNoToken) {
  }
}

// The token ids of the byte string.
std::vector<uint32_t> backtrack_encode(const BytePairEncoding& model, const uint8_t* text,
                                       uint64_t length);

// The number of tokens of the byte string.
uint64_t backtrack_count(const BytePairEncoding& model, const uint8_t* text, uint64_t length);

// The number of tokens when it is at most limit, otherwise kOverLimit; gives up as soon
// as the search holds more than limit + 10 tokens.
uint64_t backtrack_count_till_limit(const BytePairEncoding& model, const uint8_t* text,
                                    uint64_t length, uint64_t limit);

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  const uint64_t sum = a + b;
  return sum < a ? UINT64_MAX : sum;
}

}  // namespace tessel
