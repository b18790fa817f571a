#include "model/backtrack_encoder.hpp"

#include <algorithm>
#include <new>

namespace tessel {

namespace {

uint64_t viable_word_count(uint64_t length) { return length / 64 + 1; }

void set_up(BacktrackRun& run, const BytePairEncoding& model, const uint8_t* text,
            uint64_t length, EncodeScratch& buffers) {
  run.model = &model;
  run.text = text;
  run.length = length;
  run.buffers = &buffers;
  run.stack = buffers.stack.get();
  run.stack_capacity = buffers.stack_capacity;
  run.stack_count = 0;
  run.position = 0;
  run.viable_ends = buffers.viable_ends.get();
  run.viable_words = buffers.viable_words;
  std::fill_n(run.viable_ends, viable_word_count(length), ~uint64_t{0});
  run.candidate = longest_token_at(model, text, length, run.candidate_length);
}

template <typename T>
void reserve_exactly(std::unique_ptr<T[]>& array, uint64_t& capacity, uint64_t need) {
  if (capacity >= need) return;
  if (need > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  array = std::make_unique_for_overwrite<T[]>(need);
  capacity = need;
}

}  // namespace

void backtrack_init(BacktrackRun& run, const BytePairEncoding& model, const uint8_t* text,
                    uint64_t length, uint64_t capacity) {
  EncodeScratch& own = run.own_buffers;
  reserve_exactly(own.stack, own.stack_capacity,
                  capacity == 0 ? default_stack_capacity(length) : capacity);
  reserve_exactly(own.viable_ends, own.viable_words, viable_word_count(length));
  set_up(run, model, text, length, own);
}

void backtrack_init_scratch(BacktrackRun& run, const BytePairEncoding& model,
                            const uint8_t* text, uint64_t length, EncodeScratch& scratch) {
  reserve_exactly(scratch.stack, scratch.stack_capacity, default_stack_capacity(length));
  reserve_exactly(scratch.viable_ends, scratch.viable_words, viable_word_count(length));
  set_up(run, model, text, length, scratch);
}

void grow_stack(BacktrackRun& run) {
  const uint64_t capacity = std::max<uint64_t>(run.stack_capacity * 2, 16);
  if (capacity > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
  auto grown = std::make_unique_for_overwrite<uint32_t[]>(capacity);
  std::copy_n(run.stack, run.stack_count, grown.get());
  run.buffers->stack = std::move(grown);
  run.buffers->stack_capacity = capacity;
  run.stack = run.buffers->stack.get();
  run.stack_capacity = capacity;
}

std::vector<uint32_t> backtrack_encode(const BytePairEncoding& model, const uint8_t* text,
                                       uint64_t length) {
  BacktrackRun run;
  backtrack_init(run, model, text, length, default_stack_capacity(length));
  backtrack_run_to_end(run);
  return std::vector<uint32_t>(run.stack, run.stack + run.stack_count);
}

uint64_t backtrack_count(const BytePairEncoding& model, const uint8_t* text, uint64_t length) {
  BacktrackRun run;
  backtrack_init(run, model, text, length, default_stack_capacity(length));
  backtrack_run_to_end(run);
  return run.stack_count;
}

uint64_t backtrack_count_till_limit(const BytePairEncoding& model, const uint8_t* text,
                                    uint64_t length, uint64_t limit) {
  // Every token spans at least one byte, so the stack never needs more than length
  // entries; sizing it by the limit alone would ask for gigabytes to count a few bytes.
  const uint64_t give_up_above = saturating_add(limit, 10);
  BacktrackRun run;
  backtrack_init(run, model, text, length, saturating_add(std::min(limit, length), 16));
  while (backtrack_step(run) != kNoToken) {
    if (run.stack_count > give_up_above) return kOverLimit;
  }
  return run.stack_count <= limit ? run.stack_count : kOverLimit;
}

}  // namespace tessel
