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

std::vector<uint32_t> byte_pair_merges_of(const BytePairEncoding& model) {
  std::vector<uint32_t> pair_merges(uint32_t{1} << 16, kUnspannedPair);
  for (uint32_t t = 0; t < model.token_count; ++t) {
    const uint8_t* bytes = model.token_data(t);
    for (uint32_t i = 1; i < model.token_length(t); ++i) {
      pair_merges[byte_pair_index(bytes[i - 1], bytes[i])] = kNoToken;
    }
  }
  if (model.prefix_steps.empty()) return pair_merges;
  const PrefixStep* steps = model.prefix_steps.data();
  const int32_t root = steps[0].base;
  for (uint32_t b = 0; b < 256; ++b) {
    for (uint32_t c = 0; c < 256; ++c) {
      uint32_t& entry = pair_merges[byte_pair_index(b, c)];
      if (entry == kNoToken) {
        entry = pair_lookup(model, steps[root + b].token, steps[root + c].token);
      }
    }
  }
  return pair_merges;
}

PieceIds encode_by_spanned_parts(const BytePairEncoding& model, const uint8_t* piece,
                                 uint64_t length, uint64_t most, EncodeScratch& scratch,
                                 PartIds& gathered) {
  const uint32_t* pair_merges = model.byte_pair_merges.data();
  const bool can_merge = !model.prefix_steps.empty();
  const PrefixStep* steps = model.prefix_steps.data();
  const int32_t root = can_merge ? steps[0].base : 0;
  uint64_t total = 0;
  for (uint64_t from = 0; from < length;) {
    uint64_t to;
    if (can_merge) {
      // The scan that finds the part's end also reads its bytes' tokens and merges.
      uint32_t* parts = room_for(gathered, total, kMergedPartBytes);
      uint32_t merges[kMergedPartBytes];
      const uint64_t stop = std::min(length, from + kMergedPartBytes);
      parts[0] = steps[root + piece[from]].token;
      uint64_t i = from + 1;
      for (; i < stop; ++i) {
        const uint32_t merged = pair_merges[byte_pair_index(piece[i - 1], piece[i])];
        if (merged == kUnspannedPair) break;
        merges[i - 1 - from] = merged;
        parts[i - from] = steps[root + piece[i]].token;
      }
      const bool longer = i == stop && i < length &&
                          pair_merges[byte_pair_index(piece[i - 1], piece[i])] != kUnspannedPair;
      if (!longer) {
        total += merge_part(model, parts, merges, static_cast<uint32_t>(i - from));
        if (total > most) return kGivenUp;
        from = i;
        continue;
      }
      to = spanned_part_end(model, piece, i - 1, std::min(length, from + kScannedPartBytes + 1));
    } else {
      to = spanned_part_end(model, piece, from, std::min(length, from + kScannedPartBytes + 1));
    }
    if (to - from > kScannedPartBytes) to = length;
    const uint64_t part_length = to - from;
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
    if (total > most) return kGivenUp;
    from = to;
  }
  return {gathered.ids.get(), total};
}

}  // namespace tessel
