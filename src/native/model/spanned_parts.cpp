#include "model/spanned_parts.hpp"

#include <algorithm>
#include <new>

namespace tessel {

namespace {

// Grows gathered to hold `need` ids, keeping its first `kept`. Out of line: room_for is
// on the path of every part, and this almost never runs.
__attribute__((noinline)) void grow(PartIds& gathered, uint64_t kept, uint64_t need) {
  const uint64_t capacity = std::max<uint64_t>({need, gathered.capacity * 2, 64});
  if (capacity > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
  auto grown = std::make_unique_for_overwrite<uint32_t[]>(capacity);
  std::copy_n(gathered.ids.get(), kept, grown.get());
  gathered.ids = std::move(grown);
  gathered.capacity = capacity;
}

// Room for `more` ids after the first `kept`, which stay.
inline uint32_t* room_for(PartIds& gathered, uint64_t kept, uint64_t more) {
  if (kept + more > gathered.capacity) grow(gathered, kept, kept + more);
  return gathered.ids.get() + kept;
}

constexpr PieceIds kGivenUp{nullptr, kOverLimit};

}  // namespace

std::vector<uint64_t> spanned_byte_pairs_of(const BytePairEncoding& model) {
  std::vector<uint64_t> spanned(words_for_bits(uint64_t{1} << 16), 0);
  for (uint32_t t = 0; t < model.token_count; ++t) {
    const uint8_t* bytes = model.token_data(t);
    for (uint32_t i = 1; i < model.token_length(t); ++i) {
      set_bit(spanned.data(), byte_pair_bit(bytes[i - 1], bytes[i]));
    }
  }
  return spanned;
}

PieceIds encode_by_spanned_parts(const BytePairEncoding& model, const uint8_t* piece,
                                 uint64_t length, uint64_t most, EncodeScratch& scratch,
                                 PartIds& gathered) {
  const bool can_merge = !model.prefix_steps.empty();
  uint64_t total = 0;
  for (uint64_t from = 0; from < length;) {
    // A part longer than kLongPartBytes takes the rest of the piece with it: one run over
    // the rest is as exact, since a part starts where no token spans, and a piece of one
    // long run (one letter, spaces) is not scanned to its end.
    uint64_t to = spanned_part_end(model, piece, from, std::min(length, from + kLongPartBytes + 1));
    if (to - from > kLongPartBytes) to = length;
    const uint64_t part_length = to - from;
    if (part_length <= kMergedPartBytes && can_merge) {
      total += merge_part(model, piece + from, static_cast<uint32_t>(part_length),
                          room_for(gathered, total, part_length));
    } else {
      BacktrackRun run;
      backtrack_init_scratch(run, model, piece + from, part_length, scratch);
      while (backtrack_step(run) != kNoToken) {
        if (total + run.stack_count > most) return kGivenUp;
      }
      // A piece of one part keeps its ids where the run left them.
      if (from == 0 && to == length) {
        if (run.stack_count > most) return kGivenUp;
        return {run.stack, run.stack_count};
      }
      std::copy_n(run.stack, run.stack_count, room_for(gathered, total, run.stack_count));
      total += run.stack_count;
    }
    if (total > most) return kGivenUp;
    from = to;
  }
  return {gathered.ids.get(), total};
}

}  // namespace tessel
