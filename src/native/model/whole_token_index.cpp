#include "model/whole_token_index.hpp"

namespace tessel {

WholeTokenIndex build_whole_token_index(const uint8_t* token_bytes, const uint32_t* token_starts,
                                        uint32_t token_count) {
  WholeTokenIndex index;
  for (uint32_t t = 0; t < token_count; ++t) {
    if (token_starts[t + 1] - token_starts[t] > UINT16_MAX) return index;
  }
  uint64_t capacity = 16;
  while (capacity < 2ull * token_count) capacity *= 2;
  index.slots.assign(capacity, WholeTokenSlot{0, kNoToken, 0, 0});
  index.mask = capacity - 1;
  for (uint32_t t = 0; t < token_count; ++t) {
    const uint8_t* bytes = token_bytes + token_starts[t];
    const uint64_t length = token_starts[t + 1] - token_starts[t];
    const uint64_t head = key_head(bytes, length, 0);
    const uint64_t hash = key_hash(head, bytes, length);
    // A string listed twice keeps its first id, as the stored table does.
    if (whole_token_lookup(index, token_bytes, token_starts, bytes, length, head, hash) != kNoToken) {
      continue;
    }
    uint64_t i = hash & index.mask;
    while (index.slots[i].token != kNoToken) i = (i + 1) & index.mask;
    index.slots[i] = WholeTokenSlot{head, t, static_cast<uint16_t>(length),
                                    static_cast<uint16_t>(hash >> 48)};
  }
  return index;
}

}  // namespace tessel
